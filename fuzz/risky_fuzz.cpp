// Fuzz target: risky-name recognition. Any bytes as a path; the category must
// agree with a reference restated from the naming rule, and check_risky must
// agree with the category under every policy.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "corvane/path.hpp"
#include "corvane/risky.hpp"
#include "fuzz_support.hpp"

using namespace corvane;
using corvane::fuzz::require;

namespace {

struct Category {
  RiskCategory category;
  std::vector<std::string_view> names;
};

// The name table, kept here on its own so that a slip in the core's copy shows.
const std::array<Category, 4> kReference{{
    {RiskCategory::Shell,
     {"sh", "bash", "zsh", "dash", "ksh", "csh", "tcsh", "fish", "ash", "busybox"}},
    {RiskCategory::Interpreter,
     {"python", "python2", "python3", "perl", "ruby", "node", "nodejs", "deno", "bun", "php", "lua",
      "luajit", "tclsh", "wish", "awk", "gawk", "nawk", "mawk"}},
    {RiskCategory::Spawner,
     {"env", "xargs", "parallel", "nohup", "timeout", "time", "nice", "ionice", "strace", "ltrace",
      "watch", "exec"}},
    {RiskCategory::Privilege,
     {"sudo", "su", "doas", "pkexec", "gksudo", "kdesudo", "runuser", "chroot"}},
}};

// The file name: the last component that is neither empty nor ".", unless that
// component is "..".
std::optional<std::string> file_name(std::string_view path) {
  std::optional<std::string> last;
  for (std::string& part : fuzz::split(path, '/')) {
    if (part.empty() || part == ".") continue;
    last = std::move(part);
  }
  if (last && *last == "..") return std::nullopt;
  return last;
}

std::optional<RiskCategory> reference(std::string_view path) {
  const auto name = file_name(path);
  if (!name || !fuzz::valid_utf8(*name)) return std::nullopt;
  std::string stem = name->substr(0, name->find('.'));
  while (!stem.empty() && stem.back() >= '0' && stem.back() <= '9') stem.pop_back();
  for (const Category& c : kReference) {
    for (std::string_view n : c.names) {
      if (n == stem || n == *name) return c.category;
    }
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(fuzz::bytes(data, size));
  const Path path(bytes);
  const auto got = categorize_risky(path);
  require(got == reference(bytes), "categorize_risky: matches reference");

  require(check_risky(path, RiskyBinPolicy::Disabled).has_value(), "Disabled always passes");
  require(check_risky(path, RiskyBinPolicy::AllowWithWarning).has_value(),
          "AllowWithWarning always passes");
  const auto denied = check_risky(path, RiskyBinPolicy::DenyByDefault);
  require(denied.has_value() == !got.has_value(), "DenyByDefault refuses exactly risky names");
  if (!denied) {
    const auto* v = std::get_if<violation::RiskyBinDenied>(&denied.error());
    require(v && v->category == *got && v->path == display(path), "RiskyBinDenied fields");
    require(fuzz::valid_utf8(to_string(denied.error())), "message is valid UTF-8");
  }
  return 0;
}
