// Fuzz target: the environment policy. Whatever the policy holds and whatever
// the request carries, no forbidden name survives, and each variant yields
// exactly the map its definition gives.
//
// Input: byte 0 picks the variant. The rest is two sections split at the first
// empty line: the policy's entries (Fixed map, Allowlist names) and the
// request's entries. Each line is name[=value]; a name that starts with byte 1
// becomes forbidden name number (next byte mod 47) followed by the rest, so the
// fuzzer meets forbidden names and near misses often.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <variant>

#include "corvane/env_policy.hpp"
#include "fuzz_support.hpp"

using namespace corvane;
using corvane::fuzz::require;

namespace {

// The forbidden names, kept here on their own so that a slip in the core's list shows.
constexpr std::array<std::string_view, 47> kForbidden = {"LD_PRELOAD",
                                                         "LD_LIBRARY_PATH",
                                                         "LD_AUDIT",
                                                         "LD_DEBUG",
                                                         "LD_PROFILE",
                                                         "DYLD_INSERT_LIBRARIES",
                                                         "DYLD_LIBRARY_PATH",
                                                         "DYLD_FRAMEWORK_PATH",
                                                         "DYLD_FALLBACK_LIBRARY_PATH",
                                                         "PYTHONPATH",
                                                         "PYTHONSTARTUP",
                                                         "PYTHONHOME",
                                                         "RUBYLIB",
                                                         "RUBYOPT",
                                                         "PERL5LIB",
                                                         "PERL5OPT",
                                                         "PERLLIB",
                                                         "NODE_PATH",
                                                         "NODE_OPTIONS",
                                                         "BASH_ENV",
                                                         "ENV",
                                                         "SHELLOPTS",
                                                         "BASHOPTS",
                                                         "IFS",
                                                         "CDPATH",
                                                         "GLOBIGNORE",
                                                         "PROMPT_COMMAND",
                                                         "PS1",
                                                         "PS2",
                                                         "PS4",
                                                         "EDITOR",
                                                         "VISUAL",
                                                         "PAGER",
                                                         "BROWSER",
                                                         "SHELL",
                                                         "HTTP_PROXY",
                                                         "HTTPS_PROXY",
                                                         "FTP_PROXY",
                                                         "ALL_PROXY",
                                                         "NO_PROXY",
                                                         "http_proxy",
                                                         "https_proxy",
                                                         "ftp_proxy",
                                                         "all_proxy",
                                                         "no_proxy",
                                                         "GIT_EXEC_PATH",
                                                         "GIT_TEMPLATE_DIR"};

bool forbidden(std::string_view name) {
  return std::find(kForbidden.begin(), kForbidden.end(), name) != kForbidden.end();
}

std::pair<std::string, std::string> entry(std::string_view line) {
  std::string name(line.substr(0, line.find('=')));
  std::string value(line.find('=') == std::string_view::npos ? ""
                                                             : line.substr(line.find('=') + 1));
  if (name.size() >= 2 && name[0] == '\x01') {
    name = std::string(kForbidden[static_cast<unsigned char>(name[1]) % kForbidden.size()]) +
           name.substr(2);
  }
  return {std::move(name), std::move(value)};
}

EnvMap without_forbidden(EnvMap map) {
  std::erase_if(map, [](const auto& kv) { return forbidden(kv.first); });
  return map;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  require(std::equal(FORBIDDEN_ENV_VARS.begin(), FORBIDDEN_ENV_VARS.end(), kForbidden.begin(),
                     kForbidden.end()),
          "FORBIDDEN_ENV_VARS: the 47 names in order");
  const std::string_view rest = fuzz::bytes(data + 1, size - 1);
  const std::size_t cut = rest.find("\n\n");
  const std::string_view policy_part = rest.substr(0, cut);
  const std::string_view request_part =
      cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 2);

  EnvMap policy_map, request_env;
  std::unordered_set<std::string> names;
  for (const std::string& line : fuzz::split(policy_part, '\n')) {
    auto [name, value] = entry(line);
    names.insert(name);
    policy_map.insert_or_assign(std::move(name), std::move(value));
  }
  for (const std::string& line : fuzz::split(request_part, '\n')) {
    auto [name, value] = entry(line);
    request_env.insert_or_assign(std::move(name), std::move(value));
  }

  EnvMap expected;
  EnvPolicy policy;
  switch (data[0] % 4) {
    case 0:
      policy = EnvPolicy::Empty{};
      break;
    case 1:
      policy = EnvPolicy::LocaleOnly{};
      expected = {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}};
      break;
    case 2:
      policy = EnvPolicy::Fixed{policy_map};
      expected = without_forbidden(policy_map);
      break;
    default:
      policy = EnvPolicy::Allowlist{names};
      for (const auto& kv : request_env) {
        if (names.contains(kv.first)) expected.insert(kv);
      }
      expected = without_forbidden(std::move(expected));
      break;
  }

  const EnvMap got = policy.apply(request_env);
  for (const auto& kv : got) require(!forbidden(kv.first), "apply: no forbidden name survives");
  require(got == expected, "apply: the variant's map minus the forbidden names");
  return 0;
}
