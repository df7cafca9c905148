// A program outside the corvane tree, built against an installed copy through
// find_package(corvane): it judges two requests and runs the accepted one.
#include <iostream>
#include <string>

#include "corvane/corvane.hpp"

int main() {
  using namespace corvane;
  auto policy = ProcPolicy::builder()
                    .allow_bin("/usr/bin/echo")
                    .arg_rules("/usr/bin/echo", ArgRules().allowed_flags({"-n"}).max_flags(1).max_positionals(1))
                    .build();
  if (!policy) {
    std::cerr << "bad policy: " << to_string(policy.error()) << '\n';
    return 1;
  }
  auto refused = policy->prepare(ProcRequest("/usr/bin/echo", {"-e", "x"}));
  if (refused || to_string(refused.error()) != "flag not allowed: -e") {
    std::cerr << "expected \"flag not allowed: -e\", got "
              << (refused ? std::string("an accepted request") : to_string(refused.error())) << '\n';
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
  return 0;
}
