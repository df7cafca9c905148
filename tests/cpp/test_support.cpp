// Shared fixtures for the core tests.
#include "test_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace corvane::test {

TempDir::TempDir() {
  std::string pattern = "/tmp/corvane-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = std::filesystem::canonical(pattern);
  // Searchable by everyone so that checks run as an unprivileged user can reach files here.
  ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code ec;
  // Restore permissions first so removal is never blocked by a mode a test set.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ec);
}

void write_file(const Path& path, std::string_view content, mode_t mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path.string());
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  if (::chmod(path.c_str(), mode) != 0) throw std::runtime_error("chmod failed");
}

void write_script(const Path& path, std::string_view body, mode_t mode) {
  write_file(path, "#!/bin/sh\n" + std::string(body) + "\n", mode);
}

void make_dirs(const Path& path) {
  std::filesystem::create_directories(path);
}

void make_symlink(const Path& target, const Path& link) {
  if (::symlink(target.c_str(), link.c_str()) != 0) throw std::runtime_error("symlink failed");
}

int open_fd_count() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory stream's own descriptor
}

int child_count() {
  const std::string self = std::to_string(::getpid());
  int count = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // Fields after the parenthesised command name: state, then ppid.
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::string state, ppid;
    std::istringstream rest(line.substr(close + 1));
    rest >> state >> ppid;
    if (ppid == self) ++count;
  }
  return count;
}

std::optional<Unprivileged> unprivileged_identity() {
  if (::geteuid() != 0) return std::nullopt;
  if (const passwd* pw = ::getpwnam("nobody"); pw != nullptr && pw->pw_uid != 0) {
    return Unprivileged{pw->pw_uid, pw->pw_gid};
  }
  return Unprivileged{65534, 65534};
}

DisableFeatures::DisableFeatures(const char* list) {
  ::setenv("CORVANE_SANDBOX_DISABLE", list, 1);
}
DisableFeatures::~DisableFeatures() {
  ::unsetenv("CORVANE_SANDBOX_DISABLE");
}

int in_child(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) return 255;
  if (pid == 0) ::_exit(body() & 0xff);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

int run_as(uid_t uid, gid_t gid, const std::function<int()>& check,
           std::optional<gid_t> extra_group) {
  return in_child([&] {
    int rc = 0;
    if (extra_group) {
      const gid_t groups[] = {*extra_group};
      rc |= ::setgroups(1, groups);
    } else {
      rc |= ::setgroups(0, nullptr);
    }
    rc |= ::setresgid(gid, gid, gid);
    rc |= ::setresuid(uid, uid, uid);
    return rc != 0 ? 255 : check();
  });
}

Path helper_path(std::string_view name) {
  return Path(CORVANE_TEST_HELPER_DIR) / Path(name);
}

std::string param_name(std::string_view text, std::size_t index) {
  std::string name;
  for (const char c : text.substr(0, 40)) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    name += keep ? c : '_';
  }
  if (name.empty()) name = "empty";
  return name + "_" + std::to_string(index);
}

}  // namespace corvane::test
