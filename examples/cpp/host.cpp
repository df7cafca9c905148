// A host program built on the C++ API alone: a policy with the extended
// rules and a sandbox, requests refused and allowed, commands run on an event
// loop and one run blocking. Every error is read the same way, with kind()
// and message(). Exits 0 when everything behaved as the comments say.
#include <unistd.h>

#include <corvane/corvane.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

int failures = 0;

// Prints "<what>: <kind>: <message>" for any error of the core.
template <class Error>
void report(const std::string& what, const Error& error) {
  std::cout << what << ": " << corvane::kind(error) << ": " << corvane::message(error) << '\n';
}

void expect(bool ok, const std::string& what) {
  if (!ok) {
    std::cerr << "unexpected: " << what << '\n';
    ++failures;
  }
}

}  // namespace

int main() {
  using namespace corvane;
  const std::filesystem::path work = std::filesystem::temp_directory_path() /
                                     ("corvane-host-example-" + std::to_string(::getpid()));
  std::filesystem::create_directories(work / "src");
  std::ofstream(work / "src" / "main.c") << "int main(void) { return 0; }\n";
  std::ofstream(work / "notes.txt") << "TODO: tests\n";

  // ls and grep with the extended rules: grep's -e takes a value, and every
  // path must stay inside the workspace. RuleSet puts "--" before the first
  // operand by default, so a file named "-r" stays a file.
  auto ls = CommandRules::make(
      {RuleSet().flags({"-l", "-a"}).bundles().max_flags(2).max_positionals(4).path_positionals()});
  auto grep = CommandRules::make({RuleSet()
                                      .flags({"-n", "-r", "-i"})
                                      .value_flag("-e")
                                      .bundles()
                                      .max_flags(4)
                                      .max_positionals(4)
                                      .path_positionals()});
  if (!ls || !grep) {
    if (!ls) report("ls rules", ls.error());
    if (!grep) report("grep rules", grep.error());
    return 1;
  }

  // The sandbox every allowed command runs in: the system read-only, the
  // workspace writable, no network. best_effort lets a machine without some
  // kernel feature run the example anyway (skipped() says what is missing).
  SandboxSpec spec = SandboxSpec::workspace(work);
  spec.best_effort = true;
  auto sandbox = Sandbox::build(std::move(spec));
  if (!sandbox) {
    report("sandbox", sandbox.error());
    return 1;
  }
  for (const auto& missing : sandbox->skipped()) std::cout << "sandbox skips: " << missing << '\n';

  // A builder filled step by step, as a host reading its own configuration would.
  ProcPolicyBuilder builder;
  builder.allow_named_bin("ls", "/usr/bin/ls").command_rules("/usr/bin/ls", std::move(*ls));
  builder.allow_named_bin("grep", "/usr/bin/grep").command_rules("/usr/bin/grep", std::move(*grep));
  builder.cwd_policy(CwdPolicy::Jailed{work, work})
      .timeout(Duration::from_secs(10))
      .sandbox(*sandbox);
  auto built = std::move(builder).try_build();
  if (!built) {
    report("policy", built.error());
    return 1;
  }
  const ProcPolicy policy = std::move(*built);

  // Refused: a name that is not allowed, a path out of the workspace, a flag
  // the rules do not know. Each refusal names its kind and the argv index.
  for (const auto& [bin, argv] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"sh", {"-c", "id"}}, {"ls", {"../.."}}, {"grep", {"--include=*.c", "x"}}}) {
    auto refused = policy.check(ProcRequest(bin, argv));
    expect(!refused, bin + " should be refused");
    if (!refused) report("refused " + bin, refused.error());
  }

  // Allowed, and run on an event loop: both runs are in flight at once, and
  // each `done` is called exactly once.
  auto loop = EventLoop::create();
  if (!loop) {
    report("event loop", loop.error());
    return 1;
  }
  int done = 0;
  for (const auto& [bin, argv] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {"ls", {"-la", "src"}}, {"grep", {"-rn", "-e", "TODO", "."}}}) {
    auto cmd = policy.check(ProcRequest(bin, argv).with_cwd(work));
    if (!cmd) {
      report("check " + bin, cmd.error());
      ++failures;
      continue;
    }
    // The callback runs later, from the loop: it owns what it reads.
    std::move(*cmd).spawn(**loop, RunOptions{}, [&done, name = bin](RunResult run) {
      ++done;
      if (!run.result) {
        report(name, run.result.error());
        ++failures;
        return;
      }
      std::cout << name << " exited " << run.result->exit_code().value_or(-1) << ":\n"
                << run.result->stdout;
      expect(run.result->success(), name + " should succeed");
    });
  }
  (*loop)->run();
  expect(done == 2, "both runs should report");

  // One run blocking, with its own limits: the grep finds nothing, exits 1,
  // and that is an Output with an exit code, not an error.
  auto quiet = policy.check(ProcRequest("grep", {"-e", "FIXME", "notes.txt"}).with_cwd(work));
  if (quiet) {
    RunResult run = std::move(*quiet).run(RunOptions{});
    if (run.result) {
      std::cout << "grep FIXME exited " << run.result->exit_code().value_or(-1) << '\n';
      expect(run.result->exit_code() == 1, "grep should find nothing");
    } else {
      report("grep FIXME", run.result.error());
      ++failures;
    }
  } else {
    report("check grep FIXME", quiet.error());
    ++failures;
  }

  std::filesystem::remove_all(work);
  return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
