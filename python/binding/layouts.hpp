// The object layouts shared by the two extension modules. `_corvane` owns the
// type objects; `corvane._native` compiles this same header, takes the types
// from the imported `_corvane` and checks their sizes against these layouts
// before it reads or builds an instance, so the two can never disagree.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sys/wait.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "corvane/output.hpp"

namespace corvane::py {

/// An instance of one of our types: the object header followed by one value.
template <class T>
struct Boxed {
  PyObject_HEAD T value;
};

/// What Python sees of one finished run: the value inside an `Output` instance.
struct OutputRecord {
  std::string stdout_bytes;
  std::string stderr_bytes;
  std::optional<std::int32_t> exit_code;
  bool success = false;
  /// The signal that ended the child; absent when it exited. `Output` never
  /// shows it (its attributes are fixed); `_native.exit_signal` reads it.
  std::optional<std::int32_t> signal;

  /// The record of a run that ended normally (its streams are moved out).
  [[nodiscard]] static OutputRecord from(Output&& out) {
    const std::int32_t status = out.status;
    std::optional<std::int32_t> by_signal;
    if (WIFSIGNALED(status)) by_signal = WTERMSIG(status);
    return {std::move(out.stdout), std::move(out.stderr), out.exit_code(), out.success(),
            by_signal};
  }
};

}  // namespace corvane::py
