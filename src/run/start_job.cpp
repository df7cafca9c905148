#include "run/start_job.hpp"

#include <unistd.h>

#include "run/execution.hpp"

namespace corvane::detail {

void StartInbox::drain() {
  if (foreign()) return;
  std::uint64_t rings = 0;
  // Read before taking: a start posted after this read rings again.
  (void)!::read(ready_.get(), &rings, sizeof rings);
  while (std::shared_ptr<Execution> run = take()) run->on_started();
}

void StartJob::finished() noexcept {
  inbox_.post(*this);
}

}  // namespace corvane::detail
