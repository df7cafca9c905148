// A child for the privilege tests: each operation uses one power a sandboxed command
// must not have, prints a word when it worked and leaves the host as it found it.
//   klog          ask the kernel log how much is unread (CAP_SYSLOG)   -> "klog"
//   hostname      set the hostname to the one it has (CAP_SYS_ADMIN)   -> "hostname"
//   bpf           create a BPF queue map (CAP_BPF)                     -> "bpf"
//   perf          a system-wide perf event on CPU 0 (CAP_PERFMON)      -> "perf"
//   userfaultfd   a userfaultfd that handles kernel faults (CAP_SYS_PTRACE) -> "userfaultfd"
//   rlimit        lower the hard limit on descriptors and raise it back (CAP_SYS_RESOURCE)
//                 -> "rlimit"
//   unshare-net   a network namespace of its own (CAP_SYS_ADMIN in its user namespace)
//                 -> "unshare-net"
//   keyring       add a key to the user's keyring and unlink it again    -> "keyring"
//   shm:KEY       attach the System V segment KEY and print its first bytes
//   pids          the number of processes /proc shows
//   caps          its permitted, effective and inheritable capabilities, in hex
#include <dirent.h>
#include <fcntl.h>
#include <linux/bpf.h>
#include <linux/capability.h>
#include <linux/keyctl.h>
#include <linux/perf_event.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/klog.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
  return 1;
}

int worked(const char* word) {
  std::puts(word);
  return 0;
}

int do_klog() {
  // Unlike reading the whole log (open to all where dmesg_restrict is 0), this one
  // always needs CAP_SYSLOG, and it consumes nothing.
  constexpr int kSizeUnread = 9;
  if (::klogctl(kSizeUnread, nullptr, 0) < 0) return fail("syslog");
  return worked("klog");
}

int do_hostname() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return fail("gethostname");
  if (::sethostname(name, std::strlen(name)) != 0) return fail("sethostname");
  return worked("hostname");
}

int do_bpf() {
  // A queue map needs CAP_BPF whatever kernel.unprivileged_bpf_disabled says.
  bpf_attr attr{};
  attr.map_type = BPF_MAP_TYPE_QUEUE;
  attr.key_size = 0;
  attr.value_size = 4;
  attr.max_entries = 1;
  const long fd = ::syscall(SYS_bpf, BPF_MAP_CREATE, &attr, sizeof attr);
  if (fd < 0) return fail("bpf");
  ::close(static_cast<int>(fd));
  return worked("bpf");
}

int do_perf() {
  perf_event_attr attr{};
  attr.type = PERF_TYPE_SOFTWARE;
  attr.size = sizeof attr;
  attr.config = PERF_COUNT_SW_CPU_CLOCK;
  attr.disabled = 1;
  const long fd = ::syscall(SYS_perf_event_open, &attr, -1, 0, -1, PERF_FLAG_FD_CLOEXEC);
  if (fd < 0) return fail("perf_event_open");
  ::close(static_cast<int>(fd));
  return worked("perf");
}

int do_userfaultfd() {
  // Without UFFD_USER_MODE_ONLY: faults in the kernel too, which needs CAP_SYS_PTRACE
  // unless vm.unprivileged_userfaultfd is 1.
  const long fd = ::syscall(SYS_userfaultfd, O_CLOEXEC);
  if (fd < 0) return fail("userfaultfd");
  ::close(static_cast<int>(fd));
  return worked("userfaultfd");
}

int do_rlimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return fail("getrlimit");
  // Down by one and back up: the way back needs the capability.
  limit.rlim_cur = limit.rlim_max - 1;
  limit.rlim_max -= 1;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return fail("setrlimit down");
  limit.rlim_max += 1;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return fail("setrlimit");
  return worked("rlimit");
}

int do_unshare_net() {
  if (::unshare(CLONE_NEWNET) != 0) return fail("unshare");
  return worked("unshare-net");
}

int do_keyring() {
  // Root's user keyring is open to uid 0 without a capability; the key goes again at once.
  const long key = ::syscall(SYS_add_key, "user", "corvane-probe", "x", 1, KEY_SPEC_USER_KEYRING);
  if (key < 0) return fail("add_key");
  ::syscall(SYS_keyctl, KEYCTL_UNLINK, key, KEY_SPEC_USER_KEYRING);
  return worked("keyring");
}

int do_shm(key_t key) {
  const int id = ::shmget(key, 0, 0);
  if (id < 0) return fail("shmget");
  void* at = ::shmat(id, nullptr, SHM_RDONLY);
  if (at == reinterpret_cast<void*>(-1)) return fail("shmat");
  std::printf("%.16s\n", static_cast<const char*>(at));
  ::shmdt(at);
  return 0;
}

int do_pids() {
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return fail("opendir /proc");
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') ++count;
  }
  ::closedir(dir);
  std::printf("%d\n", count);
  return 0;
}

int do_caps() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return fail("capget");
  const auto both = [&data](std::uint32_t __user_cap_data_struct::* field) {
    return (static_cast<unsigned long long>(data[1].*field) << 32) | data[0].*field;
  };
  std::printf("%llx %llx %llx\n", both(&__user_cap_data_struct::permitted),
              both(&__user_cap_data_struct::effective), both(&__user_cap_data_struct::inheritable));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::string op = argv[1];
  const auto colon = op.find(':');
  const std::string name = op.substr(0, colon);
  const std::string value = colon == std::string::npos ? "" : op.substr(colon + 1);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (name == "klog") return do_klog();
  if (name == "hostname") return do_hostname();
  if (name == "bpf") return do_bpf();
  if (name == "perf") return do_perf();
  if (name == "userfaultfd") return do_userfaultfd();
  if (name == "rlimit") return do_rlimit();
  if (name == "unshare-net") return do_unshare_net();
  if (name == "keyring") return do_keyring();
  if (name == "shm") return do_shm(static_cast<key_t>(std::strtol(value.c_str(), nullptr, 10)));
  if (name == "pids") return do_pids();
  if (name == "caps") return do_caps();
  return 2;
}
