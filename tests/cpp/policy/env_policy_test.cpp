// EnvPolicy: each variant's starting map, and the forbidden names removed from all of them.
#include "corvane/env_policy.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <unordered_set>

namespace corvane {
namespace {

EnvPolicy allowlist(std::initializer_list<std::string> names) {
  return EnvPolicy::Allowlist{std::unordered_set<std::string>(names)};
}

TEST(ForbiddenEnvVars, IsTheFixedListOf47InOrder) {
  ASSERT_EQ(FORBIDDEN_ENV_VARS.size(), 47u);
  EXPECT_EQ(FORBIDDEN_ENV_VARS.front(), "LD_PRELOAD");
  EXPECT_EQ(FORBIDDEN_ENV_VARS.back(), "GIT_TEMPLATE_DIR");
  const std::array<std::string_view, 47> expected = {"LD_PRELOAD",
                                                     "LD_LIBRARY_PATH",
                                                     "LD_AUDIT",
                                                     "LD_DEBUG",
                                                     "LD_PROFILE",
                                                     "DYLD_INSERT_LIBRARIES",
                                                     "DYLD_LIBRARY_PATH",
                                                     "DYLD_FRAMEWORK_PATH",
                                                     "DYLD_FALLBACK_LIBRARY_PATH",
                                                     "PYTHONPATH",
                                                     "PYTHONSTARTUP",
                                                     "PYTHONHOME",
                                                     "RUBYLIB",
                                                     "RUBYOPT",
                                                     "PERL5LIB",
                                                     "PERL5OPT",
                                                     "PERLLIB",
                                                     "NODE_PATH",
                                                     "NODE_OPTIONS",
                                                     "BASH_ENV",
                                                     "ENV",
                                                     "SHELLOPTS",
                                                     "BASHOPTS",
                                                     "IFS",
                                                     "CDPATH",
                                                     "GLOBIGNORE",
                                                     "PROMPT_COMMAND",
                                                     "PS1",
                                                     "PS2",
                                                     "PS4",
                                                     "EDITOR",
                                                     "VISUAL",
                                                     "PAGER",
                                                     "BROWSER",
                                                     "SHELL",
                                                     "HTTP_PROXY",
                                                     "HTTPS_PROXY",
                                                     "FTP_PROXY",
                                                     "ALL_PROXY",
                                                     "NO_PROXY",
                                                     "http_proxy",
                                                     "https_proxy",
                                                     "ftp_proxy",
                                                     "all_proxy",
                                                     "no_proxy",
                                                     "GIT_EXEC_PATH",
                                                     "GIT_TEMPLATE_DIR"};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(FORBIDDEN_ENV_VARS[i], expected[i]) << "entry " << i;
  }
  std::unordered_set<std::string_view> distinct(FORBIDDEN_ENV_VARS.begin(),
                                                FORBIDDEN_ENV_VARS.end());
  EXPECT_EQ(distinct.size(), 47u);
}

struct ApplyCase {
  const char* name;
  EnvPolicy policy;
  EnvMap request;
  EnvMap expected;
};

class EnvApply : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(EnvApply, ComputesExactlyTheExpectedMap) {
  const ApplyCase& c = GetParam();
  EXPECT_EQ(c.policy.apply(c.request), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, EnvApply,
    ::testing::Values(
        ApplyCase{
            "EmptyIgnoresRequest", EnvPolicy{}, {{"PATH", "/usr/bin"}, {"HOME", "/root"}}, {}},
        ApplyCase{"LocaleOnlyIgnoresRequest",
                  EnvPolicy::LocaleOnly{},
                  {{"LANG", "de_DE.UTF-8"}, {"FOO", "1"}},
                  {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}}},
        ApplyCase{"FixedDropsItsOwnForbiddenNames",
                  EnvPolicy::Fixed{{{"PATH", "/usr/bin"}, {"LD_PRELOAD", "/tmp/evil.so"}}},
                  {{"FOO", "1"}},
                  {{"PATH", "/usr/bin"}}},
        ApplyCase{"AllowlistCopiesOnlyListedRequestEntries",
                  allowlist({"HOME", "LD_PRELOAD"}),
                  {{"HOME", "/home/u"}, {"LD_PRELOAD", "x.so"}, {"TERM", "xterm"}},
                  {{"HOME", "/home/u"}}},
        ApplyCase{"AllowlistNameMissingFromRequestIsAbsent", allowlist({"HOME"}), {}, {}},
        ApplyCase{"EmptyAllowlistYieldsNothing", allowlist({}), {{"HOME", "/h"}}, {}},
        ApplyCase{"AllowlistNamingPythonpathStillDropsIt",
                  allowlist({"PYTHONPATH", "A"}),
                  {{"PYTHONPATH", "/x"}, {"A", "1"}},
                  {{"A", "1"}}},
        // Names are exact byte strings: no case folding, no prefixes.
        ApplyCase{
            "CaseSensitive",
            allowlist({"ld_preload", "Http_Proxy", "http_proxy", "HTTP_PROXY"}),
            {{"ld_preload", "a"}, {"Http_Proxy", "b"}, {"http_proxy", "c"}, {"HTTP_PROXY", "d"}},
            {{"ld_preload", "a"}, {"Http_Proxy", "b"}}},
        ApplyCase{"NoPrefixRule",
                  EnvPolicy::Fixed{{{"LD_BIND_NOW", "1"},
                                    {"DYLD_PRINT_LIBRARIES", "1"},
                                    {"ENVIRONMENT", "x"},
                                    {"ENV", "/etc/rc"},
                                    {"LD_PRELOAD_", "y"},
                                    {" LD_PRELOAD", "z"}}},
                  {},
                  {{"LD_BIND_NOW", "1"},
                   {"DYLD_PRINT_LIBRARIES", "1"},
                   {"ENVIRONMENT", "x"},
                   {"LD_PRELOAD_", "y"},
                   {" LD_PRELOAD", "z"}}},
        ApplyCase{"EmptyValuesKept",
                  allowlist({"EMPTY", "ALSO"}),
                  {{"EMPTY", ""}, {"ALSO", ""}},
                  {{"EMPTY", ""}, {"ALSO", ""}}},
        ApplyCase{"AllowlistValueComesFromRequest",
                  allowlist({"LANG"}),
                  {{"LANG", "de_DE.UTF-8"}},
                  {{"LANG", "de_DE.UTF-8"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every one of the 47 names is removed, whichever variant supplies it.
TEST(EnvApplyForbidden, EveryListedNameIsRemovedFromEveryVariant) {
  EnvMap all;
  std::unordered_set<std::string> names;
  for (std::string_view name : FORBIDDEN_ENV_VARS) {
    all.emplace(std::string(name), "v");
    names.emplace(name);
  }
  all.emplace("KEEP", "k");
  names.emplace("KEEP");
  const EnvMap keep_only = {{"KEEP", "k"}};
  EXPECT_EQ(EnvPolicy(EnvPolicy::Fixed{all}).apply({}), keep_only);
  EXPECT_EQ(EnvPolicy(EnvPolicy::Allowlist{names}).apply(all), keep_only);
  EXPECT_TRUE(EnvPolicy{}.apply(all).empty());
  EXPECT_EQ(EnvPolicy(EnvPolicy::LocaleOnly{}).apply(all).size(), 2u);
}

TEST(EnvApplyForbidden, PolicyIsUnchangedByApply) {
  const EnvPolicy policy = EnvPolicy::Fixed{{{"PATH", "/bin"}, {"SHELL", "/bin/sh"}}};
  EXPECT_EQ(policy.apply({}), (EnvMap{{"PATH", "/bin"}}));
  // A second call sees the same policy: apply works on a copy.
  const auto& fixed = std::get<EnvPolicy::Fixed>(policy.variant());
  EXPECT_EQ(fixed.vars.size(), 2u);
  EXPECT_EQ(policy.apply({}), (EnvMap{{"PATH", "/bin"}}));
}

}  // namespace
}  // namespace corvane
