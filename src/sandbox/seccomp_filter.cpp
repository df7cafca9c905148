// The sandbox's system-call filter as data. Every row names one system call, the
// condition on one of its arguments under which it is refused, and the answer; the
// compiler below turns the rows a sandbox needs into BPF, after the guards that keep
// another ABI from dodging them by its own call numbers.
#include "sandbox/seccomp_filter.hpp"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane {
namespace {

// The child's start (run/spawn.hpp) is written for x86-64 alone, and so is this table:
// the numbers below and the x32 guard are that ABI's.
#if !defined(__x86_64__)
#error "the seccomp filter is written for x86-64"
#endif
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;

constexpr std::uint32_t kMfdNoexecSeal = 0x0008U;  // kernel 6.3; older headers lack it

// Network and TcpPorts are never chosen together: their rows may share a call.
enum class Part : std::uint8_t { Network, TcpPorts, NewPrograms, Keyrings };

// When a row refuses its call. Arguments are compared on their low 32 bits: every one
// that matters here is an int, an unsigned int or flags that fit in them.
enum class When : std::uint8_t {
  Always,
  ArgIsNot,    // the argument differs from `value`
  ArgHasAny,   // the argument has a bit of `value`
  ArgHasNone,  // the argument has no bit of `value`
  // socket(2)'s arguments name neither a UNIX socket nor TCP: family AF_INET or
  // AF_INET6, type SOCK_STREAM (its flag bits aside), protocol 0 or IPPROTO_TCP.
  NotUnixNorTcp,
};

struct Row {
  long nr;
  Part part;
  When when;
  unsigned arg;
  std::uint32_t value;
  std::uint32_t answer;
};

constexpr std::uint32_t refuse(int error) noexcept {
  return SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA);
}

constexpr Row kTable[] = {
    // Sockets of every family but UNIX: TCP, UDP, raw packets, netlink. UNIX sockets
    // stay, for the local IPC that many tools rely on.
    {__NR_socket, Part::Network, When::ArgIsNot, 0, AF_UNIX, refuse(EACCES)},
    // io_uring opens sockets without the socket call; "missing", so its users fall back.
    {__NR_io_uring_setup, Part::Network, When::Always, 0, 0, refuse(ENOSYS)},
    // With TCP ports open: every socket but UNIX ones and TCP, whose connect and bind
    // Landlock checks against the ports. UDP, raw packets, SCTP and netlink have no
    // port rule there, so none of them may be made.
    {__NR_socket, Part::TcpPorts, When::NotUnixNorTcp, 0, 0, refuse(EACCES)},
    {__NR_io_uring_setup, Part::TcpPorts, When::Always, 0, 0, refuse(ENOSYS)},
    // A new process by the old calls, which code may issue itself.
    {__NR_fork, Part::NewPrograms, When::Always, 0, 0, refuse(EPERM)},
    {__NR_vfork, Part::NewPrograms, When::Always, 0, 0, refuse(EPERM)},
    // A new process by clone (the C library's fork, posix_spawn and system): a new
    // process could exec the ELF loader, which runs any file it can read. A thread of
    // this process (CLONE_THREAD) may still be made.
    {__NR_clone, Part::NewPrograms, When::ArgHasNone, 0, CLONE_THREAD, refuse(EPERM)},
    // clone3 keeps its flags in memory a filter cannot read: "missing" sends the C
    // library back to clone, where the row above tells a thread from a process.
    {__NR_clone3, Part::NewPrograms, When::Always, 0, 0, refuse(ENOSYS)},
    // A memfd that can be executed: it has no path, so no execute rule of Landlock
    // reaches it. One sealed non-executable may be made; a kernel before 6.3 refuses
    // that flag, so there no memfd can be made at all. (memfd_secret needs no row: the
    // kernel never executes its files.)
    {__NR_memfd_create, Part::NewPrograms, When::ArgHasNone, 1, kMfdNoexecSeal, refuse(EPERM)},
    // exec of a descriptor (fexecve): the file may have no path for Landlock to check.
    {__NR_execveat, Part::NewPrograms, When::ArgHasAny, 4, AT_EMPTY_PATH, refuse(EPERM)},
    // The kernel's keyrings: their permissions follow the uid, not a capability, so a
    // root host's command could read and fill root's user and session keyrings (and a
    // user namespace's root the host's session keyring). "Missing", so their users fall back.
    {__NR_add_key, Part::Keyrings, When::Always, 0, 0, refuse(ENOSYS)},
    {__NR_request_key, Part::Keyrings, When::Always, 0, 0, refuse(ENOSYS)},
    {__NR_keyctl, Part::Keyrings, When::Always, 0, 0, refuse(ENOSYS)},
};

constexpr bool exclusive(Part a, Part b) {
  return (a == Part::Network && b == Part::TcpPorts) || (a == Part::TcpPorts && b == Part::Network);
}

// One row per call among the parts chosen together: the rows are the leaves of a
// search tree on the call number.
constexpr bool calls_are_unique() {
  for (std::size_t i = 0; i < std::size(kTable); ++i) {
    for (std::size_t j = i + 1; j < std::size(kTable); ++j) {
      if (kTable[i].nr == kTable[j].nr && !exclusive(kTable[i].part, kTable[j].part)) return false;
    }
  }
  return true;
}
static_assert(calls_are_unique(), "a system call has two rows");

constexpr std::size_t leaf_size(When when) {
  return when == When::Always ? 3 : when == When::NotUnixNorTcp ? 13 : 5;
}
// Every leaf and a comparison above it: a jump over any subtree spans 8 bits.
constexpr bool tree_fits() {
  std::size_t size = 0;
  for (const Row& row : kTable) size += leaf_size(row.when) + 1;
  return size <= 255;
}
static_assert(tree_fits(), "the search tree's jumps would not fit");

constexpr sock_filter load(std::uint32_t offset) noexcept {
  return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}
constexpr sock_filter answer(std::uint32_t value) noexcept {
  return BPF_STMT(BPF_RET | BPF_K, value);
}
constexpr sock_filter jump(std::uint16_t test, std::uint32_t value, std::uint8_t yes,
                           std::uint8_t no) noexcept {
  return BPF_JUMP(static_cast<std::uint16_t>(BPF_JMP | test | BPF_K), value, yes, no);
}

constexpr std::uint32_t arg_low_half(unsigned arg) noexcept {
  const auto at =
      static_cast<std::uint32_t>(offsetof(seccomp_data, args) + arg * sizeof(std::uint64_t));
  return std::endian::native == std::endian::little ? at : at + 4;
}

// A leaf, with the call number loaded: this row's answer for its call, and for any
// other call that reached it, allow.
void compile_row(std::vector<sock_filter>& prog, const Row& row) {
  const auto nr = static_cast<std::uint32_t>(row.nr);
  if (row.when == When::Always) {
    prog.push_back(jump(BPF_JEQ, nr, 0, 1));
    prog.push_back(answer(row.answer));
    prog.push_back(answer(SECCOMP_RET_ALLOW));
    return;
  }
  if (row.when == When::NotUnixNorTcp) {
    // Offsets count from the next instruction: the answer is at 11, allow at 12.
    prog.push_back(jump(BPF_JEQ, nr, 0, 11));                  // 0
    prog.push_back(load(arg_low_half(0)));                     // 1: family
    prog.push_back(jump(BPF_JEQ, AF_UNIX, 9, 0));              // 2
    prog.push_back(jump(BPF_JEQ, AF_INET, 1, 0));              // 3
    prog.push_back(jump(BPF_JEQ, AF_INET6, 0, 6));             // 4
    prog.push_back(load(arg_low_half(1)));                     // 5: type, with SOCK_CLOEXEC
    prog.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xf));  // 6: and SOCK_NONBLOCK off
    prog.push_back(jump(BPF_JEQ, SOCK_STREAM, 0, 3));          // 7
    prog.push_back(load(arg_low_half(2)));                     // 8: protocol
    prog.push_back(jump(BPF_JEQ, 0, 2, 0));                    // 9
    prog.push_back(jump(BPF_JEQ, IPPROTO_TCP, 1, 0));          // 10
    prog.push_back(answer(row.answer));                        // 11
    prog.push_back(answer(SECCOMP_RET_ALLOW));                 // 12
    return;
  }
  prog.push_back(jump(BPF_JEQ, nr, 0, 3));
  prog.push_back(load(arg_low_half(row.arg)));
  switch (row.when) {
    case When::ArgIsNot:
      prog.push_back(jump(BPF_JEQ, row.value, 1, 0));
      break;
    case When::ArgHasAny:
      prog.push_back(jump(BPF_JSET, row.value, 0, 1));
      break;
    case When::ArgHasNone:
      prog.push_back(jump(BPF_JSET, row.value, 1, 0));
      break;
    case When::Always:
    case When::NotUnixNorTcp:
      break;  // compiled above
  }
  prog.push_back(answer(row.answer));
  prog.push_back(answer(SECCOMP_RET_ALLOW));
}

// The rows (sorted by call number) as a binary search tree rather than a chain: the
// kernel runs the filter once for every call number when it is installed (to find
// the calls it always allows), and that on every start: each comparison on the way
// to a leaf cost a start about 1.6 us where it was measured.
void compile_tree(std::vector<sock_filter>& prog, std::span<const Row* const> rows) {
  if (rows.empty()) {
    prog.push_back(answer(SECCOMP_RET_ALLOW));
    return;
  }
  if (rows.size() == 1) {
    compile_row(prog, *rows.front());
    return;
  }
  const std::size_t mid = rows.size() / 2;
  const std::size_t at = prog.size();
  prog.push_back(jump(BPF_JGE, static_cast<std::uint32_t>(rows[mid]->nr), 0, 0));
  compile_tree(prog, rows.first(mid));
  prog[at].jt = static_cast<std::uint8_t>(prog.size() - at - 1);
  compile_tree(prog, rows.subspan(mid));
}

}  // namespace

std::vector<sock_filter> seccomp_filter(SeccompClosing closing) {
  const bool tcp_ports = closing.network_but_tcp && !closing.network;
  if (!closing.network && !tcp_ports && !closing.new_programs && !closing.keyrings) return {};
  std::vector<sock_filter> prog;
  prog.push_back(load(offsetof(seccomp_data, arch)));
  prog.push_back(jump(BPF_JEQ, kAuditArch, 1, 0));
  // Another ABI (32-bit code) would dodge every row by its other numbers.
  prog.push_back(answer(SECCOMP_RET_KILL_PROCESS));
  prog.push_back(load(offsetof(seccomp_data, nr)));
  // The x32 numbers of the same calls carry this bit.
  prog.push_back(jump(BPF_JGE, __X32_SYSCALL_BIT, 0, 1));
  prog.push_back(answer(refuse(ENOSYS)));
  std::vector<const Row*> rows;
  for (const Row& row : kTable) {
    const bool wanted = row.part == Part::Network       ? closing.network
                        : row.part == Part::TcpPorts    ? tcp_ports
                        : row.part == Part::NewPrograms ? closing.new_programs
                                                        : closing.keyrings;
    if (wanted) rows.push_back(&row);
  }
  std::ranges::sort(rows, {}, [](const Row* row) { return static_cast<std::uint32_t>(row->nr); });
  compile_tree(prog, rows);
  return prog;
}

}  // namespace corvane
