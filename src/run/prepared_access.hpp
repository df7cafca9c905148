// PreparedCommand values made without a policy, for the tests and benchmarks that run
// commands of any content (NUL bytes included) directly. Never reached from a host:
// a command that runs otherwise passed every check of a policy.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "corvane/prepared.hpp"

namespace corvane::detail {

struct PreparedCommandAccess {
  [[nodiscard]] static PreparedCommand make(Path bin, std::vector<std::string> argv, Path cwd,
                                            EnvMap env, std::uint64_t max_stdout,
                                            std::uint64_t max_stderr, Duration timeout) {
    return PreparedCommand(std::move(bin), std::move(argv), std::move(cwd), std::move(env),
                           max_stdout, max_stderr, timeout);
  }
};

}  // namespace corvane::detail
