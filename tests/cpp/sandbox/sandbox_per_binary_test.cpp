// A binary's own sandbox (BinaryOptions::sandbox) rides on that binary's
// commands instead of the policy's, and on no other binary's: sed's "e"
// command runs a shell exactly when sed's own sandbox lets it execute one.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "corvane/policy.hpp"
#include "corvane/sandbox.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

CommandRules sed_rules() {
  return std::move(*CommandRules::make({RuleSet().flags({"-n"}).max_flags(1).max_positionals(2)}));
}

class SandboxPerBinary : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Sandbox::available().landlock_abi == 0) GTEST_SKIP() << "this kernel has no Landlock";
    test::write_file(dir_ / "data.txt", "hello\n", 0644);
  }

  Sandbox box(std::vector<Path> exec) const {
    SandboxSpec spec = SandboxSpec::workspace(dir_.path());
    spec.exec = std::move(exec);
    auto built = Sandbox::build(std::move(spec));
    if (!built) ADD_FAILURE() << built.error();
    return std::move(*built);
  }

  // sed and cat under the policy's sandbox `policy_box`; sed with `sed_box` of its own.
  std::expected<ProcPolicy, Refusal> policy(
      std::optional<Sandbox> policy_box, std::optional<Sandbox> sed_box,
      std::optional<Sandbox> bin_sed_box = std::nullopt) const {
    ProcPolicyBuilder builder = ProcPolicy::builder()
                                    .allow_bin("/usr/bin/sed")
                                    .command_rules("/usr/bin/sed", sed_rules())
                                    .allow_bin("/usr/bin/cat")
                                    .command_rules("/usr/bin/cat", sed_rules())
                                    .cwd_policy(CwdPolicy::Fixed{dir_.path()})
                                    .env_policy(EnvPolicy::Fixed{{{"PATH", "/usr/bin:/bin"}}});
    if (policy_box) builder = std::move(builder).sandbox(*policy_box);
    if (sed_box) builder = std::move(builder).binary_options("/usr/bin/sed", {.sandbox = sed_box});
    if (bin_sed_box) {
      // The same file under a second path, with options of its own.
      builder = std::move(builder)
                    .allow_bin("/bin/sed")
                    .binary_options("/bin/sed", {.sandbox = bin_sed_box});
    }
    return std::move(builder).try_build();
  }

  test::TempDir dir_;
};

// Each row: the policy's sandbox and sed's, which one sed's command carries,
// and whether `sed -n '1e id'` then runs id.
TEST_F(SandboxPerBinary, EachBinaryCarriesItsOwnSandboxElseThePolicys) {
  const Sandbox none = box({});
  const Sandbox shells = box({Path("/usr/bin"), Path("/bin")});
  const struct {
    const char* name;
    std::optional<Sandbox> policy_box;
    std::optional<Sandbox> sed_box;
    std::optional<Sandbox> carried;
    bool runs_id;
  } rows[] = {
      {"one sandbox with exec for all", shells, std::nullopt, shells, true},
      {"the policy's without exec", none, std::nullopt, none, false},
      {"sed's own narrows the policy's", shells, none, none, false},
      {"sed's own widens the policy's", none, shells, shells, true},
      {"sed's own without a policy sandbox", std::nullopt, none, none, false},
      {"no sandbox at all", std::nullopt, std::nullopt, std::nullopt, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto built = policy(row.policy_box, row.sed_box);
    ASSERT_TRUE(built) << built.error().message;
    auto sed = built->check(ProcRequest("/usr/bin/sed", {"-n", "1e id", "data.txt"}));
    ASSERT_TRUE(sed) << sed.error().message;
    EXPECT_EQ(sed->sandbox(), row.carried);
    EXPECT_EQ(
        built->explain(ProcRequest("/usr/bin/sed", {"-n", "1p", "data.txt"})).result->sandbox(),
        row.carried);
    // cat has no options: it always carries the policy's.
    auto cat = built->check(ProcRequest("/usr/bin/cat", {"data.txt"}));
    ASSERT_TRUE(cat) << cat.error().message;
    EXPECT_EQ(cat->sandbox(), row.policy_box);
    const ExecResult out = PreparedCommand(*sed).spawn_sync();
    ASSERT_TRUE(out) << to_string(out.error());
    EXPECT_EQ(out->stdout.find("uid=") != std::string::npos, row.runs_id) << out->stdout;
  }
}

// One file is run one way: two allowed paths to it cannot carry different sandboxes.
TEST_F(SandboxPerBinary, TwoPathsToOneFileNeedTheSameSandbox) {
  const Sandbox none = box({});
  auto same = policy(std::nullopt, none, none);
  ASSERT_TRUE(same) << same.error().message;
  auto different = policy(std::nullopt, none, box({Path("/bin")}));
  ASSERT_FALSE(different);
  EXPECT_EQ(different.error().kind, "ConflictingBinaryOptions");
}

}  // namespace
}  // namespace corvane
