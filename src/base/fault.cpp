// The process-wide fault handler and the default that aborts. The default
// prints one line first: an abort with nothing on stderr leaves a host author
// with a core dump and no reason.
#include "base/fault.hpp"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "corvane/event_loop.hpp"

namespace corvane {
namespace {

std::atomic<FaultHandler> g_fault_handler{nullptr};

// "corvane: internal fault: <what>[; <remedy>]\n" in one write, without
// allocating: the fault may be a broken heap.
void print_fault(const char* what, const char* remedy) noexcept {
  static constexpr char kPrefix[] = "corvane: internal fault: ";
  static constexpr char kJoin[] = "; ";
  iovec parts[5];
  int n = 0;
  auto add = [&](const char* text, std::size_t size) {
    parts[n++] = iovec{const_cast<char*>(text), size};
  };
  add(kPrefix, sizeof kPrefix - 1);
  add(what, std::strlen(what));
  if (remedy != nullptr) {
    add(kJoin, sizeof kJoin - 1);
    add(remedy, std::strlen(remedy));
  }
  add("\n", 1);
  (void)!::writev(STDERR_FILENO, parts, n);
}

}  // namespace

FaultHandler set_fault_handler(FaultHandler handler) noexcept {
  return g_fault_handler.exchange(handler);
}

void throw_internal_fault(const char* message) {
  throw InternalFault(message);
}

void internal_fault(const char* what, const char* remedy) {
  if (FaultHandler handler = g_fault_handler.load(); handler != nullptr) handler(what);
  print_fault(what, remedy);
  std::abort();
}

void internal_fault(const char* message) {
  internal_fault(message, nullptr);
}

}  // namespace corvane
