// UniqueFd: the owner of one file descriptor, which every part of the core that
// opens one holds it in, so that no path (errors and cancellation included)
// leaves a descriptor open.
#pragma once

#include <utility>

namespace corvane {

/// A move-only owner of one file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  /// Takes ownership of `fd` (a negative value means "none").
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  /// The descriptor, or -1.
  [[nodiscard]] int get() const noexcept { return fd_; }
  /// True when a descriptor is owned.
  [[nodiscard]] explicit operator bool() const noexcept { return fd_ >= 0; }
  /// Closes the owned descriptor (if any) and takes `fd` instead.
  void reset(int fd = -1) noexcept;
  /// Gives up ownership: returns the descriptor (or -1) without closing it.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace corvane
