#include "base/unique_fd.hpp"

#include <unistd.h>

namespace corvane {

void UniqueFd::reset(int fd) noexcept {
  // close() is never retried: on Linux the descriptor is gone even after EINTR.
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

}  // namespace corvane
