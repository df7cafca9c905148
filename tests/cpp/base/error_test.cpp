// Every message of Violation and ExecError, durations and the escaped form.
#include "corvane/error.hpp"

#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"

namespace corvane {
namespace {

using namespace std::string_literals;
using namespace violation;
using namespace exec_error;

struct ViolationCase {
  Violation v;
  std::string message;
};

class ViolationMessage : public ::testing::TestWithParam<ViolationCase> {};

TEST_P(ViolationMessage, RendersExactly) {
  EXPECT_EQ(to_string(GetParam().v), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    AllVariants, ViolationMessage,
    ::testing::Values(
        ViolationCase{BinNotAbsolute{"bin/tool"}, "binary path must be absolute: bin/tool"},
        ViolationCase{BinNotFound{"/no/such/file"}, "binary not found: /no/such/file"},
        ViolationCase{BinCanonicalizeFailed{"/etc/passwd/x", "Not a directory (os error 20)"},
                      "failed to canonicalize binary path /etc/passwd/x: Not a directory (os "
                      "error 20)"},
        ViolationCase{BinNotAllowed{"/usr/bin/vi", "/usr/bin/vim"},
                      "binary not allowed: /usr/bin/vi (resolved to /usr/bin/vim)"},
        ViolationCase{RiskyBinDenied{RiskCategory::Shell, "/bin/bash"},
                      "risky binary denied (shell): /bin/bash"},
        ViolationCase{RiskyBinDenied{RiskCategory::Interpreter, "/usr/bin/python3.12"},
                      "risky binary denied (interpreter): /usr/bin/python3.12"},
        ViolationCase{RiskyBinDenied{RiskCategory::Spawner, "/usr/bin/env"},
                      "risky binary denied (spawner): /usr/bin/env"},
        ViolationCase{RiskyBinDenied{RiskCategory::Privilege, "/usr/bin/sudo"},
                      "risky binary denied (privilege): /usr/bin/sudo"},
        ViolationCase{BinIsDirectory{"/tmp"}, "binary path is a directory: /tmp"},
        ViolationCase{BinNotRegularFile{"/dev/null"}, "binary is not a regular file: /dev/null"},
        ViolationCase{BinNotExecutable{"/etc/passwd"}, "binary is not executable: /etc/passwd"},
        ViolationCase{ArgRulesRequired{"/usr/bin/grep"},
                      "argument rules required for binary: /usr/bin/grep"},
        ViolationCase{SubcommandMismatch{"build", std::nullopt},
                      "subcommand mismatch: expected build, got None"},
        ViolationCase{SubcommandMismatch{"build", "test"},
                      "subcommand mismatch: expected build, got Some(\"test\")"},
        ViolationCase{SubcommandMismatch{"build", "say \"hi\"\n"},
                      "subcommand mismatch: expected build, got Some(\"say \\\"hi\\\"\\n\")"},
        ViolationCase{FlagNotAllowed{"--color=never"}, "flag not allowed: --color=never"},
        ViolationCase{TooManyFlags{0, 1}, "too many flags: max 0, got 1"},
        ViolationCase{TooManyPositionals{2, 3}, "too many positional arguments: max 2, got 3"},
        ViolationCase{TooManyFlags{18446744073709551615ull, 0},
                      "too many flags: max 18446744073709551615, got 0"},
        ViolationCase{EnvVarForbidden{"LD_PRELOAD", "dynamic loader"},
                      "environment variable forbidden: LD_PRELOAD (dynamic loader)"},
        ViolationCase{CwdForbidden{"/srv/jailbreak", "not within jail root /srv/jail"},
                      "working directory forbidden: /srv/jailbreak (not within jail root "
                      "/srv/jail)"}),
    [](const auto& info) { return test::param_name(kind(info.param.v), info.index); });

struct ExecCase {
  ExecError e;
  std::string message;
};

class ExecErrorMessage : public ::testing::TestWithParam<ExecCase> {};

TEST_P(ExecErrorMessage, RendersExactly) {
  EXPECT_EQ(to_string(GetParam().e), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    AllVariants, ExecErrorMessage,
    ::testing::Values(
        ExecCase{Timeout{{30, 412000}, {30, 0}}, "process timed out after 30.000412s (limit: 30s)"},
        ExecCase{Timeout{{1, 500000001}, {1, 500000000}},
                 "process timed out after 1.500000001s (limit: 1.5s)"},
        ExecCase{StdoutLimitExceeded{10485760}, "stdout limit exceeded: 10485760 bytes"},
        ExecCase{StderrLimitExceeded{0}, "stderr limit exceeded: 0 bytes"},
        ExecCase{SpawnFailed{"No such file or directory (os error 2)"},
                 "failed to spawn process: No such file or directory (os error 2)"},
        ExecCase{ExitCode{-1, "ignored detail"}, "process exited with code -1"},
        ExecCase{ExitCode{3, ""}, "process exited with code 3"}),
    [](const auto& info) { return test::param_name(kind(info.param.e), info.index); });

struct DurationCase {
  Duration d;
  std::string text;
};

class DurationRender : public ::testing::TestWithParam<DurationCase> {};

TEST_P(DurationRender, UnitFormWithoutRounding) {
  EXPECT_EQ(render(GetParam().d), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DurationRender,
    ::testing::Values(
        DurationCase{{30, 0}, "30s"}, DurationCase{{1, 500000000}, "1.5s"},
        DurationCase{{2, 1}, "2.000000001s"}, DurationCase{{0, 250000000}, "250ms"},
        DurationCase{{0, 1000000}, "1ms"}, DurationCase{{0, 1500001}, "1.500001ms"},
        DurationCase{{0, 999999}, "999.999\u00B5s"}, DurationCase{{0, 12000}, "12\u00B5s"},
        DurationCase{{0, 1001}, "1.001\u00B5s"}, DurationCase{{0, 999}, "999ns"},
        DurationCase{{0, 0}, "0ns"},
        DurationCase{{18446744073709551615ull, 999999999}, "18446744073709551615.999999999s"},
        // Unnormalised values: carried over, saturating at the largest.
        DurationCase{{1, 1500000000}, "2.5s"}, DurationCase{{0, 4294967295u}, "4.294967295s"},
        DurationCase{{18446744073709551615ull, 1000000000}, "18446744073709551615.999999999s"}),
    [](const auto& info) { return test::param_name(info.param.text, info.index); });

TEST(DurationFromChrono, SplitsAndClamps) {
  EXPECT_EQ(Duration::from_chrono(std::chrono::nanoseconds(30'000'412'000)),
            (Duration{30, 412000}));
  EXPECT_EQ(Duration::from_chrono(std::chrono::nanoseconds(-5)), (Duration{0, 0}));
}

struct EscapeCase {
  std::string in;
  std::string out;
};

class EscapeQuoted : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeQuoted, EscapesLikeTheMessages) {
  EXPECT_EQ(escape_quoted(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeQuoted,
    ::testing::Values(
        EscapeCase{"", "\"\""}, EscapeCase{"test", "\"test\""}, EscapeCase{"it's", "\"it's\""},
        EscapeCase{"a\\b", "\"a\\\\b\""}, EscapeCase{"\t\r\n"s + '\0', "\"\\t\\r\\n\\0\""},
        EscapeCase{"\x1b[0m", "\"\\u{1b}[0m\""}, EscapeCase{"\x7f", "\"\\u{7f}\""},
        EscapeCase{"a b", "\"a b\""},
        // no-break space (Zs), zero width space (Cf), line separator (Zl)
        EscapeCase{"\u00A0\u200B\u2028", "\"\\u{a0}\\u{200b}\\u{2028}\""},
        // a combining acute accent extends the grapheme, even after a letter
        EscapeCase{"e\u0301", "\"e\\u{301}\""},
        // printable non-ASCII is kept
        EscapeCase{"caf\u00E9 \u65E5\u672C \U0001F600", "\"caf\u00E9 \u65E5\u672C \U0001F600\""},
        // private use and unassigned code points
        EscapeCase{"\uE000", "\"\\u{e000}\""}, EscapeCase{"\U000E0001", "\"\\u{e0001}\""},
        EscapeCase{"\xF0\xB0\x80\x80x", "\"\xF0\xB0\x80\x80x\""},  // U+30000, assigned CJK
        // invalid UTF-8 becomes U+FFFD (printable), so the output is always valid UTF-8
        EscapeCase{"\xFF", "\"\uFFFD\""}),
    [](const auto& info) { return test::param_name(info.param.in, info.index); });

}  // namespace
}  // namespace corvane
