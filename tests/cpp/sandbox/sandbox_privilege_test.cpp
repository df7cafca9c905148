// The sandbox against a command that starts out strong: root on a root host, root of
// its own user namespace, or an agent that controls the command's PATH and workspace.
// Every attack runs on the real run path twice: without the sandbox, where it must
// work (or the row proves nothing), and inside it, where it must fail.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/sched.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "corvane/sandbox.hpp"
#include "prepared_peer.hpp"
#include "sandbox/launch.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using test::DisableFeatures;
using test::TempDir;

std::string probe() {
  return test::helper_path("privilege_probe").native();
}

// A System V segment with a known key holding "corvane-shared", removed on destruction.
class SharedSegment {
 public:
  SharedSegment() {
    std::random_device random;
    for (int attempt = 0; attempt < 16 && id_ < 0; ++attempt) {
      key_ = static_cast<key_t>(random() & 0x3fffffff) + 1;
      id_ = ::shmget(key_, 4096, IPC_CREAT | IPC_EXCL | 0600);
    }
    if (id_ < 0) return;
    void* at = ::shmat(id_, nullptr, 0);
    if (at == reinterpret_cast<void*>(-1)) return;
    std::memcpy(at, "corvane-shared", 15);
    ::shmdt(at);
  }
  ~SharedSegment() {
    if (id_ >= 0) ::shmctl(id_, IPC_RMID, nullptr);
  }
  SharedSegment(const SharedSegment&) = delete;
  SharedSegment& operator=(const SharedSegment&) = delete;

  [[nodiscard]] key_t key() const noexcept { return key_; }

 private:
  key_t key_ = 0;
  int id_ = -1;
};

// The workspace `ws` of a temporary tree, and the segment the IPC rows reach for.
struct Scene {
  TempDir root;
  Path ws = root / "ws";
  SharedSegment segment;

  Scene() {
    test::make_dirs(ws);
    ::chmod(root.path().c_str(), 0755);
  }
};

struct Attack {
  const char* name;
  // CORVANE_SANDBOX_DISABLE while the sandbox is built: "privilege" gives the user
  // namespace an ordinary caller gets (its root mapped to this root).
  const char* seam;
  std::function<void(SandboxSpec&)> widen;  // adjusts the workspace sandbox, or null
  std::function<std::vector<std::string>(Scene&)> argv;
  std::function<bool(const std::string& out)> worked;
  int capability = -1;  // the one the attack needs from the host, which may lack it
};

std::function<std::vector<std::string>(Scene&)> op(std::string name) {
  return [name](Scene&) { return std::vector<std::string>{probe(), name}; };
}

std::function<bool(const std::string&)> printed(std::string word) {
  return [word](const std::string& out) { return out == word + "\n"; };
}

bool host_has(int capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

void read_root(SandboxSpec& spec) {
  spec.read.emplace_back("/");
}
// Network on and programs allowed: only the rows every sandbox has are left in its filter.
void open_up(SandboxSpec& spec) {
  spec.network = true;
  spec.exec.emplace_back("/usr/bin");
}

std::vector<std::string> shm_attach(Scene& s) {
  return {probe(), "shm:" + std::to_string(s.segment.key())};
}

std::string host_environ() {
  return "/proc/" + std::to_string(::getpid()) + "/environ";
}

const std::vector<Attack>& attacks() {
  static const std::vector<Attack> table = {
      // A root host's command keeps no capability.
      {"root_reads_the_kernel_log", "", nullptr, op("klog"), printed("klog"), CAP_SYSLOG},
      {"root_sets_the_hostname", "", nullptr, op("hostname"), printed("hostname"), CAP_SYS_ADMIN},
      {"root_creates_a_bpf_map", "", nullptr, op("bpf"), printed("bpf"), CAP_BPF},
      {"root_opens_a_system_wide_perf_event", "", nullptr, op("perf"), printed("perf"),
       CAP_PERFMON},
      {"root_opens_a_kernel_userfaultfd", "", nullptr, op("userfaultfd"), printed("userfaultfd"),
       CAP_SYS_PTRACE},
      {"root_raises_a_hard_limit", "", nullptr, op("rlimit"), printed("rlimit"), CAP_SYS_RESOURCE},
      {"root_unshares_a_network_namespace", "", nullptr, op("unshare-net"), printed("unshare-net")},
      // The keyrings follow the uid, not a capability: seccomp closes them.
      {"root_writes_its_user_keyring", "", open_up, op("keyring"), printed("keyring")},
      {"userns_root_writes_a_keyring", "privilege", nullptr, op("keyring"), printed("keyring")},
      // Nor does root of the command's own user namespace.
      {"userns_root_unshares_a_network_namespace", "privilege", nullptr, op("unshare-net"),
       printed("unshare-net")},
      // The host's System V IPC is out of reach.
      {"attach_host_shared_memory", "", nullptr, shm_attach, printed("corvane-shared")},
      {"attach_host_shared_memory_from_a_user_namespace", "privilege", nullptr, shm_attach,
       printed("corvane-shared")},
      // With "/" readable, /proc is the namespace's own: no host process, no host environment.
      {"list_host_processes_with_root_readable", "", read_root, op("pids"),
       [](const std::string& out) { return std::atoi(out.c_str()) > 1; }},
      {"read_host_environ_with_root_readable", "", read_root,
       [](Scene&) { return std::vector<std::string>{"/usr/bin/cat", host_environ()}; },
       [](const std::string& out) { return !out.empty(); }},
      {"list_host_processes_with_root_readable_from_a_user_namespace", "privilege", read_root,
       op("pids"), [](const std::string& out) { return std::atoi(out.c_str()) > 1; }},
      // Where the kernel refuses a new procfs, /proc is hidden, or shows the command itself.
      {"list_host_processes_where_no_new_procfs", "procfs", read_root, op("pids"),
       [](const std::string& out) { return std::atoi(out.c_str()) > 1; }},
      {"read_host_environ_where_no_new_procfs", "procfs", read_root,
       [](Scene&) { return std::vector<std::string>{"/usr/bin/cat", host_environ()}; },
       [](const std::string& out) { return !out.empty(); }},
      {"read_host_environ_with_proc_readable_where_no_new_procfs", "procfs",
       [](SandboxSpec& spec) { spec.read.emplace_back("/proc"); },
       [](Scene&) { return std::vector<std::string>{"/usr/bin/cat", host_environ()}; },
       [](const std::string& out) { return !out.empty(); }},
      // An allowed script's interpreter chain never reaches a file the agent could write.
      {"env_name_found_first_on_the_agents_path", "", nullptr,
       [](Scene& s) {
         test::write_file(s.ws / "mytool", "#!/bin/sh\necho ran-mytool\n", 0755);
         test::write_file(s.ws / "run", "#!/usr/bin/env mytool\n", 0755);
         return std::vector<std::string>{(s.ws / "run").native()};
       },
       printed("ran-mytool")},
      {"interpreter_written_into_the_workspace", "", nullptr,
       [](Scene& s) {
         test::write_file(s.ws / "mytool", "#!/bin/sh\necho ran-mytool\n", 0755);
         test::write_file(s.ws / "run", "#!" + (s.ws / "mytool").native() + "\n", 0755);
         return std::vector<std::string>{(s.ws / "run").native()};
       },
       printed("ran-mytool")},
  };
  return table;
}

void PrintTo(const Attack& attack, std::ostream* os) {
  *os << attack.name;
}

class PrivilegeAttack : public ::testing::TestWithParam<Attack> {
 protected:
  // The command as an agent would ask for it: its workspace first on PATH.
  static PreparedCommand command(const std::vector<std::string>& argv, const Path& ws) {
    PreparedCommandTestPeer p;
    p.bin = argv.front();
    p.argv.assign(argv.begin() + 1, argv.end());
    p.cwd = ws;
    p.env = {{"PATH", ws.native() + ":/usr/bin:/bin"}, {"LC_ALL", "C"}};
    p.timeout = millis(10000);
    return p.make();
  }
};

TEST_P(PrivilegeAttack, WorksWithoutTheSandboxAndFailsInside) {
  const Attack& attack = GetParam();
  if (::geteuid() != 0) GTEST_SKIP() << "the attacks start from root";
  if (attack.capability >= 0 && !host_has(attack.capability))
    GTEST_SKIP() << "this host's root lacks capability " << attack.capability;
  const SandboxSupport support = Sandbox::available();
  if (support.landlock_abi == 0 || !support.pid_namespace)
    GTEST_SKIP() << "needs Landlock and a PID namespace: " << support.describe();
  {
    Scene bare;
    const RunResult ran = command(attack.argv(bare), bare.ws).run(RunOptions{});
    ASSERT_TRUE(ran.result) << to_string(ran.result.error());
    EXPECT_TRUE(attack.worked(ran.result->stdout))
        << "the attack must work without the sandbox; stdout: " << ran.result->stdout
        << " stderr: " << ran.result->stderr;
  }
  DisableFeatures off(attack.seam);
  if (std::string_view(attack.seam) == "privilege" && !Sandbox::available().user_namespace)
    GTEST_SKIP() << "no user namespace here";
  Scene boxed;
  SandboxSpec spec = SandboxSpec::workspace(boxed.ws);
  if (attack.widen) attack.widen(spec);
  auto sandbox = Sandbox::build(spec);
  ASSERT_TRUE(sandbox) << sandbox.error();
  const RunResult ran =
      command(attack.argv(boxed), boxed.ws).with_sandbox(*sandbox).value().run(RunOptions{});
  // A start the kernel refused (an interpreter without the execute right) is blocked too.
  if (!ran.result) {
    EXPECT_TRUE(std::holds_alternative<exec_error::SpawnFailed>(ran.result.error()))
        << to_string(ran.result.error());
    return;
  }
  EXPECT_FALSE(attack.worked(ran.result->stdout))
      << "the sandbox let it through; stdout: " << ran.result->stdout
      << " stderr: " << ran.result->stderr;
}

INSTANTIATE_TEST_SUITE_P(Attacks, PrivilegeAttack, ::testing::ValuesIn(attacks()),
                         [](const auto& info) { return std::string(info.param.name); });

// Whatever the containment, the command starts with no capability at all.
TEST(SandboxPrivilege, EveryContainmentStartsTheCommandWithoutCapabilities) {
  if (::geteuid() != 0) GTEST_SKIP() << "the command starts as root only on a root host";
  const struct {
    const char* seam;
    bool keep_background;
  } rows[] = {
      {"", false},           // PID namespace
      {"privilege", false},  // user and PID namespace: root of its own namespace
      {"pidns", false},      // process group
      {"", true},            // no containment
  };
  TempDir dir;
  const std::vector<std::string> argv{probe(), "caps"};
  PreparedCommandTestPeer p;
  p.bin = argv[0];
  p.argv = {argv[1]};
  const RunResult bare = p.make().run(RunOptions{});
  ASSERT_TRUE(bare.result) << to_string(bare.result.error());
  ASSERT_NE(bare.result->stdout, "0 0 0\n") << "root must hold capabilities without a sandbox";
  for (const auto& row : rows) {
    DisableFeatures off(row.seam);
    SandboxSpec spec = SandboxSpec::workspace(dir.path());
    spec.keep_background = row.keep_background;
    spec.best_effort = true;  // the process group lacks signal scoping before Landlock ABI 6
    auto sandbox = Sandbox::build(spec);
    ASSERT_TRUE(sandbox) << sandbox.error();
    const RunResult ran = p.make().with_sandbox(*sandbox).value().run(RunOptions{});
    ASSERT_TRUE(ran.result) << to_string(ran.result.error());
    EXPECT_EQ(ran.result->stdout, "0 0 0\n")
        << containment_name(sandbox->containment()) << ": " << ran.result->stderr;
  }
}

// A mount namespace (and a /proc of the command's own) costs a start several times
// over: it is made exactly when a listed path reaches /proc, through a link as well.
TEST(SandboxProc, AMountNamespaceOnlyWhenAListedPathReachesProc) {
  const SandboxSupport support = Sandbox::available();
  if (support.landlock_abi == 0 || !support.pid_namespace)
    GTEST_SKIP() << "needs Landlock and a PID namespace: " << support.describe();
  TempDir dir;
  test::make_symlink(Path("/"), dir / "to-root");
  const struct {
    std::vector<Path> read;
    bool own_proc;
  } rows[] = {
      {{}, false},       {{"/tmp", "/usr"}, false},     {{"/"}, true},
      {{"/proc"}, true}, {{"/proc/self/status"}, true}, {{dir / "to-root"}, true},
  };
  for (const char* seam : {"", "privilege"}) {
    DisableFeatures off(seam);
    for (const auto& row : rows) {
      SandboxSpec spec;
      spec.read = row.read;
      auto sandbox = Sandbox::build(spec);
      ASSERT_TRUE(sandbox) << sandbox.error();
      auto launch = prepare_launch(*sandbox, Path("/usr/bin/true"));
      ASSERT_TRUE(launch) << launch.error();
      const std::string what =
          std::string(seam) + " " + (row.read.empty() ? "" : row.read[0].native());
      EXPECT_EQ((launch->clone_flags() & CLONE_NEWNS) != 0, row.own_proc) << what;
      EXPECT_EQ((launch->clone_flags() & CLONE_NEWIPC) != 0, support.ipc_namespace) << what;
    }
  }
}

// The command's own /proc replaces /proc only: a listed path that reaches a procfs
// mounted elsewhere is refused.
TEST(SandboxProc, AProcMountedElsewhereUnderAListedPathIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a procfs needs root";
  TempDir dir;
  const Path mount = dir / "host-proc";
  test::make_dirs(mount);
  const int code = test::in_child([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("proc", mount.c_str(), "proc", 0, nullptr) != 0)
      return 3;
    for (const Path& listed : {dir.path(), mount / "1"}) {
      auto sandbox = Sandbox::build({.read = {listed}});
      if (sandbox || sandbox.error() != "sandbox path " + listed.native() +
                                            " reaches the host's processes, a /proc mounted at " +
                                            mount.native())
        return 1;
    }
    return Sandbox::build({.read = {"/usr"}}) ? 0 : 2;
  });
  EXPECT_EQ(code, 0);
}

// What the fixes must leave alone: a `#!/usr/bin/env NAME` script still finds NAME in
// the system's directories with the agent's PATH in front, and a root command still
// reads its own /proc with "/" readable.
TEST(SandboxPrivilegeAllows, OrdinaryWorkStillRuns) {
  const SandboxSupport support = Sandbox::available();
  if (support.landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
  Scene scene;
  test::write_file(scene.ws / "tool.py", "#!/usr/bin/env python3\nprint('py ok')\n", 0755);
  SandboxSpec spec = SandboxSpec::workspace(scene.ws);
  read_root(spec);
  auto sandbox = Sandbox::build(spec);
  ASSERT_TRUE(sandbox) << sandbox.error();
  const struct {
    std::vector<std::string> argv;
    std::string out;
  } rows[] = {
      {{(scene.ws / "tool.py").native()}, "py ok\n"},
      {{"/usr/bin/cat", "/proc/self/comm"}, "cat\n"},
      {{"/usr/bin/touch", "made"}, ""},
  };
  for (const auto& row : rows) {
    PreparedCommandTestPeer p;
    p.bin = row.argv.front();
    p.argv.assign(row.argv.begin() + 1, row.argv.end());
    p.cwd = scene.ws;
    p.env = {{"PATH", scene.ws.native() + ":/usr/bin:/bin"}};
    const RunResult ran = p.make().with_sandbox(*sandbox).value().run(RunOptions{});
    ASSERT_TRUE(ran.result) << to_string(ran.result.error());
    EXPECT_EQ(ran.result->status, 0) << row.argv[0] << ": " << ran.result->stderr;
    EXPECT_EQ(ran.result->stdout, row.out) << row.argv[0];
  }
}

}  // namespace
}  // namespace corvane
