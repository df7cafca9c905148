// corvane._native's door to the core's policy-file reader (see corvane.policy_file).
#pragma once

#include <optional>

#include "corvane/path.hpp"
#include "corvane/sandbox.hpp"
#include "pyutil.hpp"

namespace corvane::py::native {

/// load_policy_file(path, vars) -> (GuardCore, description, on_output_limit,
/// SandboxHandle or None, audit or None; audit is {"file": str or None,
/// "stderr": bool}, the [audit] table): the policy in a TOML file, with vars (None or a
/// mapping of str to str) for its ${NAME}; corvane.PolicyError for a mistake.
PyObject* load_policy_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// load_policy_mapping(data, base_dir, vars): the same for a mapping shaped like
/// the file, converted as it is and read by the same reader.
PyObject* load_policy_mapping(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

/// A built sandbox as describe() shows it (a dict: workspace, read, write, exec,
/// network, keep_background, best_effort, containment, skipped, limits).
[[nodiscard]] PyObject* sandbox_description(const Sandbox& box,
                                            const std::optional<Path>& workspace);

/// policy_file_keys() -> {table: [keys]}: the keys each table takes.
PyObject* policy_file_keys(PyObject* module, PyObject* unused) noexcept;

/// pack_names(dirs) -> [name]: the packs in those directories, sorted.
PyObject* pack_names(PyObject* module, PyObject* dirs) noexcept;

}  // namespace corvane::py::native
