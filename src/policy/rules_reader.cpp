// Reading an argv with the extended rules: choosing the rule set by
// subcommand, reading token by token as an option parser does (values tied to
// their flags, bundles, numeric flags), the program's own reading of "--",
// value constraints, path positionals (from wherever a value moves the
// program), counts and the "--" insertion after the subcommand and every value.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <type_traits>

#include "corvane/rules.hpp"
#include "policy/rule_text.hpp"
#include "policy/value_pattern.hpp"

namespace corvane {

using rule_text::all_digits;
using rule_text::is_flag_token;
using rule_text::join;

// ---------------------------------------------------------------- paths

std::expected<Path, std::string> resolve_in_jail(const std::string& text, const PathJail& jail) {
  if (text.find('\0') != std::string::npos) return std::unexpected(std::string(kNulInPathText));
  Path candidate(text);
  if (!is_absolute(candidate)) candidate = jail.cwd / candidate;

  std::vector<Path> parts;
  for (const auto& part : candidate) parts.push_back(part);
  // The longest prefix that exists is resolved by the kernel; what follows may
  // be missing (a file about to be written) but may not climb back out.
  std::size_t existing = parts.size();
  Path resolved;
  for (;; --existing) {
    Path prefix;
    for (std::size_t k = 0; k < existing; ++k) prefix /= parts[k];
    auto real = real_path(prefix.empty() ? Path("/") : prefix);
    if (real) {
      resolved = std::move(*real);
      break;
    }
    if (real.error().code != ENOENT || existing == 0) return std::unexpected(real.error().text());
  }
  for (std::size_t k = existing; k < parts.size(); ++k) {
    const std::string& part = parts[k].native();
    if (part == "..") return std::unexpected(std::string("\"..\" after a missing directory"));
    if (part.empty() || part == ".") continue;
    if (k == existing) {
      // A dangling symbolic link would send a write wherever it points.
      struct stat st{};
      if (::lstat((resolved / parts[k]).c_str(), &st) == 0) {
        return std::unexpected("dangling symbolic link " + display(resolved / parts[k]));
      }
    }
    resolved /= parts[k];
  }
  if (!path_starts_with(resolved, jail.root))
    return std::unexpected("resolves to " + display(resolved));
  return resolved;
}

// ---------------------------------------------------------------- judging

namespace {

// Reads one argv against one rule set; the first fault ends the reading.
class Reader {
 public:
  Reader(const RuleSet& set, const std::unordered_set<std::string>& flags,
         const std::unordered_map<std::string, RuleSet::CompiledValue>& values,
         const std::vector<std::string>& argv, const PathJail* jail, RuleTrace* trace)
      : set_(set), flags_(flags), values_(values), argv_(argv), trace_(trace) {
    if (jail) here_ = *jail;
  }

  std::expected<void, Refusal> read(std::size_t start);

  std::size_t flag_count = 0;
  std::size_t positional_count = 0;
  std::optional<std::size_t> excess_flag;
  std::optional<std::size_t> excess_positional;
  std::optional<std::size_t> first_positional;
  bool separator_seen = false;

 private:
  using Value = RuleSet::CompiledValue;

  void role(TokenRole r) {
    if (trace_) trace_->roles.push_back(r);
  }
  void count_flag(std::size_t index) {
    if (++flag_count > set_.max_flags() && !excess_flag) excess_flag = index;
  }
  std::unexpected<Refusal> not_allowed(std::string flag, std::size_t index) {
    return std::unexpected(to_refusal(violation::FlagNotAllowed{lossy_utf8(flag)}, index));
  }
  std::expected<void, Refusal> check_value(const std::string& flag, const Value& rule,
                                           const std::string& value, std::size_t index);
  std::expected<void, Refusal> take_next_value(const std::string& flag, const Value& rule,
                                               std::size_t& i);
  std::expected<Path, Refusal> check_path(const std::string& text, std::size_t index,
                                          const std::string* flag);
  std::expected<void, Refusal> change_directory(const std::string& flag, const std::string& value,
                                                std::size_t index);
  std::expected<void, Refusal> recheck_from_last_directory();
  std::expected<void, Refusal> read_flag(std::size_t& i);
  std::expected<void, Refusal> read_first_bundle(std::size_t& i);

  const RuleSet& set_;
  const std::unordered_set<std::string>& flags_;
  const std::unordered_map<std::string, Value>& values_;
  const std::vector<std::string>& argv_;
  RuleTrace* trace_;
  // The jail with the directory the program is in at the token being read:
  // its starting directory until a value moves it.
  std::optional<PathJail> here_;
  // Every path checked before the last move, with the flag that names it, so
  // it can be checked again from where the program ends up.
  struct Checked {
    std::string text;
    std::size_t index;
    std::optional<std::string> flag;
    std::size_t moves_before;
  };
  std::vector<Checked> checked_;
  std::size_t moves_ = 0;
  std::string last_move_flag_;
};

std::expected<Path, Refusal> Reader::check_path(const std::string& text, std::size_t index,
                                                const std::string* flag) {
  auto resolved = resolve_in_jail(text, *here_);
  if (resolved) {
    std::optional<std::string> named;
    if (flag) named = *flag;
    checked_.push_back({text, index, std::move(named), moves_});
    return std::move(*resolved);
  }
  std::string reason = resolved.error();
  if (moves_ > 0) {
    reason +=
        ", from " + display(here_->cwd) + " where " + lossy_utf8(last_move_flag_) + " moves it";
  }
  std::string message =
      "path outside the working directory jail: " + escape_quoted(text) + " (" + reason + ")";
  Refusal r{"PathOutsideJail",
            index,
            std::move(message),
            {{"path", lossy_utf8(text)}, {"reason", reason}},
            std::nullopt};
  if (flag) r.fields.emplace_back("flag", lossy_utf8(*flag));
  return std::unexpected(std::move(r));
}

std::expected<void, Refusal> Reader::change_directory(const std::string& flag,
                                                      const std::string& value, std::size_t index) {
  // Relative to where the program already is: "-C a -C b" ends in a/b.
  auto moved = check_path(value, index, &flag);
  if (!moved) return std::unexpected(std::move(moved.error()));
  checked_.pop_back();  // a move is relative to the one before it, never to a later one
  here_->cwd = std::move(*moved);
  last_move_flag_ = flag;
  ++moves_;
  return {};
}

std::expected<void, Refusal> Reader::recheck_from_last_directory() {
  // tar moves before the operands that follow its -C, but git and make move
  // before they read any argument: a path must stay inside on either reading.
  if (moves_ == 0) return {};
  const std::vector<Checked> earlier = std::move(checked_);
  for (const Checked& c : earlier) {
    if (c.moves_before == moves_) continue;
    if (auto r = check_path(c.text, c.index, c.flag ? &*c.flag : nullptr); !r) {
      return std::unexpected(std::move(r.error()));
    }
  }
  return {};
}

std::expected<void, Refusal> Reader::check_value(const std::string& flag, const Value& rule,
                                                 const std::string& value, std::size_t index) {
  auto refuse = [&](std::string why) {
    return std::unexpected(Refusal{"ValueNotAllowed",
                                   index,
                                   "value not allowed for " + lossy_utf8(flag) + ": " +
                                       escape_quoted(value) + " (" + why + ")",
                                   {{"flag", lossy_utf8(flag)}, {"value", lossy_utf8(value)}},
                                   std::nullopt});
  };
  if (rule.rule.one_of && !rule.one_of.contains(value)) {
    return refuse("allowed: " + join(*rule.rule.one_of, ", "));
  }
  if (rule.pattern && value.size() > kMaxPatternValueBytes) {
    // Matching time grows with the value; a longer value is no flag value.
    return std::unexpected(Refusal{"ValueTooLong",
                                   index,
                                   "value too long for " + lossy_utf8(flag) + ": max " +
                                       std::to_string(kMaxPatternValueBytes) + " bytes, got " +
                                       std::to_string(value.size()),
                                   {{"flag", lossy_utf8(flag)},
                                    {"max", std::uint64_t{kMaxPatternValueBytes}},
                                    {"got", std::uint64_t{value.size()}}},
                                   std::nullopt});
  }
  if (rule.pattern && !rule.pattern->matches(value)) {
    return refuse("must match " + *rule.rule.pattern);
  }
  if (rule.rule.changes_directory) return change_directory(flag, value, index);
  if (rule.rule.path) {
    if (auto r = check_path(value, index, &flag); !r) return std::unexpected(std::move(r.error()));
  }
  return {};
}

std::expected<void, Refusal> Reader::take_next_value(const std::string& flag, const Value& rule,
                                                     std::size_t& i) {
  const std::size_t at = i + 1;
  if (at >= argv_.size() || argv_[at] == "--") {
    // A "--" here would be taken as the value by the program, and everything
    // after it read as options: exactly the smuggling this model exists to stop.
    const bool end = at >= argv_.size();
    return std::unexpected(Refusal{
        "ValueMissing",
        end ? i : at,
        "flag " + lossy_utf8(flag) + " takes a value, but " +
            (end ? std::string("it is the last argument") : std::string("\"--\" follows it")),
        {{"flag", lossy_utf8(flag)}},
        std::nullopt});
  }
  role(TokenRole::Value);
  i = at;
  return check_value(flag, rule, argv_[at], at);
}

std::expected<void, Refusal> Reader::read_flag(std::size_t& i) {
  const std::string& token = argv_[i];
  if (flags_.contains(token)) {
    role(TokenRole::Flag);
    count_flag(i);
    return {};
  }
  if (auto value = values_.find(token); value != values_.end()) {
    role(TokenRole::ValueFlag);
    count_flag(i);
    return take_next_value(token, value->second, i);
  }
  if (token.starts_with("--")) {
    // "--name=value" for a long value flag that accepts the attached form.
    if (auto eq = token.find('='); eq != std::string::npos) {
      auto value = values_.find(token.substr(0, eq));
      if (value != values_.end() && value->second.rule.attached) {
        role(TokenRole::Attached);
        count_flag(i);
        return check_value(value->first, value->second, token.substr(eq + 1), i);
      }
    }
    return not_allowed(token, i);
  }
  if (set_.numeric_flags() && all_digits(std::string_view(token).substr(1))) {
    role(TokenRole::Numeric);
    count_flag(i);
    return {};
  }
  // "-fVALUE" for a short value flag that accepts the attached form.
  if (auto value = values_.find(token.substr(0, 2));
      value != values_.end() && value->second.rule.attached) {
    role(TokenRole::Attached);
    count_flag(i);
    return check_value(value->first, value->second, token.substr(2), i);
  }
  if (!set_.bundles()) return not_allowed(token, i);

  // A bundle as getopt reads it: letters until one takes a value, which takes
  // the rest of the token, or the next token when nothing is left.
  role(TokenRole::Bundle);
  const std::size_t bundle_index = i;
  for (std::size_t k = 1; k < token.size(); ++k) {
    std::string letter = std::string("-") + token[k];
    if (flags_.contains(letter)) {
      count_flag(bundle_index);
      continue;
    }
    auto value = values_.find(letter);
    if (value == values_.end()) return not_allowed(letter, bundle_index);
    count_flag(bundle_index);
    if (k + 1 < token.size()) {
      if (!value->second.rule.attached) return not_allowed(token, bundle_index);
      return check_value(letter, value->second, token.substr(k + 1), bundle_index);
    }
    return take_next_value(letter, value->second, i);
  }
  return {};
}

std::expected<void, Refusal> Reader::read_first_bundle(std::size_t& i) {
  // Old-style options ("tar cf out.tar dir"): each letter is an option, and
  // the letters that take a value take the following tokens in order.
  role(TokenRole::Bundle);
  const std::string& token = argv_[i];
  std::vector<std::pair<std::string, const Value*>> pending;
  for (char c : token) {
    std::string letter(1, c);
    if (flags_.contains(letter)) {
      count_flag(i);
      continue;
    }
    auto value = values_.find(letter);
    if (value == values_.end()) return not_allowed(letter, i);
    count_flag(i);
    pending.emplace_back(letter, &value->second);
  }
  for (const auto& [letter, rule] : pending) {
    if (auto taken = take_next_value(letter, *rule, i); !taken) return taken;
  }
  return {};
}

std::expected<void, Refusal> Reader::read(std::size_t start) {
  const DoubleDashReading reading = set_.double_dash();
  for (std::size_t i = start; i < argv_.size(); ++i) {
    const std::string& token = argv_[i];
    if (!separator_seen && token == "--" && reading != DoubleDashReading::Argument) {
      role(TokenRole::Separator);
      separator_seen = true;
      continue;
    }
    // Only a program that stops reading options at "--" makes a later "-exec" data.
    const bool options_over = separator_seen && reading == DoubleDashReading::EndsOptions;
    if (!options_over && i == start && set_.first_arg_bundle() && !token.empty() &&
        token.front() != '-') {
      if (auto r = read_first_bundle(i); !r) return r;
      continue;
    }
    const bool plain_dashes = token == "--" && reading == DoubleDashReading::Argument;
    if (!options_over && !plain_dashes && is_flag_token(token)) {
      if (auto r = read_flag(i); !r) return r;
      continue;
    }
    role(TokenRole::Positional);
    if (!first_positional) first_positional = i;
    if (++positional_count > set_.max_positionals() && !excess_positional) excess_positional = i;
    if (set_.path_positionals()) {
      if (auto r = check_path(token, i, nullptr); !r) return std::unexpected(std::move(r.error()));
    }
  }
  return recheck_from_last_directory();
}

}  // namespace

std::expected<std::vector<std::string>, Refusal> CommandRules::apply(std::vector<std::string> argv,
                                                                     const PathJail* jail,
                                                                     RuleTrace* trace) const {
  // The longest subcommand path that argv starts with chooses the rule set.
  const RuleSet* chosen = nullptr;
  for (const RuleSet& set : sets_) {
    const auto& words = set.subcommand_;
    if (words.size() > argv.size()) continue;
    if (chosen && words.size() <= chosen->subcommand_.size()) continue;
    if (std::equal(words.begin(), words.end(), argv.begin())) chosen = &set;
  }
  if (!chosen) {
    std::vector<std::string> allowed;
    for (const RuleSet& set : sets_) allowed.push_back(join(set.subcommand_, " "));
    const std::string list = join(allowed, ", ");
    if (argv.empty()) {
      return std::unexpected(Refusal{"SubcommandNotAllowed",
                                     std::nullopt,
                                     "subcommand required (allowed: " + list + ")",
                                     {{"got", std::monostate{}}, {"allowed", list}},
                                     std::nullopt});
    }
    return std::unexpected(
        Refusal{"SubcommandNotAllowed",
                0,
                "subcommand not allowed: " + escape_quoted(argv[0]) + " (allowed: " + list + ")",
                {{"got", lossy_utf8(argv[0])}, {"allowed", list}},
                std::nullopt});
  }
  if (needs_jail_ && !jail) {
    return std::unexpected(Refusal{"JailRequired",
                                   std::nullopt,
                                   "path rules need a working-directory jail",
                                   {},
                                   std::nullopt});
  }
  const std::size_t start = chosen->subcommand_.size();
  if (trace) {
    trace->subcommand = chosen->subcommand_;
    trace->roles.assign(start, TokenRole::Subcommand);
  }

  Reader reader(*chosen, chosen->flags_, chosen->values_, argv, jail, trace);
  if (auto read = reader.read(start); !read) return std::unexpected(std::move(read.error()));
  if (reader.excess_flag) {
    return std::unexpected(to_refusal(
        violation::TooManyFlags{chosen->max_flags_, reader.flag_count}, reader.excess_flag));
  }
  if (reader.excess_positional) {
    return std::unexpected(
        to_refusal(violation::TooManyPositionals{chosen->max_positionals_, reader.positional_count},
                   reader.excess_positional));
  }
  // The caller's own "--" can only be a real separator here (never a value),
  // so it already ends the options and nothing is inserted.
  if (chosen->inject_ == InjectDoubleDash::AfterFlags && !reader.separator_seen &&
      reader.first_positional) {
    argv.insert(argv.begin() + static_cast<std::ptrdiff_t>(*reader.first_positional), "--");
  }
  return argv;
}

}  // namespace corvane
