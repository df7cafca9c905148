// The blocking entry point: a run driven to its end on a private loop, or on a
// worker thread with a loop of its own when the caller is already inside one.
#include <pthread.h>

#include <exception>
#include <optional>

#include "corvane/event_loop.hpp"
#include "corvane/prepared.hpp"

namespace corvane {

namespace {

RunResult run_on_private_loop(PreparedCommand cmd, RunOptions options) {
  auto loop = create_run_loop();
  if (!loop) return RunResult{std::unexpected(std::move(loop.error())), {}, {}, false};
  std::optional<RunResult> result;
  std::move_only_function<bool()> on_signal = std::move(options.on_signal);
  RunHandle handle = std::move(cmd).spawn(**loop, std::move(options),
                                          [&result](RunResult r) { result = std::move(r); });
  if (on_signal) {
    // Once before the first wait too: a signal that arrived while the child
    // was starting interrupted no wait and would otherwise go unnoticed.
    if (on_signal()) handle.cancel();
    (*loop)->run([&] {
      if (!handle.finished() && on_signal()) handle.cancel();
    });
  } else {
    (*loop)->run();
  }
  if (!result) internal_fault("execution did not complete");
  return std::move(*result);
}

struct WorkerJob {
  PreparedCommand cmd;
  RunOptions options;
  std::optional<RunResult> result;
  std::exception_ptr fault;
};

void* worker_main(void* arg) {
  auto* job = static_cast<WorkerJob*>(arg);
  // A fault handler that unwinds must not end the process from this thread:
  // carry the fault over and raise it again in the caller.
  try {
    job->result = run_on_private_loop(std::move(job->cmd), std::move(job->options));
  } catch (...) {
    job->fault = std::current_exception();
  }
  return nullptr;
}

}  // namespace

std::expected<std::unique_ptr<EventLoop>, ExecError> create_run_loop() {
  auto loop = EventLoop::create();
  if (!loop) {
    return std::unexpected(exec_error::SpawnFailed{"failed to create runtime: " + loop.error()});
  }
  return std::move(*loop);
}

RunResult PreparedCommand::run(RunOptions options) && {
  if (EventLoop::current() == nullptr)
    return run_on_private_loop(std::move(*this), std::move(options));
  // This thread is inside a loop that only it can drive: run on one worker
  // thread with a private loop of its own, so even a single-threaded caller cannot deadlock.
  WorkerJob job{std::move(*this), std::move(options), std::nullopt, nullptr};
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) internal_fault("failed to spawn thread");
  ::pthread_attr_setstacksize(&attr, 2 * 1024 * 1024);
  pthread_t thread;
  const int rc = ::pthread_create(&thread, &attr, worker_main, &job);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) internal_fault("failed to spawn thread");
  ::pthread_join(thread, nullptr);
  if (job.fault) std::rethrow_exception(job.fault);
  if (!job.result) internal_fault("execution did not complete");
  return std::move(*job.result);
}

ExecResult PreparedCommand::spawn_sync() && {
  return std::move(*this).run(RunOptions{}).result;
}

}  // namespace corvane
