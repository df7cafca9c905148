// A run's private temporary directory: made fresh under the host's temporary
// directory before the start, writable by that one command (its sandbox grants
// it), named by TMPDIR, and removed with everything in it when the run ends.
#pragma once

#include <expected>
#include <string>

#include "base/unique_fd.hpp"

namespace corvane {

/// Owns one run's temporary directory: the destructor removes it and its
/// contents, whatever the command left there, without following a link.
class PrivateTmp {
 public:
  /// A new directory (mode 0700) under `parent` (an absolute directory), or
  /// the reason it could not be made.
  [[nodiscard]] static std::expected<PrivateTmp, std::string> create(const std::string& parent);

  PrivateTmp(PrivateTmp&&) noexcept = default;
  PrivateTmp& operator=(PrivateTmp&& other) noexcept;
  PrivateTmp(const PrivateTmp&) = delete;
  PrivateTmp& operator=(const PrivateTmp&) = delete;
  ~PrivateTmp() { remove(); }

  /// The directory's absolute path, as TMPDIR gives it to the command.
  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  /// The directory itself, opened: the sandbox's write rule is put on it.
  [[nodiscard]] int fd() const noexcept { return dir_.get(); }

  /// Removes the directory and its contents now (later calls do nothing).
  void remove() noexcept;

 private:
  PrivateTmp() = default;
  UniqueFd parent_;  // where the directory was made: it is removed from here, by name
  UniqueFd dir_;     // the directory as made: its contents are removed through this
  std::string name_;
  std::string path_;
};

/// The directory a run's private directory is made in: the host's TMPDIR when it
/// is an absolute path, else /tmp.
[[nodiscard]] std::string host_tmp_dir();

/// Removes everything inside the open directory `dir`, relative to descriptors
/// only: a link is removed, never followed, and nothing on another file system
/// is entered. Bounded: gives up after a fixed number of passes over a tree that
/// keeps changing. Returns true when the directory is left empty.
bool clear_directory(int dir) noexcept;

}  // namespace corvane
