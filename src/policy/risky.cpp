// Recognition of risky binaries by file name, and the policy applied to them.
#include "corvane/risky.hpp"

#include <cstddef>
#include <string>

namespace corvane {
namespace {

using namespace std::string_view_literals;

constexpr std::array kShells{"sh"sv,  "bash"sv, "zsh"sv,  "dash"sv, "ksh"sv,
                             "csh"sv, "tcsh"sv, "fish"sv, "ash"sv,  "busybox"sv};
constexpr std::array kInterpreters{"python"sv, "python2"sv, "python3"sv, "perl"sv, "ruby"sv,
                                   "node"sv,   "nodejs"sv,  "deno"sv,    "bun"sv,  "php"sv,
                                   "lua"sv,    "luajit"sv,  "tclsh"sv,   "wish"sv, "awk"sv,
                                   "gawk"sv,   "nawk"sv,    "mawk"sv};
constexpr std::array kSpawners{"env"sv,     "xargs"sv,  "parallel"sv, "nohup"sv,
                               "timeout"sv, "time"sv,   "nice"sv,     "ionice"sv,
                               "strace"sv,  "ltrace"sv, "watch"sv,    "exec"sv};
constexpr std::array kPrivilege{"sudo"sv,   "su"sv,      "doas"sv,    "pkexec"sv,
                                "gksudo"sv, "kdesudo"sv, "runuser"sv, "chroot"sv};

constexpr std::array<RiskyNames, 4> kTable{{
    {RiskCategory::Shell, kShells},
    {RiskCategory::Interpreter, kInterpreters},
    {RiskCategory::Spawner, kSpawners},
    {RiskCategory::Privilege, kPrivilege},
}};

// The last normal component, as a component-wise reading sees it: separators
// and "." pieces do not count, so "/usr/bin/bash/" and "/usr/bin/bash/." name
// bash. Root alone, or a last component of "..", names nothing.
std::optional<std::string_view> final_component(std::string_view path) noexcept {
  while (!path.empty()) {
    const std::size_t slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    path = slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash);
    if (last.empty() || last == ".") continue;
    if (last == "..") return std::nullopt;
    return last;
  }
  return std::nullopt;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      // Only the first continuation byte carries the tighter bounds.
      const unsigned char min = k == 1 ? lo : 0x80;
      const unsigned char max = k == 1 ? hi : 0xBF;
      if (c < min || c > max) return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace

std::span<const RiskyNames> risky_names() noexcept {
  return kTable;
}

std::optional<RiskCategory> categorize_risky(const Path& path) {
  const auto name = final_component(path.native());
  if (!name || !valid_utf8(*name)) return std::nullopt;
  const std::string_view base = name->substr(0, name->find('.'));
  const std::size_t digits_start = base.find_last_not_of("0123456789");
  const std::string_view stem = digits_start == std::string_view::npos
                                    ? std::string_view{}
                                    : base.substr(0, digits_start + 1);
  for (const RiskyNames& entry : kTable) {
    for (const std::string_view candidate : entry.names) {
      if (candidate == stem || candidate == *name) return entry.category;
    }
  }
  return std::nullopt;
}

std::expected<void, Violation> check_risky(const Path& path, RiskyBinPolicy policy) {
  switch (policy) {
    case RiskyBinPolicy::Disabled:
      return {};
    case RiskyBinPolicy::AllowWithWarning:
      // There is no warning channel: the category is computed and dropped.
      static_cast<void>(categorize_risky(path));
      return {};
    case RiskyBinPolicy::DenyByDefault:
      break;
  }
  if (const auto category = categorize_risky(path)) {
    return std::unexpected(violation::RiskyBinDenied{*category, display(path)});
  }
  return {};
}

}  // namespace corvane
