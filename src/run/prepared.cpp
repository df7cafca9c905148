// Execution of a PreparedCommand: preparing the child's argv and environment,
// the supervisor that drains both pipes under their limits and the deadline,
// and the blocking entry point. The start itself is in spawn.cpp.
#include "corvane/prepared.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>

#include "corvane/event_loop.hpp"
#include "run/spawn.hpp"
#include "run/starter.hpp"

namespace corvane {

namespace detail {
class Execution;
class StartInbox;
}  // namespace detail

namespace {

using Clock = EventLoop::Clock;

constexpr std::size_t kReadChunk = 8192;
// Reads per readiness event before yielding to the other stream: a pipe's
// default capacity, so a busy writer cannot starve its sibling.
constexpr int kReadsPerWake = 8;
constexpr std::string_view kNulText = "nul byte found in provided data";

int sys_pidfd_kill(int pidfd) noexcept {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
}

// The wait status that waitpid would have reported for this waitid result.
int wait_status(const siginfo_t& info) noexcept {
  switch (info.si_code) {
    case CLD_EXITED:
      return (info.si_status & 0xff) << 8;
    case CLD_KILLED:
      return info.si_status & 0x7f;
    case CLD_DUMPED:
      return (info.si_status & 0x7f) | 0x80;
    default:
      return 0;
  }
}

// Blocks until the child behind `pidfd` has exited and reaps it. Only used
// after SIGKILL, which a process cannot ignore, so the wait is short.
void reap_blocking(int pidfd) noexcept {
  siginfo_t info{};
  (void)wait_pidfd(pidfd, info, WEXITED);
}

bool has_nul(std::string_view text) noexcept {
  return text.find('\0') != std::string_view::npos;
}

// A pipe whose read end stays with the supervisor (non-blocking) and whose
// write end becomes the child's stream. Both ends are kept above 2 so that the
// child's own dup2 onto 0..2 can never clobber one of them.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

std::expected<UniqueFd, int> above_std(UniqueFd fd) {
  if (fd.get() > 2) return fd;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return std::unexpected(errno);
  return UniqueFd(moved);
}

std::expected<Pipe, int> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return std::unexpected(errno);
  UniqueFd read(fds[0]);
  UniqueFd write(fds[1]);
  // Only the read end may stay non-blocking: the write end's flags are shared with the child.
  if (::fcntl(write.get(), F_SETFL, 0) != 0) return std::unexpected(errno);
  auto r = above_std(std::move(read));
  if (!r) return std::unexpected(r.error());
  auto w = above_std(std::move(write));
  if (!w) return std::unexpected(w.error());
  return Pipe{std::move(*r), std::move(*w)};
}

// The read end of a pipe that already holds all of `bytes`, its write end
// closed, to become the child's stdin. The pipe is grown to hold them first
// (max_stdin_capacity bounds every policy's max_stdin), so the write never
// waits and no run has to feed its child from the loop.
std::expected<UniqueFd, int> filled_stdin(const std::string& bytes) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
  UniqueFd read(fds[0]);
  UniqueFd write(fds[1]);
  // The write end alone non-blocking: should the pipe be smaller than asked, the
  // write fails instead of hanging, and the child's end keeps blocking reads.
  if (::fcntl(write.get(), F_SETFL, O_NONBLOCK) != 0) return std::unexpected(errno);
  if (bytes.size() > static_cast<std::size_t>(::fcntl(write.get(), F_GETPIPE_SZ)) &&
      ::fcntl(write.get(), F_SETPIPE_SZ, static_cast<int>(bytes.size())) < 0) {
    return std::unexpected(errno);
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(write.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::unexpected(n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  return above_std(std::move(read));
}

// A started child: its pidfd is its identity from here on.
struct Child {
  UniqueFd pidfd;
  UniqueFd out;
  UniqueFd err;
  pid_t group = 0;                  // a process group killed with the child, or 0
  std::optional<Sandbox> sandbox{};  // to name a broken limit at the end
};

// waitid on a pidfd that also returns the child's resource usage (the libc wrapper
// drops it); retries EINTR. Returns 0 or the errno.
int wait_pidfd_usage(int pidfd, siginfo_t& info, int options, rusage& usage) noexcept {
  for (;;) {
    if (::syscall(SYS_waitid, P_PIDFD, pidfd, &info, options | __WALL, &usage) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

// Everything the child needs is built here, in the parent, before the spawn.
// Returns the SpawnFailed message on failure; nothing is left running then.
std::expected<Child, std::string> start_child(const PreparedCommand& cmd) {
  const std::string& bin = cmd.bin().native();
  const std::string& argv0 = cmd.argv0().native();
  const std::string& cwd = cmd.cwd().native();
  if (has_nul(bin) || has_nul(argv0) || has_nul(cwd)) return std::unexpected(std::string(kNulText));
  for (const std::string& arg : cmd.argv()) {
    if (has_nul(arg)) return std::unexpected(std::string(kNulText));
  }
  std::vector<const std::pair<const std::string, std::string>*> vars;
  vars.reserve(cmd.env().size());
  for (const auto& entry : cmd.env()) {
    if (has_nul(entry.first) || has_nul(entry.second))
      return std::unexpected(std::string(kNulText));
    // The child sees NAME=VALUE strings: a name holding '=' would set another
    // variable ("LD_PRELOAD=/x.so:" joins into LD_PRELOAD), so it never starts.
    if (entry.first.empty() || entry.first.find('=') != std::string::npos)
      return std::unexpected("environment variable name is empty or contains '=': " +
                             escape_quoted(entry.first));
    vars.push_back(&entry);
  }
  // std::string compares as unsigned bytes, which is the order the child sees.
  std::ranges::sort(vars, [](auto* a, auto* b) { return a->first < b->first; });
  std::vector<std::string> env_block;
  env_block.reserve(vars.size());
  for (const auto* var : vars) env_block.push_back(var->first + "=" + var->second);

  std::vector<char*> argv;
  argv.reserve(cmd.argv().size() + 2);
  // The file executed is always bin: argv[0] only tells the program what it was called as.
  argv.push_back(const_cast<char*>(argv0.c_str()));
  for (const std::string& arg : cmd.argv()) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(env_block.size() + 1);
  for (std::string& entry : env_block) envp.push_back(entry.data());
  envp.push_back(nullptr);

  auto out = make_pipe();
  if (!out) return std::unexpected(os_error_text(out.error()));
  auto err = make_pipe();
  if (!err) return std::unexpected(os_error_text(err.error()));

  // A sandbox's per-command part (the execute right follows the binary) is made here;
  // the child only applies it.
  std::optional<SandboxLaunch> launch;
  ChildSetup setup;
  if (cmd.sandbox()) {
    auto prepared = cmd.sandbox()->prepare(cmd.bin(), cmd.env());
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    launch.emplace(std::move(*prepared));
    setup = ChildSetup{launch->clone_flags(), &SandboxLaunch::apply_step, &*launch};
  }

  UniqueFd stdin_fd;
  if (cmd.stdin_bytes()) {
    auto filled = filled_stdin(*cmd.stdin_bytes());
    if (!filled) return std::unexpected("stdin: " + os_error_text(filled.error()));
    stdin_fd = std::move(*filled);
  }

  const SpawnRequest request{bin.c_str(),      argv.data(),      envp.data(),
                             cwd.c_str(),      out->write.get(), err->write.get(),
                             launch ? &setup : nullptr, stdin_fd ? stdin_fd.get() : -1};
  // A failed chdir or exec comes back as the errno, the child already reaped.
  auto spawned = spawn_child(request);
  if (!spawned) {
    if (spawned.error().stage == SpawnStage::Setup)
      return std::unexpected("sandbox: " + os_error_text(spawned.error().error));
    return std::unexpected(os_error_text(spawned.error().error));
  }
  const bool group = launch && launch->containment() == Containment::ProcessGroup;
  return Child{std::move(spawned->pidfd), std::move(out->read), std::move(err->read),
               group ? spawned->pid : 0, cmd.sandbox()};
}

// Saturating `now + timeout`: empty when the sum cannot be represented, and the deadline never
// passes.
std::optional<Clock::time_point> deadline_after(Clock::time_point now, Duration timeout) {
  timeout = timeout.normalized();
  using std::chrono::nanoseconds;
  const auto room = std::chrono::duration_cast<nanoseconds>(Clock::time_point::max() - now).count();
  if (room < 0) return std::nullopt;
  const auto room_ns = static_cast<std::uint64_t>(room);
  if (timeout.nanos > room_ns) return std::nullopt;
  if (timeout.secs > (room_ns - timeout.nanos) / 1'000'000'000ULL) return std::nullopt;
  const std::uint64_t total = timeout.secs * 1'000'000'000ULL + timeout.nanos;
  return now +
         std::chrono::duration_cast<Clock::duration>(nanoseconds(static_cast<std::int64_t>(total)));
}

// SIGKILL to a child and to its sandbox's process group (if any), then reap it. A
// child that cannot be signalled (a set-uid program of an unprivileged host) goes
// to the background reaper instead, so it never stays a zombie and nobody waits.
void kill_and_reap_child(UniqueFd& pidfd, pid_t group) noexcept {
  const int rc = sys_pidfd_kill(pidfd.get());
  if (group > 0) ::kill(-group, SIGKILL);
  if (rc == 0) {
    reap_blocking(pidfd.get());
  } else {
    reap_in_background(std::move(pidfd));
  }
}

// A start handed to the starter thread: the command goes in, the started child
// (or the SpawnFailed text) comes out, and the job is posted to its loop's
// StartInbox once it has. Plain memory otherwise: it may be destroyed on either thread.
class StartJob final : public detail::StarterTask {
 public:
  StartJob(PreparedCommand cmd, detail::StartInbox& inbox, std::weak_ptr<detail::Execution> run)
      : owner(std::move(run)), cmd_(std::move(cmd)), inbox_(inbox) {}

  void run() noexcept override {
    began = Clock::now();
    try {
      result.emplace(start_child(cmd_));
    } catch (const std::bad_alloc&) {
      result.emplace(std::unexpected(os_error_text(ENOMEM)));
    }
    started = Clock::now();
  }

  void finished() noexcept override;

  // The owner gave up while the start was under way: nobody will take the child.
  void discard() noexcept override {
    if (!result || !*result) return;
    kill_and_reap_child((*result)->pidfd, (*result)->group);
    result.reset();
  }

  // Read by the loop's thread only once detail::settle_start() said the job ran.
  std::optional<std::expected<Child, std::string>> result;
  Clock::time_point began;    // when the start began: a Timeout's elapsed time counts from here
  Clock::time_point started;  // when the child existed: its deadline counts from here

  // The run waiting for this start; touched on the loop's thread only.
  std::weak_ptr<detail::Execution> owner;
  // The inbox's list of finished starts, under the inbox's lock.
  StartJob* prev = nullptr;
  StartJob* next = nullptr;
  bool posted = false;

 private:
  PreparedCommand cmd_;
  detail::StartInbox& inbox_;
};

}  // namespace

namespace detail {

// Where the starter thread hands one loop's finished starts back: a single
// eventfd for the whole loop, however many starts wait, so that a start in the
// queue holds no descriptor (a queue of thousands would otherwise hold the
// descriptors their own children need). The loop watches it only while starts
// are out, so an idle loop stays idle; finished starts wait in an intrusive
// list, so posting one never allocates.
//
// The loop owns it and it outlives every run on the loop. The starter touches
// it only from a job's finished(), under the starter's lock, and a run always
// settles or gives up its start (which waits for, or excludes, that call)
// before it leaves the inbox.
class StartInbox {
 public:
  // The inbox of `loop`, made on first use; the errno when it cannot be.
  static std::expected<StartInbox*, int> of(EventLoop& loop) {
    std::shared_ptr<StartInbox>& slot = loop.start_inbox();
    if (!slot) {
      UniqueFd ready(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
      if (!ready) return std::unexpected(errno);
      slot = std::make_shared<StartInbox>(loop, std::move(ready));
    }
    // A forked copy of the process must not ring, or lock, the creator's inbox.
    if (slot->foreign()) return std::unexpected(EPERM);
    return slot.get();
  }

  StartInbox(EventLoop& loop, UniqueFd ready) noexcept : loop_(loop), ready_(std::move(ready)) {}
  StartInbox(const StartInbox&) = delete;
  StartInbox& operator=(const StartInbox&) = delete;

  // Loop thread: one more start is out; the first one has the loop watch the eventfd.
  [[nodiscard]] std::expected<void, int> enter() {
    if (out_ == 0) {
      if (auto r = loop_.watch(ready_.get(), EPOLLIN, [this](std::uint32_t) { drain(); }); !r)
        return r;
    }
    ++out_;
    return {};
  }

  // Loop thread: a run is done with its start (taken, withdrawn or given up).
  void leave(StartJob& job) noexcept {
    {
      const std::lock_guard lock(mutex_);
      if (job.posted) unlink(job);
    }
    if (--out_ == 0) loop_.unwatch(ready_.get());
  }

  // Starter thread, from the job's finished(): queues it and rings the loop.
  void post(StartJob& job) noexcept {
    bool ring = false;
    {
      const std::lock_guard lock(mutex_);
      job.posted = true;
      job.prev = tail_;
      job.next = nullptr;
      (tail_ != nullptr ? tail_->next : head_) = &job;
      tail_ = &job;
      // A list that was not empty has rung already, and drain() takes all of it.
      ring = job.prev == nullptr;
    }
    const std::uint64_t one = 1;
    if (ring) (void)!::write(ready_.get(), &one, sizeof one);
  }

 private:
  void drain();

  // The run of the next finished start, or null once none is left.
  std::shared_ptr<Execution> take() noexcept {
    const std::lock_guard lock(mutex_);
    while (head_ != nullptr) {
      StartJob& job = *head_;
      unlink(job);
      if (auto run = job.owner.lock()) return run;
    }
    return nullptr;
  }

  void unlink(StartJob& job) noexcept {
    (job.prev != nullptr ? job.prev->next : head_) = job.next;
    (job.next != nullptr ? job.next->prev : tail_) = job.prev;
    job.prev = job.next = nullptr;
    job.posted = false;
  }

  [[nodiscard]] bool foreign() const noexcept { return ::getpid() != owner_; }

  EventLoop& loop_;
  UniqueFd ready_;
  const pid_t owner_ = ::getpid();
  std::size_t out_ = 0;  // starts out; loop thread only
  std::mutex mutex_;     // guards the list and the jobs' links
  StartJob* head_ = nullptr;
  StartJob* tail_ = nullptr;
};

// What a run reports when its loop is destroyed before it finished.
constexpr const char* kLoopDestroyed = "interrupted: the event loop was destroyed";

// One execution in flight. Owned by the loop callbacks that refer to it, so a
// loop destroyed mid-run destroys it, and its destructor kills and reaps. A
// RunHandle only observes it (weakly).
class Execution : public std::enable_shared_from_this<Execution> {
 public:
  using Done = std::move_only_function<void(RunResult)>;

  Execution(EventLoop& loop, Done done, Clock::time_point start, Duration timeout,
            std::uint64_t max_stdout, std::uint64_t max_stderr, OnOutputLimit on_limit,
            Child child)
      : loop_(loop),
        done_(std::move(done)),
        start_(start),
        timeout_(timeout.normalized()),
        on_limit_(on_limit),
        pidfd_(std::move(child.pidfd)),
        group_(child.group),
        sandbox_(std::move(child.sandbox)),
        out_(std::move(child.out), max_stdout, true),
        err_(std::move(child.err), max_stderr, false) {}

  Execution(const Execution&) = delete;
  Execution& operator=(const Execution&) = delete;

  ~Execution() {
    // Only reached before completion when the loop was destroyed mid-run. A
    // forked copy of the host dropping its copy of the loop must leave the
    // creator's child alone (its pidfd names the same process), and must not
    // run the creator's callback either.
    if (foreign()) return;
    abandon_start();
    kill_and_reap();
    // Every run's `done` is called exactly once: a run the loop can no longer
    // finish ends as abandoned, with its child already gone.
    if (phase_ != Phase::Done) complete(std::unexpected(exec_error::SpawnFailed{kLoopDestroyed}), true);
  }

  // Registers the three descriptors and arms the deadline, `timeout` after
  // `started`. On failure the child is killed and reaped, and the OS error is
  // delivered as the result.
  static void begin(const std::shared_ptr<Execution>& self, Clock::time_point started) {
    Execution& ex = *self;
    auto fail = [&ex, &self](int error) {
      ex.stop_watching();
      ex.kill_and_reap();
      post_failure(self, os_error_text(error));
    };
    if (auto r = ex.loop_.watch(ex.pidfd_.get(), EPOLLIN,
                                [self](std::uint32_t) { self->on_exit(); });
        !r) {
      return fail(r.error());
    }
    ex.pidfd_watched_ = true;
    for (Reader* reader : {&ex.out_, &ex.err_}) {
      auto r = ex.loop_.watch(reader->fd.get(), EPOLLIN,
                              [self, reader](std::uint32_t) { self->on_readable(*reader); });
      if (!r) return fail(r.error());
      reader->watched = true;
    }
    if (auto deadline = deadline_after(started, ex.timeout_)) {
      ex.timer_ = ex.loop_.add_timer(*deadline, [self] { self->on_deadline(); });
    }
  }

  // Hands the start to the starter thread; the run joins the loop in on_started().
  static void begin_in_background(const std::shared_ptr<Execution>& self, PreparedCommand cmd) {
    Execution& ex = *self;
    auto inbox = StartInbox::of(ex.loop_);
    if (!inbox) return post_failure(self, os_error_text(inbox.error()));
    auto job = std::make_shared<StartJob>(std::move(cmd), **inbox, self);
    if (auto r = (*inbox)->enter(); !r) return post_failure(self, os_error_text(r.error()));
    ex.inbox_ = *inbox;
    ex.phase_ = Phase::Starting;
    ex.job_ = job;
    // A start that waits too long (a backlog, or one stuck in the kernel ahead
    // of it) still ends within the time limit.
    if (auto deadline = deadline_after(ex.start_, ex.timeout_)) {
      ex.timer_ = ex.loop_.add_timer(*deadline, [self] { self->on_start_deadline(); });
    }
    detail::submit_start(job);
  }

  // Delivers SpawnFailed{message} from the loop's thread on its next pass,
  // never from inside spawn(); a cancel before then delivers the interruption instead.
  static void post_failure(const std::shared_ptr<Execution>& self, std::string message) {
    self->reaped_ = true;
    self->timer_ = self->loop_.add_timer(
        Clock::time_point::min(), [self, message = std::move(message)]() mutable {
          self->timer_.reset();
          self->complete(std::unexpected(exec_error::SpawnFailed{std::move(message)}));
        });
  }

  // Kills and reaps the child and completes at once as interrupted.
  void cancel() noexcept {
    if (phase_ == Phase::Done || foreign()) return;
    // Completing drops the loop's callbacks, which own this object.
    const std::shared_ptr<Execution> keep = shared_from_this();
    abandon_start();
    stop_watching();
    if (!reaped_) {
      if (phase_ == Phase::Killing || kill_child() == 0) {
        reap_blocking(pidfd_.get());
        reaped_ = true;
      }
    }
    complete(std::unexpected(exec_error::SpawnFailed{"interrupted"}), true);
  }

  [[nodiscard]] bool finished() const noexcept { return phase_ == Phase::Done; }

 private:
  friend class StartInbox;  // hands back a finished start through on_started()

  void kill_and_reap() noexcept {
    if (reaped_ || !pidfd_) return;
    kill_and_reap_child(pidfd_, group_);
    reaped_ = true;
  }

  // The starter has finished this run's start: take its child, or deliver its failure.
  void on_started() {
    if (phase_ != Phase::Starting || foreign()) return;
    const std::shared_ptr<Execution> keep = shared_from_this();
    std::shared_ptr<StartJob> job = std::move(job_);
    if (timer_) {
      loop_.cancel_timer(*timer_);
      timer_.reset();
    }
    phase_ = Phase::Running;
    if (!detail::settle_start(*job) || !job->result) internal_fault("a finished start has no result");
    leave_inbox(*job);
    auto& started = *job->result;
    if (!started) {
      reaped_ = true;
      complete(std::unexpected(exec_error::SpawnFailed{std::move(started.error())}));
      return;
    }
    adopt(std::move(*started));
    start_ = job->began;
    begin(keep, job->started);
  }

  // The time limit passed with the start still with the starter: give it up
  // without waiting (the starter kills and reaps a child it makes after all).
  void on_start_deadline() {
    timer_.reset();
    if (phase_ != Phase::Starting || foreign()) return;
    if (detail::abandon_start(*job_) == detail::GaveUp::Done) {
      on_started();  // it has just finished: its own deadline takes over
      return;
    }
    const std::shared_ptr<Execution> keep = shared_from_this();
    leave_inbox(*job_);
    job_.reset();
    phase_ = Phase::Running;
    reaped_ = true;  // no child here
    const Duration elapsed = Duration::from_chrono(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_));
    complete(std::unexpected(exec_error::Timeout{elapsed, timeout_}));
  }

  // A start still with the starter thread is withdrawn if it has not begun;
  // otherwise it is waited for, and its child taken over, so that the caller
  // kills and reaps it like any other.
  void abandon_start() noexcept {
    if (!job_) return;
    std::shared_ptr<StartJob> job = std::move(job_);
    phase_ = Phase::Running;
    const bool ran = detail::settle_start(*job);
    leave_inbox(*job);
    if (ran && job->result && *job->result) {
      adopt(std::move(**job->result));
    } else {
      reaped_ = true;  // no child was made
    }
  }

  // Only once the starter is past posting the job (the start settled or given up).
  void leave_inbox(StartJob& job) noexcept {
    if (inbox_ != nullptr) std::exchange(inbox_, nullptr)->leave(job);
  }

  void adopt(Child child) noexcept {
    pidfd_ = std::move(child.pidfd);
    group_ = child.group;
    sandbox_ = std::move(child.sandbox);
    out_.fd = std::move(child.out);
    err_.fd = std::move(child.err);
    reaped_ = false;
  }

  struct Reader {
    Reader(UniqueFd pipe, std::uint64_t max, bool out) noexcept
        : fd(std::move(pipe)), limit(max), is_stdout(out) {}

    UniqueFd fd;
    std::uint64_t limit;
    bool is_stdout;
    bool watched = false;
    enum class State : std::uint8_t { Reading, Ended, Failed } state = State::Reading;
    std::optional<ExecError> error;
    std::string captured;
    std::array<char, kReadChunk> scratch{};
  };

  enum class Phase : std::uint8_t { Starting, Running, Killing, Done };

  void on_readable(Reader& reader) {
    if (phase_ != Phase::Running || reader.state != Reader::State::Reading) return;
    for (int i = 0; i < kReadsPerWake; ++i) {
      const ssize_t n = ::read(reader.fd.get(), reader.scratch.data(), reader.scratch.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return;
        finish_reader(
            reader, exec_error::SpawnFailed{std::string(reader.is_stdout ? "stdout read error: "
                                                                         : "stderr read error: ") +
                                            os_error_text(errno)});
        return;
      }
      if (n == 0) {
        finish_reader(reader, std::nullopt);
        return;
      }
      const auto count = static_cast<std::uint64_t>(n);
      if (reader.captured.size() + count > reader.limit) {
        // Keep the stream cut exactly at its limit: an error's partial output is
        // then everything the limit allowed. An Output never comes of this run,
        // so the capture still stays within the limit.
        reader.captured.append(reader.scratch.data(),
                               static_cast<std::size_t>(reader.limit - reader.captured.size()));
        ExecError error = reader.is_stdout ? ExecError(exec_error::StdoutLimitExceeded{reader.limit})
                                           : ExecError(exec_error::StderrLimitExceeded{reader.limit});
        if (on_limit_ == OnOutputLimit::Kill) {
          reader.state = Reader::State::Failed;
          begin_kill(std::move(error));
        } else {
          finish_reader(reader, std::move(error));
        }
        return;
      }
      reader.captured.append(reader.scratch.data(), static_cast<std::size_t>(n));
      // A short read almost always means the pipe is drained; skip the EAGAIN read.
      if (static_cast<std::size_t>(n) < kReadChunk) return;
    }
  }

  // A finished reader stops reading, but its pipe stays open until completion:
  // a writer past its limit blocks instead of dying of SIGPIPE.
  void finish_reader(Reader& reader, std::optional<ExecError> error) {
    reader.state = error ? Reader::State::Failed : Reader::State::Ended;
    reader.error = std::move(error);
    if (reader.watched) {
      reader.watched = false;
      loop_.unwatch(reader.fd.get());
    }
    if (out_.state == Reader::State::Reading || err_.state == Reader::State::Reading) return;
    if (out_.error || err_.error) {
      begin_kill(out_.error ? std::move(*out_.error) : std::move(*err_.error));
    } else if (reaped_) {
      finish_normally();
    } else if (has_exited()) {
      // The streams end as the child exits, an instant before the kernel makes
      // the exit waitable: look now instead of waiting for the pidfd's own
      // wake-up, which would cost the host one more pass of its loop.
      on_exit();
    }
    // Otherwise both streams ended with the child still running: wait for its
    // exit, still under the deadline, so no path waits without bound.
  }

  // True when the child has exited and is waiting to be reaped; reaps nothing.
  [[nodiscard]] bool has_exited() const noexcept {
    siginfo_t info{};
    return wait_pidfd(pidfd_.get(), info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
  }

  void on_exit() {
    siginfo_t info{};
    // A sandbox's background processes end with the command: a PID namespace sees to
    // that itself, a process group is killed here, before the child is reaped and its
    // group id could be taken by another process.
    if (group_ > 0) ::kill(-group_, SIGKILL);
    rusage usage{};
    const int error = sandbox_ ? wait_pidfd_usage(pidfd_.get(), info, WEXITED | WNOHANG, usage)
                               : wait_pidfd(pidfd_.get(), info, WEXITED | WNOHANG);
    if (error == 0 && info.si_pid == 0) return;  // readable yet not waitable: wait for the next event
    reaped_ = true;
    pidfd_watched_ = false;
    loop_.unwatch(pidfd_.get());
    if (phase_ == Phase::Killing) {
      // After a kill the recorded error is the result; a failed wait is not reported.
      complete(std::unexpected(std::move(*pending_)));
      return;
    }
    if (error == 0) {
      status_ = wait_status(info);
      if (sandbox_) {
        const auto cpu = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
        sandbox_limit_ = sandbox_->limit_breach(info, cpu);
      }
    } else if (auto status = error == ECHILD ? reaped_exit_status(pidfd_.get()) : std::nullopt) {
      // Someone else reaped it (a host that ignores SIGCHLD or waits for every child).
      status_ = *status;
    } else {
      wait_error_ = error;
    }
    if (out_.state == Reader::State::Ended && err_.state == Reader::State::Ended) finish_normally();
  }

  void on_deadline() {
    timer_.reset();
    if (phase_ != Phase::Running) return;
    const Duration elapsed = Duration::from_chrono(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_));
    begin_kill(exec_error::Timeout{elapsed, timeout_});
  }

  // Kill, and complete with `error` once the child is reaped (at once if the kill was not sent).
  void begin_kill(ExecError error) {
    for (Reader* reader : {&out_, &err_}) {
      if (reader->watched) {
        reader->watched = false;
        loop_.unwatch(reader->fd.get());
      }
    }
    if (timer_) {
      loop_.cancel_timer(*timer_);
      timer_.reset();
    }
    if (!reaped_ && kill_child() == 0) {
      // Without a sandbox, processes the child started are not signalled; only the
      // child itself is. A sandbox's PID namespace ends with the child; its process
      // group is killed with it.
      phase_ = Phase::Killing;
      pending_ = std::move(error);
      return;
    }
    complete(std::unexpected(std::move(error)));
  }

  void finish_normally() {
    if (wait_error_) {
      complete(
          std::unexpected(exec_error::SpawnFailed{"wait error: " + os_error_text(*wait_error_)}));
      return;
    }
    complete(Output{std::move(out_.captured), std::move(err_.captured), status_});
  }

  void stop_watching() noexcept {
    for (Reader* reader : {&out_, &err_}) {
      if (reader->watched) {
        reader->watched = false;
        loop_.unwatch(reader->fd.get());
      }
    }
    if (pidfd_watched_) {
      pidfd_watched_ = false;
      loop_.unwatch(pidfd_.get());
    }
    if (timer_) {
      loop_.cancel_timer(*timer_);
      timer_.reset();
    }
  }

  void complete(ExecResult result, bool interrupted = false) {
    phase_ = Phase::Done;
    stop_watching();
    if (!reaped_) {
      // Only when a kill could not be sent (a set-uid child of an unprivileged
      // host): reap it if it has exited, else a background reaper owns it from
      // here, so it never stays a zombie and the caller never waits for it.
      siginfo_t info{};
      if (wait_pidfd(pidfd_.get(), info, WEXITED | WNOHANG) == 0 && info.si_pid == 0)
        reap_in_background(std::move(pidfd_));
      reaped_ = true;
    }
    out_.fd.reset();
    err_.fd.reset();
    pidfd_.reset();
    // The sandbox holds descriptors too; a cancelled timer may keep this object a while.
    sandbox_.reset();
    RunResult run_result{std::move(result), {}, {}, interrupted};
    if (!run_result.result) {
      run_result.partial_stdout = std::move(out_.captured);
      run_result.partial_stderr = std::move(err_.captured);
    } else {
      run_result.sandbox_limit = std::move(sandbox_limit_);
    }
    Done done = std::move(done_);
    done(std::move(run_result));
  }

  // SIGKILL to the child and, under a sandbox's process group, to its group; 0 when
  // the child was signalled.
  int kill_child() noexcept {
    const int rc = sys_pidfd_kill(pidfd_.get());
    if (group_ > 0) ::kill(-group_, SIGKILL);
    return rc;
  }

  // True in a forked copy of the process that started the child.
  [[nodiscard]] bool foreign() const noexcept { return ::getpid() != owner_; }

  pid_t owner_ = ::getpid();
  EventLoop& loop_;
  Done done_;
  Clock::time_point start_;
  Duration timeout_;
  OnOutputLimit on_limit_;
  UniqueFd pidfd_;
  pid_t group_;
  std::optional<Sandbox> sandbox_;
  std::optional<std::string> sandbox_limit_;
  bool pidfd_watched_ = false;
  bool reaped_ = false;
  int status_ = 0;
  std::optional<int> wait_error_;
  Reader out_;
  Reader err_;
  std::optional<EventLoop::TimerId> timer_;
  Phase phase_ = Phase::Running;
  std::optional<ExecError> pending_;
  std::shared_ptr<StartJob> job_;  // while the starter thread has the start
  StartInbox* inbox_ = nullptr;     // where it comes back meanwhile
};

void StartInbox::drain() {
  if (foreign()) return;
  std::uint64_t rings = 0;
  // Read before taking: a start posted after this read rings again.
  (void)!::read(ready_.get(), &rings, sizeof rings);
  while (std::shared_ptr<Execution> run = take()) run->on_started();
}

}  // namespace detail

namespace {

void StartJob::finished() noexcept {
  inbox_.post(*this);
}

using detail::Execution;

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

void RunHandle::cancel() noexcept {
  if (auto execution = execution_.lock()) execution->cancel();
}

bool RunHandle::finished() const noexcept {
  auto execution = execution_.lock();
  return !execution || execution->finished();
}

RunHandle PreparedCommand::spawn(EventLoop& loop, RunOptions options,
                                 std::move_only_function<void(RunResult)> done) && {
  if (options.start_on == StartOn::Starter) {
    auto execution = std::make_shared<Execution>(
        loop, std::move(done), Clock::now(), timeout_, max_stdout_, max_stderr_,
        options.on_output_limit, Child{UniqueFd(), UniqueFd(), UniqueFd()});
    Execution::begin_in_background(execution, std::move(*this));
    return RunHandle(execution);
  }
  const Clock::time_point start = Clock::now();
  auto child = start_child(*this);
  const bool started = child.has_value();
  auto execution = std::make_shared<Execution>(
      loop, std::move(done), start, timeout_, max_stdout_, max_stderr_, options.on_output_limit,
      started ? std::move(*child) : Child{UniqueFd(), UniqueFd(), UniqueFd()});
  if (started) {
    Execution::begin(execution, Clock::now());
  } else {
    Execution::post_failure(execution, std::move(child.error()));
  }
  return RunHandle(execution);
}

std::expected<PreparedCommand, std::string> PreparedCommand::with_sandbox(Sandbox sandbox) && {
  if (sandbox_ && !(*sandbox_ == sandbox)) {
    return std::unexpected(
        "the command carries the sandbox of the policy that checked it and runs in no other");
  }
  sandbox_ = std::move(sandbox);
  return std::move(*this);
}

std::uint64_t max_stdin_capacity() noexcept {
  constexpr std::uint64_t kDefault = 1'048'576;  // the kernel's default pipe-max-size
  const int fd = ::open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kDefault;
  char text[32] = {};
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  std::uint64_t value = 0;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  // F_SETPIPE_SZ takes an int.
  return value == 0 ? kDefault : std::min<std::uint64_t>(value, 1U << 30);
}

std::expected<PreparedCommand, CallOptionError> PreparedCommand::with_timeout(Duration limit) && {
  limit = limit.normalized();
  if (limit == Duration{}) {
    return std::unexpected(CallOptionError{CallOptionError::Kind::Invalid, "InvalidTimeout",
                                           "timeout must be above zero"});
  }
  if (limit > timeout_) {
    return std::unexpected(CallOptionError{
        CallOptionError::Kind::OverLimit, "TimeoutAboveLimit",
        "timeout of " + render(limit) + " is above the policy's limit of " + render(timeout_)});
  }
  timeout_ = limit;
  return std::move(*this);
}

std::expected<PreparedCommand, CallOptionError> PreparedCommand::with_stdin(std::string bytes) && {
  if (!max_stdin_) {
    return std::unexpected(CallOptionError{CallOptionError::Kind::OverLimit, "StdinNotAllowed",
                                           "stdin not allowed: the policy sets no max_stdin"});
  }
  if (bytes.size() > *max_stdin_) {
    return std::unexpected(CallOptionError{
        CallOptionError::Kind::OverLimit, "StdinAboveLimit",
        "stdin of " + std::to_string(bytes.size()) + " bytes is above the policy's max_stdin of " +
            std::to_string(*max_stdin_) + " bytes"});
  }
  stdin_ = std::move(bytes);
  return std::move(*this);
}

void PreparedCommand::spawn(EventLoop& loop, std::move_only_function<void(ExecResult)> done) && {
  (void)std::move(*this).spawn(loop, RunOptions{}, [done = std::move(done)](RunResult r) mutable {
    done(std::move(r.result));
  });
}

RunResult PreparedCommand::run(RunOptions options) && {
  if (EventLoop::current() == nullptr) return run_on_private_loop(std::move(*this), std::move(options));
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
