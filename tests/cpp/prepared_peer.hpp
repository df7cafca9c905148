// Builds PreparedCommand values directly, so execution tests need no policy.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "corvane/prepared.hpp"
#include "corvane/sandbox.hpp"
#include "run/prepared_access.hpp"

namespace corvane {

/// Constructs commands with any content, NUL bytes included.
struct PreparedCommandTestPeer {
  Path bin;
  std::vector<std::string> argv;
  Path cwd = "/";
  EnvMap env;
  std::uint64_t max_stdout = 10485760;
  std::uint64_t max_stderr = 1048576;
  Duration timeout{5, 0};

  [[nodiscard]] PreparedCommand make() const {
    return detail::PreparedCommandAccess::make(bin, argv, cwd, env, max_stdout, max_stderr,
                                               timeout);
  }
};

/// A Duration of `ms` milliseconds.
[[nodiscard]] inline Duration millis(std::uint64_t ms) {
  return Duration{ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1'000'000)};
}

/// Runs argv in `cwd` inside `sandbox` with a plain PATH; the run itself must succeed
/// (a failure is reported to the test and an empty Output returned).
[[nodiscard]] inline Output run_sandboxed(const std::vector<std::string>& argv, const Path& cwd,
                                          const Sandbox& sandbox) {
  PreparedCommandTestPeer p;
  p.bin = argv.front();
  p.argv.assign(argv.begin() + 1, argv.end());
  p.cwd = cwd;
  p.env = {{"PATH", "/usr/bin:/bin"}, {"LC_ALL", "C"}};
  p.timeout = millis(20000);
  const RunResult result = p.make().with_sandbox(sandbox).value().run(RunOptions{});
  if (!result.result) {
    ADD_FAILURE() << argv.front() << ": " << to_string(result.result.error());
    return {};
  }
  return *result.result;
}

}  // namespace corvane
