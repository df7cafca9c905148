// Derived values of Output.
#include "corvane/output.hpp"

#include "corvane/path.hpp"

namespace corvane {

std::optional<std::int32_t> Output::exit_code() const noexcept {
  if ((status & 0x7f) != 0) return std::nullopt;
  return (status >> 8) & 0xff;
}

std::string Output::stdout_string() const {
  return lossy_utf8(stdout);
}
std::string Output::stderr_string() const {
  return lossy_utf8(stderr);
}

}  // namespace corvane
