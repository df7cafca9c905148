// The entry points: a file, a text or a tree of data, through the one reader.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "corvane/policy_file.hpp"
#include "policy_file/reader.hpp"
#include "policy_file/toml_document.hpp"

namespace corvane {
namespace {

// The reason alone, as a message about a file shows it.
std::string errno_text(int code) {
  std::string text = os_error_text(code);
  return text.substr(0, text.rfind(" (os error "));
}

}  // namespace

namespace policy_file {

std::expected<std::string, int> read_file(const Path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(errno);
  std::string text;
  char buf[65536];
  int error = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  ::close(fd);
  if (error != 0) return std::unexpected(error);
  return text;
}

}  // namespace policy_file

namespace {

using policy_file::read_file;

std::expected<LoadedPolicy, PolicyFileError> from_text(
    std::string_view text, const std::string& origin, const PolicyVariables& variables,
    const std::optional<Path>& base_dir, const std::vector<Path>& pack_dirs, bool check_placement) {
  auto document = policy_file::parse_toml(text);
  if (!document)
    return std::unexpected(PolicyFileError{origin, "", "not valid TOML: " + document.error()});
  auto read = policy_file::read_policy(*document, origin, base_dir, variables, pack_dirs);
  if (!read) return std::unexpected(std::move(read.error()));
  if (auto refused = policy_file::check_audit_placement(*read, origin))
    return std::unexpected(std::move(*refused));
  if (check_placement && !read->allow_writable) {
    if (auto refused = policy_file::check_placement(*read, origin))
      return std::unexpected(std::move(*refused));
  }
  return std::move(read->loaded);
}

}  // namespace

PolicyValue PolicyValue::string(std::string text) {
  PolicyValue v;
  v.kind = Kind::String;
  v.text = std::move(text);
  return v;
}

PolicyValue PolicyValue::integer(std::int64_t value) {
  PolicyValue v;
  v.kind = Kind::Integer;
  v.negative = value < 0;
  // The magnitude through unsigned arithmetic, which INT64_MIN survives.
  const std::uint64_t magnitude =
      v.negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  v.text = std::to_string(magnitude);
  return v;
}

const PolicyValue* PolicyValue::find(std::string_view key) const noexcept {
  for (const auto& [name, value] : entries) {
    if (name.kind == Kind::String && name.text == key) return &value;
  }
  return nullptr;
}

std::string PolicyFileError::message() const {
  std::string out;
  for (const std::string* part : {file ? &*file : nullptr, &key}) {
    if (part != nullptr && !part->empty()) out += *part + ": ";
  }
  return out + reason;
}

std::vector<Path> default_pack_dirs() {
  return {Path(CORVANE_PACK_DIR)};
}

std::expected<LoadedPolicy, PolicyFileError> load_policy(const Path& file,
                                                         const PolicyVariables& variables) {
  return load_policy(file, variables, default_pack_dirs());
}

std::expected<LoadedPolicy, PolicyFileError> load_policy(const Path& file,
                                                         const PolicyVariables& variables,
                                                         const std::vector<Path>& pack_dirs) {
  auto text = read_file(file);
  if (!text)
    return std::unexpected(
        PolicyFileError{file.native(), "", "cannot read: " + errno_text(text.error())});
  // Relative paths in the file resolve against its directory.
  std::error_code ec;
  const Path base = std::filesystem::absolute(file, ec).lexically_normal().parent_path();
  return from_text(*text, file.native(), variables, base, pack_dirs, true);
}

std::expected<LoadedPolicy, PolicyFileError> load_policy_text(std::string_view text,
                                                              std::string_view origin,
                                                              const PolicyVariables& variables,
                                                              const std::optional<Path>& base_dir) {
  return load_policy_text(text, origin, variables, base_dir, default_pack_dirs());
}

std::expected<LoadedPolicy, PolicyFileError> load_policy_text(std::string_view text,
                                                              std::string_view origin,
                                                              const PolicyVariables& variables,
                                                              const std::optional<Path>& base_dir,
                                                              const std::vector<Path>& pack_dirs) {
  return from_text(text, std::string(origin), variables, base_dir, pack_dirs, false);
}

std::expected<LoadedPolicy, PolicyFileError> load_policy_value(
    const PolicyValue& data, const PolicyVariables& variables,
    const std::optional<Path>& base_dir) {
  return load_policy_value(data, variables, base_dir, default_pack_dirs());
}

std::expected<LoadedPolicy, PolicyFileError> load_policy_value(const PolicyValue& data,
                                                               const PolicyVariables& variables,
                                                               const std::optional<Path>& base_dir,
                                                               const std::vector<Path>& pack_dirs) {
  auto read = policy_file::read_policy(data, std::nullopt, base_dir, variables, pack_dirs);
  if (!read) return std::unexpected(std::move(read.error()));
  if (auto refused = policy_file::check_audit_placement(*read, std::nullopt))
    return std::unexpected(std::move(*refused));
  return std::move(read->loaded);
}

}  // namespace corvane
