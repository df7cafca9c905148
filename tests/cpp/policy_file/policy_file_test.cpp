// The policy-file reader: each kind of mistake names the file, the key path and
// the reason users see; values read exactly; variables expand once; a table's
// order is the order written.
#include "corvane/policy_file.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace corvane {
namespace {

constexpr const char* kGrep = "[binaries.grep]\npath = \"/usr/bin/grep\"\n";

struct Mistake {
  const char* what;
  std::string text;  // the policy file
  std::string key;
  std::string reason;  // the start of the reason
};

std::string error_of(std::string_view text, const PolicyVariables& vars = {},
                     const std::optional<Path>& base = std::nullopt) {
  auto loaded = load_policy_text(text, "p.toml", vars, base);
  return loaded ? "loaded" : loaded.error().message();
}

TEST(PolicyFileErrors, EachMistakeNamesFileKeyAndReason) {
  const std::string grep = kGrep;
  const Mistake rows[] = {
      {"not TOML", "a = \n", "", "not valid TOML: "},
      {"a table defined twice", grep + grep, "", "not valid TOML: "},
      {"unknown top-level key", "timeout_s = 3\n", "timeout_s",
       "unknown key (known: allow_writable_policy, audit, binaries, cwd, environment, include, "
       "max_stderr, "
       "max_stdin, "
       "max_stdout, on_output_limit, risky_binaries, sandbox, timeout)"},
      {"unknown key of a value flag", grep + "value_flags = { \"-e\" = { choices = [] } }\n",
       "binaries.grep.value_flags.-e.choices",
       "unknown key (known: attached, changes_directory, one_of"},
      {"wrong type", grep + "max_flags = \"3\"\n", "binaries.grep.max_flags",
       "expected an integer, got string"},
      {"negative count", grep + "max_flags = -1\n", "binaries.grep.max_flags",
       "must be between 0 and 2**64-1, got -1"},
      {"string in a list", grep + "flags = [\"-n\", 5]\n", "binaries.grep.flags[1]",
       "expected a string, got integer"},
      {"a date", grep + "flags = [1979-05-27]\n", "binaries.grep.flags[0]",
       "expected a string, got date"},
      {"missing path", "[binaries.grep]\nflags = []\n", "binaries.grep.path",
       "missing: every binary needs a path"},
      {"binary not a table", "binaries.grep = \"/usr/bin/grep\"\n", "binaries.grep",
       "expected a table, got string"},
      {"binary not found", "[binaries.nope]\npath = \"/usr/bin/does-not-exist\"\n",
       "binaries.nope.path", "binary not found: /usr/bin/does-not-exist"},
      {"the rules refuse a rule set", grep + "flags = [\"-n\", \"-n\"]\n", "binaries.grep",
       "flag \"-n\" declared twice"},
      {"the rules refuse a subcommand",
       "[binaries.git]\npath = \"/usr/bin/git\"\nsubcommands = { \"remote -v\" = {}, \"remote  "
       "-v\" = {} }\n",
       "binaries.git.subcommands.remote -v", "a second rule set for subcommand \"remote -v\""},
      {"two paths to one file", grep + "[binaries.b]\npath = \"/usr/bin/../bin/grep\"\n",
       "binaries.b.path",
       "rules for /usr/bin/grep and /usr/bin/../bin/grep both apply to /usr/bin/grep"},
      {"relative path without a base", "[binaries.grep]\npath = \"grep\"\n", "binaries.grep.path",
       "relative path 'grep' needs a base directory (pass base_dir)"},
      {"duration unit", "timeout = \"3 fortnights\"\n", "timeout",
       "not a duration: '3 fortnights' (units: ns, us, ms, s, m, h)"},
      {"duration below a nanosecond", "timeout = \"0.5ns\"\n", "timeout",
       "finer than a nanosecond: '0.5ns'"},
      {"negative seconds", "timeout = -1.5\n", "timeout",
       "must be a finite, non-negative number of seconds, got -1.5"},
      {"infinite seconds", "timeout = inf\n", "timeout",
       "must be a finite, non-negative number of seconds, got inf"},
      {"too long", "timeout = \"99999999999999999999999h\"\n", "timeout",
       "too long: '99999999999999999999999h'"},
      {"size unit", "max_stdout = \"10 parsecs\"\n", "max_stdout",
       "not a size: '10 parsecs' (units: B, KB, MB, GB, KiB, MiB, GiB)"},
      {"part of a byte", "max_stdout = \"0.5B\"\n", "max_stdout",
       "not a whole number of bytes: '0.5B'"},
      {"size above 2**64", "max_stdout = \"20000000000GB\"\n", "max_stdout",
       "must be between 0 and 2**64-1, got 20000000000000000000"},
      {"a pipe cannot hold max_stdin", "max_stdin = \"1GiB\"\n", "max_stdin",
       "max_stdin of 1073741824 bytes is above"},
      {"output limit word", "on_output_limit = \"drop\"\n", "on_output_limit",
       "must be 'wait' or 'kill', not 'drop'"},
      {"quoted as written", "risky_binaries = \"it's\"\n", "risky_binaries",
       "unknown value \"it's\" (known: deny, allow_with_warning, disabled)"},
      {"environment mode", "[environment]\nmode = \"inherit\"\n", "environment.mode",
       "unknown mode 'inherit' (known: allowlist, empty, fixed, locale_only)"},
      {"names without allowlist", "[environment]\nnames = [\"PATH\"]\n", "environment.names",
       "only the allowlist mode takes names"},
      {"two directory modes", "[cwd]\nfixed = \"/tmp\"\njail = \"/tmp\"\n", "cwd",
       "needs exactly one of fixed, jail or allow"},
      {"empty allow list", "[cwd]\nallow = []\n", "cwd.allow",
       "expected a non-empty list of directories"},
      {"sandbox path", "[sandbox]\nread = [\"/usr\", \"/no/such/dir\"]\n", "sandbox.read[1]",
       "sandbox path does not exist: /no/such/dir"},
      {"port out of range", "[sandbox]\nnetwork = { connect = [70000] }\n",
       "sandbox.network.connect[0]", "a port is between 1 and 65535, got 70000"},
      {"port zero, refused by the sandbox", "[sandbox]\nnetwork = { bind = [0] }\n",
       "sandbox.network.bind", "sandbox bind port 0 is not a port (1-65535)"},
      {"ports not a list", "[sandbox]\nnetwork = { connect = 443 }\n", "sandbox.network.connect",
       "expected a list of ports, not int"},
      {"CPU time", "[sandbox.limits]\ncpu_time = \"1.5s\"\n", "sandbox.limits.cpu_time",
       "the CPU time limit is counted in whole seconds, got '1.5s'"},
      {"undefined variable", "[cwd]\njail = \"${WS}\"\n", "cwd.jail",
       "undefined variable ${WS} (variables given: none)"},
      {"malformed variable", "[cwd]\njail = \"a${WS\"\n", "cwd.jail",
       "malformed variable '${WS': write ${NAME} with a name of letters, digits and _, or $$ for a "
       "literal $"},
  };
  for (const Mistake& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string expected = "p.toml: " + (row.key.empty() ? "" : row.key + ": ") + row.reason;
    const std::string got = error_of(row.text);
    EXPECT_EQ(got.substr(0, expected.size()), expected) << got;
    auto loaded = load_policy_text(row.text, "p.toml");
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().key, row.key);
    EXPECT_EQ(loaded.error().file, "p.toml");
  }
}

TEST(PolicyFileErrors, DataGivenDirectlyNamesNoFile) {
  PolicyValue data = PolicyValue::table();
  data.entries.emplace_back(PolicyValue::string("timeout"), PolicyValue::string("soon"));
  auto loaded = load_policy_value(data);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().file, std::nullopt);
  EXPECT_EQ(loaded.error().message(),
            "timeout: not a duration: 'soon' (units: ns, us, ms, s, m, h)");
  // A key that is not a string, which only data (not TOML) can hold.
  PolicyValue binaries = PolicyValue::table();
  binaries.entries.emplace_back(PolicyValue::integer(1), PolicyValue::table());
  data.entries = {{PolicyValue::string("binaries"), binaries}};
  EXPECT_EQ(load_policy_value(data).error().message(),
            "binaries: keys must be strings, got integer");
}

// toml++ 3.3 meets undefined behaviour when it asks whether some characters
// beyond ASCII outside strings are blanks; the reader never lets it ask (the
// fuzz target, built with UBSan, catches a slip). Inside strings and comments
// they are ordinary text.
TEST(PolicyFileToml, CharactersBeyondAsciiOutsideStringsAreRefusedFirst) {
  const std::pair<std::string, std::string> rows[] = {
      {"timeout = 1\xc3\xa9\n", "p.toml: not valid TOML: "},
      {"timeout = 1\"\xcf\xa2\"\n", "p.toml: not valid TOML: "},
      {"a = 1979-05-27\"\xcf\xa2\"\n", "p.toml: not valid TOML: "},
      {"ti\xcf\xa2 = 1\n",
       "p.toml: not valid TOML: a bare key holds a character beyond ASCII (quote the key)"},
      {"[bin\xcf\xa2]\n",
       "p.toml: not valid TOML: a bare key holds a character beyond ASCII (quote the key)"},
      {"# caf\xc3\xa9\ntimeout = \"3 \xc2\xb5s\" # \xcf\xa2\n", "loaded"},
  };
  for (const auto& [text, expected] : rows) {
    SCOPED_TRACE(text);
    const std::string got = error_of(text);
    EXPECT_EQ(got.substr(0, expected.size()), expected) << got;
  }
}

TEST(PolicyFileValues, DurationsAndSizesReadExactly) {
  struct Row {
    std::string timeout;
    Duration expected;
  };
  const Row durations[] = {
      {"\"1.5s\"", {1, 500'000'000}},
      {"\"250ms\"", {0, 250'000'000}},
      {"2", {2, 0}},
      {"0.1", {0, 100'000'000}},
      {"\"3us\"", {0, 3000}},
      {"\" 3 \xc2\xb5s \"", {0, 3000}},
      {"\"1m\"", {60, 0}},
      {"1e-9", {0, 1}},
      {"\"18446744073709551615s\"", {~0ULL, 0}},
  };
  for (const Row& row : durations) {
    SCOPED_TRACE(row.timeout);
    auto loaded = load_policy_text("timeout = " + row.timeout + "\n", "p.toml");
    ASSERT_TRUE(loaded) << loaded.error().message();
    EXPECT_EQ(loaded->settings.timeout, row.expected);
  }
  const std::pair<std::string, std::uint64_t> sizes[] = {{"\"10MiB\"", 10ULL << 20},
                                                         {"\"1.5KiB\"", 1536},
                                                         {"\"2 GB\"", 2'000'000'000},
                                                         {"4096", 4096},
                                                         {"\"7\"", 7}};
  for (const auto& [text, bytes] : sizes) {
    SCOPED_TRACE(text);
    auto loaded = load_policy_text("max_stdout = " + text + "\n", "p.toml");
    ASSERT_TRUE(loaded) << loaded.error().message();
    EXPECT_EQ(loaded->settings.max_stdout, bytes);
  }
}

TEST(PolicyFileVariables, ExpandOnceInEveryString) {
  struct Row {
    std::string written;
    PolicyVariables vars;
    std::string expected;  // the value flag's one allowed value, or the error
  };
  const Row rows[] = {
      {"pre-${A}-post", {{"A", "x"}}, "pre-x-post"},
      {"[a-z]+$", {}, "[a-z]+$"},
      {"$${A}", {{"A", "x"}}, "${A}"},
      {"${A}", {{"A", "${B}"}, {"B", "no"}}, "${B}"},
      {"${A}",
       {{"WORK", "/"}},
       "p.toml: binaries.grep.value_flags.-e.one_of[0]: undefined variable ${A} "
       "(variables given: WORK)"},
      {"${}",
       {},
       "p.toml: binaries.grep.value_flags.-e.one_of[0]: malformed variable '${}': write ${NAME} "
       "with a name of letters, digits and _, or $$ for a literal $"},
      {"x",
       {{"A-B", "x"}},
       "p.toml: malformed variable name 'A-B' (letters, digits and _, not starting "
       "with a digit)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.written);
    auto loaded = load_policy_text(
        std::string(kGrep) + "value_flags = { \"-e\" = { one_of = [\"" + row.written + "\"] } }\n",
        "p.toml", row.vars);
    const std::string got =
        loaded ? loaded->settings.binaries[0].rule_sets[0].value_flags[0].second.one_of->at(0)
               : loaded.error().message();
    EXPECT_EQ(got, row.expected);
  }
}

TEST(PolicyFileOrder, TablesKeepTheOrderWritten) {
  // toml++ sorts a table's keys; binaries, value flags and subcommands are
  // described (and their rule sets tried) in the order the file gives them.
  auto loaded = load_policy_text(
      "[binaries.zz]\npath = \"/usr/bin/ls\"\nvalue_flags = { \"-m\" = {}, \"--b\" = {}, \"-a\" = "
      "{} }\n"
      "[binaries.aa]\npath = \"/usr/bin/cat\"\n[binaries.mm]\npath = \"/usr/bin/git\"\n"
      "[binaries.mm.subcommands.status]\n[binaries.mm.subcommands.add]\n",
      "p.toml");
  ASSERT_TRUE(loaded) << loaded.error().message();
  std::vector<std::string> names, flags, subcommands;
  for (const auto& b : loaded->settings.binaries) names.push_back(b.name);
  for (const auto& f : loaded->settings.binaries[0].rule_sets[0].value_flags)
    flags.push_back(f.first);
  for (const auto& s : loaded->settings.binaries[2].rule_sets)
    subcommands.push_back(s.subcommand.at(0));
  EXPECT_EQ(names, (std::vector<std::string>{"zz", "aa", "mm"}));
  EXPECT_EQ(flags, (std::vector<std::string>{"-m", "--b", "-a"}));
  EXPECT_EQ(subcommands, (std::vector<std::string>{"status", "add"}));
}

TEST(PolicyFileLoad, AFileThatCannotBeReadNamesItself) {
  test::TempDir dir;
  auto missing = load_policy(dir / "missing.toml");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(),
            (dir / "missing.toml").native() + ": cannot read: No such file or directory");
  // Relative paths resolve against the file's directory.
  test::make_dirs(dir / "ws");
  test::write_file(dir / "p.toml", "[cwd]\njail = \"ws\"\n", 0644);
  auto loaded = load_policy(dir / "p.toml");
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_EQ(loaded->settings.default_cwd, dir / "ws");
}

// One name for two binaries cannot be written in a file (names are table
// keys), but the builder the reader drives refuses it when asked, naming both.
TEST(PolicyFileNames, OneNameForTwoBinariesIsRefusedNamingBoth) {
  auto rules = [] { return std::move(*CommandRules::make({RuleSet()})); };
  auto policy = ProcPolicyBuilder()
                    .anchor_relative_cwd()
                    .allow_named_bin("tool", "/usr/bin/ls")
                    .command_rules("/usr/bin/ls", rules())
                    .allow_named_bin("tool", "/usr/bin/cat")
                    .command_rules("/usr/bin/cat", rules())
                    .try_build();
  ASSERT_TRUE(policy);
  auto refused = policy->check(ProcRequest("tool", {}));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, "AmbiguousBinName");
  EXPECT_EQ(refused.error().message,
            "binary name \"tool\" is ambiguous: it names /usr/bin/ls, /usr/bin/cat (ask by path)");
  EXPECT_EQ(refused.error().fields, (std::vector<std::pair<std::string, RefusalField>>{
                                        {"name", std::string("tool")},
                                        {"paths", std::string("/usr/bin/ls, /usr/bin/cat")}}));
  EXPECT_TRUE(policy->check(ProcRequest("/usr/bin/cat", {})));
}

}  // namespace
}  // namespace corvane
