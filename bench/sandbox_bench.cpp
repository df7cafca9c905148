// Cost of the sandbox: spawn_sync of /bin/true without a sandbox and with the full
// workspace sandbox (Landlock, the system-call filter, limits, a PID namespace), plus
// variants that show where the time goes (the CORVANE_SANDBOX_DISABLE seam stands in
// for an ordinary caller and for a kernel without IPC namespaces), all measured in one
// run of this binary with the calls interleaved so that a busy machine weighs on each
// alike. Prints the medians and the ratios; never passes or fails.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "corvane/policy.hpp"
#include "corvane/prepared.hpp"
#include "corvane/sandbox.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 400;

struct Variant {
  const char* name;
  std::optional<corvane::Sandbox> sandbox;
  std::vector<double> micros;
};

corvane::Sandbox build(corvane::SandboxSpec spec) {
  auto sandbox = corvane::Sandbox::build(std::move(spec));
  if (!sandbox) {
    std::fprintf(stderr, "sandbox: %s\n", sandbox.error().c_str());
    std::exit(2);
  }
  return std::move(*sandbox);
}

// The value below which `share` of the runs fall. On a busy machine the low end is what
// the start itself costs: the rest is time the scheduler gave to someone else.
double percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(static_cast<double>(values.size() - 1) * share)];
}

}  // namespace

int main() {
  char dir_template[] = "/tmp/corvane-sandbox-bench-XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) return 2;
  const corvane::Path workspace(dir_template);
  char* resolved = ::realpath("/bin/true", nullptr);
  if (resolved == nullptr) return 2;
  const std::string true_bin(resolved);
  std::free(resolved);

  auto policy = corvane::ProcPolicy::builder()
                    .allow_bin(true_bin)
                    .arg_rules(true_bin, corvane::ArgRules())
                    .build();
  if (!policy) return 2;
  auto prepared = policy->prepare(corvane::ProcRequest(true_bin, {}));
  if (!prepared) return 2;

  corvane::SandboxSpec full = corvane::SandboxSpec::workspace(workspace);
  corvane::SandboxSpec no_namespace = full;
  no_namespace.keep_background = true;  // no PID namespace: Landlock, seccomp, limits only
  corvane::SandboxSpec granting = full;
  granting.exec.emplace_back(true_bin);  // an exec list: no seccomp rows for new programs
  corvane::SandboxSpec with_proc = full;
  with_proc.read.emplace_back("/proc");  // a /proc of its own: a mount namespace as well
  std::vector<Variant> variants;
  variants.push_back({"no sandbox", std::nullopt, {}});
  variants.push_back({"full sandbox", build(full), {}});
  variants.push_back({"sandbox, no PID namespace", build(no_namespace), {}});
  variants.push_back({"sandbox with an exec list", build(granting), {}});
  variants.push_back({"sandbox with /proc", build(with_proc), {}});
  // As an ordinary caller gets it: the PID namespace inside a user namespace.
  ::setenv("CORVANE_SANDBOX_DISABLE", "privilege", 1);
  if (corvane::Sandbox::available().user_namespace)
    variants.push_back({"full, as a user namespace", build(full), {}});
  // What the IPC namespace adds to a start.
  ::setenv("CORVANE_SANDBOX_DISABLE", "ipcns", 1);
  variants.push_back({"full, no IPC namespace", build(full), {}});
  ::unsetenv("CORVANE_SANDBOX_DISABLE");

  for (int round = 0; round < kRounds; ++round) {
    for (Variant& v : variants) {
      corvane::PreparedCommand cmd = *prepared;
      if (v.sandbox) cmd = std::move(cmd).with_sandbox(*v.sandbox).value();
      const auto start = Clock::now();
      const corvane::ExecResult result = std::move(cmd).spawn_sync();
      v.micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      if (!result || result->status != 0) {
        std::fprintf(stderr, "%s: the run failed\n", v.name);
        return 2;
      }
    }
  }
  ::rmdir(dir_template);

  std::printf("spawn_sync of %s, %d runs each (interleaved): median, and the 10th percentile\n",
              true_bin.c_str(), kRounds);
  std::printf("machine: %s\n", corvane::Sandbox::available().describe().c_str());
  const double base = percentile(variants.front().micros, 0.5);
  const double base_low = percentile(variants.front().micros, 0.1);
  for (const Variant& v : variants) {
    const double m = percentile(v.micros, 0.5);
    const double low = percentile(v.micros, 0.1);
    std::printf("  %-28s %8.1f us %5.2fx   p10 %8.1f us %5.2fx\n", v.name, m, m / base, low,
                low / base_low);
  }
  return 0;
}
