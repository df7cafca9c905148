// Building policies and preparing requests: precedence of every check, rule
// lookup, rewriting of the request, and sharing one policy between threads.
#include "corvane/policy.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "test_support.hpp"

namespace corvane {
namespace {

using test::TempDir;

std::string message(const std::expected<ProcPolicy, Violation>& r) {
  return r ? std::string("<built>") : to_string(r.error());
}
std::string message(const std::expected<PreparedCommand, Violation>& r) {
  return r ? std::string("<prepared>") : to_string(r.error());
}

ArgRules permissive() {
  return ArgRules().allowed_flags({"-n", "-i"}).max_flags(2).max_positionals(5);
}

class PolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::write_script(dir / "tool", "exit 0");
    test::write_script(dir / "other", "exit 0");
    test::write_file(dir / "plain", "data", 0644);
    test::write_script(dir / "bash", "exit 0");
    test::make_dirs(dir / "subdir");
    test::make_symlink(dir / "tool", dir / "tool-link");
    test::make_symlink(dir / "bash", dir / "sh");
  }
  Path p(std::string_view name) const { return dir / name; }
  std::string s(std::string_view name) const { return (dir / name).string(); }

  TempDir dir;
};

TEST_F(PolicyTest, EmptyBuilderBuildsAndRefusesEverything) {
  auto policy = ProcPolicy::builder().build();
  ASSERT_TRUE(policy);
  EXPECT_EQ(message(policy->prepare(ProcRequest(p("tool"), {}))),
            "binary not allowed: " + s("tool") + " (resolved to " + s("tool") + ")");
}

TEST_F(PolicyTest, BuildReportsTheFirstFaultInOrder) {
  struct Case {
    std::vector<Path> bins;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"tool"}, "binary path must be absolute: tool"},
      {{p("missing")}, "binary not found: " + s("missing")},
      {{p("subdir")}, "binary path is a directory: " + s("subdir")},
      {{p("plain")}, "binary is not executable: " + s("plain")},
      {{"/dev/null"}, "binary is not a regular file: /dev/null"},
      {{p("other")}, "argument rules required for binary: " + s("other")},
      // the missing first binary is reported, not the second one's missing rules
      {{p("missing"), p("other")}, "binary not found: " + s("missing")},
      {{p("tool"), p("other")}, "argument rules required for binary: " + s("other")},
  };
  for (const auto& c : cases) {
    auto builder = ProcPolicy::builder().arg_rules(p("tool"), ArgRules());
    for (const auto& bin : c.bins) builder = std::move(builder).allow_bin(bin);
    EXPECT_EQ(message(std::move(builder).build()), c.expected);
  }
}

TEST_F(PolicyTest, RulesRequiredNamesThePathAsRegistered) {
  auto policy = ProcPolicy::builder().allow_bin(dir.path().string() + "//./tool-link").build();
  EXPECT_EQ(message(policy),
            "argument rules required for binary: " + dir.path().string() + "//./tool-link");
}

TEST_F(PolicyTest, RulesFoundUnderRegisteredOrCanonicalPath) {
  // under the canonical target, while the link is what is allowed
  auto via_target =
      ProcPolicy::builder().allow_bin(p("tool-link")).arg_rules(p("tool"), permissive()).build();
  ASSERT_TRUE(via_target);
  // under a component-wise equal spelling of the registered path
  auto via_equal = ProcPolicy::builder()
                       .allow_bin(p("tool-link"))
                       .arg_rules(dir.path().string() + "/./tool-link/", permissive())
                       .build();
  ASSERT_TRUE(via_equal);
  for (const auto* policy : {&*via_target, &*via_equal}) {
    for (const auto& bin : {p("tool"), p("tool-link")}) {
      auto prepared = policy->prepare(ProcRequest(bin, {"-n", "x"}));
      ASSERT_TRUE(prepared) << message(prepared);
      EXPECT_EQ(prepared->bin(), p("tool"));
    }
  }
  // a third link to the same file is not looked up
  test::make_symlink(p("tool"), p("third"));
  EXPECT_EQ(message(ProcPolicy::builder()
                        .allow_bin(p("tool-link"))
                        .arg_rules(p("third"), permissive())
                        .build()),
            "argument rules required for binary: " + s("tool-link"));
}

TEST_F(PolicyTest, RegisteredPathWinsOverCanonicalAndLaterBinaryWins) {
  auto registered_wins = ProcPolicy::builder()
                             .allow_bin(p("tool-link"))
                             .arg_rules(p("tool"), ArgRules().max_positionals(0))
                             .arg_rules(p("tool-link"), ArgRules().max_positionals(1))
                             .build();
  ASSERT_TRUE(registered_wins);
  EXPECT_TRUE(registered_wins->prepare(ProcRequest(p("tool"), {"a"})));

  auto later_wins = ProcPolicy::builder()
                        .allow_bin(p("tool"))
                        .allow_bin(p("tool-link"))
                        .arg_rules(p("tool"), ArgRules().max_positionals(0))
                        .arg_rules(p("tool-link"), ArgRules().max_positionals(1))
                        .build();
  ASSERT_TRUE(later_wins);
  EXPECT_TRUE(later_wins->prepare(ProcRequest(p("tool"), {"a"})));

  auto replaced = ProcPolicy::builder()
                      .allow_bin(p("tool"))
                      .arg_rules(p("tool"), ArgRules().max_positionals(1))
                      .arg_rules(dir.path().string() + "//tool", ArgRules())
                      .build();
  ASSERT_TRUE(replaced);
  EXPECT_EQ(message(replaced->prepare(ProcRequest(p("tool"), {"a"}))),
            "too many positional arguments: max 0, got 1");
}

TEST_F(PolicyTest, RulesForAnUnallowedBinaryAreIgnored) {
  auto policy = ProcPolicy::builder()
                    .allow_bin(p("tool"))
                    .arg_rules(p("tool"), ArgRules())
                    .arg_rules(p("other"), ArgRules())
                    .build();
  ASSERT_TRUE(policy);
  EXPECT_EQ(message(policy->prepare(ProcRequest(p("other"), {}))),
            "binary not allowed: " + s("other") + " (resolved to " + s("other") + ")");
}

TEST_F(PolicyTest, RiskyBinariesBuildUnderEverySetting) {
  for (auto risky : {RiskyBinPolicy::DenyByDefault, RiskyBinPolicy::AllowWithWarning,
                     RiskyBinPolicy::Disabled}) {
    auto policy = ProcPolicy::builder()
                      .allow_bin(p("bash"))
                      .arg_rules(p("bash"), ArgRules())
                      .risky_bin_policy(risky)
                      .build();
    ASSERT_TRUE(policy);
    auto prepared = policy->prepare(ProcRequest(p("sh"), {}));
    if (risky == RiskyBinPolicy::DenyByDefault) {
      // judged by the resolved file, and reported with the resolved path
      EXPECT_EQ(message(prepared), "risky binary denied (shell): " + s("bash"));
    } else {
      ASSERT_TRUE(prepared) << message(prepared);
      EXPECT_EQ(prepared->bin(), p("bash"));
    }
  }
}

TEST_F(PolicyTest, PrepareFollowsTheCheckOrder) {
  auto policy = ProcPolicy::builder()
                    .allow_bin(p("tool"))
                    .allow_bin(p("bash"))
                    .arg_rules(p("tool"), permissive())
                    .arg_rules(p("bash"), ArgRules())
                    .cwd_policy(CwdPolicy::Jailed{p("subdir"), p("subdir")})
                    .build();
  ASSERT_TRUE(policy);
  struct Case {
    ProcRequest request;
    std::string expected;
  };
  std::vector<Case> cases;
  // relative: refused before any file-system access, even if the name exists here
  cases.push_back({ProcRequest("tool", {}), "binary path must be absolute: tool"});
  cases.push_back({ProcRequest("", {}), "binary path must be absolute: "});
  // resolution and the file check come before the allow-list
  cases.push_back({ProcRequest(p("missing"), {}), "binary not found: " + s("missing")});
  cases.push_back({ProcRequest(p("subdir"), {}), "binary path is a directory: " + s("subdir")});
  cases.push_back({ProcRequest(p("plain"), {}), "binary is not executable: " + s("plain")});
  cases.push_back(
      {ProcRequest(p("plain/x"), {}),
       "failed to canonicalize binary path " + s("plain/x") + ": Not a directory (os error 20)"});
  cases.push_back({ProcRequest(p("other"), {}),
                   "binary not allowed: " + s("other") + " (resolved to " + s("other") + ")"});
  cases.push_back({ProcRequest(p("sh"), {"-c", "x"}), "risky binary denied (shell): " + s("bash")});
  // arguments win over a forbidden working directory
  cases.push_back({ProcRequest(p("tool"), {"-x"}).with_cwd("/"), "flag not allowed: -x"});
  cases.push_back({ProcRequest(p("tool"), {"a"}).with_cwd("/"),
                   "working directory forbidden: / (not within jail root " + s("subdir") + ")"});
  for (auto& c : cases) {
    EXPECT_EQ(message(policy->prepare(std::move(c.request))), c.expected);
  }
}

TEST_F(PolicyTest, PrepareRewritesTheRequest) {
  auto policy =
      ProcPolicy::builder()
          .allow_bin(p("tool"))
          .arg_rules(p("tool"), permissive().inject_double_dash(InjectDoubleDash::AfterFlags))
          .env_policy(EnvPolicy::Fixed{{{"PATH", "/usr/bin"}, {"LD_PRELOAD", "x.so"}}})
          .max_stdout(7)
          .max_stderr(9)
          .timeout(Duration{1, 5})
          .build();
  ASSERT_TRUE(policy);
  const std::string dir_text = dir.path().string();
  for (const auto& bin : {dir_text + "/tool", dir_text + "//tool", dir_text + "/subdir/../tool",
                          dir_text + "/tool-link"}) {
    auto prepared = policy->prepare(
        ProcRequest(bin, {"-n", "pattern", "file.txt"}).with_cwd("/srv").with_env_var("FOO", "1"));
    ASSERT_TRUE(prepared) << message(prepared);
    EXPECT_EQ(prepared->bin(), p("tool"));
    EXPECT_EQ(prepared->argv(), (std::vector<std::string>{"-n", "--", "pattern", "file.txt"}));
    EXPECT_EQ(prepared->cwd(), Path("/tmp"));  // the default Fixed policy ignores the request
    EXPECT_EQ(prepared->env(), (EnvMap{{"PATH", "/usr/bin"}}));
    EXPECT_EQ(prepared->max_stdout(), 7u);
    EXPECT_EQ(prepared->max_stderr(), 9u);
    EXPECT_EQ(prepared->timeout(), (Duration{1, 5}));
  }
}

TEST_F(PolicyTest, DefaultsGiveEmptyEnvTmpAndLimits) {
  auto policy = ProcPolicy::builder().allow_bin(p("tool")).arg_rules(p("tool"), ArgRules()).build();
  ASSERT_TRUE(policy);
  auto prepared = policy->prepare(ProcRequest(p("tool"), {}).with_env_var("PATH", "/bin"));
  ASSERT_TRUE(prepared);
  EXPECT_TRUE(prepared->env().empty());
  EXPECT_EQ(prepared->cwd(), Path("/tmp"));
  EXPECT_EQ(prepared->max_stdout(), 10485760u);
  EXPECT_EQ(prepared->max_stderr(), 1048576u);
  EXPECT_EQ(prepared->timeout(), Duration::from_secs(30));
  // two copies of one request give equal commands
  auto again = policy->prepare(ProcRequest(p("tool"), {}).with_env_var("PATH", "/bin"));
  EXPECT_TRUE(again && *again == *prepared);
}

TEST_F(PolicyTest, NothingIsCachedAcrossRetargetedLinks) {
  auto policy =
      ProcPolicy::builder().allow_bin(p("tool-link")).arg_rules(p("tool-link"), ArgRules()).build();
  ASSERT_TRUE(policy);
  ASSERT_TRUE(policy->prepare(ProcRequest(p("tool-link"), {})));
  ASSERT_EQ(::unlink(p("tool-link").c_str()), 0);
  test::make_symlink(p("other"), p("tool-link"));
  EXPECT_EQ(message(policy->prepare(ProcRequest(p("tool-link"), {}))),
            "binary not allowed: " + s("tool-link") + " (resolved to " + s("other") + ")");
  // and a binary made non-executable after build is refused as such
  ASSERT_EQ(::chmod(p("tool").c_str(), 0644), 0);
  EXPECT_EQ(message(policy->prepare(ProcRequest(p("tool"), {}))),
            "binary is not executable: " + s("tool"));
}

TEST_F(PolicyTest, OnePolicyServesManyThreads) {
  auto built =
      ProcPolicy::builder()
          .allow_bin(p("tool"))
          .arg_rules(p("tool"), permissive().inject_double_dash(InjectDoubleDash::AfterFlags))
          .env_policy(EnvPolicy::Allowlist{{"HOME"}})
          .build();
  ASSERT_TRUE(built);
  const ProcPolicy& policy = *built;
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        auto ok = policy.prepare(ProcRequest(p("tool-link"), {"-i", std::to_string(i)})
                                     .with_env_var("HOME", "/h")
                                     .with_env_var("PYTHONPATH", "/x"));
        if (!ok || ok->argv() != std::vector<std::string>{"-i", "--", std::to_string(i)} ||
            ok->env() != EnvMap{{"HOME", "/h"}}) {
          ++failures[t];
        }
        auto refused = policy.prepare(ProcRequest(p("other"), {}));
        if (refused) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace corvane
