// Starting a PreparedCommand: the child's argv and environment, its pipes, a
// stdin filled before the start, and the kill and reap of a started child.
#include "run/command_start.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>

#include "run/spawn.hpp"
#include "sandbox/launch.hpp"

namespace corvane {

namespace {

constexpr std::string_view kNulText = "nul byte found in provided data";

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

}  // namespace

int sys_pidfd_kill(int pidfd) noexcept {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
}

// Blocks until the child behind `pidfd` has exited and reaps it. Only used
// after SIGKILL, which a process cannot ignore, so the wait is short.
void reap_blocking(int pidfd) noexcept {
  siginfo_t info{};
  (void)wait_pidfd(pidfd, info, WEXITED);
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
  // A private temporary directory is made for this run alone and named by TMPDIR,
  // whatever the environment policy passed under that name.
  std::optional<PrivateTmp> tmp;
  std::optional<std::pair<const std::string, std::string>> tmp_var;
  if (cmd.sandbox() && cmd.sandbox()->spec().private_tmp) {
    auto made = PrivateTmp::create(host_tmp_dir());
    if (!made) return std::unexpected(std::move(made.error()));
    tmp.emplace(std::move(*made));
    tmp_var.emplace("TMPDIR", tmp->path());
  }
  std::vector<const std::pair<const std::string, std::string>*> vars;
  vars.reserve(cmd.env().size() + 1);
  if (tmp_var) vars.push_back(&*tmp_var);
  for (const auto& entry : cmd.env()) {
    if (tmp_var && entry.first == "TMPDIR") continue;
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
    auto prepared = prepare_launch(*cmd.sandbox(), cmd.bin(), tmp ? tmp->fd() : -1);
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

  const SpawnRequest request{bin.c_str(),
                             argv.data(),
                             envp.data(),
                             cwd.c_str(),
                             out->write.get(),
                             err->write.get(),
                             launch ? &setup : nullptr,
                             stdin_fd ? stdin_fd.get() : -1};
  // A failed chdir or exec comes back as the errno, the child already reaped.
  auto spawned = spawn_child(request);
  if (!spawned) {
    if (spawned.error().stage == SpawnStage::Setup)
      return std::unexpected("sandbox: " + os_error_text(spawned.error().error));
    return std::unexpected(os_error_text(spawned.error().error));
  }
  const bool group = launch && launch->containment() == Containment::ProcessGroup;
  return Child{std::move(spawned->pidfd), std::move(out->read), std::move(err->read),
               group ? spawned->pid : 0,  cmd.sandbox(),        std::move(tmp)};
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

}  // namespace corvane
