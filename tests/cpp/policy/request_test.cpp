// ProcRequest is an inert value: stored verbatim, replaced or merged as documented.
#include "corvane/request.hpp"

#include <gtest/gtest.h>

#include "corvane/output.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

TEST(ProcRequest, StoresEverythingVerbatim) {
  ProcRequest r("bin/../tool", {"", "-", "--x=1"});
  EXPECT_EQ(r.bin.native(), "bin/../tool");
  EXPECT_EQ(r.argv, (std::vector<std::string>{"", "-", "--x=1"}));
  EXPECT_FALSE(r.cwd.has_value());
  EXPECT_TRUE(r.env.empty());
  EXPECT_TRUE(ProcRequest("/bin/true", {}).argv.empty());
}

TEST(ProcRequest, CwdAndEnvOperations) {
  auto r = ProcRequest("/bin/true", {}).with_cwd("/a").with_cwd("/b");
  EXPECT_EQ(r.cwd->native(), "/b");

  r = std::move(r).with_env_var("K", "1").with_env_var("K", "2").with_env_var("k", "3");
  EXPECT_EQ(r.env, (EnvMap{{"K", "2"}, {"k", "3"}}));

  r = std::move(r).with_env({{"PATH", "/usr/bin"}});
  EXPECT_EQ(r.env, (EnvMap{{"PATH", "/usr/bin"}}));

  r = std::move(r).with_env_var("Path", "");
  EXPECT_EQ(r.env, (EnvMap{{"PATH", "/usr/bin"}, {"Path", ""}}));
}

TEST(ProcRequest, CloneIsDeep) {
  auto original = ProcRequest("/bin/echo", {"a"}).with_env_var("A", "1");
  auto copy = original.clone().with_env_var("A", "2").with_cwd("/x");
  copy.argv.push_back("b");
  EXPECT_EQ(original.env.at("A"), "1");
  EXPECT_EQ(original.argv.size(), 1u);
  EXPECT_FALSE(original.cwd);
}

struct StatusCase {
  std::int32_t status;
  std::optional<std::int32_t> exit_code;
  bool success;
};

class OutputStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(OutputStatus, DerivesExitCodeAndSuccess) {
  Output out{.stdout = "", .stderr = "", .status = GetParam().status};
  EXPECT_EQ(out.exit_code(), GetParam().exit_code);
  EXPECT_EQ(out.success(), GetParam().success);
}

INSTANTIATE_TEST_SUITE_P(Statuses, OutputStatus,
                         ::testing::Values(StatusCase{0, 0, true}, StatusCase{3 << 8, 3, false},
                                           StatusCase{255 << 8, 255, false},
                                           StatusCase{9, std::nullopt, false},  // SIGKILL
                                           StatusCase{15 | 0x80, std::nullopt, false}),
                         [](const auto& info) {
                           return test::param_name("status " + std::to_string(info.param.status),
                                                   info.index);
                         });  // core

TEST(Output, LossyStringsKeepBytes) {
  Output out{.stdout = "caf\xC3\xA9 \xFF", .stderr = "\x80", .status = 0};
  EXPECT_EQ(out.stdout_string(), "caf\xC3\xA9 \xEF\xBF\xBD");
  EXPECT_EQ(out.stderr_string(), "\xEF\xBF\xBD");
  EXPECT_EQ(out.stdout.size(), 7u);
}

}  // namespace
}  // namespace corvane
