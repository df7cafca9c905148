// The types `corvane._native` shares with `_corvane`. `_corvane` owns them;
// this module takes them from the imported `_corvane` once, at its own import,
// and refuses to load (ImportError) unless each is the class it expects with
// the object layout this module was compiled against.
#pragma once

#include "pyutil.hpp"

namespace corvane::py::native {

/// The classes of `_corvane` whose instances this module reads or creates.
struct SharedTypes {
  PyTypeObject* arg_rules = nullptr;         ///< instances are Boxed<ArgRules>
  PyTypeObject* proc_request = nullptr;      ///< instances are Boxed<ProcRequest>
  PyTypeObject* output = nullptr;            ///< instances are Boxed<OutputRecord>
  PyTypeObject* prepared_command = nullptr;  ///< instances are Boxed<PreparedCommand>
  PyTypeObject* proc_policy = nullptr;       ///< instances are Boxed<ProcPolicy>
};

/// Imports `_corvane` and takes its types after checking each one's identity
/// and size; false with ImportError set on any mismatch.
[[nodiscard]] bool import_shared_types() noexcept;

/// The types taken by import_shared_types (all set once the module is loaded).
[[nodiscard]] const SharedTypes& shared_types() noexcept;

/// True when `obj` is an instance of `type`; otherwise sets the usual
/// "argument '<param>': 'X' object cannot be converted to '<target>'" TypeError.
[[nodiscard]] bool expect_instance(PyObject* obj, PyTypeObject* type, const char* param,
                                   const char* target) noexcept;

}  // namespace corvane::py::native
