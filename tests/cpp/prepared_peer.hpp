// Builds PreparedCommand values directly, so execution tests need no policy.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "prepared.hpp"

namespace corvane {

/// Friend of PreparedCommand: constructs commands with any content, NUL bytes included.
struct PreparedCommandTestPeer {
  Path bin;
  std::vector<std::string> argv;
  Path cwd = "/";
  EnvMap env;
  std::uint64_t max_stdout = 10485760;
  std::uint64_t max_stderr = 1048576;
  Duration timeout{5, 0};

  [[nodiscard]] PreparedCommand make() const {
    return PreparedCommand(bin, argv, cwd, env, max_stdout, max_stderr, timeout);
  }
};

/// A Duration of `ms` milliseconds.
[[nodiscard]] inline Duration millis(std::uint64_t ms) {
  return Duration{ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1'000'000)};
}

}  // namespace corvane
