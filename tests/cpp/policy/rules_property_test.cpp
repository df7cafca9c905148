// Property test: the extended model reads random argument vectors exactly as a
// plain getopt-style reference reader does (value flags, attached values,
// bundles, numeric flags, counts and the "--" insertion), over fixed seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "corvane/rules.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;

// The reference: short options a b (plain), e (value, attached allowed),
// f (value, next token only); long --long (plain), --val (value, attached
// allowed), --opt (value, next token only); numeric flags and bundles on.
struct Expected {
  bool ok = true;
  std::string kind;
  std::size_t index = 0;
  std::vector<std::string> roles;
  Argv argv;
};

Expected reference(const Argv& argv, std::size_t max_flags, std::size_t max_positionals,
                   bool inject) {
  const std::set<char> plain{'a', 'b'};
  const std::set<char> valued{'e', 'f'};
  const std::set<char> attachable{'e'};
  Expected out;
  auto refuse = [&](std::string kind, std::size_t index) {
    out.ok = false;
    out.kind = std::move(kind);
    out.index = index;
    return out;
  };
  std::size_t flags = 0, positionals = 0;
  std::optional<std::size_t> excess_flag, excess_positional, first_positional;
  bool separator = false;
  auto flag_at = [&](std::size_t i) {
    if (++flags > max_flags && !excess_flag) excess_flag = i;
  };
  std::size_t i = 0;
  // The value of the flag at i is argv[i+1]; neither the end nor "--" will do.
  auto next_value = [&](std::size_t& at) -> bool {
    if (at + 1 >= argv.size()) return false;
    if (argv[at + 1] == "--") return false;
    ++at;
    out.roles.push_back("value");
    return true;
  };
  for (; i < argv.size(); ++i) {
    const std::string& t = argv[i];
    if (separator || t.size() < 2 || t[0] != '-') {
      out.roles.push_back("positional");
      if (!first_positional) first_positional = i;
      if (++positionals > max_positionals && !excess_positional) excess_positional = i;
      continue;
    }
    if (t == "--") {
      separator = true;
      out.roles.push_back("separator");
      continue;
    }
    if (t[1] == '-') {
      const auto eq = t.find('=');
      const std::string name = t.substr(0, eq);
      if (eq == std::string::npos && name == "--long") {
        out.roles.push_back("flag");
        flag_at(i);
      } else if (eq == std::string::npos && (name == "--val" || name == "--opt")) {
        out.roles.push_back("value flag");
        flag_at(i);
        const std::size_t at = i;
        if (!next_value(i)) return refuse("ValueMissing", at + 1 < argv.size() ? at + 1 : at);
      } else if (eq != std::string::npos && name == "--val") {
        out.roles.push_back("flag with value");
        flag_at(i);
      } else {
        return refuse("FlagNotAllowed", i);
      }
      continue;
    }
    const std::string body = t.substr(1);
    if (body.find_first_not_of("0123456789") == std::string::npos) {
      out.roles.push_back("numeric flag");
      flag_at(i);
      continue;
    }
    if (body.size() == 1 && plain.contains(body[0])) {
      out.roles.push_back("flag");
      flag_at(i);
      continue;
    }
    if (body.size() == 1 && valued.contains(body[0])) {
      out.roles.push_back("value flag");
      flag_at(i);
      const std::size_t at = i;
      if (!next_value(i)) return refuse("ValueMissing", at + 1 < argv.size() ? at + 1 : at);
      continue;
    }
    if (attachable.contains(body[0])) {
      out.roles.push_back("flag with value");
      flag_at(i);
      continue;
    }
    out.roles.push_back("bundle");
    const std::size_t at = i;
    for (std::size_t k = 0; k < body.size(); ++k) {
      if (plain.contains(body[k])) {
        flag_at(at);
        continue;
      }
      if (!valued.contains(body[k])) return refuse("FlagNotAllowed", at);
      flag_at(at);
      if (k + 1 < body.size()) {
        if (!attachable.contains(body[k])) return refuse("FlagNotAllowed", at);
      } else if (!next_value(i)) {
        return refuse("ValueMissing", at + 1 < argv.size() ? at + 1 : at);
      }
      break;
    }
  }
  if (excess_flag) return refuse("TooManyFlags", *excess_flag);
  if (excess_positional) return refuse("TooManyPositionals", *excess_positional);
  out.argv = argv;
  // An option after a positional stays one: the "--" goes after the last option too.
  std::size_t options_end = 0;
  for (std::size_t r = 0; r < out.roles.size(); ++r) {
    if (out.roles[r] != "positional") options_end = r + 1;
  }
  if (inject && !separator && first_positional) {
    const std::size_t at = std::max(*first_positional, options_end);
    out.argv.insert(out.argv.begin() + static_cast<std::ptrdiff_t>(at), "--");
  }
  return out;
}

TEST(RulesProperty, MatchesGetoptStyleReference) {
  const Argv pool = {"-a",    "-b",      "-e",    "-f",      "-ab",    "-ba",     "-ae", "-af",
                     "-aeX",  "-afX",    "-eX",   "-fX",     "-x",     "-ax",     "--",  "--long",
                     "--val", "--val=v", "--opt", "--opt=v", "--nope", "x",       "y",   "-",
                     "-5",    "-12",     "",      "-a5",     "-bae",   "--long=1"};
  for (unsigned seed : {1u, 2u, 3u, 42u, 2026u}) {
    std::mt19937 rng(seed);
    for (int n = 0; n < 4000; ++n) {
      const std::size_t max_flags = rng() % 7;
      const std::size_t max_positionals = rng() % 5;
      const bool inject = rng() % 2 == 0;
      auto rules = CommandRules::make({RuleSet()
                                           .flags({"-a", "-b", "--long"})
                                           .value_flag("-e", {.attached = true})
                                           .value_flag("-f")
                                           .value_flag("--val", {.attached = true})
                                           .value_flag("--opt")
                                           .numeric_flags()
                                           .bundles()
                                           .max_flags(max_flags)
                                           .max_positionals(max_positionals)
                                           .inject_double_dash(inject ? InjectDoubleDash::AfterFlags
                                                                      : InjectDoubleDash::Never)});
      ASSERT_TRUE(rules);
      Argv argv(rng() % 7);
      for (auto& token : argv) token = pool[rng() % pool.size()];

      const Expected want = reference(argv, max_flags, max_positionals, inject);
      RuleTrace trace;
      auto got = rules->apply(argv, nullptr, &trace);
      std::string shown;
      for (const auto& t : argv) shown += "'" + t + "' ";
      ASSERT_EQ(got.has_value(), want.ok)
          << "seed " << seed << ": " << shown << (got ? "" : got.error().message);
      if (got) {
        EXPECT_EQ(*got, want.argv) << shown;
        std::vector<std::string> roles;
        for (auto r : trace.roles) roles.emplace_back(display_name(r));
        EXPECT_EQ(roles, want.roles) << shown;
      } else {
        EXPECT_EQ(got.error().kind, want.kind) << shown;
        EXPECT_EQ(got.error().index, want.index) << shown;
      }
    }
  }
}

}  // namespace
}  // namespace corvane
