// How check() reads a request the way an agent sends it: a binary by the
// policy's name for it, and a relative working directory from the policy's own
// directory rather than the host's. Both are opt-in; prepare() and a policy
// without them keep the host-relative, path-only reading.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "corvane/policy.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;

std::string outcome(const std::expected<PreparedCommand, Refusal>& r) {
  if (r) return "ok: " + r->bin().native() + " in " + r->cwd().native();
  return r.error().kind + ": " + r.error().message;
}

std::string outcome(const std::expected<PreparedCommand, Violation>& r) {
  if (r) return "ok: " + r->bin().native() + " in " + r->cwd().native();
  return std::string(violation_kind(r.error())) + ": " + to_string(r.error());
}

CommandRules any_args() {
  return std::move(*CommandRules::make({RuleSet().max_positionals(4)}));
}

// The tree every row uses, and a host whose own directory is elsewhere: it
// holds a "src" too, so a host-relative reading finds a real directory outside
// the jail instead of failing for a missing one.
class NamesCwdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::write_script(p("tool"), "exit 0");
    test::write_script(p("other"), "exit 0");
    test::make_symlink(p("tool"), p("tool-link"));
    test::make_dirs(p("ws/src/sub"));
    test::make_dirs(p("outside/src"));
    test::make_symlink(p("outside"), p("ws/src/escape"));
    char buf[4096];
    ASSERT_NE(::getcwd(buf, sizeof buf), nullptr);
    host_cwd_ = buf;
    ASSERT_EQ(::chdir(p("outside").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(::chdir(host_cwd_.c_str()), 0); }

  Path p(std::string_view name) const { return dir / name; }
  std::string s(std::string_view name) const { return p(name).native(); }

  test::TempDir dir;

 private:
  std::string host_cwd_;
};

TEST_F(NamesCwdTest, BinaryNames) {
  auto named = [&] {
    return ProcPolicy::builder()
        .allow_named_bin("tool", p("tool"))
        .allow_named_bin("other", p("other"))
        .allow_named_bin("dup", p("tool"))
        .allow_named_bin("dup", p("other"))
        .allow_named_bin("same", p("tool"))
        .allow_named_bin("same", p("tool-link"))
        .command_rules(p("tool"), any_args())
        .command_rules(p("other"), any_args());
  };
  auto unnamed = [&] {
    return ProcPolicy::builder().allow_bin(p("tool")).command_rules(p("tool"), any_args());
  };
  const std::string names = "dup, other, same, tool";
  struct Row {
    std::string what;
    std::function<ProcPolicyBuilder()> policy;
    bool prepare;
    std::string bin;
    std::string expected;
  };
  const Row rows[] = {
      {"a name stands for its binary", named, false, "tool", "ok: " + s("tool") + " in /tmp"},
      {"a path still works beside names", named, false, s("other"),
       "ok: " + s("other") + " in /tmp"},
      {"an unknown name is not allowed, named with the choices", named, false, "nope",
       "BinNotAllowed: binary not allowed: \"nope\" (not the name of an allowed binary; names: " +
           names + ")"},
      // The host is in the directory that holds the file: a fallback to the
      // host-relative path would find it and allow it.
      {"a relative path is a name, never a file in the host's directory", named, false, "../tool",
       "BinNotAllowed: binary not allowed: \"../tool\" (not the name of an allowed binary; "
       "names: " +
           names + ")"},
      {"one name for two files is refused, naming both", named, false, "dup",
       "AmbiguousBinName: binary name \"dup\" is ambiguous: it names " + s("tool") + ", " +
           s("other") + " (ask by path)"},
      {"one name for two paths of one file is not ambiguous", named, false, "same",
       "ok: " + s("tool") + " in /tmp"},
      {"without names check() reads paths only", unnamed, false, "tool",
       "BinNotAbsolute: binary path must be absolute: tool"},
  };
  for (const Row& row : rows) {
    auto policy = row.policy().try_build();
    ASSERT_TRUE(policy) << row.what << ": " << policy.error().message;
    EXPECT_EQ(outcome(policy->check(ProcRequest(row.bin, {}))), row.expected) << row.what;
    // explain() decides through the same steps.
    auto ex = policy->explain(ProcRequest(row.bin, {}));
    EXPECT_EQ(outcome(ex.result), row.expected) << row.what << " (explain)";
  }

  // prepare() never reads names: it keeps its own refusal of a relative binary.
  auto policy = ProcPolicy::builder()
                    .allow_named_bin("tool", p("tool"))
                    .arg_rules(p("tool"), ArgRules())
                    .try_build();
  ASSERT_TRUE(policy);
  EXPECT_EQ(outcome(policy->prepare(ProcRequest("tool", {}))),
            "BinNotAbsolute: binary path must be absolute: tool");
  EXPECT_EQ(outcome(policy->check(ProcRequest("tool", {}))), "ok: " + s("tool") + " in /tmp");
}

TEST_F(NamesCwdTest, RelativeWorkingDirectories) {
  enum class Rules { Command, Arg };
  enum class Api { Check, Prepare };
  struct Row {
    std::string what;
    CwdPolicy cwd;
    bool anchor;
    Rules rules;
    Api api;
    std::string requested;
    std::string expected;
  };
  const CwdPolicy jail = CwdPolicy::Jailed{p("ws"), p("ws")};
  const CwdPolicy jail_in_src = CwdPolicy::Jailed{p("ws"), p("ws/src")};
  const std::string tool = "ok: " + s("tool") + " in ";
  const std::string outside_jail = "CwdForbidden: working directory forbidden: ";
  const Row rows[] = {
      {"relative to the policy, not the host", jail, true, Rules::Command, Api::Check, "src",
       tool + s("ws/src")},
      {"from the default directory, not the root", jail_in_src, true, Rules::Command, Api::Check,
       "sub", tool + s("ws/src/sub")},
      {"\"..\" that leaves the jail is refused after resolution", jail_in_src, true, Rules::Command,
       Api::Check, "../..",
       outside_jail + s("ws/src") + "/../.. (not within jail root " + s("ws") + ")"},
      {"a link out of the jail is refused where it leads", jail_in_src, true, Rules::Command,
       Api::Check, "escape/src",
       outside_jail + s("ws/src") + "/escape/src (not within jail root " + s("ws") + ")"},
      {"an allowlist anchors at its default", CwdPolicy::Allowlist{{p("ws"), p("ws/src")}, p("ws")},
       true, Rules::Command, Api::Check, "src", tool + s("ws/src")},
      {"a fixed directory still ignores the request", CwdPolicy::Fixed{p("ws")}, true,
       Rules::Command, Api::Check, "src", tool + s("ws")},
      {"binaries with ArgRules are anchored in check() too", jail, true, Rules::Arg, Api::Check,
       "src", tool + s("ws/src")},
      {"without the option check() reads from the host", jail, false, Rules::Command, Api::Check,
       "src", outside_jail + "src (not within jail root " + s("ws") + ")"},
      {"prepare() reads from the host whatever the option", jail, true, Rules::Arg, Api::Prepare,
       "src",
       "CwdForbidden: working directory forbidden: src (not within jail root " + s("ws") + ")"},
  };
  for (const Row& row : rows) {
    auto builder =
        ProcPolicy::builder().allow_bin(p("tool")).cwd_policy(row.cwd).anchor_relative_cwd(
            row.anchor);
    builder = row.rules == Rules::Command ? std::move(builder).command_rules(p("tool"), any_args())
                                          : std::move(builder).arg_rules(p("tool"), ArgRules());
    auto policy = std::move(builder).try_build();
    ASSERT_TRUE(policy) << row.what << ": " << policy.error().message;
    auto request = [&] { return ProcRequest(p("tool"), {}).with_cwd(row.requested); };
    const std::string got = row.api == Api::Check ? outcome(policy->check(request()))
                                                  : outcome(policy->prepare(request()));
    EXPECT_EQ(got, row.expected) << row.what;
  }
}

TEST_F(NamesCwdTest, PathRulesReadFromTheAnchoredDirectory) {
  // A path argument counts from where the command runs: the anchored directory.
  auto paths = CommandRules::make({RuleSet().max_positionals(1).path_positionals()});
  auto policy = ProcPolicy::builder()
                    .allow_named_bin("cat", p("tool"))
                    .command_rules(p("tool"), std::move(*paths))
                    .cwd_policy(CwdPolicy::Jailed{p("ws"), p("ws")})
                    .anchor_relative_cwd()
                    .try_build();
  ASSERT_TRUE(policy);
  // "sub" exists only in ws/src: a jail taken from anywhere else refuses it.
  EXPECT_EQ(outcome(policy->check(ProcRequest("cat", {"sub"}).with_cwd("src"))),
            "ok: " + s("tool") + " in " + s("ws/src"));
  auto out = policy->check(ProcRequest("cat", {"../../outside"}).with_cwd("src"));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().kind, "PathOutsideJail");
}

}  // namespace
}  // namespace corvane
