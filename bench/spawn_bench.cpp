// Cost of PreparedCommand::spawn_sync next to its floor in the same binary:
// posix_spawn with piped stdout/stderr, both pipes read to EOF, waitpid. Two
// loads: /usr/bin/true (start-up cost per call, median and mean of the slowest
// tenth, each taken per round and their median over the rounds) and
// 50 MB from `head -c` (capture throughput with the same 8192-byte reads).
// Prints figures and ratios; never passes or fails.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "corvane/policy.hpp"
#include "corvane/prepared.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kCaptureBytes = 50'000'000;
const std::string kCaptureArg = std::to_string(kCaptureBytes);

std::string canonical(const char* path) {
  char* resolved = ::realpath(path, nullptr);
  if (resolved == nullptr) {
    std::fprintf(stderr, "cannot resolve %s\n", path);
    std::exit(2);
  }
  std::string out(resolved);
  std::free(resolved);
  return out;
}

const std::string& true_bin() {
  static const std::string path = canonical("/bin/true");
  return path;
}

const std::string& head_bin() {
  static const std::string path = canonical("/usr/bin/head");
  return path;
}

const corvane::ProcPolicy& policy() {
  static const corvane::ProcPolicy built = [] {
    auto result =
        corvane::ProcPolicy::builder()
            .allow_bin(true_bin())
            .arg_rules(true_bin(), corvane::ArgRules())
            .allow_bin(head_bin())
            .arg_rules(head_bin(), corvane::ArgRules()
                                       .allowed_flags({"-c"})
                                       .max_flags(1)
                                       .max_positionals(2)
                                       .inject_double_dash(corvane::InjectDoubleDash::Never))
            .max_stdout(kCaptureBytes)
            .build();
    if (!result) {
      std::fprintf(stderr, "policy: %s\n", corvane::to_string(result.error()).c_str());
      std::exit(2);
    }
    return std::move(*result);
  }();
  return built;
}

corvane::PreparedCommand prepare(const std::string& bin, std::vector<std::string> argv) {
  auto prepared = policy().prepare(corvane::ProcRequest(bin, std::move(argv)));
  if (!prepared) {
    std::fprintf(stderr, "prepare: %s\n", corvane::to_string(prepared.error()).c_str());
    std::exit(2);
  }
  return std::move(*prepared);
}

// The floor: the least any supervisor must do to run the child and capture both streams.
std::size_t floor_run(const std::string& bin, const std::vector<std::string>& args) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv{const_cast<char*>(bin.c_str())};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  char* envp[] = {nullptr};
  pid_t pid = 0;
  if (::posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv.data(), envp) != 0) std::abort();
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  std::array<char, 8192> scratch;
  std::string captured[2];
  const int fds[2] = {out[0], err[0]};
  for (int i = 0; i < 2; ++i) {
    for (;;) {
      const ssize_t n = ::read(fds[i], scratch.data(), scratch.size());
      if (n <= 0) break;
      captured[i].append(scratch.data(), static_cast<std::size_t>(n));
    }
    ::close(fds[i]);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return captured[0].size() + captured[1].size();
}

// Per-call latencies, one vector per invocation of a benchmark function (a "round").
std::map<std::string, std::vector<std::vector<double>>> g_rounds;

template <typename Call>
void timed(benchmark::State& state, const std::string& name, Call&& call) {
  std::vector<double>& round = g_rounds[name].emplace_back();
  for (auto _ : state) {
    const auto start = Clock::now();
    benchmark::DoNotOptimize(call());
    round.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
}

void BM_Floor_True(benchmark::State& state) {
  timed(state, "floor_true", [] { return floor_run(true_bin(), {}); });
}

void BM_SpawnSync_True(benchmark::State& state) {
  const corvane::PreparedCommand command = prepare(true_bin(), {});
  timed(state, "spawn_sync_true", [&] {
    auto copy = command;
    return std::move(copy).spawn_sync().has_value();
  });
}

void BM_Floor_Capture50MB(benchmark::State& state) {
  timed(state, "floor_capture",
        [] { return floor_run(head_bin(), {"-c", kCaptureArg, "/dev/zero"}); });
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCaptureBytes));
}

void BM_SpawnSync_Capture50MB(benchmark::State& state) {
  const corvane::PreparedCommand command = prepare(head_bin(), {"-c", kCaptureArg, "/dev/zero"});
  timed(state, "spawn_sync_capture", [&] {
    auto copy = command;
    auto result = std::move(copy).spawn_sync();
    if (!result || result->stdout.size() != kCaptureBytes) std::abort();
    return result->stdout.size();
  });
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCaptureBytes));
}

constexpr int kRounds = 7;
// Wall time: the caller waits for the child, while this thread's CPU time is a
// small part of a call, so a CPU-time minimum would take minutes per round.
BENCHMARK(BM_Floor_True)->Repetitions(kRounds)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_SpawnSync_True)->Repetitions(kRounds)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_Floor_Capture50MB)->Repetitions(kRounds)->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpawnSync_Capture50MB)
    ->Repetitions(kRounds)
    ->MinTime(0.5)
    ->Unit(benchmark::kMillisecond);

double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// Mean of the slowest tenth of one round's calls: the tail a caller sees.
double slowest_tenth(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t count = std::max<std::size_t>(1, values.size() / 10);
  double sum = 0;
  for (std::size_t i = values.size() - count; i < values.size(); ++i) sum += values[i];
  return sum / static_cast<double>(count);
}

struct Figures {
  double median = 0;  // median of the per-round medians
  double tail = 0;    // median of the per-round slowest-tenth means
  std::size_t rounds = 0;
};

Figures figures(const std::string& name) {
  std::vector<double> medians;
  std::vector<double> tails;
  for (const auto& round : g_rounds[name]) {
    // Skip the short calibration runs; a round proper has enough calls for a tail.
    if (round.size() < 10) continue;
    medians.push_back(quantile(round, 0.5));
    tails.push_back(slowest_tenth(round));
  }
  return {quantile(medians, 0.5), quantile(tails, 0.5), medians.size()};
}

}  // namespace

int main(int argc, char** argv) {
  // Interleave the rounds of floor and subject so drift on a noisy machine hits both alike.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.push_back(interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks();

  const Figures floor_true = figures("floor_true");
  const Figures sync_true = figures("spawn_sync_true");
  if (floor_true.median > 0 && sync_true.median > 0) {
    std::printf(
        "\n%s per call, %zu rounds (median of round medians / of round slowest-tenth means):\n",
        true_bin().c_str(), sync_true.rounds);
    std::printf("  spawn_sync  %.3f ms / %.3f ms\n", sync_true.median * 1e3, sync_true.tail * 1e3);
    std::printf("  floor       %.3f ms / %.3f ms   (posix_spawn + pipes read to EOF + waitpid)\n",
                floor_true.median * 1e3, floor_true.tail * 1e3);
    std::printf(
        "  ratio       %.3fx median (target <= 0.95x), %.3fx slowest tenth (target <= 1.05x)\n",
        sync_true.median / floor_true.median, sync_true.tail / floor_true.tail);
  }
  const Figures floor_cap = figures("floor_capture");
  const Figures sync_cap = figures("spawn_sync_capture");
  if (floor_cap.median > 0 && sync_cap.median > 0) {
    const double mb = static_cast<double>(kCaptureBytes) / 1e6;
    std::printf("\ncapture of %.0f MB from head -c (median of round medians):\n", mb);
    std::printf("  spawn_sync  %.1f ms, %.0f MB/s\n", sync_cap.median * 1e3, mb / sync_cap.median);
    std::printf("  floor       %.1f ms, %.0f MB/s   (same 8192-byte reads)\n",
                floor_cap.median * 1e3, mb / floor_cap.median);
    std::printf("  ratio       %.3fx time (target <= 1.30x)\n", sync_cap.median / floor_cap.median);
  }
  benchmark::Shutdown();
  return 0;
}
