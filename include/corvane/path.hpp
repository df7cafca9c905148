// Paths as operating-system byte strings: their display form, component-wise
// equality and hashing, canonicalisation and the text of operating-system errors.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace corvane {

/// An operating-system byte string; `.native()` is the bytes, never normalised.
using Path = std::filesystem::path;

/// UTF-8 text with each maximal invalid sequence replaced by U+FFFD.
[[nodiscard]] std::string lossy_utf8(std::string_view bytes);

/// The display form of a path, used in every message: its bytes as lossy UTF-8.
[[nodiscard]] std::string display(const Path& path);

/// True when the path begins with '/' (the empty path is not absolute).
[[nodiscard]] bool is_absolute(const Path& path) noexcept;

/// Component-wise equality: repeated separators, a trailing separator and "."
/// components do not count (except a "." at the very start of a relative
/// path); ".." is an ordinary component and is never resolved.
[[nodiscard]] bool path_equal(const Path& a, const Path& b) noexcept;

/// True when every component of `prefix` is the matching leading component of `path`.
[[nodiscard]] bool path_starts_with(const Path& path, const Path& prefix) noexcept;

/// A hash that agrees with path_equal.
struct PathHash {
  [[nodiscard]] std::size_t operator()(const Path& path) const noexcept;
};

/// path_equal as a function object, for unordered containers.
struct PathEqual {
  [[nodiscard]] bool operator()(const Path& a, const Path& b) const noexcept {
    return path_equal(a, b);
  }
};

/// "<strerror_r text> (os error N)", the one place an errno becomes text.
[[nodiscard]] std::string os_error_text(int errnum);

/// Text for a path that the operating system cannot take because of a NUL byte.
inline constexpr std::string_view kNulInPathText = "file name contained an unexpected NUL byte";

/// A failed file-system call: an errno, or 0 for a path holding a NUL byte.
struct FsError {
  int code = 0;
  /// os_error_text(code), or kNulInPathText when code is 0.
  [[nodiscard]] std::string text() const;
};

/// realpath(3): absolute, every symbolic link, "." and ".." resolved.
/// A relative path is resolved against the process's working directory.
[[nodiscard]] std::expected<Path, FsError> real_path(const Path& path);

}  // namespace corvane
