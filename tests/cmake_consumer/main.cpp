// A program outside the corvane tree, built against an installed copy through
// find_package(corvane): it judges two requests and runs the accepted one, then
// loads the policy file named by its argument (the shipped code_explorer.toml,
// made of packs) and refuses one command and prepares another with it. The
// packs are the installed copy's, wherever it was installed (CORVANE_PACKS
// comes from the package's configuration).
#include <iostream>
#include <string>

#include "corvane/corvane.hpp"

// The shipped code_explorer.toml: `cat` of a file outside its jail is refused,
// `ls -l` prepared to run in the jail's root.
int policy_file(const char* path) {
  using namespace corvane;
  auto loaded = load_policy(path, {}, {Path(CORVANE_PACKS)});
  if (!loaded) {
    std::cerr << "policy file: " << loaded.error().message() << '\n';
    return 1;
  }
  auto refused = loaded->policy.check(ProcRequest("cat", {"/etc/passwd"}));
  if (refused) {
    std::cerr << "expected cat /etc/passwd to be refused\n";
    return 1;
  }
  auto listed = loaded->policy.check(ProcRequest("ls", {"-l"}));
  if (!listed || listed->bin() != "/usr/bin/ls") {
    std::cerr << "expected ls -l to be prepared, got "
              << (listed ? listed->bin().native() : listed.error().message) << '\n';
    return 1;
  }
  std::cout << "   consumer: " << path << " refused cat (" << refused.error().kind << "), prepared "
            << listed->bin().native() << " in " << listed->cwd().native() << '\n';
  return 0;
}

int main(int argc, char** argv) {
  using namespace corvane;
  auto policy = ProcPolicy::builder()
                    .allow_bin("/usr/bin/echo")
                    .arg_rules("/usr/bin/echo",
                               ArgRules().allowed_flags({"-n"}).max_flags(1).max_positionals(1))
                    .build();
  if (!policy) {
    std::cerr << "bad policy: " << to_string(policy.error()) << '\n';
    return 1;
  }
  auto refused = policy->prepare(ProcRequest("/usr/bin/echo", {"-e", "x"}));
  if (refused || to_string(refused.error()) != "flag not allowed: -e") {
    std::cerr << "expected \"flag not allowed: -e\", got "
              << (refused ? std::string("an accepted request") : to_string(refused.error()))
              << '\n';
    return 1;
  }
  auto hello = policy->prepare(ProcRequest("/usr/bin/echo", {"installed"}));
  if (!hello) return 1;
  ExecResult result = std::move(*hello).spawn_sync();
  if (!result || result->stdout != "installed\n") {
    std::cerr << "unexpected result\n";
    return 1;
  }
  std::cout << "   consumer: refused -e, ran echo: " << result->stdout;
  if (argc != 2) {
    std::cerr << "usage: consumer POLICY_FILE\n";
    return 1;
  }
  return policy_file(argv[1]);
}
