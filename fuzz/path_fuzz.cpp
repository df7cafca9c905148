// Fuzz target: component-wise path equality, prefix test and hash. Equality
// must be reflexive, symmetric, agree with a reference built from component
// lists, survive rewrites that only add separators or "." components, and
// imply equal hashes.
//
// Input: byte 0 picks the rewrite, the rest is two paths split at the first '\n'
// (the second defaults to the first).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/path.hpp"
#include "fuzz_support.hpp"

using namespace corvane;
using corvane::fuzz::require;

namespace {

// The comparison's view of a path: "/" for the root, "." for a leading "." of a
// relative path, then every component that is neither empty nor ".".
std::vector<std::string> components(std::string_view p) {
  std::vector<std::string> out;
  if (!p.empty() && p[0] == '/') {
    out.emplace_back("/");
  } else if (p == "." || p.starts_with("./")) {
    out.emplace_back(".");
  }
  for (std::string& part : fuzz::split(p, '/')) {
    if (!part.empty() && part != ".") out.push_back(std::move(part));
  }
  return out;
}

bool reference_starts_with(std::string_view path, std::string_view prefix) {
  const auto a = components(path);
  const auto b = components(prefix);
  if (b.size() > a.size()) return false;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// A spelling of the same path: one separator doubled, a "." component added
// after a separator, or a trailing "/" or "/." (for non-empty paths only: the
// empty path has no components, "/" has the root).
std::string respell(std::string p, std::uint8_t how) {
  const std::size_t slashes = static_cast<std::size_t>(std::count(p.begin(), p.end(), '/'));
  const auto nth_slash = [&](std::size_t n) {
    std::size_t at = p.find('/');
    while (n-- > 0) at = p.find('/', at + 1);
    return at;
  };
  switch (how & 3) {
    case 0:
      if (slashes) p.insert(nth_slash((how >> 2) % slashes), "/");
      break;
    case 1:
      if (slashes) p.insert(nth_slash((how >> 2) % slashes) + 1, "./");
      break;
    case 2:
      if (!p.empty()) p += '/';
      break;
    default:
      if (!p.empty()) p += "/.";
      break;
  }
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t how = data[0];
  const std::string_view rest = fuzz::bytes(data + 1, size - 1);
  const std::size_t cut = rest.find('\n');
  const std::string a(rest.substr(0, cut));
  const std::string b(cut == std::string_view::npos ? rest : rest.substr(cut + 1));
  const PathHash hash;

  require(path_equal(a, a) && path_equal(b, b), "path_equal: reflexive");
  const bool eq = path_equal(a, b);
  require(eq == path_equal(b, a), "path_equal: symmetric");
  require(eq == (components(a) == components(b)), "path_equal: matches reference");
  if (eq) require(hash(a) == hash(b), "equal paths hash alike");

  const std::string a2 = respell(a, how);
  require(components(a2) == components(a), "respell keeps the components");
  require(path_equal(a, a2) && path_equal(a2, a), "path_equal: respelled path is equal");
  require(hash(a) == hash(a2), "respelled path hashes alike");
  require(path_equal(a2, b) == eq, "path_equal: transitive through a respelling");

  require(path_starts_with(a, a) && path_starts_with(a2, a), "path_starts_with: reflexive");
  require(path_starts_with(a, b) == reference_starts_with(a, b), "path_starts_with: reference");
  require(path_starts_with(b, a) == reference_starts_with(b, a), "path_starts_with: reference");
  return 0;
}
