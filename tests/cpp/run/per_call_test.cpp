// One call's own controls on a checked command: with_timeout only lowers the
// policy's limit, with_stdin gives bytes within the policy's max_stdin. Every
// row runs both ways a child starts (in the caller, on the starter thread),
// and no row may leave a descriptor or a child behind.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <optional>
#include <string>

#include "corvane/event_loop.hpp"
#include "corvane/policy.hpp"
#include "test_support.hpp"

namespace corvane {
namespace {

using Argv = std::vector<std::string>;
constexpr std::uint64_t kMiB = 1 << 20;

struct Row {
  const char* name;
  const char* bin;
  Argv argv;
  std::optional<Duration> timeout;
  std::optional<std::string> stdin_bytes;
  std::optional<std::uint64_t> max_stdin;
  bool sandboxed;
  std::string expected;  // "out: <stdout>", "<kind>: <message>" or "Timeout after <limit>"
};

const Row kRows[] = {
    {"stdin reaches the command",
     "/usr/bin/cat",
     {},
     {},
     std::string("a\0b", 3),
     10,
     false,
     std::string("out: a\0b", 8)},
    {"a whole MiB is counted",
     "/usr/bin/wc",
     {"-c"},
     {},
     std::string(kMiB, 'x'),
     kMiB,
     false,
     "out: 1048576\n"},
    {"given empty: EOF at once", "/usr/bin/cat", {}, {}, "", 10, false, "out: "},
    {"default stdin stays /dev/null",
     "/usr/bin/readlink",
     {"/proc/self/fd/0"},
     {},
     {},
     10,
     false,
     "out: /dev/null\n"},
    {"stdin inside a sandbox",
     "/usr/bin/wc",
     {"-c"},
     {},
     std::string(200'000, 'y'),
     kMiB,
     true,
     "out: 200000\n"},
    {"one byte over max_stdin",
     "/usr/bin/cat",
     {},
     {},
     std::string(11, 'x'),
     10,
     false,
     "StdinAboveLimit: stdin of 11 bytes is above the policy's max_stdin of 10 bytes"},
    {"no max_stdin: no stdin",
     "/usr/bin/cat",
     {},
     {},
     "",
     {},
     false,
     "StdinNotAllowed: stdin not allowed: the policy sets no max_stdin"},
    {"a shorter limit ends the run",
     "/usr/bin/sleep",
     {"5"},
     Duration{0, 300'000'000},
     {},
     {},
     false,
     "Timeout after 300ms"},
    {"a shorter limit in a sandbox",
     "/usr/bin/sleep",
     {"5"},
     Duration{0, 300'000'000},
     {},
     {},
     true,
     "Timeout after 300ms"},
    {"the policy's own limit may be given",
     "/usr/bin/sleep",
     {"0"},
     Duration{10, 0},
     {},
     {},
     false,
     "out: "},
    {"a longer limit is refused",
     "/usr/bin/sleep",
     {"0"},
     Duration{20, 0},
     {},
     {},
     false,
     "TimeoutAboveLimit: timeout of 20s is above the policy's limit of 10s"},
    {"a nanosecond longer is refused",
     "/usr/bin/sleep",
     {"0"},
     Duration{10, 1},
     {},
     {},
     false,
     "TimeoutAboveLimit: timeout of 10.000000001s is above the policy's limit of 10s"},
    {"zero is no limit",
     "/usr/bin/sleep",
     {"0"},
     Duration{0, 0},
     {},
     {},
     false,
     "InvalidTimeout: timeout must be above zero"},
};

std::string shown(const ExecResult& result) {
  if (result) return "out: " + result->stdout;
  if (const auto* t = std::get_if<exec_error::Timeout>(&result.error()))
    return "Timeout after " + render(t->limit);
  return "error: " + to_string(result.error());
}

class PerCall : public test::NoLeakTest,
                public ::testing::WithParamInterface<std::tuple<Row, bool>> {
 protected:
  test::TempDir dir_;
};

TEST_P(PerCall, Row) {
  const auto& [row, on_starter] = GetParam();
  ProcPolicyBuilder builder =
      ProcPolicy::builder()
          .allow_bin(row.bin)
          .arg_rules(row.bin, ArgRules().allowed_flags({"-c"}).max_flags(1).max_positionals(1))
          .cwd_policy(CwdPolicy::Fixed{dir_.path()})
          .timeout(Duration{10, 0});
  if (row.max_stdin) builder = std::move(builder).max_stdin(*row.max_stdin);
  if (row.sandboxed) {
    auto box = Sandbox::build(SandboxSpec::workspace(dir_.path()));
    ASSERT_TRUE(box) << box.error();
    builder = std::move(builder).sandbox(std::move(*box));
  }
  auto policy = std::move(builder).try_build();
  ASSERT_TRUE(policy) << policy.error().message;
  auto command = policy->check(ProcRequest{Path(row.bin), row.argv});
  ASSERT_TRUE(command) << command.error().message;

  std::expected<PreparedCommand, CallOptionError> called = std::move(*command);
  if (row.timeout) called = std::move(*called).with_timeout(*row.timeout);
  if (called && row.stdin_bytes) called = std::move(*called).with_stdin(*row.stdin_bytes);
  if (!called) {
    EXPECT_EQ(called.error().name + ": " + called.error().message, row.expected);
    return;
  }
  if (!on_starter) {
    EXPECT_EQ(shown(std::move(*called).spawn_sync()), row.expected);
    return;
  }
  auto loop = create_run_loop();
  ASSERT_TRUE(loop);
  std::optional<RunResult> result;
  RunOptions options;
  options.start_on = StartOn::Starter;
  (void)std::move(*called).spawn(**loop, std::move(options),
                                 [&](RunResult r) { result = std::move(r); });
  (*loop)->run();
  ASSERT_TRUE(result);
  EXPECT_EQ(shown(result->result), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, PerCall,
                         ::testing::Combine(::testing::ValuesIn(kRows), ::testing::Bool()),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param).name;
                           for (char& c : name)
                             c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name + (std::get<1>(info.param) ? "_starter" : "_caller");
                         });

// A policy whose max_stdin no pipe here can hold is refused when it is built:
// a call could never have been given that much.
TEST(PerCallPolicy, MaxStdinAbovePipeCapacityIsRefused) {
  const std::uint64_t cap = max_stdin_capacity();
  std::ifstream file("/proc/sys/fs/pipe-max-size");
  std::uint64_t read = 0;
  if (file >> read) {
    EXPECT_EQ(cap, read);
  }
  auto build = [](std::uint64_t bytes) {
    return ProcPolicy::builder()
        .allow_bin("/usr/bin/cat")
        .arg_rules("/usr/bin/cat", ArgRules())
        .max_stdin(bytes)
        .try_build();
  };
  EXPECT_TRUE(build(cap));
  auto refused = build(cap + 1);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, "StdinTooLarge");
  EXPECT_EQ(refused.error().message, "max_stdin of " + std::to_string(cap + 1) +
                                         " bytes is above " + std::to_string(cap) +
                                         ", the most a pipe can hold here");
}

}  // namespace
}  // namespace corvane
