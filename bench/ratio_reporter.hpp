// RatioReporter: prints the usual console report and keeps each benchmark's
// time per iteration, so a benchmark program can print its ratio at the end.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace corvane::bench {

/// Which time a RatioReporter keeps for each benchmark.
enum class Measure { Real, Cpu };

/// Console reporter that remembers the time per iteration of every benchmark run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(Measure measure) : measure_(measure) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      times_[run.benchmark_name()] =
          measure_ == Measure::Cpu ? run.GetAdjustedCPUTime() : run.GetAdjustedRealTime();
    }
  }
  /// The time per iteration recorded for `name`, or 0 when it did not run.
  double time(const std::string& name) const {
    auto it = times_.find(name);
    return it == times_.end() ? 0 : it->second;
  }

 private:
  Measure measure_;
  std::map<std::string, double> times_;
};

}  // namespace corvane::bench
