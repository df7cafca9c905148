// Cost of ProcPolicy::prepare per call next to its floor on the same machine:
// realpath + stat of the same binary, the file-system work prepare cannot avoid.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "corvane/policy.hpp"
#include "ratio_reporter.hpp"

namespace {

constexpr const char* kBinary = "/usr/bin/grep";

const corvane::ProcPolicy& grep_policy() {
  static const corvane::ProcPolicy policy =
      *corvane::ProcPolicy::builder()
           .allow_bin(kBinary)
           .arg_rules(kBinary, corvane::ArgRules()
                                   .allowed_flags({"-n", "-i", "-l"})
                                   .max_flags(3)
                                   .max_positionals(10)
                                   .inject_double_dash(corvane::InjectDoubleDash::AfterFlags))
           .build();
  return policy;
}

void BM_Floor_RealpathStat(benchmark::State& state) {
  for (auto _ : state) {
    char* resolved = ::realpath(kBinary, nullptr);
    struct stat st{};
    benchmark::DoNotOptimize(::stat(resolved, &st));
    std::free(resolved);
  }
}
BENCHMARK(BM_Floor_RealpathStat);

void BM_Prepare(benchmark::State& state) {
  const auto& policy = grep_policy();
  for (auto _ : state) {
    auto prepared = policy.prepare(corvane::ProcRequest(kBinary, {"-n", "pattern", "file.txt"}));
    benchmark::DoNotOptimize(prepared);
  }
}
BENCHMARK(BM_Prepare);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  corvane::bench::RatioReporter reporter(corvane::bench::Measure::Real);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double floor = reporter.time("BM_Floor_RealpathStat");
  const double prepare = reporter.time("BM_Prepare");
  if (floor > 0 && prepare > 0) {
    std::printf("\nprepare: %.0f ns/call, floor (realpath+stat): %.0f ns/call, ratio %.2fx\n",
                prepare, floor, prepare / floor);
  }
  benchmark::Shutdown();
  return 0;
}
