// A run's private temporary directory: the command's TMPDIR, writable by it, gone
// after the run however the run ends, and removed without following anything
// the command planted there.
#include "sandbox/private_tmp.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "corvane/event_loop.hpp"
#include "corvane/policy.hpp"
#include "corvane/sandbox.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- the removal

// Each row plants something in the directory (`tmp`) that reaches `outside`,
// which holds a file "keep" that must survive the removal.
struct Planted {
  const char* name;
  std::function<void(const fs::path& tmp, const fs::path& outside)> plant;
};

const Planted kPlanted[] = {
    {"a link to a directory outside",
     [](const fs::path& tmp, const fs::path& outside) {
       fs::create_directory_symlink(outside, tmp / "l");
     }},
    {"a link to a file outside",
     [](const fs::path& tmp, const fs::path& outside) {
       fs::create_symlink(outside / "keep", tmp / "f");
     }},
    {"a link to outside deep in a tree",
     [](const fs::path& tmp, const fs::path& outside) {
       fs::create_directories(tmp / "a" / "b" / "c");
       fs::create_directory_symlink(outside, tmp / "a" / "b" / "c" / "l");
     }},
    // Deeper than the descriptors the removal holds: the bottom is moved up and
    // emptied from there, link and all.
    {"a tree deeper than the removal's descriptors",
     [](const fs::path& tmp, const fs::path& outside) {
       fs::path p = tmp;
       for (int i = 0; i < 100; ++i) p /= "d";
       fs::create_directories(p);
       fs::create_directory_symlink(outside, p / "l");
       test::write_file(Path((p / "file").string()), "x", 0644);
     }},
};

class PrivateTmpRemoval : public test::NoLeakTest, public ::testing::WithParamInterface<Planted> {};

TEST_P(PrivateTmpRemoval, RemovesEverythingInsideAndNothingOutside) {
  test::TempDir host;
  const fs::path outside = (host / "outside").native();
  fs::create_directory(outside);
  test::write_file(Path((outside / "keep").string()), "keep", 0644);
  auto tmp = PrivateTmp::create(host.path().native());
  ASSERT_TRUE(tmp) << tmp.error();
  const fs::path made = tmp->path();
  struct stat st{};
  ASSERT_EQ(::stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  GetParam().plant(made, outside);

  tmp->remove();
  EXPECT_FALSE(fs::exists(fs::symlink_status(made)));
  EXPECT_TRUE(fs::exists(outside / "keep"));
  EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, PrivateTmpRemoval, ::testing::ValuesIn(kPlanted),
                         [](const auto& info) {
                           return test::param_name(info.param.name, info.index);
                         });

// ---------------------------------------------------------------- runs

// How a run ends: by itself, at its time limit, cancelled, or never started.
enum class End { Success, Timeout, Cancel, SpawnFailure };

struct RunRow {
  const char* name;
  End end;
};

class PrivateTmpRun : public test::NoLeakTest, public ::testing::WithParamInterface<RunRow> {
 protected:
  void SetUp() override {
    NoLeakTest::SetUp();
    // The host's TMPDIR decides where runs make theirs: here, a directory the
    // test can watch.
    const char* old = std::getenv("TMPDIR");
    if (old != nullptr) old_tmpdir_ = old;
    ::setenv("TMPDIR", host_.path().c_str(), 1);
  }
  void TearDown() override {
    if (old_tmpdir_) {
      ::setenv("TMPDIR", old_tmpdir_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    NoLeakTest::TearDown();
  }

  // sh under a policy whose sandbox gives each run a private temporary directory.
  ProcPolicy policy(const Path& cwd, Duration timeout) const {
    SandboxSpec spec = SandboxSpec::workspace(work_.path());
    spec.exec = {Path("/usr/bin"), Path("/bin")};
    spec.private_tmp = true;
    spec.best_effort = true;
    auto box = Sandbox::build(std::move(spec));
    EXPECT_TRUE(box) << box.error();
    auto rules = CommandRules::make(
        {RuleSet().flags({"-c"}).max_flags(1).max_positionals(1).inject_double_dash(
            InjectDoubleDash::Never)});
    auto built = ProcPolicy::builder()
                     .allow_bin("/bin/sh")
                     .command_rules("/bin/sh", std::move(*rules))
                     .risky_bin_policy(RiskyBinPolicy::Disabled)
                     .cwd_policy(CwdPolicy::Fixed{cwd})
                     .env_policy(EnvPolicy::Fixed{{{"PATH", "/usr/bin:/bin"}, {"TMPDIR", "/x"}}})
                     .timeout(timeout)
                     .sandbox(*box)
                     .try_build();
    EXPECT_TRUE(built) << built.error().message;
    return std::move(*built);
  }

  [[nodiscard]] int entries_left() const {
    return static_cast<int>(
        std::distance(fs::directory_iterator(host_.path().native()), fs::directory_iterator()));
  }

  test::TempDir host_;
  test::TempDir work_;
  std::optional<std::string> old_tmpdir_;
};

TEST_P(PrivateTmpRun, TheDirectoryIsTheCommandsAndGoneAfterTheRun) {
  const End end = GetParam().end;
  const Path cwd = end == End::SpawnFailure ? work_ / "gone" : work_.path();
  if (end == End::SpawnFailure) test::make_dirs(cwd);
  const ProcPolicy p =
      policy(cwd, end == End::Timeout ? Duration::from_chrono(std::chrono::milliseconds(300))
                                      : Duration::from_secs(30));
  // The script writes into its TMPDIR (a file and a tree), says where that is, then
  // lingers when the row ends it from outside.
  const std::string script =
      "echo data > \"$TMPDIR/f\" && mkdir -p \"$TMPDIR/a/b\" && echo \"$TMPDIR\" && "
      "ls -ld \"$TMPDIR\"" +
      std::string(end == End::Success ? "" : " && sleep 30");
  auto cmd = p.check(ProcRequest("/bin/sh", {"-c", script}));
  ASSERT_TRUE(cmd) << cmd.error().message;
  // Checked, not yet run: nothing is made before a run.
  EXPECT_EQ(entries_left(), 0);
  if (end == End::SpawnFailure) fs::remove(cwd.native());

  RunResult result;
  if (end == End::Cancel) {
    auto loop = EventLoop::create();
    ASSERT_TRUE(loop);
    bool done = false;
    RunOptions options;
    RunHandle handle;
    options.on_chunk = [&](OutputStream, std::string_view chunk) {
      result.partial_stdout += chunk;
      handle.cancel();
    };
    handle = std::move(*cmd).spawn(**loop, std::move(options), [&](RunResult r) {
      done = true;
      result.result = std::move(r.result);
      result.interrupted = r.interrupted;
    });
    (*loop)->run();
    EXPECT_TRUE(done);
    EXPECT_TRUE(result.interrupted);
  } else {
    result = std::move(*cmd).run({});
  }

  switch (end) {
    case End::Success: {
      ASSERT_TRUE(result.result);
      const std::string& out = result.result->stdout;
      // TMPDIR is the run's own directory under the host's, not the policy's "/x".
      EXPECT_EQ(out.rfind(host_.path().native() + "/corvane-run-", 0), 0u) << out;
      EXPECT_NE(out.find("drwx------"), std::string::npos) << out;
      break;
    }
    case End::Timeout:
      ASSERT_FALSE(result.result);
      EXPECT_TRUE(std::holds_alternative<exec_error::Timeout>(result.result.error()));
      break;
    case End::Cancel:
      EXPECT_NE(result.partial_stdout.find("/corvane-run-"), std::string::npos);
      break;
    case End::SpawnFailure:
      ASSERT_FALSE(result.result);
      EXPECT_TRUE(std::holds_alternative<exec_error::SpawnFailed>(result.result.error()));
      break;
  }
  EXPECT_EQ(entries_left(), 0) << "a run's temporary directory was left behind";
}

const RunRow kRuns[] = {
    {"success", End::Success},
    {"timeout", End::Timeout},
    {"cancel", End::Cancel},
    {"spawn failure", End::SpawnFailure},
};

INSTANTIATE_TEST_SUITE_P(Rows, PrivateTmpRun, ::testing::ValuesIn(kRuns), [](const auto& info) {
  return test::param_name(info.param.name, info.index);
});

}  // namespace
}  // namespace corvane
