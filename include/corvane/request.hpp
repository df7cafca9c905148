// ProcRequest: what a caller proposes to run. An inert value; nothing in it is
// examined until a policy prepares it.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "corvane/path.hpp"

namespace corvane {

/// Environment variables, name to value; iteration order is unspecified.
using EnvMap = std::unordered_map<std::string, std::string>;

/// A proposed execution: binary (as written), arguments after the program name,
/// optional working directory and environment. Copies are deep.
struct ProcRequest {
  Path bin;
  std::vector<std::string> argv;
  std::optional<Path> cwd;
  EnvMap env;

  /// A request with no working directory and an empty environment.
  ProcRequest(Path bin_path, std::vector<std::string> args)
      : bin(std::move(bin_path)), argv(std::move(args)) {}

  /// Sets the working directory, discarding an earlier one.
  [[nodiscard]] ProcRequest with_cwd(Path dir) &&;
  /// Replaces the whole environment map (no merge).
  [[nodiscard]] ProcRequest with_env(EnvMap vars) &&;
  /// Inserts or overwrites one variable.
  [[nodiscard]] ProcRequest with_env_var(std::string key, std::string value) &&;
  /// A deep copy.
  [[nodiscard]] ProcRequest clone() const { return *this; }
};

}  // namespace corvane
