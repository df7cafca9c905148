// Path helpers: display form, component-wise equality and hash, realpath and
// the one function that turns an errno into text.
#include "corvane/path.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace corvane {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is invalid; `consumed`
// gets the maximal subpart to skip (at least 1) when it is invalid.
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& consumed) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    consumed = 1;
    return 0;
  }
  std::size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) break;
    const auto b = static_cast<unsigned char>(s[i + k]);
    const unsigned char min = (k == 1) ? lo : 0x80;
    const unsigned char max = (k == 1) ? hi : 0xBF;
    if (b < min || b > max) break;
  }
  if (k > need) return need + 1;
  consumed = k;  // the lead byte and the continuation bytes that were valid
  return 0;
}

// Walks a path's components as the comparison sees them: the root, a leading
// "." of a relative path, then every non-empty component other than ".".
class Components {
 public:
  explicit Components(std::string_view p) noexcept : p_(p) {
    if (!p_.empty() && p_[0] == '/') {
      pending_ = "/";
    } else if (p_ == "." || p_.starts_with("./")) {
      pending_ = ".";
      pos_ = 1;
    }
    has_pending_ = !pending_.empty();
  }

  // The next component, or false at the end.
  bool next(std::string_view& out) noexcept {
    if (has_pending_) {
      has_pending_ = false;
      out = pending_;
      return true;
    }
    while (pos_ < p_.size()) {
      while (pos_ < p_.size() && p_[pos_] == '/') ++pos_;
      const std::size_t start = pos_;
      while (pos_ < p_.size() && p_[pos_] != '/') ++pos_;
      const std::string_view comp = p_.substr(start, pos_ - start);
      if (comp.empty() || comp == ".") continue;
      out = comp;
      return true;
    }
    return false;
  }

 private:
  std::string_view p_;
  std::size_t pos_ = 0;
  std::string_view pending_;
  bool has_pending_ = false;
};

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t consumed = 0;
    const std::size_t len = utf8_sequence(bytes, i, consumed);
    if (len != 0) {
      out.append(bytes.substr(i, len));
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += consumed;
    }
  }
  return out;
}

std::string display(const Path& path) {
  return lossy_utf8(path.native());
}

bool is_absolute(const Path& path) noexcept {
  return !path.native().empty() && path.native().front() == '/';
}

bool path_equal(const Path& a, const Path& b) noexcept {
  Components ca(a.native()), cb(b.native());
  std::string_view x, y;
  while (true) {
    const bool more_a = ca.next(x);
    const bool more_b = cb.next(y);
    if (more_a != more_b) return false;
    if (!more_a) return true;
    if (x != y) return false;
  }
}

bool path_starts_with(const Path& path, const Path& prefix) noexcept {
  Components cp(path.native()), cx(prefix.native());
  std::string_view x, y;
  while (cx.next(y)) {
    if (!cp.next(x) || x != y) return false;
  }
  return true;
}

std::size_t PathHash::operator()(const Path& path) const noexcept {
  // FNV-1a over each component, length-prefixed so that component boundaries count.
  std::uint64_t h = 14695981039346656037ull;
  auto mix = [&h](unsigned char byte) {
    h ^= byte;
    h *= 1099511628211ull;
  };
  Components comps(path.native());
  std::string_view c;
  while (comps.next(c)) {
    for (std::size_t n = c.size(); n != 0; n >>= 8) mix(static_cast<unsigned char>(n & 0xff));
    mix(0);
    for (const char ch : c) mix(static_cast<unsigned char>(ch));
  }
  return static_cast<std::size_t>(h);
}

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r: returns the text, which may or may not live in buf.
  const char* text = ::strerror_r(errnum, buf, sizeof buf);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

std::string FsError::text() const {
  return code == 0 ? std::string(kNulInPathText) : os_error_text(code);
}

std::expected<Path, FsError> real_path(const Path& path) {
  const std::string& bytes = path.native();
  if (bytes.find('\0') != std::string::npos) return std::unexpected(FsError{0});
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(bytes.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return std::unexpected(FsError{errno});
  return Path(resolved.get());
}

}  // namespace corvane
