// A sandbox that grants no further programs (an empty exec list) lets the command start
// nothing after its own start. Landlock alone does not hold that line: the ELF loader
// is executable for the command's own sake and runs whatever it is handed, and a
// memfd has no path for an execute rule. Each attack runs on the real start path
// twice: with the system-call filter switched off through the test seam (it must work,
// or the row proves nothing) and in the default sandbox (the kernel must refuse it).
#include <gtest/gtest.h>
#include <linux/memfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "corvane/sandbox.hpp"
#include "prepared_peer.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using test::DisableFeatures;

constexpr const char* kLoader = "/lib64/ld-linux-x86-64.so.2";

std::string tool(const char* name) {
  return std::filesystem::canonical(Path("/usr/bin") / name).native();
}

std::string start_probe() {
  return test::helper_path("start_probe").native();
}

// python3 -c CODE: the memfd and fork routes as a script an agent would write.
std::vector<std::string> python(std::string code) {
  return {tool("python3"), "-c", std::move(code)};
}

constexpr const char* kMemfdOfShell =
    "import os\n"
    "fd = os.memfd_create('copy', 0)\n"
    "os.write(fd, open('/bin/sh', 'rb').read())\n";

struct Attack {
  const char* name;
  std::vector<std::string> argv;
  const char* proof;    // in stdout when the attack got through
  const char* refusal;  // in stderr when the filter refused it
};

std::vector<Attack> attacks() {
  const std::string find = tool("find");
  return {
      // find may run its -exec targets, and the loader is executable for find's sake.
      {"find_exec_through_the_loader",
       {find, ".", "-maxdepth", "0", "-exec", kLoader, tool("id"), ";"},
       "uid=",
       "Operation not permitted"},
      // The same for a program the agent wrote into its workspace (no execute right there).
      {"own_binary_through_the_loader",
       {find, ".", "-maxdepth", "0", "-exec", kLoader, "./own", ";"},
       "uid=",
       "Operation not permitted"},
      // A copy of a shell in a memfd, run by descriptor (os.execve with an fd is fexecve).
      {"memfd_execveat",
       python(std::string(kMemfdOfShell) + "os.execve(fd, ['sh', '-c', 'echo ran'], {})\n"), "ran",
       "Operation not permitted"},
      {"memfd_proc_fd",
       python(std::string(kMemfdOfShell) +
              "os.execv(f'/proc/self/fd/{fd}', ['sh', '-c', 'echo ran'])\n"),
       "ran", "Operation not permitted"},
      // The C library's fork (clone without CLONE_THREAD) and posix_spawn (clone3, then
      // clone with CLONE_VM | CLONE_VFORK) of a program the command may run: itself.
      {"python_fork",
       python("import os\npid = os.fork()\nif pid == 0:\n  print('child', flush=True)\n"
              "  os._exit(0)\nos.waitpid(pid, 0)\n"),
       "child", "Operation not permitted"},
      {"python_posix_spawn_of_itself",
       python("import os, sys\n"
              "pid = os.posix_spawn(sys.executable, [sys.executable, '-c', 'print(7 * 6)'], {})\n"
              "os.waitpid(pid, 0)\n"),
       "42", "Operation not permitted"},
      // Each way the kernel offers to make a process, by its own system call.
      {"raw_fork", {start_probe(), "fork"}, "started", "fork: Operation not permitted"},
      {"raw_vfork", {start_probe(), "vfork"}, "started", "vfork: Operation not permitted"},
      {"raw_clone", {start_probe(), "clone"}, "started", "clone: Operation not permitted"},
      {"raw_clone3", {start_probe(), "clone3"}, "started", "clone3: Function not implemented"},
      // exec by descriptor of a file the command may run: it must not become a way
      // around the memfd rule (a descriptor from elsewhere has no path to check either).
      {"exec_by_descriptor",
       {start_probe(), "self-at"},
       "said",
       "self-at: Operation not permitted"},
  };
}

class SandboxExec : public test::NoLeakTest {
 protected:
  void SetUp() override {
    if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
    if (!Sandbox::available().seccomp) GTEST_SKIP() << "this kernel has no seccomp";
    NoLeakTest::SetUp();
    ::chmod(dir_.path().c_str(), 0755);
    test::write_file(dir_ / "data.txt", "hello\n", 0644);
    std::filesystem::copy_file(tool("id"), (dir_ / "own").native());
  }

  // Runs argv in the workspace, in `sandbox`; the run itself must succeed.
  Output run(const std::vector<std::string>& argv, const Sandbox& sandbox) const {
    return run_sandboxed(argv, dir_.path(), sandbox);
  }

  [[nodiscard]] Sandbox build(bool best_effort = false) const {
    SandboxSpec spec = SandboxSpec::workspace(dir_.path());
    spec.best_effort = best_effort;
    auto built = Sandbox::build(std::move(spec));
    if (!built) ADD_FAILURE() << built.error();
    return std::move(*built);
  }

  test::TempDir dir_;
};

TEST_F(SandboxExec, EveryRouteToAnotherProgramWorksWithoutTheFilterAndFailsWithIt) {
  for (const Attack& attack : attacks()) {
    SCOPED_TRACE(attack.name);
    {
      DisableFeatures off("seccomp");
      const Sandbox bare = build(/*best_effort=*/true);
      ASSERT_EQ(bare.skipped().size(), 1U);
      const Output out = run(attack.argv, bare);
      EXPECT_NE(out.stdout.find(attack.proof), std::string::npos)
          << "the attack must work without the filter; stdout: " << out.stdout
          << " stderr: " << out.stderr;
    }
    const Output out = run(attack.argv, build());
    EXPECT_EQ(out.stdout.find(attack.proof), std::string::npos)
        << "the sandbox let it through; stdout: " << out.stdout;
    EXPECT_NE(out.stderr.find(attack.refusal), std::string::npos) << out.stderr;
  }
}

// The network rows live in the same table: the compiled tree must still reach them.
TEST_F(SandboxExec, TheNetworkRowsStillHold) {
  const struct {
    const char* op;
    const char* refusal;  // nullptr: allowed inside as well
  } rows[] = {
      {"socket:inet", "socket:inet: Permission denied"},
      {"io-uring", "io-uring: Function not implemented"},
      {"socket:unix", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.op);
    {
      DisableFeatures off("seccomp");
      const Output out = run({start_probe(), row.op}, build(/*best_effort=*/true));
      EXPECT_EQ(out.stdout, row.op == std::string("io-uring") ? "ring\n" : "socket\n")
          << out.stderr;
    }
    const Output out = run({start_probe(), row.op}, build());
    if (row.refusal == nullptr) {
      EXPECT_EQ(out.status, 0) << out.stderr;
    } else {
      EXPECT_EQ(out.stdout, "");
      EXPECT_EQ(out.stderr, std::string(row.refusal) + "\n");
    }
  }
}

// What the command may do by itself keeps working: threads (the C library's clone3
// falls back to clone), ordinary tools, a sealed memfd, and a `#!/usr/bin/env NAME`
// script, whose env replaces itself with NAME.
TEST_F(SandboxExec, ThreadsToolsAndEnvScriptsStillWork) {
  test::write_file(dir_ / "tool.py", "#!/usr/bin/env python3\nprint('py ok')\n", 0755);
  const Sandbox sandbox = build();
  const struct {
    std::vector<std::string> argv;
    const char* out;
  } rows[] = {
      {{start_probe(), "thread"}, "thread\n"},
      {python("import threading\n"
              "t = threading.Thread(target=lambda: print('py thread'))\nt.start()\nt.join()\n"),
       "py thread\n"},
      {{tool("ls")}, "data.txt\nown\ntool.py\n"},
      {{tool("grep"), "-c", "hello", "data.txt"}, "1\n"},
      {{tool("find"), ".", "-name", "*.txt"}, "./data.txt\n"},
      {{start_probe(), "sealed-memfd"}, "sealed\n"},
      {{(dir_ / "tool.py").native()}, "py ok\n"},
  };
  // A kernel before 6.3 has no sealed memfd to offer, sandbox or not.
  const long sealed = ::syscall(SYS_memfd_create, "probe", MFD_CLOEXEC | 0x0008U);
  if (sealed >= 0) ::close(static_cast<int>(sealed));
  for (const auto& row : rows) {
    if (sealed < 0 && row.argv.back() == "sealed-memfd") continue;
    const Output out = run(row.argv, sandbox);
    EXPECT_EQ(out.status, 0) << row.argv.back() << ": " << out.stderr;
    EXPECT_EQ(out.stdout, row.out) << row.argv.back();
  }
}

// The filter is always needed (every sandbox closes the keyrings) and is named for what
// else it closes: the network, or further programs.
TEST(SandboxExecBuild, SeccompIsNamedForWhatItCloses) {
  const struct {
    bool network;
    std::vector<Path> exec;
    const char* feature;
  } rows[] = {
      {false, {}, "seccomp (closing the network and new programs)"},
      {true, {}, "seccomp (closing new programs)"},
      {false, {"/usr/bin"}, "seccomp (closing the network)"},
      {true, {"/usr/bin"}, "seccomp (closing the kernel keyrings)"},
  };
  DisableFeatures off("seccomp,landlock");
  for (const auto& row : rows) {
    SandboxSpec spec{.exec = row.exec, .network = row.network, .best_effort = true};
    auto lenient = Sandbox::build(spec);
    ASSERT_TRUE(lenient) << lenient.error();
    std::vector<std::string> skipped = lenient->skipped();
    std::erase(skipped, "Landlock (file system and execute rules)");
    std::erase(skipped, "a PID namespace or Landlock ABI 6 (signal scoping)");
    EXPECT_EQ(skipped, std::vector<std::string>{row.feature});
  }
}

}  // namespace
}  // namespace corvane
