// Fuzz target: argument classification, argument rules and "--" insertion,
// each checked against a small reference written from the rules' definition.
//
// Input: byte 0 holds switches (1: AfterFlags, 2: a subcommand, 4: every
// token of the vector is also an allowed flag), bytes 1 and 2 the two maxima
// (255 stands for the largest size). The rest is split at '\n': a line that
// starts with '+' is an allowed flag (without the '+'), a line that starts with
// '=' is the subcommand, every other line is an element of the vector.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <variant>
#include <vector>

#include "corvane/arg_parser.hpp"
#include "corvane/arg_rules.hpp"
#include "corvane/double_dash.hpp"
#include "fuzz_support.hpp"

using namespace corvane;
using corvane::fuzz::require;

namespace {

enum class Kind { Flag, Positional, Separator };

// The classification rule, restated: after the first "--" everything is data.
std::vector<Kind> reference_kinds(const std::vector<std::string>& argv) {
  std::vector<Kind> kinds;
  bool seen = false;
  for (const std::string& t : argv) {
    if (seen) {
      kinds.push_back(Kind::Positional);
    } else if (t == "--") {
      kinds.push_back(Kind::Separator);
      seen = true;
    } else if (t.size() >= 2 && t[0] == '-') {
      kinds.push_back(Kind::Flag);
    } else {
      kinds.push_back(Kind::Positional);
    }
  }
  return kinds;
}

std::vector<std::string> reference_inject(const std::vector<std::string>& argv,
                                          InjectDoubleDash mode) {
  if (mode == InjectDoubleDash::Never || argv.empty()) return argv;
  const auto kinds = reference_kinds(argv);
  if (std::find(kinds.begin(), kinds.end(), Kind::Separator) != kinds.end()) return argv;
  const auto first = std::find(kinds.begin(), kinds.end(), Kind::Positional);
  if (first == kinds.end()) return argv;
  std::vector<std::string> out = argv;
  out.insert(out.begin() + (first - kinds.begin()), "--");
  return out;
}

void check_parse(const std::vector<std::string>& argv) {
  const auto parsed = parse_argv(argv);
  const auto kinds = reference_kinds(argv);
  require(parsed.size() == argv.size(), "parse_argv: one entry per element");
  std::size_t separators = 0;
  for (std::size_t k = 0; k < parsed.size(); ++k) {
    require(parsed[k].index == k, "parse_argv: entry k carries index k");
    if (const auto* f = std::get_if<arg_type::Flag>(&parsed[k].type)) {
      require(kinds[k] == Kind::Flag && f->text == argv[k], "parse_argv: flag");
    } else if (const auto* p = std::get_if<arg_type::Positional>(&parsed[k].type)) {
      require(kinds[k] == Kind::Positional && p->text == argv[k], "parse_argv: positional");
    } else {
      require(kinds[k] == Kind::Separator && argv[k] == "--", "parse_argv: separator");
      ++separators;
    }
  }
  require(separators <= 1, "parse_argv: at most one separator");
}

// Structural promises of insertion, independent of the reference above.
void check_inject(const std::vector<std::string>& argv, InjectDoubleDash mode) {
  const auto out = inject_double_dash(argv, mode);
  require(out == reference_inject(argv, mode), "inject_double_dash: matches reference");
  if (out.size() == argv.size()) {
    require(out == argv, "inject_double_dash: same length means unchanged");
    return;
  }
  require(mode == InjectDoubleDash::AfterFlags, "inject_double_dash: Never changes nothing");
  require(out.size() == argv.size() + 1, "inject_double_dash: adds at most one element");
  require(std::find(argv.begin(), argv.end(), "--") == argv.end(),
          "inject_double_dash: a vector holding \"--\" is left alone");
  // Exactly one position j holds the new "--", and removing it gives argv back.
  std::size_t j = 0;
  while (j < argv.size() && out[j] == argv[j]) ++j;
  require(out[j] == "--", "inject_double_dash: the inserted token is \"--\"");
  require(std::equal(argv.begin() + static_cast<std::ptrdiff_t>(j), argv.end(),
                     out.begin() + static_cast<std::ptrdiff_t>(j) + 1),
          "inject_double_dash: order kept");
  for (std::size_t k = 0; k < j; ++k) {
    require(argv[k].size() >= 2 && argv[k][0] == '-', "inject_double_dash: only flags before it");
  }
}

std::size_t limit_from(std::uint8_t byte) {
  return byte == 255 ? std::numeric_limits<std::size_t>::max() : byte;
}

void check_validate(const ArgRules& rules, const std::unordered_set<std::string>& allowed,
                    const std::optional<std::string>& sub, std::size_t max_flags,
                    std::size_t max_pos, InjectDoubleDash mode,
                    const std::vector<std::string>& argv) {
  const auto got = rules.validate(argv);
  const auto kinds = reference_kinds(argv);
  std::vector<std::string> flags, positionals;
  for (std::size_t k = 0; k < argv.size(); ++k) {
    if (kinds[k] == Kind::Flag) flags.push_back(argv[k]);
    if (kinds[k] == Kind::Positional) positionals.push_back(argv[k]);
  }
  const auto violation = [&]() -> const Violation& {
    require(!got.has_value(), "validate: a violation was expected");
    return got.error();
  };
  if (flags.size() > max_flags) {
    const auto* v = std::get_if<violation::TooManyFlags>(&violation());
    require(v && v->max == max_flags && v->got == flags.size(), "validate: TooManyFlags");
    return;
  }
  for (const std::string& f : flags) {
    if (!allowed.contains(f)) {
      const auto* v = std::get_if<violation::FlagNotAllowed>(&violation());
      require(v && v->flag == f, "validate: FlagNotAllowed names the first offender");
      return;
    }
  }
  std::size_t p = positionals.size();
  if (sub) {
    if (positionals.empty() || positionals.front() != *sub) {
      const auto* v = std::get_if<violation::SubcommandMismatch>(&violation());
      require(v && v->expected == *sub, "validate: SubcommandMismatch expected");
      if (positionals.empty()) {
        require(!v->got.has_value(), "validate: SubcommandMismatch got absent");
      } else {
        require(v->got == positionals.front(), "validate: SubcommandMismatch got");
      }
      return;
    }
    --p;
  }
  if (p > max_pos) {
    const auto* v = std::get_if<violation::TooManyPositionals>(&violation());
    require(v && v->max == max_pos && v->got == p, "validate: TooManyPositionals");
    return;
  }
  require(got.has_value(), "validate: accepted");
  require(*got == reference_inject(argv, mode), "validate: result is the injected vector");
  // A second run gives the same answer: nothing is kept between calls.
  const auto again = rules.validate(argv);
  require(again.has_value() && *again == *got, "validate: deterministic");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t switches = data[0];
  const std::size_t max_flags = limit_from(data[1]);
  const std::size_t max_pos = limit_from(data[2]);
  const InjectDoubleDash mode =
      (switches & 1) ? InjectDoubleDash::AfterFlags : InjectDoubleDash::Never;

  std::vector<std::string> argv, allowed_list;
  std::optional<std::string> sub;
  for (std::string& line : fuzz::split(fuzz::bytes(data + 3, size - 3), '\n')) {
    if (!line.empty() && line[0] == '+') {
      allowed_list.push_back(line.substr(1));
    } else if (!line.empty() && line[0] == '=' && (switches & 2)) {
      sub = line.substr(1);
    } else {
      argv.push_back(std::move(line));
    }
  }
  if (switches & 4) allowed_list.insert(allowed_list.end(), argv.begin(), argv.end());
  const std::unordered_set<std::string> allowed(allowed_list.begin(), allowed_list.end());

  ArgRules rules = ArgRules()
                       .allowed_flags(allowed_list)
                       .max_flags(max_flags)
                       .max_positionals(max_pos)
                       .inject_double_dash(mode);
  if (sub) rules = std::move(rules).subcommand(*sub);

  check_parse(argv);
  check_inject(argv, InjectDoubleDash::Never);
  check_inject(argv, InjectDoubleDash::AfterFlags);
  check_validate(rules, allowed, sub, max_flags, max_pos, mode, argv);
  return 0;
}
