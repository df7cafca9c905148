// Landlock in two layers: every right but execute in a ruleset the Sandbox builds once
// and its commands share, then a small one per command that handles execute alone (its
// binary, their interpreters, the exec list). Each row runs on the real start path twice:
// in a sandbox that grants what the row reaches for (it must work, or the row proves
// nothing) and in one that does not (the kernel must refuse it), as root and as an
// ordinary caller's user namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "corvane/sandbox.hpp"
#include "prepared_peer.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using test::DisableFeatures;

std::string tool(const char* name) {
  return std::filesystem::canonical(Path("/usr/bin") / name).native();
}

class SandboxLayers : public test::NoLeakTest {
 protected:
  void SetUp() override {
    if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
    NoLeakTest::SetUp();
    test::make_dirs(ws_.path());
    test::write_file(ws_ / "data.txt", "hello\n", 0644);
    // A program outside every listed tree, next to a file it must not read.
    std::filesystem::copy_file(tool("cat"), (tools_ / "cat").native());
    test::write_file(tools_ / "secret.txt", "TOPSECRET\n", 0644);
  }

  Output run(const std::vector<std::string>& argv, const Sandbox& sandbox) const {
    return run_sandboxed(argv, ws_.path(), sandbox);
  }

  test::TempDir ws_;
  test::TempDir tools_;
};

struct Row {
  const char* name;
  std::function<std::vector<std::string>(const Path& tools)> argv;
  // Widens the workspace sandbox so that the row's reach is granted.
  std::function<void(SandboxSpec&, const Path& tools)> grant;
  // Narrows it: what the row checks is refused (nullptr: the plain workspace sandbox).
  std::function<void(SandboxSpec&, const Path& tools)> deny;
  const char* proof;  // in stdout when the row got through
};

std::vector<Row> rows() {
  const std::string find = tool("find");
  return {
      // With an exec list new processes pass seccomp: the execute layer alone stops a
      // program the list does not name.
      {"exec_outside_the_exec_list",
       [find](const Path&) {
         return std::vector<std::string>{find, ".", "-maxdepth", "0", "-exec", tool("id"), ";"};
       },
       [](SandboxSpec& s, const Path&) { s.exec.emplace_back(tool("id")); },
       [](SandboxSpec& s, const Path&) { s.exec.emplace_back(tool("true")); }, "uid="},
      // A binary outside the readable trees still starts (its own file is read by a first
      // layer of the command's own), and that layer grants the file, not its directory.
      {"binary_outside_the_read_list_reads_its_neighbour",
       [](const Path& tools) {
         return std::vector<std::string>{(tools / "cat").native(), (tools / "secret.txt").native()};
       },
       [](SandboxSpec& s, const Path& tools) { s.read.push_back(tools); }, nullptr, "TOPSECRET"},
      // Rules in /proc are added by the child to a first layer of its own: the command
      // reads its own entries, never the host's.
      {"proc_listed_reaches_the_host",
       [](const Path&) {
         return std::vector<std::string>{tool("cat"),
                                         "/proc/" + std::to_string(::getpid()) + "/status"};
       },
       [](SandboxSpec& s, const Path&) {
         s.keep_background = true;
         s.read.emplace_back("/");
       },
       [](SandboxSpec& s, const Path&) { s.read.emplace_back("/proc"); }, "Name:"},
  };
}

TEST_F(SandboxLayers, WhatTheFirstRulesetGrantsTheSecondDoesNotWiden) {
  const bool userns = Sandbox::available().user_namespace;
  for (const char* seam : {"", "privilege"}) {
    if (*seam != '\0' && !userns) continue;
    DisableFeatures off(seam);
    for (const Row& row : rows()) {
      SCOPED_TRACE(std::string(row.name) + (*seam != '\0' ? " as a user namespace" : ""));
      SandboxSpec open = SandboxSpec::workspace(ws_.path());
      row.grant(open, tools_.path());
      auto granted = Sandbox::build(open);
      ASSERT_TRUE(granted) << granted.error();
      const Output through = run(row.argv(tools_.path()), *granted);
      EXPECT_NE(through.stdout.find(row.proof), std::string::npos)
          << "the row must work where it is granted; stderr: " << through.stderr;

      SandboxSpec closed = SandboxSpec::workspace(ws_.path());
      if (row.deny) row.deny(closed, tools_.path());
      auto denied = Sandbox::build(closed);
      ASSERT_TRUE(denied) << denied.error();
      // Twice: the shared ruleset must be as the first command found it.
      for (int round = 0; round < 2; ++round) {
        const Output out = run(row.argv(tools_.path()), *denied);
        EXPECT_EQ(out.stdout.find(row.proof), std::string::npos)
            << "the sandbox let it through; stdout: " << out.stdout;
      }
    }
  }
}

// The command's own program and its interpreters keep running, from any readable or
// unreadable place, with or without /proc rules, on every run of one sandbox.
TEST_F(SandboxLayers, TheCommandsOwnProgramsStillStart) {
  test::write_file(ws_ / "tool.sh", "#!/bin/sh\necho sh ok\n", 0755);
  SandboxSpec spec = SandboxSpec::workspace(ws_.path());
  spec.read.emplace_back("/proc");
  spec.exec.emplace_back(tool("true"));
  auto with_proc = Sandbox::build(spec);
  ASSERT_TRUE(with_proc) << with_proc.error();
  auto plain = Sandbox::build(SandboxSpec::workspace(ws_.path()));
  ASSERT_TRUE(plain) << plain.error();
  const struct {
    const Sandbox* sandbox;
    std::vector<std::string> argv;
    const char* out;
  } cases[] = {
      {&*plain, {(tools_ / "cat").native(), "data.txt"}, "hello\n"},
      {&*plain, {(ws_ / "tool.sh").native()}, "sh ok\n"},
      {&*with_proc, {tool("grep"), "-c", "^Name:", "/proc/self/status"}, "1\n"},
      {&*with_proc,
       {tool("find"), ".", "-maxdepth", "0", "-exec", tool("true"), ";", "-print"},
       ".\n"},
      {&*with_proc, {(tools_ / "cat").native(), "data.txt"}, "hello\n"},
  };
  for (int round = 0; round < 2; ++round) {
    for (const auto& c : cases) {
      const Output out = run(c.argv, *c.sandbox);
      EXPECT_EQ(out.status, 0) << c.argv.front() << ": " << out.stderr;
      EXPECT_EQ(out.stdout, c.out) << c.argv.front();
    }
  }
}

// A sandbox remembers what a binary's start needs executed; a script rewritten between
// two starts (in place, or replaced by another file) names another interpreter, which
// the next start must grant, and the one it no longer names must not stay granted.
TEST_F(SandboxLayers, ARememberedStartFollowsARewrittenScript) {
  auto sandbox = Sandbox::build(SandboxSpec::workspace(ws_.path()));
  ASSERT_TRUE(sandbox) << sandbox.error();
  const Path script = tools_ / "tool";
  const std::string python = tool("python3");
  const struct {
    std::string body;
    bool replace;  // a new file renamed over the old one, else rewritten in place
    const char* out;
  } steps[] = {
      {"#!/bin/sh\necho sh ok\n", false, "sh ok\n"},
      {"#!" + python + "\nprint('py ok')\n", false, "py ok\n"},
      {"#!/bin/sh\necho sh again\n", true, "sh again\n"},
      // The shell is no longer this start's interpreter: a script that hands itself to
      // it finds it not executable.
      {"#!" + python + "\nimport os\nos.execv('/bin/sh', ['sh', '-c', 'echo escaped'])\n", false,
       nullptr},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.body);
    if (step.replace) {
      test::write_file(tools_ / "next", step.body, 0755);
      std::filesystem::rename((tools_ / "next").native(), script.native());
    } else {
      test::write_file(script, step.body, 0755);
    }
    const Output out = run({script.native()}, *sandbox);
    if (step.out != nullptr) {
      EXPECT_EQ(out.stdout, step.out) << out.stderr;
    } else {
      EXPECT_EQ(out.stdout, "");
      EXPECT_NE(out.status, 0);
    }
  }
}

// A sandbox's limit above the caller's own hard limit is the caller's: the child cannot
// raise it, and the start must not fail for trying. The caller lowers its own limit in a
// process of its own (a root without CAP_SYS_RESOURCE could not raise it again).
TEST_F(SandboxLayers, ALimitAboveTheCallersIsTheCallers) {
  SandboxSpec spec = SandboxSpec::workspace(ws_.path());
  spec.limits.open_files = 1000;
  auto sandbox = Sandbox::build(spec);
  ASSERT_TRUE(sandbox) << sandbox.error();
  const std::vector<std::string> argv = {tool("dash"), "-c", "ulimit -Sn; ulimit -Hn"};
  const struct {
    rlim_t caller;  // 0: as it is
    const char* out;
  } rows[] = {{0, "1000\n1000\n"}, {600, "600\n600\n"}};
  for (const auto& row : rows) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const rlimit lowered{row.caller, row.caller};
      if (row.caller != 0 && ::setrlimit(RLIMIT_NOFILE, &lowered) != 0) ::_exit(3);
      const Output out = run(argv, *sandbox);
      const std::string text = out.stdout + out.stderr;
      ::_exit(::write(pipe_fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size())
                  ? 0
                  : 4);
    }
    ::close(pipe_fds[1]);
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0)
      got.append(buf, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(got, row.out) << "caller's limit " << row.caller;
  }
}

}  // namespace
}  // namespace corvane
