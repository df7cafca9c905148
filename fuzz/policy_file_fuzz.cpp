// Fuzz target: the policy-file reader. Whatever the text and the variables, the
// reader returns a policy or an error naming the origin and a reason; it never
// crashes, throws or hangs. A policy it returns decides a request and agrees
// with the settings it reports.
//
// Input: the variables, one NAME=VALUE a line, then a NUL byte, then the TOML
// text; without a NUL byte the whole input is the text and there are none.
// Relative paths resolve against /usr, where the common binaries are.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "corvane/policy_file.hpp"
#include "fuzz_support.hpp"

using namespace corvane;
using corvane::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = corvane::fuzz::bytes(data, size);
  const auto nul = input.find('\0');
  const std::string_view text = nul == std::string_view::npos ? input : input.substr(nul + 1);
  PolicyVariables variables;
  if (nul != std::string_view::npos) {
    for (const std::string& line : corvane::fuzz::split(input.substr(0, nul), '\n')) {
      const auto eq = line.find('=');
      variables.insert_or_assign(line.substr(0, eq),
                                 eq == std::string::npos ? "" : line.substr(eq + 1));
    }
  }
  auto loaded = load_policy_text(text, "fuzz.toml", variables, Path("/usr"));
  if (!loaded) {
    const PolicyFileError& e = loaded.error();
    require(e.file == "fuzz.toml", "an error names the origin");
    require(!e.reason.empty(), "an error gives a reason");
    require(e.message().starts_with("fuzz.toml: "), "the message starts with the origin");
    return 0;
  }
  const PolicySettings& s = loaded->settings;
  require(s.timeout.nanos < 1'000'000'000, "a duration's nanoseconds stay below a second");
  require(!s.cwd_dirs.empty(), "a working-directory policy names a directory");
  require(loaded->sandbox.has_value() == s.sandbox_workspace.has_value() || !s.sandbox_workspace,
          "a workspace comes with a sandbox");
  for (const PolicyBinary& b : s.binaries) {
    require(!b.rule_sets.empty(), "every binary has a rule set");
    require(b.path.is_absolute(), "binary paths are absolute once read");
  }
  // A decision, which must not throw whatever the policy holds. Nothing runs.
  (void)loaded->policy.explain(ProcRequest("/usr/bin/ls", {"-l", "--", "x"}));
  return 0;
}
