// Reading an argv with the extended rules: choosing the rule set by
// subcommand, reading token by token as an option parser does (values tied to
// their flags, bundles, numeric flags), the program's own reading of "--",
// value constraints, the options before the subcommand, path positionals and
// positional roles (paths from wherever a value moves the program), counts and
// the "--" insertion after the subcommand, every value and the positionals the
// program reads before it.
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

// Reads one argv against a rule set (the options before the subcommand, then
// the subcommand's); the first fault ends the reading.
class Reader {
 public:
  Reader(const std::vector<std::string>& argv, const PathJail* jail, RuleTrace* trace)
      : argv_(argv), trace_(trace) {
    if (jail) here_ = *jail;
  }

  // The rule set for the tokens read from now on; the counts start again.
  void use(const RuleSet& set, const std::unordered_set<std::string>& flags,
           const std::unordered_map<std::string, RuleSet::CompiledValue>& values) {
    set_ = &set;
    flags_ = &flags;
    values_ = &values;
    flag_count = 0;
    excess_flag.reset();
  }

  // Options up to the first word that is not one; where that word is.
  std::expected<std::size_t, Refusal> read_options(std::size_t start);
  std::expected<void, Refusal> read(std::size_t start);
  // The most positionals the rule set takes: a role list without a rest role bounds them too.
  std::size_t positional_limit() const {
    const std::size_t max = set_->max_positionals();
    const std::size_t listed = set_->positional_roles().size();
    if (set_->rest_positionals() || listed == 0) return max;
    return std::min(max, replaced_ ? listed - 1 : listed);
  }

  std::size_t flag_count = 0;
  std::size_t positional_count = 0;
  std::optional<std::size_t> excess_flag;
  std::optional<std::size_t> excess_positional;
  // Where an inserted "--" goes: the positional after the ones the program reads first.
  std::optional<std::size_t> insert_at;
  // Just past the last option read (a flag, a bundle or a value taken by one).
  std::size_t options_end = 0;
  bool separator_seen = false;

 private:
  using Value = RuleSet::CompiledValue;

  void role(TokenRole r) {
    if (trace_) trace_->roles.push_back(r);
  }
  void count_flag(std::size_t index) {
    if (++flag_count > set_->max_flags() && !excess_flag) excess_flag = index;
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
  std::expected<void, Refusal> read_positional(std::size_t i);
  std::expected<void, Refusal> check_role(const Value& role, std::size_t number,
                                          const std::string& value, std::size_t index);
  std::expected<void, Refusal> check_roles();

  const RuleSet* set_ = nullptr;
  const std::unordered_set<std::string>* flags_ = nullptr;
  const std::unordered_map<std::string, Value>* values_ = nullptr;
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
  // The positionals of a rule set with roles, judged once argv is read: a
  // flag anywhere may take the first one's place (replaces_first_positional).
  struct Pending {
    std::size_t index;
    std::size_t number;
    std::size_t moves;  // where the program is at this token: after this many moves
    std::size_t trace_at;
  };
  std::vector<Pending> pending_;
  // Where the program was before each move (left empty until one), so that a
  // pending path counts from its own place without a copy per positional.
  std::vector<Path> before_moves_;
  bool replaced_ = false;
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
  before_moves_.push_back(std::move(here_->cwd));
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
  if (rule.rule.replaces_first_positional) replaced_ = true;
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
  if (flags_->contains(token)) {
    role(TokenRole::Flag);
    count_flag(i);
    return {};
  }
  if (auto value = values_->find(token); value != values_->end()) {
    role(TokenRole::ValueFlag);
    count_flag(i);
    return take_next_value(token, value->second, i);
  }
  if (token.starts_with("--")) {
    // "--name=value" for a long value flag that accepts the attached form.
    if (auto eq = token.find('='); eq != std::string::npos) {
      auto value = values_->find(token.substr(0, eq));
      if (value != values_->end() && value->second.rule.attached) {
        role(TokenRole::Attached);
        count_flag(i);
        return check_value(value->first, value->second, token.substr(eq + 1), i);
      }
    }
    return not_allowed(token, i);
  }
  if (set_->numeric_flags() && all_digits(std::string_view(token).substr(1))) {
    role(TokenRole::Numeric);
    count_flag(i);
    return {};
  }
  // "-fVALUE" for a short value flag that accepts the attached form.
  if (auto value = values_->find(token.substr(0, 2));
      value != values_->end() && value->second.rule.attached) {
    role(TokenRole::Attached);
    count_flag(i);
    return check_value(value->first, value->second, token.substr(2), i);
  }
  if (!set_->bundles()) return not_allowed(token, i);

  // A bundle as getopt reads it: letters until one takes a value, which takes
  // the rest of the token, or the next token when nothing is left.
  role(TokenRole::Bundle);
  const std::size_t bundle_index = i;
  for (std::size_t k = 1; k < token.size(); ++k) {
    std::string letter = std::string("-") + token[k];
    if (flags_->contains(letter)) {
      count_flag(bundle_index);
      continue;
    }
    auto value = values_->find(letter);
    if (value == values_->end()) return not_allowed(letter, bundle_index);
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
    if (flags_->contains(letter)) {
      count_flag(i);
      continue;
    }
    auto value = values_->find(letter);
    if (value == values_->end()) return not_allowed(letter, i);
    count_flag(i);
    pending.emplace_back(letter, &value->second);
  }
  for (const auto& [letter, rule] : pending) {
    if (auto taken = take_next_value(letter, *rule, i); !taken) return taken;
  }
  return {};
}

std::expected<void, Refusal> Reader::check_role(const Value& role, std::size_t number,
                                                const std::string& value, std::size_t index) {
  const std::string which = "positional " + std::to_string(number);
  auto refuse = [&](std::string why) {
    return std::unexpected(
        Refusal{"PositionalNotAllowed",
                index,
                which + " not allowed: " + escape_quoted(value) + " (" + why + ")",
                {{"positional", std::uint64_t{number}}, {"value", lossy_utf8(value)}},
                std::nullopt});
  };
  if (role.rule.one_of && !role.one_of.contains(value)) {
    return refuse("allowed: " + join(*role.rule.one_of, ", "));
  }
  if (role.pattern && value.size() > kMaxPatternValueBytes) {
    return std::unexpected(Refusal{"ValueTooLong",
                                   index,
                                   "value too long for " + which + ": max " +
                                       std::to_string(kMaxPatternValueBytes) + " bytes, got " +
                                       std::to_string(value.size()),
                                   {{"positional", std::uint64_t{number}},
                                    {"max", std::uint64_t{kMaxPatternValueBytes}},
                                    {"got", std::uint64_t{value.size()}}},
                                   std::nullopt});
  }
  if (role.pattern && !role.pattern->matches(value)) {
    return refuse("must match " + *role.rule.pattern);
  }
  if (role.rule.path) {
    if (auto r = check_path(value, index, nullptr); !r)
      return std::unexpected(std::move(r.error()));
  }
  return {};
}

std::expected<void, Refusal> Reader::read_positional(std::size_t i) {
  const std::string& token = argv_[i];
  const std::size_t number = ++positional_count;  // counted from 1, as messages say
  if (number == set_->inject_double_dash_after() + 1) insert_at = i;
  if (set_->has_positional_roles()) {
    if (pending_.empty()) pending_.reserve(argv_.size() - i);
    pending_.push_back({i, number, moves_, trace_ ? trace_->roles.size() : 0});
    role(TokenRole::Positional);  // named by its role once known
    return {};
  }
  if (number > positional_limit() && !excess_positional) excess_positional = i;
  role(TokenRole::Positional);
  if (!set_->path_positionals()) return {};
  if (auto r = check_path(token, i, nullptr); !r) return std::unexpected(std::move(r.error()));
  return {};
}

std::expected<void, Refusal> Reader::check_roles() {
  // One compiled role per listed positional, then the rest role when there is
  // one; a flag that filled the first positional moves every one up a place.
  const auto& roles = set_->compiled_roles();
  const std::size_t listed = set_->positional_roles().size();
  const std::size_t shift = replaced_ && listed > 0 ? 1 : 0;
  for (const Pending& p : pending_) {
    if (p.number > positional_limit() && !excess_positional) excess_positional = p.index;
    const std::size_t slot = p.number + shift;
    const Value* rule = slot <= listed             ? &roles[slot - 1]
                        : set_->rest_positionals() ? &roles.back()
                                                   : nullptr;
    if (rule == nullptr) continue;  // beyond the list: refused by the count
    const bool value = rule->rule.one_of || rule->rule.pattern;
    if (trace_) {
      trace_->roles[p.trace_at] = value             ? TokenRole::ValuePositional
                                  : rule->rule.path ? TokenRole::PathPositional
                                                    : TokenRole::TextPositional;
    }
    // A path counts from where the program was at its place, as the others do.
    std::optional<Path> now;
    const std::size_t moves_now = moves_;
    if (here_ && rule->rule.path && p.moves < moves_) {
      now = here_->cwd;
      here_->cwd = before_moves_[p.moves];
      moves_ = p.moves;
    }
    auto checked = check_role(*rule, p.number, argv_[p.index], p.index);
    if (now) {
      here_->cwd = std::move(*now);
      moves_ = moves_now;
    }
    if (!checked) return checked;
  }
  return {};
}

std::expected<std::size_t, Refusal> Reader::read_options(std::size_t i) {
  for (; i < argv_.size(); ++i) {
    // A "--" here would leave the program without a subcommand to read.
    if (argv_[i] == "--") return not_allowed(argv_[i], i);
    if (!is_flag_token(argv_[i])) break;
    if (auto r = read_flag(i); !r) return std::unexpected(std::move(r.error()));
  }
  return i;
}

std::expected<void, Refusal> Reader::read(std::size_t start) {
  const DoubleDashReading reading = set_->double_dash();
  for (std::size_t i = start; i < argv_.size(); ++i) {
    const std::string& token = argv_[i];
    if (!separator_seen && token == "--" && reading != DoubleDashReading::Argument) {
      role(TokenRole::Separator);
      separator_seen = true;
      // zip and jq take a "--" before their archive or filter as no end of
      // options at all: refuse it rather than read the rest as operands.
      if (const std::size_t after = set_->inject_double_dash_after();
          set_->inject_double_dash() == InjectDoubleDash::AfterFlags && positional_count < after) {
        return std::unexpected(
            Refusal{"SeparatorTooEarly",
                    i,
                    "\"--\" before positional " + std::to_string(positional_count + 1) +
                        ": the program reads it as the end of its options only after " +
                        std::to_string(after) + (after == 1 ? " positional" : " positionals"),
                    {{"after", std::uint64_t{after}}},
                    std::nullopt});
      }
      continue;
    }
    // Only a program that stops reading options at "--" makes a later "-exec" data.
    const bool options_over = separator_seen && reading == DoubleDashReading::EndsOptions;
    if (!options_over && i == start && set_->first_arg_bundle() && !token.empty() &&
        token.front() != '-') {
      if (auto r = read_first_bundle(i); !r) return r;
      options_end = i + 1;
      continue;
    }
    const bool plain_dashes = token == "--" && reading == DoubleDashReading::Argument;
    if (!options_over && !plain_dashes && is_flag_token(token)) {
      if (auto r = read_flag(i); !r) return r;
      options_end = i + 1;
      continue;
    }
    if (auto r = read_positional(i); !r) return r;
  }
  if (auto r = check_roles(); !r) return r;
  return recheck_from_last_directory();
}

}  // namespace

std::expected<std::vector<std::string>, Refusal> CommandRules::apply(std::vector<std::string> argv,
                                                                     const PathJail* jail,
                                                                     RuleTrace* trace) const {
  if (trace) trace->roles.clear();
  Reader reader(argv, jail, trace);
  // The options before the subcommand word, when the binary has them; a
  // directory they move to holds for every path after them.
  std::size_t first = 0;
  if (global_) {
    if (needs_jail_ && !jail) {
      return std::unexpected(Refusal{"JailRequired",
                                     std::nullopt,
                                     "path rules need a working-directory jail",
                                     {},
                                     std::nullopt});
    }
    reader.use(*global_, global_->flags_, global_->values_);
    auto end = reader.read_options(0);
    if (!end) return std::unexpected(std::move(end.error()));
    if (reader.excess_flag) {
      return std::unexpected(to_refusal(
          violation::TooManyFlags{global_->max_flags_, reader.flag_count}, reader.excess_flag));
    }
    first = *end;
  }
  // The longest subcommand path that argv starts with chooses the rule set.
  const RuleSet* chosen = nullptr;
  const auto words_begin = argv.begin() + static_cast<std::ptrdiff_t>(first);
  for (const RuleSet& set : sets_) {
    const auto& words = set.subcommand_;
    if (words.size() > argv.size() - first) continue;
    if (chosen && words.size() <= chosen->subcommand_.size()) continue;
    if (std::equal(words.begin(), words.end(), words_begin)) chosen = &set;
  }
  if (!chosen) {
    std::vector<std::string> allowed;
    for (const RuleSet& set : sets_) allowed.push_back(join(set.subcommand_, " "));
    const std::string list = join(allowed, ", ");
    if (argv.size() == first) {
      return std::unexpected(Refusal{"SubcommandNotAllowed",
                                     std::nullopt,
                                     "subcommand required (allowed: " + list + ")",
                                     {{"got", std::monostate{}}, {"allowed", list}},
                                     std::nullopt});
    }
    return std::unexpected(Refusal{
        "SubcommandNotAllowed",
        first,
        "subcommand not allowed: " + escape_quoted(argv[first]) + " (allowed: " + list + ")",
        {{"got", lossy_utf8(argv[first])}, {"allowed", list}},
        std::nullopt});
  }
  if (needs_jail_ && !jail) {
    return std::unexpected(Refusal{"JailRequired",
                                   std::nullopt,
                                   "path rules need a working-directory jail",
                                   {},
                                   std::nullopt});
  }
  const std::size_t start = first + chosen->subcommand_.size();
  if (trace) {
    trace->subcommand = chosen->subcommand_;
    trace->roles.insert(trace->roles.end(), chosen->subcommand_.size(), TokenRole::Subcommand);
  }

  reader.use(*chosen, chosen->flags_, chosen->values_);
  if (auto read = reader.read(start); !read) return std::unexpected(std::move(read.error()));
  if (reader.excess_flag) {
    return std::unexpected(to_refusal(
        violation::TooManyFlags{chosen->max_flags_, reader.flag_count}, reader.excess_flag));
  }
  if (reader.excess_positional) {
    return std::unexpected(to_refusal(
        violation::TooManyPositionals{reader.positional_limit(), reader.positional_count},
        reader.excess_positional));
  }
  // The caller's own "--" can only be a real separator here (never a value),
  // so it already ends the options and nothing is inserted.
  // An option after a positional is read as one, by these rules and by a
  // program that permutes its argv: the "--" goes after it too, or the
  // program would take it and its value ("grep PAT f -e /etc/passwd") as
  // operands nobody checked. The positionals before it start with no dash,
  // so they stay operands.
  if (chosen->inject_ == InjectDoubleDash::AfterFlags && !reader.separator_seen &&
      reader.insert_at) {
    const std::size_t at = std::max(*reader.insert_at, reader.options_end);
    argv.insert(argv.begin() + static_cast<std::ptrdiff_t>(at), "--");
  }
  return argv;
}

}  // namespace corvane
