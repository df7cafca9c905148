// Internal faults with advice: the broken invariant goes to the installed
// fault handler as before; with none installed, one line naming the fault and
// what the caller should do instead goes to stderr before the process aborts.
#pragma once

namespace corvane {

/// internal_fault(what), with `remedy` (may be null) added to the line printed
/// before the default abort. The handler sees `what` alone.
[[noreturn]] void internal_fault(const char* what, const char* remedy);

}  // namespace corvane
