// Cost of ProcPolicy::check through the extended rule model (what Guard.check
// calls) next to ProcPolicy::prepare with ArgRules, on the same request.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "corvane/policy.hpp"
#include "ratio_reporter.hpp"

namespace {

constexpr const char* kBinary = "/usr/bin/grep";

const corvane::ProcPolicy& plain_policy() {
  static const corvane::ProcPolicy policy =
      *corvane::ProcPolicy::builder()
           .allow_bin(kBinary)
           .arg_rules(kBinary, corvane::ArgRules()
                                   .allowed_flags({"-n", "-i", "-l", "-e"})
                                   .max_flags(4)
                                   .max_positionals(10)
                                   .inject_double_dash(corvane::InjectDoubleDash::AfterFlags))
           .build();
  return policy;
}

const corvane::ProcPolicy& extended_policy() {
  static const corvane::ProcPolicy policy =
      *corvane::ProcPolicy::builder()
           .allow_bin(kBinary)
           .command_rules(kBinary,
                          *corvane::CommandRules::make(
                              {corvane::RuleSet()
                                   .flags({"-n", "-i", "-l"})
                                   .value_flag("-e")
                                   .bundles()
                                   .numeric_flags()
                                   .max_flags(4)
                                   .max_positionals(10)
                                   .inject_double_dash(corvane::InjectDoubleDash::AfterFlags)}))
           .try_build();
  return policy;
}

corvane::ProcRequest request() {
  return corvane::ProcRequest(kBinary, {"-n", "-e", "pattern", "file.txt"});
}

void BM_Prepare(benchmark::State& state) {
  const auto& policy = plain_policy();
  for (auto _ : state) {
    auto prepared = policy.prepare(request());
    benchmark::DoNotOptimize(prepared);
  }
}
BENCHMARK(BM_Prepare);

void BM_CheckExtended(benchmark::State& state) {
  const auto& policy = extended_policy();
  for (auto _ : state) {
    auto prepared = policy.check(request());
    benchmark::DoNotOptimize(prepared);
  }
}
BENCHMARK(BM_CheckExtended);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter(corvane::bench::Measure::Cpu);
  // CPU time: the machine is shared, and wall time there measures the neighbours.
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double prepare = reporter.time("BM_Prepare");
  const double check = reporter.time("BM_CheckExtended");
  if (prepare > 0 && check > 0) {
    std::printf(
        "\ncheck (extended rules): %.0f ns CPU/call, prepare (ArgRules): %.0f ns CPU/call, ratio "
        "%.2fx\n",
        check, prepare, check / prepare);
  }
  benchmark::Shutdown();
  return 0;
}
