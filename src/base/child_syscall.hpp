// Raw system calls for code that runs in a child between clone and exec, where
// libc may not be called: the child shares the parent's memory (its errno, its
// locks, the sanitizers' state) while the parent is suspended.
#pragma once

#if !defined(__x86_64__)
#error "the child's system calls are written for x86-64"
#endif

/// Marks code that runs in the child before exec: no sanitizer instrumentation.
#define CORVANE_CHILD_CODE __attribute__((no_sanitize_address, no_sanitize_undefined))

namespace corvane {

/// A system call without libc: no errno, no lock, no sanitizer hook, so it is
/// safe in the child before exec. Returns the result, or -errno.
CORVANE_CHILD_CODE inline long child_syscall(long n, long a1 = 0, long a2 = 0, long a3 = 0,
                                             long a4 = 0, long a5 = 0, long a6 = 0) noexcept {
  long ret;
  register long r10 asm("r10") = a4;
  register long r8 asm("r8") = a5;
  register long r9 asm("r9") = a6;
  asm volatile("syscall"
               : "=a"(ret)
               : "a"(n), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8), "r"(r9)
               : "rcx", "r11", "memory");
  return ret;
}

}  // namespace corvane
