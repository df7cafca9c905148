#include "sandbox/start_needs.hpp"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvane {

namespace {

// The ELF program interpreter (PT_INTERP) of an executable, or nothing.
template <typename Ehdr, typename Phdr>
std::optional<std::string> elf_interpreter(int fd, const Ehdr& eh) {
  if (eh.e_phentsize != sizeof(Phdr) || eh.e_phnum > 4096) return std::nullopt;
  // The table in one read: every start reads the loader's too, and each system call
  // counts against the start's time.
  std::vector<Phdr> table(eh.e_phnum);
  const std::size_t bytes = table.size() * sizeof(Phdr);
  if (::pread(fd, table.data(), bytes, static_cast<off_t>(eh.e_phoff)) !=
      static_cast<ssize_t>(bytes))
    return std::nullopt;
  for (const Phdr& ph : table) {
    if (ph.p_type != PT_INTERP) continue;
    if (ph.p_filesz < 2 || ph.p_filesz > PATH_MAX) return std::nullopt;
    std::string interp(static_cast<std::size_t>(ph.p_filesz), '\0');
    if (::pread(fd, interp.data(), interp.size(), static_cast<off_t>(ph.p_offset)) !=
        static_cast<ssize_t>(interp.size()))
      return std::nullopt;
    interp.resize(std::strlen(interp.c_str()));
    return interp;
  }
  return std::nullopt;
}

// Where the program an `env` interpreter line names gets its execute right: the
// system's directories. Never the request's PATH: the agent sets it, and would
// point it at a file it wrote.
constexpr std::array<const char*, 6> kSystemPath = {
    "/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"};

}  // namespace

StartNeeds start_needs(const Path& file) {
  StartNeeds needs;
  // O_NONBLOCK: an interpreter line may name a FIFO, whose open would wait for a writer.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return needs;  // unreadable (execute-only): the file itself is all we can name
  UniqueFd owner(fd);
  std::array<char, 256> head{};  // the kernel reads no more of a `#!` line either
  const ssize_t n = ::pread(fd, head.data(), head.size(), 0);
  if (n <= 0) return needs;
  const std::string_view text(head.data(), static_cast<std::size_t>(n));
  if (text.size() >= 2 && text.substr(0, 2) == "#!") {
    std::string_view line =
        text.substr(2, text.find('\n') == std::string_view::npos ? std::string_view::npos
                                                                 : text.find('\n') - 2);
    const auto first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return needs;
    line.remove_prefix(first);
    const auto end = line.find_first_of(" \t");
    needs.interpreter = std::string(line.substr(0, end));
    if (end != std::string_view::npos) {
      std::string_view arg = line.substr(end);
      const auto a = arg.find_first_not_of(" \t");
      const auto b = arg.find_last_not_of(" \t\r");
      if (a != std::string_view::npos) needs.argument = std::string(arg.substr(a, b - a + 1));
    }
    return needs;
  }
  if (text.size() >= EI_NIDENT && std::memcmp(text.data(), ELFMAG, SELFMAG) == 0) {
    if (text[EI_CLASS] == ELFCLASS64 && text.size() >= sizeof(Elf64_Ehdr)) {
      Elf64_Ehdr eh;
      std::memcpy(&eh, text.data(), sizeof eh);
      needs.interpreter = elf_interpreter<Elf64_Ehdr, Elf64_Phdr>(fd, eh);
    } else if (text[EI_CLASS] == ELFCLASS32 && text.size() >= sizeof(Elf32_Ehdr)) {
      Elf32_Ehdr eh;
      std::memcpy(&eh, text.data(), sizeof eh);
      needs.interpreter = elf_interpreter<Elf32_Ehdr, Elf32_Phdr>(fd, eh);
    }
  }
  return needs;
}

// The programs an `env` interpreter line names (`#!/usr/bin/env -S node --flag`): the
// path it gives, or every match on the system's PATH, since the command's own PATH
// may reach the system's directories in another order (env skips a file it may not
// execute and tries the next).
std::vector<Path> env_targets(std::string_view argument) {
  std::string_view name;
  while (!argument.empty()) {
    const auto end = argument.find_first_of(" \t");
    const std::string_view word = argument.substr(0, end);
    if (!word.empty() && word[0] != '-' && word.find('=') == std::string_view::npos) {
      name = word;
      break;
    }
    if (end == std::string_view::npos) break;
    argument.remove_prefix(end + 1);
  }
  if (name.empty()) return {};
  if (name.find('/') != std::string_view::npos) return {Path(std::string(name))};
  std::vector<Path> found;
  for (const char* dir : kSystemPath) {
    Path candidate = Path(dir) / Path(std::string(name));
    if (::access(candidate.c_str(), X_OK) == 0) found.push_back(std::move(candidate));
  }
  return found;
}

// One walk up the file's directories serves both questions; `stop_when_readable` ends it
// at the first readable tree for a file whose writability does not matter. The path comes
// from the descriptor (one readlink where realpath would read every component's link).
Placement placement(int fd, const Path& file, const Inodes& writable, const Inodes& readable,
                    bool stop_when_readable) {
  Placement where;
  std::string path;
  std::array<char, 40> link{};
  std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", fd);
  std::array<char, PATH_MAX> target{};
  const ssize_t n = ::readlink(link.data(), target.data(), target.size());
  if (n > 0 && static_cast<std::size_t>(n) < target.size() && target[0] == '/') {
    path.assign(target.data(), static_cast<std::size_t>(n));
  } else {
    char* resolved = ::realpath(file.c_str(), nullptr);  // no /proc: resolve it here
    if (resolved == nullptr) return where;               // gone: exec reports it
    path = resolved;
    std::free(resolved);
  }
  const auto listed = [](const Inodes& inodes, const struct stat& st) {
    return std::find(inodes.begin(), inodes.end(), std::pair{st.st_dev, st.st_ino}) != inodes.end();
  };
  while (!path.empty()) {
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
      where.writable = where.writable || listed(writable, st);
      where.readable = where.readable || listed(readable, st);
      if (where.writable || (where.readable && stop_when_readable)) break;
    }
    if (path == "/") break;
    const auto slash = path.rfind('/');
    path.resize(slash == 0 ? 1 : slash);
  }
  return where;
}

// Opens every file of a remembered start and checks it is unchanged; the descriptors
// then carry the rules, so nothing can change between the check and the grant. Nothing
// when any file is gone or changed: the start is read afresh.
std::optional<std::vector<UniqueFd>> reopen_start(const StartChain& chain) {
  std::vector<UniqueFd> fds;
  fds.reserve(chain.files.size());
  for (const StartFile& file : chain.files) {
    const int fd = ::open(file.path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    fds.emplace_back(fd);
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !file.same_as(st)) return std::nullopt;
  }
  return fds;
}

}  // namespace corvane
