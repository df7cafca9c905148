// The sandbox's system-call filter: a table of calls and argument conditions, each row
// saying what it stops, compiled into one classic BPF program for seccomp.
#pragma once

#include <linux/filter.h>

#include <vector>

namespace corvane {

/// The parts of the table a sandbox needs.
struct SeccompClosing {
  bool network = false;  ///< sockets other than UNIX ones
  /// Sockets other than UNIX ones and TCP over IPv4 and IPv6, whose ports Landlock
  /// checks (ignored with `network`).
  bool network_but_tcp = false;
  bool new_programs = false;  ///< new processes, executable memfds, exec by descriptor
  bool keyrings = false;      ///< the kernel's keyrings, which uid 0 may write without a capability
};

/// The BPF program for `closing`; empty when it closes nothing.
[[nodiscard]] std::vector<sock_filter> seccomp_filter(SeccompClosing closing);

}  // namespace corvane
