// Sandbox tests: every attack runs twice, once without the sandbox (where it must
// work, or the test proves nothing) and once inside it (where the kernel must stop it).
// The child is started by a small clone3 harness here, the way the start path does.
#include "corvane/sandbox.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "sandbox/launch.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

struct Ran {
  int status = -1;
  siginfo_t exit{};                 // as waitid reported the command's end
  std::chrono::microseconds cpu{};  // its user and system time
  std::string out;
  std::string err;
  bool timed_out = false;
  int survivors = 0;  // processes still holding the child's stdout after it ended
};

// Processes (by host pid) whose descriptor table holds the pipe `fd` refers to.
std::vector<pid_t> pipe_holders(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return {};
  const std::string wanted = "pipe:[" + std::to_string(st.st_ino) + "]";
  std::vector<pid_t> holders;
  std::error_code ec;
  for (const auto& proc : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = proc.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto pid = static_cast<pid_t>(std::stol(name));
    if (pid == ::getpid()) continue;
    std::error_code fd_ec;
    for (const auto& entry : std::filesystem::directory_iterator(proc.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      if (std::filesystem::read_symlink(entry.path(), link_ec).native() == wanted) {
        holders.push_back(pid);
        break;
      }
    }
  }
  return holders;
}

struct Options {
  const Sandbox* sandbox = nullptr;
  std::optional<test::Unprivileged> as;  // switch to this identity before the sandbox
  std::chrono::milliseconds timeout = 5s;
};

// Starts argv[0] (canonical) in `cwd` the way the start path does: clone3 with the
// sandbox's flags, file actions, the sandbox, then exec. Reaps the child, kills and
// counts any process left holding its stdout.
Ran run(const std::vector<std::string>& args, const Path& cwd, const Options& opt) {
  Ran ran;
  EnvMap env{{"PATH", "/usr/bin:/bin"}, {"HOME", cwd.native()}, {"LC_ALL", "C"}};
  std::optional<SandboxLaunch> launch;
  if (opt.sandbox != nullptr) {
    auto prepared = prepare_launch(*opt.sandbox, Path(args[0]));
    if (!prepared) {
      ADD_FAILURE() << prepared.error();
      return ran;
    }
    launch.emplace(std::move(*prepared));
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (const auto& [k, v] : env) env_text.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return ran;
  }
  int pidfd = -1;
  clone_args ca{};
  ca.flags = CLONE_PIDFD | (launch ? launch->clone_flags() : 0);
  ca.pidfd = reinterpret_cast<std::uint64_t>(&pidfd);
  ca.exit_signal = SIGCHLD;
  const long pid = ::syscall(SYS_clone3, &ca, sizeof ca);
  if (pid == 0) {
    // The child: system calls only, as in the start path.
    const int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (::chdir(cwd.c_str()) != 0) ::_exit(125);
    if (opt.as) {
      if (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
          ::syscall(SYS_setresgid, opt.as->gid, opt.as->gid, opt.as->gid) != 0 ||
          ::syscall(SYS_setresuid, opt.as->uid, opt.as->uid, opt.as->uid) != 0)
        ::_exit(124);
    }
    if (launch) {
      if (const int e = launch->apply(); e != 0) {
        char msg[] = "apply failed: errno XXX\n";
        msg[20] = static_cast<char>('0' + e / 100 % 10);
        msg[21] = static_cast<char>('0' + e / 10 % 10);
        msg[22] = static_cast<char>('0' + e % 10);
        (void)!::write(2, msg, sizeof msg - 1);
        ::_exit(126);
      }
    }
    ::syscall(SYS_close_range, 3U, ~0U, 0U);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid < 0) {
    ADD_FAILURE() << "clone3: " << strerror(errno);
    ::close(out[0]);
    ::close(err[0]);
    return ran;
  }
  const auto deadline = std::chrono::steady_clock::now() + opt.timeout;
  auto stop_at = deadline;
  bool out_open = true, err_open = true, reaped = false;
  const auto reap = [&] {
    siginfo_t& info = ran.exit;
    rusage usage{};
    ::syscall(SYS_waitid, P_PIDFD, pidfd, &info, WEXITED, &usage);
    ran.cpu = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    ran.status = info.si_code == CLD_EXITED ? (info.si_status & 0xff) << 8 : info.si_status & 0x7f;
    reaped = true;
    // A process-group sandbox is ended as a group once the command is gone.
    if (launch && launch->containment() == Containment::ProcessGroup) ::kill(-pid, SIGKILL);
    // Whatever still holds stdout now outlived the command: give it a moment to go.
    stop_at = std::min(deadline, std::chrono::steady_clock::now() + 300ms);
  };
  while (out_open || err_open || !reaped) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        stop_at - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0},
                     {err_open ? err[0] : -1, POLLIN, 0},
                     {reaped ? -1 : pidfd, POLLIN, 0}};
    if (::poll(fds, 3, static_cast<int>(left.count())) < 0) continue;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        (i == 0 ? out_open : err_open) = false;
      } else {
        (i == 0 ? ran.out : ran.err).append(buf, static_cast<std::size_t>(n));
      }
    }
    if (fds[2].revents != 0) reap();
  }
  if (!reaped) {
    ran.timed_out = true;
    ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    reap();
  }
  if (out_open) {
    const std::vector<pid_t> holders = pipe_holders(out[0]);
    ran.survivors = static_cast<int>(holders.size());
    for (const pid_t holder : holders) ::kill(holder, SIGKILL);
  }
  ::close(out[0]);
  ::close(err[0]);
  ::close(pidfd);
  return ran;
}

using test::DisableFeatures;

// A temporary tree: the workspace `ws` (the sandbox's writable directory), a sibling
// `outside` and a secret file next to them, none of which the sandbox lets through.
struct Scene {
  TempDir root;
  Path ws = root / "ws";
  Path outside = root / "outside";
  Path secret = root / "secret.txt";

  Scene() {
    test::make_dirs(ws);
    test::make_dirs(outside);
    test::write_file(ws / "data.txt", "hello\n", 0644);
    test::write_file(secret, "TOPSECRET\n", 0644);
    ::chmod(root.path().c_str(), 0755);  // reachable by the unprivileged rows
  }
};

std::string tool(const char* name) {
  return std::filesystem::canonical(Path("/usr/bin") / name).native();
}

bool present(const Path& p) {
  return ::access(p.c_str(), F_OK) == 0;
}

struct Attack {
  const char* name;
  // Adjusts the workspace sandbox for this attack (a limit, an extra read path, ...).
  std::function<void(SandboxSpec&, Scene&)> widen;
  std::function<std::vector<std::string>(Scene&)> argv;
  // True when the attack got through.
  std::function<bool(const Ran&, Scene&)> worked;
  bool unprivileged = false;  // run as an ordinary user (process limits do not bind root)
  std::chrono::milliseconds timeout = 5s;  // for the run without the sandbox
  const char* breach = nullptr;  // what Sandbox::limit_breach must say of the sandboxed run
};

bool printed_uid(const Ran& r, Scene&) {
  return r.out.find("uid=") != std::string::npos;
}

int listener_port() {
  static const int port = [] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return -1;
    return static_cast<int>(ntohs(addr.sin_port));  // kept open for the whole test program
  }();
  return port;
}

std::string probe() {
  return test::helper_path("sandbox_probe").native();
}

const std::vector<Attack>& attacks() {
  static const std::vector<Attack> table = {
      {"sed_e_command", nullptr,
       [](Scene&) {
         return std::vector<std::string>{tool("sed"), "-n", "1e /usr/bin/id", "data.txt"};
       },
       printed_uid},
      {"find_exec", nullptr,
       [](Scene&) {
         return std::vector<std::string>{tool("find"), ".",           "-maxdepth", "0",
                                         "-exec",      "/usr/bin/id", ";"};
       },
       printed_uid},
      {"git_alias_shell", nullptr,
       [](Scene&) {
         return std::vector<std::string>{tool("git"), "-c", "alias.x=!/usr/bin/id", "x"};
       },
       printed_uid},
      {"cp_outside", nullptr,
       [](Scene& s) {
         return std::vector<std::string>{tool("cp"), "data.txt", (s.outside / "cp.txt").native()};
       },
       [](const Ran&, Scene& s) { return present(s.outside / "cp.txt"); }},
      {"tee_outside", nullptr,
       [](Scene& s) {
         return std::vector<std::string>{tool("tee"), (s.outside / "tee.txt").native()};
       },
       [](const Ran&, Scene& s) { return present(s.outside / "tee.txt"); }},
      {"symlink_planted_in_workspace", nullptr,
       [](Scene& s) {
         test::make_symlink(s.outside / "via_link.txt", s.ws / "link");
         return std::vector<std::string>{tool("tee"), "link"};
       },
       [](const Ran&, Scene& s) { return present(s.outside / "via_link.txt"); }},
      {"dot_dot_out_of_workspace", nullptr,
       [](Scene&) {
         return std::vector<std::string>{tool("cp"), "data.txt", "../outside/dots.txt"};
       },
       [](const Ran&, Scene& s) { return present(s.outside / "dots.txt"); }},
      {"read_outside_read_list", nullptr,
       [](Scene& s) { return std::vector<std::string>{tool("cat"), s.secret.native()}; },
       [](const Ran& r, Scene&) { return r.out.find("TOPSECRET") != std::string::npos; }},
      {"tcp_connect_loopback", nullptr,
       [](Scene&) {
         return std::vector<std::string>{probe(), "connect:" + std::to_string(listener_port())};
       },
       [](const Ran& r, Scene&) { return r.out == "connected\n"; }},
      // /proc is readable here on purpose: the host's environment must stay out of reach anyway.
      {"host_environ", nullptr,
       [](Scene&) {
         return std::vector<std::string>{tool("cat"),
                                         "/proc/" + std::to_string(::getpid()) + "/environ"};
       },
       [](const Ran& r, Scene&) { return !r.out.empty(); }},
      {"host_environ_with_proc_readable",
       [](SandboxSpec& spec, Scene&) { spec.read.emplace_back("/proc"); },
       [](Scene&) {
         return std::vector<std::string>{tool("cat"),
                                         "/proc/" + std::to_string(::getpid()) + "/environ"};
       },
       [](const Ran& r, Scene&) { return !r.out.empty(); }},
      {"signal_the_host", nullptr,
       [](Scene&) {
         return std::vector<std::string>{probe(), "signal:" + std::to_string(::getpid())};
       },
       [](const Ran& r, Scene&) { return r.out == "signalled\n"; }},
      // An exec list lets the command start processes, so the limit and the containment
      // are what stops the next rows.
      {"fork_bomb_under_process_limit",
       [](SandboxSpec& spec, Scene&) {
         spec.limits.processes = 16;
         spec.exec.emplace_back(probe());
       },
       [](Scene&) { return std::vector<std::string>{probe(), "forks:64"}; },
       [](const Ran& r, Scene&) { return r.out == "64\n"; }, true},
      {"allocate_past_memory_limit",
       [](SandboxSpec& spec, Scene&) { spec.limits.memory = 256ULL << 20; },
       [](Scene&) { return std::vector<std::string>{probe(), "alloc:1024"}; },
       [](const Ran& r, Scene&) { return r.out == "allocated\n"; }},
      {"spin_past_cpu_limit", [](SandboxSpec& spec, Scene&) { spec.limits.cpu_seconds = 1; },
       [](Scene&) { return std::vector<std::string>{probe(), "spin"}; },
       [](const Ran& r, Scene&) { return r.timed_out; }, false, 2s,
       "CPU time limit of 1 s exceeded"},
      {"write_past_file_size_limit",
       [](SandboxSpec& spec, Scene&) { spec.limits.file_size = 1 << 20; },
       [](Scene&) {
         return std::vector<std::string>{tool("dd"), "if=/dev/zero", "of=big", "bs=1M", "count=4"};
       },
       [](const Ran&, Scene& s) {
         std::error_code ec;
         return std::filesystem::file_size(s.ws / "big", ec) >= (4U << 20);
       },
       false},
      {"setsid_f_survives_the_run",
       [](SandboxSpec& spec, Scene&) { spec.exec.emplace_back(tool("sleep")); },
       [](Scene&) { return std::vector<std::string>{tool("setsid"), "-f", tool("sleep"), "60"}; },
       [](const Ran& r, Scene&) { return r.survivors > 0; }},
      {"double_fork_survives_the_run",
       [](SandboxSpec& spec, Scene&) { spec.exec.emplace_back(probe()); },
       [](Scene&) { return std::vector<std::string>{probe(), "survive"}; },
       [](const Ran& r, Scene&) { return r.survivors > 0; }},
  };
  return table;
}

class SandboxAttack : public ::testing::TestWithParam<Attack> {};

TEST_P(SandboxAttack, WorksWithoutTheSandboxAndFailsInside) {
  const Attack& attack = GetParam();
  std::optional<test::Unprivileged> as;
  if (attack.unprivileged) {
    as = test::unprivileged_identity();
    if (!as && ::geteuid() == 0) GTEST_SKIP() << "no unprivileged identity to switch to";
  }
  const SandboxSupport support = Sandbox::available();
  if (support.landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
  {
    Scene bare;
    const std::vector<std::string> argv = attack.argv(bare);
    const Ran ran = run(argv, bare.ws, {nullptr, as, attack.timeout});
    EXPECT_TRUE(attack.worked(ran, bare))
        << "the attack must work without the sandbox; stdout: " << ran.out
        << " stderr: " << ran.err;
  }
  Scene boxed;
  SandboxSpec spec = SandboxSpec::workspace(boxed.ws);
  if (attack.widen) attack.widen(spec, boxed);
  auto sandbox = Sandbox::build(spec);
  ASSERT_TRUE(sandbox) << sandbox.error();
  const std::vector<std::string> argv = attack.argv(boxed);
  // A sandboxed run must end by itself, long before this (CPU time is slow to come by
  // on a busy machine).
  const Ran ran = run(argv, boxed.ws, {&*sandbox, as, 20s});
  EXPECT_FALSE(attack.worked(ran, boxed))
      << "the sandbox let it through; stdout: " << ran.out << " stderr: " << ran.err;
  EXPECT_FALSE(ran.timed_out) << "a sandboxed run must end by itself";
  EXPECT_EQ(ran.survivors, 0);
  if (attack.breach != nullptr) {
    EXPECT_EQ(sandbox->limit_breach(ran.exit, ran.cpu), attack.breach)
        << "signal " << ran.exit.si_status << " after " << ran.cpu.count() << " us of CPU";
  }
}

INSTANTIATE_TEST_SUITE_P(Attacks, SandboxAttack, ::testing::ValuesIn(attacks()),
                         [](const auto& info) { return std::string(info.param.name); });

// The set-uid row needs a root-owned set-uid copy of the probe run by an ordinary user.
TEST(SandboxAttackSetuid, NoNewPrivsKeepsASetuidHelperFromGainingRoot) {
  const auto as = test::unprivileged_identity();
  if (!as) GTEST_SKIP() << "needs root to make a set-uid binary and a user to run it";
  Scene scene;
  const Path suid = scene.root / "suid_probe";
  std::filesystem::copy_file(probe(), suid);
  ASSERT_EQ(::chmod(suid.c_str(), 04755), 0);
  const Ran bare = run({suid.native(), "euid"}, Path("/"), {nullptr, as, 5s});
  ASSERT_EQ(bare.out, "euid=0\n") << "the set-uid bit must work without the sandbox: " << bare.err;
  auto sandbox = Sandbox::build(SandboxSpec::workspace(scene.ws));
  ASSERT_TRUE(sandbox) << sandbox.error();
  const Ran boxed = run({suid.native(), "euid"}, Path("/"), {&*sandbox, as, 5s});
  EXPECT_EQ(boxed.out, "euid=" + std::to_string(as->uid) + "\n") << boxed.err;
}

// A sandbox must not get in the way of what the command is allowed to do.
TEST(SandboxAllows, OrdinaryWorkRunsNormally) {
  if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
  Scene scene;
  test::write_file(scene.ws / "tool.py", "#!/usr/bin/env python3\nimport json\nprint('py ok')\n",
                   0755);
  test::write_file(scene.ws / "tool.sh", "#!/bin/sh\necho sh ok > made.txt\n", 0755);
  auto sandbox = Sandbox::build(SandboxSpec::workspace(scene.ws));
  ASSERT_TRUE(sandbox) << sandbox.error();
  const struct {
    std::vector<std::string> argv;
    std::string out;
  } rows[] = {
      {{tool("sed"), "s/hello/bye/", "data.txt"}, "bye\n"},
      {{tool("git"), "--version"}, "git version"},
      {{tool("python3"), "-c", "import json; print(json.dumps(1))"}, "1\n"},
      {{(scene.ws / "tool.py").native()}, "py ok\n"},  // `env python3` found on PATH
      {{(scene.ws / "tool.sh").native()}, ""},         // writes in the workspace
      {{tool("cp"), "data.txt", "copy.txt"}, ""},
  };
  for (const auto& row : rows) {
    const Ran ran = run(row.argv, scene.ws, {&*sandbox, std::nullopt, 5s});
    EXPECT_EQ(ran.status, 0) << row.argv[0] << ": " << ran.err;
    EXPECT_EQ(ran.out.substr(0, row.out.size()), row.out) << row.argv[0];
  }
  EXPECT_TRUE(present(scene.ws / "made.txt"));
  EXPECT_TRUE(present(scene.ws / "copy.txt"));
}

// Only the signals of a broken limit count, and a SIGKILL only with the CPU time spent.
TEST(SandboxLimits, OnlyABrokenLimitIsReportedAsOne) {
  auto sandbox = Sandbox::build({.best_effort = true, .limits = {.cpu_seconds = 2}});
  ASSERT_TRUE(sandbox) << sandbox.error();
  const struct {
    int code;
    int status;
    std::chrono::microseconds cpu;
    std::optional<std::string> breach;
  } rows[] = {
      {CLD_KILLED, SIGXCPU, 0us, "CPU time limit of 2 s exceeded"},
      {CLD_KILLED, SIGKILL, 1000ms, "CPU time limit of 2 s exceeded"},  // ticks ran ahead
      {CLD_KILLED, SIGKILL, 900ms, std::nullopt},                       // killed for another reason
      {CLD_DUMPED, SIGXFSZ, 0us, "file size limit of 1073741824 bytes exceeded"},
      {CLD_EXITED, SIGXCPU, 5s, std::nullopt},  // exit code 24 is only an exit code
  };
  for (const auto& row : rows) {
    siginfo_t info{};
    info.si_code = row.code;
    info.si_status = row.status;
    EXPECT_EQ(sandbox->limit_breach(info, row.cpu), row.breach) << row.code << " " << row.status;
  }
}

TEST(SandboxBuild, AMissingPathIsNamed) {
  const struct {
    SandboxSpec spec;
    std::string error;
  } rows[] = {
      {{.read = {"/no/such/dir"}}, "sandbox path does not exist: /no/such/dir"},
      {{.write = {"relative/dir"}}, "sandbox path is not absolute: relative/dir"},
      {{.exec = {"/usr/bin/no-such-tool"}}, "sandbox path does not exist: /usr/bin/no-such-tool"},
  };
  for (const auto& row : rows) {
    auto sandbox = Sandbox::build(row.spec);
    ASSERT_FALSE(sandbox);
    EXPECT_EQ(sandbox.error(), row.error);
  }
}

// Each missing feature, forced through the test seam, is an error naming it, or is
// skipped and listed under best effort.
TEST(SandboxBuild, AMissingFeatureIsNamedUnlessBestEffort) {
  const struct {
    const char* disabled;
    SandboxSpec spec;
    std::string feature;
  } rows[] = {
      {"landlock", {}, "Landlock (file system and execute rules)"},
      {"seccomp", {}, "seccomp (closing the network and new programs)"},
      {"pidns,landlock-scope", {}, "a PID namespace or Landlock ABI 6 (signal scoping)"},
      {"landlock-scope",
       {.keep_background = true},
       "a PID namespace or Landlock ABI 6 (signal scoping)"},
  };
  for (const auto& row : rows) {
    DisableFeatures off(row.disabled);
    SandboxSpec spec = row.spec;
    auto strict = Sandbox::build(spec);
    ASSERT_FALSE(strict) << row.disabled;
    EXPECT_EQ(strict.error(),
              "sandbox needs " + row.feature + ", which this machine does not offer");
    spec.best_effort = true;
    auto lenient = Sandbox::build(spec);
    ASSERT_TRUE(lenient) << lenient.error();
    EXPECT_EQ(lenient->skipped(), std::vector<std::string>{row.feature});
  }
  // Even with network and further programs allowed, seccomp closes the keyrings.
  DisableFeatures off("seccomp");
  auto open = Sandbox::build({.exec = {"/usr/bin"}, .network = true});
  ASSERT_FALSE(open);
  EXPECT_EQ(
      open.error(),
      "sandbox needs seccomp (closing the kernel keyrings), which this machine does not offer");
}

TEST(SandboxBuild, ContainmentFollowsWhatTheMachineOffers) {
  const SandboxSupport real = Sandbox::available();
  if (!real.pid_namespace) GTEST_SKIP() << "no PID namespace here: " << real.describe();
  const struct {
    const char* disabled;
    bool keep_background;
    Containment expected;
  } rows[] = {
      {"", true, Containment::None},
      {"", false, real.privileged ? Containment::PidNamespace : Containment::UserPidNamespace},
      {"privilege", false,
       real.user_namespace ? Containment::UserPidNamespace : Containment::ProcessGroup},
      {"pidns", false, Containment::ProcessGroup},
  };
  for (const auto& row : rows) {
    DisableFeatures off(row.disabled);
    auto sandbox = Sandbox::build({.keep_background = row.keep_background});
    ASSERT_TRUE(sandbox) << row.disabled << ": " << sandbox.error();
    EXPECT_EQ(sandbox->containment(), row.expected)
        << row.disabled << ": " << containment_name(sandbox->containment());
  }
}

// The containment fallbacks still end the tree: under a user namespace a setsid'd
// grandchild dies too (and files made in the workspace belong to the caller); a
// process group catches a plain background child, which is all it can promise.
TEST(SandboxContainment, FallbacksEndTheTree) {
  if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
  const struct {
    const char* disabled;
    Containment expected;
    std::vector<std::string> argv;
  } rows[] = {
      {"privilege", Containment::UserPidNamespace, {probe(), "survive"}},
      {"pidns", Containment::ProcessGroup, {probe(), "background"}},
  };
  for (const auto& row : rows) {
    DisableFeatures off(row.disabled);
    Scene scene;
    SandboxSpec spec = SandboxSpec::workspace(scene.ws);
    spec.exec.emplace_back(probe());  // lets the probe start its background processes
    auto sandbox = Sandbox::build(spec);
    ASSERT_TRUE(sandbox) << sandbox.error();
    if (sandbox->containment() != row.expected) {
      ADD_FAILURE() << row.disabled << ": not available as " << containment_name(row.expected);
      continue;
    }
    const Ran ran = run(row.argv, scene.ws, {&*sandbox, std::nullopt, 5s});
    EXPECT_EQ(ran.status, 0) << row.disabled << ": " << ran.err;
    EXPECT_EQ(ran.survivors, 0) << row.disabled;
    EXPECT_FALSE(ran.timed_out) << row.disabled;
  }
}

// Without a PID namespace there is no /proc of the command's own: a listed /proc
// then shows the command its own entries and nothing of the host.
TEST(SandboxContainment, WithoutAPidNamespaceProcShowsOnlyTheCommandItself) {
  if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
  DisableFeatures off("pidns");
  Scene scene;
  SandboxSpec spec = SandboxSpec::workspace(scene.ws);
  spec.read.emplace_back("/proc");
  auto sandbox = Sandbox::build(spec);
  ASSERT_TRUE(sandbox) << sandbox.error();
  ASSERT_EQ(sandbox->containment(), Containment::ProcessGroup);
  const struct {
    std::string path;
    bool readable;
  } rows[] = {
      {"/proc/self/status", true},
      {"/proc/" + std::to_string(::getpid()) + "/environ", false},
      {"/proc/1/cmdline", false},
  };
  for (const auto& row : rows) {
    const Ran ran = run({tool("cat"), row.path}, scene.ws, {&*sandbox, std::nullopt, 5s});
    EXPECT_EQ(ran.status == 0 && !ran.out.empty(), row.readable) << row.path << ": " << ran.err;
  }
}

TEST(SandboxSupportTest, DescribesEveryFeature) {
  DisableFeatures off("landlock,seccomp");
  const std::string text = Sandbox::available().describe();
  EXPECT_EQ(text.substr(0, 30), "landlock: no, seccomp: no, pid");
}

}  // namespace
}  // namespace corvane
