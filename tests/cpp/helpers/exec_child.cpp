// A child for the execution tests: runs its arguments as a sequence of small
// operations, each doing one thing, so a test composes exactly the behaviour it needs.
//   out:N err:N      write N bytes to stdout / stderr
//   flood-out        write to stdout until killed
//   sleep:MS         sleep MS milliseconds
//   close-out close-err
//   bg-sleep:MS      fork a background process that holds stdout/stderr for MS ms
//   exit:C           exit with code C
//   kill-self:S      send signal S to itself
//   env argv0 cwd fds stdin   print the environment / argv[0] / cwd / open fds / bytes on stdin
//   args             print every argument after the program name, one per line
//   sigpipe          write into a pipe whose reader is gone (dies if SIGPIPE is at its default)
//   become-root      as a set-uid-root program, make every id root (then its caller cannot signal
//   it)
#include <dirent.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::_Exit(120);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void write_text(const std::string& text) {
  write_all(1, text.data(), text.size());
}

void write_bytes(int fd, unsigned long long count, char fill) {
  std::vector<char> block(65536, fill);
  while (count > 0) {
    const std::size_t chunk = count < block.size() ? static_cast<std::size_t>(count) : block.size();
    write_all(fd, block.data(), chunk);
    count -= chunk;
  }
}

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string op = argv[i];
    const auto colon = op.find(':');
    const std::string name = op.substr(0, colon);
    const std::string value = colon == std::string::npos ? "" : op.substr(colon + 1);
    if (name == "out") {
      write_bytes(1, std::stoull(value), 'o');
    } else if (name == "err") {
      write_bytes(2, std::stoull(value), 'e');
    } else if (name == "flood-out") {
      for (;;) write_bytes(1, 1 << 20, 'f');
    } else if (name == "sleep") {
      sleep_ms(std::stol(value));
    } else if (name == "close-out") {
      ::close(1);
    } else if (name == "close-err") {
      ::close(2);
    } else if (name == "bg-sleep") {
      const pid_t pid = ::fork();
      if (pid == 0) {
        sleep_ms(std::stol(value));
        std::_Exit(0);
      }
    } else if (name == "exit") {
      std::_Exit(std::stoi(value));
    } else if (name == "become-root") {
      if (::setresuid(0, 0, 0) != 0) std::_Exit(121);
    } else if (name == "kill-self") {
      ::kill(::getpid(), std::stoi(value));
      sleep_ms(1000);
    } else if (name == "env") {
      for (char** e = environ; *e != nullptr; ++e) write_text(std::string(*e) + "\n");
    } else if (name == "argv0") {
      write_text(argv[0]);
    } else if (name == "args") {
      for (int j = 1; j < argc; ++j) write_text(std::string(argv[j]) + "\n");
      return 0;
    } else if (name == "cwd") {
      char buf[4096];
      if (::getcwd(buf, sizeof buf) == nullptr) return 121;
      write_text(buf);
    } else if (name == "fds") {
      DIR* dir = ::opendir("/proc/self/fd");
      if (dir == nullptr) return 122;
      const int own = ::dirfd(dir);
      std::vector<int> fds;
      while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own) fds.push_back(fd);
      }
      ::closedir(dir);
      std::sort(fds.begin(), fds.end());
      std::string text;
      for (int fd : fds) text += (text.empty() ? "" : " ") + std::to_string(fd);
      write_text(text);
    } else if (name == "stdin") {
      char buf[4096];
      unsigned long long total = 0;
      for (;;) {
        const ssize_t n = ::read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += static_cast<unsigned long long>(n);
      }
      write_text(std::to_string(total));
    } else if (name == "sigpipe") {
      int fds[2];
      if (::pipe(fds) != 0) return 123;
      ::close(fds[0]);
      const char byte = 'x';
      (void)::write(fds[1], &byte, 1);
      return 124;  // reached only when SIGPIPE did not end the process
    } else {
      return 125;
    }
  }
  return 0;
}
