// Per-binary argument rules: counting, whole-token flag membership, the
// required subcommand, then the double-dash insertion.
#include "corvane/arg_rules.hpp"

#include <iterator>
#include <utility>

#include "corvane/arg_parser.hpp"

namespace corvane {

ArgRules& ArgRules::subcommand(std::string cmd) & {
  subcommand_ = std::move(cmd);
  return *this;
}

ArgRules& ArgRules::allowed_flags(std::vector<std::string> flags) & {
  allowed_flags_ = std::unordered_set<std::string>(std::make_move_iterator(flags.begin()),
                                                   std::make_move_iterator(flags.end()));
  return *this;
}

ArgRules& ArgRules::max_flags(std::size_t n) & {
  max_flags_ = n;
  return *this;
}

ArgRules& ArgRules::max_positionals(std::size_t n) & {
  max_positionals_ = n;
  return *this;
}

ArgRules& ArgRules::inject_double_dash(InjectDoubleDash mode) & {
  inject_double_dash_ = mode;
  return *this;
}

// The forms for a temporary: the same change, the rules handed on by value.
ArgRules ArgRules::subcommand(std::string cmd) && {
  this->subcommand(std::move(cmd));
  return std::move(*this);
}

ArgRules ArgRules::allowed_flags(std::vector<std::string> flags) && {
  this->allowed_flags(std::move(flags));
  return std::move(*this);
}

ArgRules ArgRules::max_flags(std::size_t n) && {
  this->max_flags(n);
  return std::move(*this);
}

ArgRules ArgRules::max_positionals(std::size_t n) && {
  this->max_positionals(n);
  return std::move(*this);
}

ArgRules ArgRules::inject_double_dash(InjectDoubleDash mode) && {
  this->inject_double_dash(mode);
  return std::move(*this);
}

std::expected<std::vector<std::string>, Violation> ArgRules::validate(
    std::vector<std::string> argv) const {
  // One pass gathers everything the checks need, as indices into argv: this
  // runs on every prepared request, so no token is copied unless it ends up in
  // a violation. Membership is looked up only until the first offender, which
  // is the only one ever reported.
  constexpr std::size_t none = static_cast<std::size_t>(-1);
  std::size_t flags = 0;
  std::size_t positionals = 0;
  std::size_t first_positional = none;
  std::size_t first_bad_flag = none;
  bool separator_seen = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    switch (classify_token(argv[i], separator_seen)) {
      case ArgKind::Flag:
        ++flags;
        if (first_bad_flag == none && !allowed_flags_.contains(argv[i])) first_bad_flag = i;
        break;
      case ArgKind::Positional:
        if (positionals++ == 0) first_positional = i;
        break;
      case ArgKind::DoubleDash:
        separator_seen = true;
        break;
    }
  }

  // The order of these checks decides which fault is reported when several apply.
  if (flags > max_flags_) return std::unexpected(violation::TooManyFlags{max_flags_, flags});
  if (first_bad_flag != none) {
    return std::unexpected(violation::FlagNotAllowed{std::move(argv[first_bad_flag])});
  }
  if (subcommand_) {
    if (first_positional == none) {
      return std::unexpected(violation::SubcommandMismatch{*subcommand_, std::nullopt});
    }
    if (argv[first_positional] != *subcommand_) {
      return std::unexpected(
          violation::SubcommandMismatch{*subcommand_, std::move(argv[first_positional])});
    }
    --positionals;
  }
  if (positionals > max_positionals_) {
    return std::unexpected(violation::TooManyPositionals{max_positionals_, positionals});
  }
  return corvane::inject_double_dash(std::move(argv), inject_double_dash_);
}

}  // namespace corvane
