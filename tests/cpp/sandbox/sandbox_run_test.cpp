// The sandbox on the real run path: a PreparedCommand with a sandbox applies it
// however it is run, and the run ends the command's whole tree on every end
// (normal exit, timeout, output limit, cancellation), whatever containment the
// machine offers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "corvane/event_loop.hpp"
#include "corvane/sandbox.hpp"
#include "prepared_peer.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using test::TempDir;

std::string probe() {
  return test::helper_path("sandbox_probe").native();
}

using test::DisableFeatures;

// True while some process holds the flock on `path` (the probe's grandchild).
bool lock_held(const Path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return held;
}

// Kills the holder named in the lock file: only a run without the sandbox leaves one.
void kill_holder(const Path& path) {
  std::ifstream in(path);
  pid_t pid = 0;
  if (in >> pid && pid > 1) ::kill(pid, SIGKILL);
}

class SandboxRun : public test::NoLeakTest {
 protected:
  void SetUp() override {
    if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
    NoLeakTest::SetUp();
    ::chmod(dir_.path().c_str(), 0755);
  }

  PreparedCommandTestPeer peer(std::vector<std::string> argv, std::uint64_t timeout_ms) const {
    PreparedCommandTestPeer p;
    p.bin = argv.front();
    p.argv.assign(argv.begin() + 1, argv.end());
    p.cwd = dir_.path();
    p.env = {{"PATH", "/usr/bin:/bin"}, {"LC_ALL", "C"}};
    p.timeout = millis(timeout_ms);
    return p;
  }

  // The workspace sandbox with an exec list, so that the probe may start the processes
  // whose end these tests watch.
  SandboxSpec forking() const {
    SandboxSpec spec = SandboxSpec::workspace(dir_.path());
    spec.exec.emplace_back(probe());
    return spec;
  }

  Sandbox sandbox(SandboxSpec spec) const {
    auto built = Sandbox::build(std::move(spec));
    if (!built) ADD_FAILURE() << built.error();
    return std::move(*built);
  }

  TempDir dir_;
};

// A setsid'd grandchild outlives the run without a sandbox, and dies with it inside
// one, on each way a run ends; with it gone, a pipe it held cannot stall the run.
TEST_F(SandboxRun, TheWholeTreeEndsWithTheRun) {
  const struct {
    const char* name;
    const char* mode;
    std::uint64_t timeout_ms;
    bool cancel;
    bool timeout_expected;
  } ends[] = {
      {"normal exit", "exit", 10000, false, false},
      // Long enough for the grandchild to take the lock on a loaded machine.
      {"timeout", "wait", 2000, false, true},
      {"cancellation", "wait", 10000, true, false},
  };
  for (const char* containment : {"", "privilege"}) {
    DisableFeatures off(containment);
    for (const auto& end : ends) {
      SCOPED_TRACE(std::string(end.name) + " with containment seam '" + containment + "'");
      const Path lock = dir_ / "lock";
      ::unlink(lock.c_str());
      const std::vector<std::string> argv{probe(), "lock-survive:lock:" + std::string(end.mode)};
      for (const bool boxed : {false, true}) {
        PreparedCommand cmd = peer(argv, end.timeout_ms).make();
        if (boxed) cmd = std::move(cmd).with_sandbox(sandbox(forking())).value();
        RunResult result;
        if (end.cancel) {
          auto loop = EventLoop::create();
          ASSERT_TRUE(loop);
          std::optional<RunResult> got;
          RunHandle handle;
          // Cancel once the grandchild holds the lock: the probe says so on stdout.
          RunOptions options;
          options.on_chunk = [&handle](OutputStream, std::string_view chunk) {
            if (chunk.find("locked") != std::string_view::npos) handle.cancel();
          };
          handle = std::move(cmd).spawn(**loop, std::move(options),
                                        [&](RunResult r) { got = std::move(r); });
          (*loop)->run();
          ASSERT_TRUE(got);
          EXPECT_TRUE(got->interrupted);
        } else {
          result = std::move(cmd).run(RunOptions{});
          if (end.timeout_expected) {
            ASSERT_FALSE(result.result);
            EXPECT_TRUE(std::holds_alternative<exec_error::Timeout>(result.result.error()));
          } else {
            ASSERT_TRUE(result.result) << to_string(result.result.error());
            EXPECT_EQ(result.result->stdout, "locked\n");
          }
        }
        if (boxed) {
          EXPECT_FALSE(lock_held(lock)) << "a process outlived the sandboxed run";
        } else {
          EXPECT_TRUE(lock_held(lock)) << "the probe's grandchild must outlive a plain run";
          kill_holder(lock);
        }
      }
    }
  }
}

// Without a sandbox a background process holding stdout turns a successful run into a
// Timeout; with one (either containment, the process-group fallback included) the run
// ends when the command does.
TEST_F(SandboxRun, ABackgroundPipeHolderNoLongerStallsTheRun) {
  const std::vector<std::string> argv{probe(), "background"};
  const RunResult plain = peer(argv, 1000).make().run(RunOptions{});
  ASSERT_FALSE(plain.result);
  EXPECT_TRUE(std::holds_alternative<exec_error::Timeout>(plain.result.error()));
  for (const char* containment : {"", "privilege", "pidns"}) {
    DisableFeatures off(containment);
    const RunResult boxed =
        peer(argv, 10000).make().with_sandbox(sandbox(forking())).value().run(RunOptions{});
    ASSERT_TRUE(boxed.result) << containment << ": " << to_string(boxed.result.error());
    EXPECT_EQ(boxed.result->stdout, "started\n") << containment;
    EXPECT_EQ(boxed.result->status, 0) << containment;
  }
}

// The rules and limits reach the command on the real path, and a broken limit is named.
TEST_F(SandboxRun, RulesAndLimitsApplyAndABrokenLimitIsNamed) {
  test::write_file(dir_ / "data.txt", "hello\n", 0644);
  SandboxSpec spec = SandboxSpec::workspace(dir_.path());
  spec.limits.cpu_seconds = 1;
  const Sandbox box = sandbox(spec);

  const RunResult sed = peer({"/usr/bin/sed", "-n", "1e /usr/bin/id", "data.txt"}, 10000)
                            .make()
                            .with_sandbox(box)
                            .value()
                            .run(RunOptions{});
  ASSERT_TRUE(sed.result) << to_string(sed.result.error());
  EXPECT_EQ(sed.result->stdout.find("uid="), std::string::npos) << sed.result->stdout;
  EXPECT_EQ(sed.sandbox_limit, std::nullopt);

  const RunResult spin =
      peer({probe(), "spin"}, 30000).make().with_sandbox(box).value().run(RunOptions{});
  ASSERT_TRUE(spin.result) << to_string(spin.result.error());
  EXPECT_EQ(spin.result->status & 0x7f, SIGKILL);
  EXPECT_EQ(spin.sandbox_limit, "CPU time limit of 1 s exceeded");
}

TEST_F(SandboxRun, TheSandboxIsPartOfTheCommand) {
  const PreparedCommand plain = peer({"/bin/true"}, 1000).make();
  EXPECT_EQ(plain.sandbox(), std::nullopt);
  const Sandbox box = sandbox(SandboxSpec::workspace(dir_.path()));
  PreparedCommand boxed = PreparedCommand(plain).with_sandbox(box).value();
  EXPECT_NE(boxed, plain);
  EXPECT_EQ(boxed.sandbox(), box);
  const PreparedCommand copy = boxed;
  EXPECT_EQ(copy, boxed);
  EXPECT_TRUE(copy.sandbox());
}

}  // namespace
}  // namespace corvane
