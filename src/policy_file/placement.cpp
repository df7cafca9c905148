// Where a policy file may lie: not where the policy's own commands may write,
// or every later load (each `corvane run` loads the file again) would obey
// whatever they wrote into it.
//
// With a sandbox that confines files, that is under its write paths: the
// kernel stops every other write. Without one (or with Landlock skipped)
// nothing bounds where a program writes, so the check can only cover the
// directories the policy hands its commands, those its [cwd] names: the rules
// confine path arguments to them, so a write the rules allow (an edit, an
// archive extracted, a build's output) lands there.
//
// The same places hold no audit file: the commands whose trail it is could
// forge lines in it or erase it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <expected>
#include <map>
#include <utility>

#include "policy_file/reader.hpp"

namespace corvane::policy_file {
namespace {

using FileId = std::pair<dev_t, ino_t>;
using Roots = std::map<FileId, std::pair<std::string, std::string>>;  // (key, place) by file

std::string dirname(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string child(const std::string& dir, const std::string& name) {
  return dir.ends_with('/') ? dir + name : dir + "/" + name;
}

std::deque<std::string> components(const std::string& path) {
  std::deque<std::string> out;
  std::size_t at = 0;
  while (at <= path.size()) {
    const auto slash = path.find('/', at);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > at) out.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

struct Resolution {
  std::vector<std::string> links;  // each symbolic link met on the way, as a path free of links
  std::string target;              // the file it resolves to, free of links
};

// Follows `path` one component at a time, so that every link on the way is
// seen (a link's directory decides where it points).
std::expected<Resolution, int> resolve(std::string path) {
  if (!path.starts_with('/')) {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return std::unexpected(errno);
    path = child(cwd, path);
  }
  std::deque<std::string> todo = components(path);
  Resolution out;
  std::string current = "/";
  while (!todo.empty()) {
    const std::string part = std::move(todo.front());
    todo.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      current = dirname(current);
      continue;
    }
    const std::string step = child(current, part);
    struct stat st{};
    if (::lstat(step.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      if (out.links.size() >= 40) return std::unexpected(ELOOP);
      out.links.push_back(step);
      std::string target(static_cast<std::size_t>(st.st_size) + 256, '\0');
      const ssize_t n = ::readlink(step.c_str(), target.data(), target.size());
      if (n < 0) return std::unexpected(errno);
      target.resize(static_cast<std::size_t>(n));
      // One character rather than a C string: g++ 12 at -O3 reports a spurious
      // overlapping copy (-Wrestrict) for assigning the literal here.
      if (target.starts_with('/')) current.assign(1, '/');
      std::deque<std::string> more = components(target);
      todo.insert(todo.begin(), more.begin(), more.end());
      continue;
    }
    current = step;
  }
  out.target = current;
  return out;
}

// The root that `path` (free of links) or a directory above it is, compared by
// file as the kernel's rules are: another name for a tree is the tree.
const std::pair<std::string, std::string>* under(std::string path, const Roots& roots) {
  for (;;) {
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0) {
      if (auto found = roots.find({st.st_dev, st.st_ino}); found != roots.end())
        return &found->second;
    }
    const std::string parent = dirname(path);
    if (parent == path || parent.empty()) return nullptr;
    path = parent;
  }
}

}  // namespace

namespace {

// The directories the policy's own commands may write, by file.
Roots writable_roots(const ReadPolicy& read) {
  const LoadedPolicy& loaded = read.loaded;
  const PolicySettings& settings = loaded.settings;
  std::vector<std::pair<std::string, std::string>> places;
  bool confined = false;
  if (loaded.sandbox) {
    places = read.writable;
    confined =
        std::none_of(loaded.sandbox->skipped().begin(), loaded.sandbox->skipped().end(),
                     [](const std::string& feature) { return feature.starts_with("Landlock"); });
  }
  if (!confined) {
    if (settings.cwd_mode == "jail") {
      places.emplace_back("cwd.jail", settings.cwd_dirs.front().native());
    } else if (settings.cwd_mode == "allow") {
      for (std::size_t i = 0; i < settings.cwd_dirs.size(); ++i) {
        places.emplace_back("cwd.allow[" + std::to_string(i) + "]", settings.cwd_dirs[i].native());
      }
    } else if (read.cwd_written) {  // the built-in /tmp is where nothing of the policy's lives
      places.emplace_back("cwd.fixed", settings.cwd_dirs.front().native());
    }
  }
  Roots roots;
  for (const auto& [key, place] : places) {
    struct stat st{};
    if (::stat(place.c_str(), &st) == 0) roots.try_emplace({st.st_dev, st.st_ino}, key, place);
  }
  return roots;
}

struct Exposed {
  std::string what;                                 // the file, or a link on the way to it
  const std::pair<std::string, std::string>* root;  // (key, place) that lets commands write it
};

// Whether the commands could change what `path` names: write the file itself
// (it or a directory above it is writable), or repoint a link on the way to it
// (its directory is). `what` names the file in the answer.
std::expected<std::optional<Exposed>, std::string> exposed(const std::string& path,
                                                           const std::string& what,
                                                           const Roots& roots) {
  auto resolution = resolve(path);
  if (!resolution) {
    std::string text = os_error_text(resolution.error());
    return std::unexpected("cannot resolve: " + text.substr(0, text.rfind(" (os error ")));
  }
  std::vector<std::pair<std::string, std::string>> checks;
  for (const std::string& link : resolution->links) {
    checks.emplace_back("the link " + link + " on the way to " + what, dirname(link));
  }
  checks.emplace_back(what + " " + resolution->target, resolution->target);
  for (const auto& [name, start] : checks) {
    if (const auto* granted = under(start, roots)) return Exposed{name, granted};
  }
  return std::nullopt;
}

}  // namespace

std::optional<PolicyFileError> check_placement(const ReadPolicy& read, const std::string& file) {
  const Roots roots = writable_roots(read);  // outlives the answer, which points into it
  auto found = exposed(file, "the policy file", roots);
  if (!found) return PolicyFileError{file, "", std::move(found.error())};
  if (!*found) return std::nullopt;
  const Exposed& e = **found;
  return PolicyFileError{file, e.root->first,
                         e.what + " lies under " + e.root->second +
                             ", where the policy's own commands may write (they could rewrite "
                             "it): keep it outside, or set allow_writable_policy = true"};
}

std::optional<PolicyFileError> check_audit_placement(const ReadPolicy& read,
                                                     const std::optional<std::string>& file) {
  const std::optional<Path>& audit = read.loaded.settings.audit_file;
  if (!audit || read.audit_allow_writable) return std::nullopt;
  const Roots roots = writable_roots(read);
  auto found = exposed(audit->native(), "the audit file", roots);
  if (!found) return PolicyFileError{file, "audit.file", std::move(found.error())};
  if (!*found) return std::nullopt;
  const Exposed& e = **found;
  return PolicyFileError{file, "audit.file",
                         e.what + " lies under " + e.root->second + " (" + e.root->first +
                             "), where the policy's own commands may write (they could forge "
                             "or erase the trail): keep it outside, or set allow_writable = "
                             "true in [audit]"};
}

}  // namespace corvane::policy_file
