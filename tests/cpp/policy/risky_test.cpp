// Risky-binary recognition by file name, the name table, and the three policies.
#include "corvane/risky.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace corvane {
namespace {

using enum RiskCategory;

struct NameCase {
  std::string path;
  std::optional<RiskCategory> expected;
};

std::string describe(std::optional<RiskCategory> c) {
  return c ? std::string(display_name(*c)) : std::string("none");
}

TEST(RiskyNames, TableOrderAndCount) {
  const std::vector<std::pair<RiskCategory, std::vector<std::string_view>>> expected = {
      {Shell, {"sh", "bash", "zsh", "dash", "ksh", "csh", "tcsh", "fish", "ash", "busybox"}},
      {Interpreter,
       {"python", "python2", "python3", "perl", "ruby", "node", "nodejs", "deno", "bun", "php",
        "lua", "luajit", "tclsh", "wish", "awk", "gawk", "nawk", "mawk"}},
      {Spawner,
       {"env", "xargs", "parallel", "nohup", "timeout", "time", "nice", "ionice", "strace",
        "ltrace", "watch", "exec"}},
      {Privilege, {"sudo", "su", "doas", "pkexec", "gksudo", "kdesudo", "runuser", "chroot"}},
  };
  const auto table = risky_names();
  ASSERT_EQ(table.size(), expected.size());
  std::size_t total = 0;
  std::set<std::string_view> seen;
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].category, expected[i].first);
    EXPECT_EQ(std::vector<std::string_view>(table[i].names.begin(), table[i].names.end()),
              expected[i].second);
    total += table[i].names.size();
    for (const std::string_view name : table[i].names) {
      EXPECT_TRUE(seen.insert(name).second) << name << " stands in two categories";
    }
  }
  EXPECT_EQ(total, 48u);
}

TEST(CategorizeRisky, EveryTableNameIsRecognisedInItsCategory) {
  for (const RiskyNames& entry : risky_names()) {
    for (const std::string_view name : entry.names) {
      const std::string n(name);
      for (const std::string& path :
           {"/usr/bin/" + n, n, "/opt/" + n + "2.1", "/opt/" + n + ".exe", "/x/" + n + "/"}) {
        EXPECT_EQ(describe(categorize_risky(Path(path))), display_name(entry.category)) << path;
      }
    }
  }
}

TEST(CategorizeRisky, FileNameRules) {
  const std::vector<NameCase> cases = {
      // Versions and extensions after the stem.
      {"/usr/bin/python3.11", Interpreter},
      {"/usr/bin/python3.12", Interpreter},
      {"/usr/bin/perl5.36.0", Interpreter},
      {"/usr/bin/node18", Interpreter},
      {"/usr/bin/bash.exe", Shell},
      {"/usr/bin/sh.", Shell},
      {"/usr/bin/sh0", Shell},
      {"/usr/bin/timeout5", Spawner},
      {"/usr/bin/time.sh", Spawner},
      {"/usr/bin/nice2.x.y", Spawner},
      {"/usr/bin/sudo.real", Privilege},
      // Examples from every category.
      {"/usr/bin/bash", Shell},
      {"/usr/bin/busybox", Shell},
      {"/usr/bin/wish", Interpreter},
      {"/usr/bin/mawk", Interpreter},
      {"/usr/bin/env", Spawner},
      {"/usr/bin/timeout", Spawner},
      {"/usr/bin/su", Privilege},
      {"/usr/bin/sudo", Privilege},
      {"/usr/sbin/chroot", Privilege},
      // Not risky: the stem must equal a name exactly.
      {"/usr/bin/ls", std::nullopt},
      {"/usr/bin/grep", std::nullopt},
      {"/opt/tools/.bash", std::nullopt},
      {"/opt/tools/sh-wrapper", std::nullopt},
      {"/usr/bin/Bash", std::nullopt},
      {"/usr/bin/SH", std::nullopt},
      {"/usr/bin/x86_64-linux-gnu-python3", std::nullopt},
      {"/usr/bin/python-config", std::nullopt},
      {"/usr/bin/python3-config", std::nullopt},
      {"/usr/bin/pythonw", std::nullopt},
      {"/usr/bin/bash2a", std::nullopt},
      {"/usr/bin/7z", std::nullopt},
      {"/usr/bin/123", std::nullopt},
      {"/usr/bin/123.sh", std::nullopt},
      {"/usr/bin/.", std::nullopt},
      {"/usr/bin/sh\xE2\x80\x8B", std::nullopt},
      // The final component, as a component-wise reading sees it.
      {"bash", Shell},
      {"./bash", Shell},
      {"/usr/bin/bash/", Shell},
      {"/usr/bin/bash//", Shell},
      {"/usr/bin/bash/.", Shell},
      {"/usr/bin/bash/./", Shell},
      {"/usr/../bin/bash", Shell},
      {"/sh/ls", std::nullopt},
      {"/bin/bash/..", std::nullopt},
      {"/bin/bash/../", std::nullopt},
      {"/bin/bash/../.", std::nullopt},
      {"..", std::nullopt},
      {"/", std::nullopt},
      {"//", std::nullopt},
      {".", std::nullopt},
      {"", std::nullopt},
      // The file name must be valid UTF-8; directories above it need not be.
      {"/opt/\xff/bash", Shell},
      {"/usr/bin/sh.\xC3\xA9", Shell},
      {"/usr/bin/sh.\xF0\x9F\x98\x80", Shell},
      {"/usr/bin/bash\xff", std::nullopt},
      {"/usr/bin/sh.\xff", std::nullopt},
      {"/usr/bin/sh.\xC0\xAF", std::nullopt},
      {"/usr/bin/sh.\xED\xA0\x80", std::nullopt},
      {"/usr/bin/sh.\xF4\x90\x80\x80", std::nullopt},
      {"/usr/bin/sh.\xE2\x82", std::nullopt},
      {"/usr/bin/sh.\x80", std::nullopt},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(describe(categorize_risky(Path(c.path))), describe(c.expected))
        << display(Path(c.path));
  }
}

TEST(CheckRisky, DenyByDefaultRefusesWithCategoryAndDisplayPath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/usr/bin/bash", "risky binary denied (shell): /usr/bin/bash"},
      {"/bin/bash", "risky binary denied (shell): /bin/bash"},
      {"/usr/bin/python3.12", "risky binary denied (interpreter): /usr/bin/python3.12"},
      {"/usr/bin/env", "risky binary denied (spawner): /usr/bin/env"},
      {"/usr/bin/timeout", "risky binary denied (spawner): /usr/bin/timeout"},
      {"/usr/bin/su", "risky binary denied (privilege): /usr/bin/su"},
      {"/usr/sbin/chroot", "risky binary denied (privilege): /usr/sbin/chroot"},
      {"/opt/\xff\xfe/bash/", "risky binary denied (shell): /opt/\xEF\xBF\xBD\xEF\xBF\xBD/bash/"},
  };
  for (const auto& [path, message] : cases) {
    const auto result = check_risky(Path(path), RiskyBinPolicy::DenyByDefault);
    ASSERT_FALSE(result) << path;
    const auto* denied = std::get_if<violation::RiskyBinDenied>(&result.error());
    ASSERT_NE(denied, nullptr);
    EXPECT_EQ(denied->category, categorize_risky(Path(path)));
    EXPECT_EQ(to_string(result.error()), message);
  }
  for (const char* harmless : {"/usr/bin/ls", "/usr/bin/grep", "/opt/tools/.bash", "/", ""}) {
    EXPECT_TRUE(check_risky(Path(harmless), RiskyBinPolicy::DenyByDefault)) << harmless;
  }
}

TEST(CheckRisky, OtherPoliciesAllowEverything) {
  for (const RiskyBinPolicy policy : {RiskyBinPolicy::AllowWithWarning, RiskyBinPolicy::Disabled}) {
    for (const RiskyNames& entry : risky_names()) {
      for (const std::string_view name : entry.names) {
        const Path path = Path("/usr/bin") / Path(name);
        EXPECT_TRUE(check_risky(path, policy)) << path << " policy " << int(policy);
      }
    }
    EXPECT_TRUE(check_risky(Path("/usr/bin/ls"), policy));
  }
}

}  // namespace
}  // namespace corvane
