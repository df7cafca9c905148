// Shared fixtures for the core tests: temporary directories, files with modes,
// descriptor and child counting, and running a check as an unprivileged user.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "corvane/path.hpp"

namespace corvane::test {

/// A fresh directory under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The directory's canonical path.
  [[nodiscard]] const Path& path() const noexcept { return path_; }
  /// path() / name.
  [[nodiscard]] Path operator/(std::string_view name) const { return path_ / Path(name); }

 private:
  Path path_;
};

/// Writes `content` to `path` and sets its mode exactly (no umask).
void write_file(const Path& path, std::string_view content, mode_t mode);
/// An executable shell script "#!/bin/sh\n<body>" at `path` with `mode`.
void write_script(const Path& path, std::string_view body, mode_t mode = 0755);
/// mkdir -p.
void make_dirs(const Path& path);
/// A symbolic link at `link` pointing to `target`.
void make_symlink(const Path& target, const Path& link);

/// A parametrised test's name made from a row's own text: letters and digits
/// kept, every other byte '_', at most 40 of them, then "_<index>" so two rows
/// that read alike stay apart ("1.5s" at row 1: "1_5s_1").
[[nodiscard]] std::string param_name(std::string_view text, std::size_t index);

/// Number of entries in /proc/self/fd.
[[nodiscard]] int open_fd_count();
/// Number of child processes of this process (zombies included).
[[nodiscard]] int child_count();

/// A fixture whose every test must leave the process as it found it: the same
/// open descriptors and no child left unreaped.
class NoLeakTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fds_at_start_ = open_fd_count();
    children_at_start_ = child_count();
  }
  void TearDown() override {
    EXPECT_EQ(open_fd_count(), fds_at_start_) << "descriptor leaked";
    EXPECT_EQ(child_count(), children_at_start_) << "child left unreaped";
  }
  /// Children of this process when the test started.
  [[nodiscard]] int children_at_start() const noexcept { return children_at_start_; }

 private:
  int fds_at_start_ = 0;
  int children_at_start_ = 0;
};

/// A user and group that are not root, for checks that need an ordinary caller.
struct Unprivileged {
  uid_t uid;
  gid_t gid;
};
/// "nobody" (or 65534) when this process is root and can switch to it; otherwise empty.
[[nodiscard]] std::optional<Unprivileged> unprivileged_identity();

/// Runs `check` in a forked child whose real and effective ids are uid/gid (no
/// supplementary groups unless `extra_group` is given) and returns its exit
/// code; 255 if the child died or could not switch identity.
[[nodiscard]] int run_as(uid_t uid, gid_t gid, const std::function<int()>& check,
                         std::optional<gid_t> extra_group = std::nullopt);

/// Sets CORVANE_SANDBOX_DISABLE (the sandbox's missing-feature seam) for one
/// scope; "" leaves the machine as it is.
class DisableFeatures {
 public:
  explicit DisableFeatures(const char* list);
  ~DisableFeatures();
  DisableFeatures(const DisableFeatures&) = delete;
  DisableFeatures& operator=(const DisableFeatures&) = delete;
};

/// Runs `body` in a forked child and returns its exit code (255 if it died).
[[nodiscard]] int in_child(const std::function<int()>& body);

/// Absolute path of a helper program built next to the tests.
[[nodiscard]] Path helper_path(std::string_view name);

}  // namespace corvane::test
