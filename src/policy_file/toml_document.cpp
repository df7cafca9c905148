// TOML through toml++ (header-only here), in its no-exceptions mode: a parse
// error is a returned value like every other failure of the core.
#include "policy_file/toml_document.hpp"

#define TOML_EXCEPTIONS 0
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

namespace corvane::policy_file {
namespace {

PolicyValue convert(const toml::node& node);

PolicyValue convert_table(const toml::table& table) {
  // toml++ keeps a table's keys sorted; a policy's order is the one it was
  // written in (binaries are described, and rule sets tried, in that order),
  // which is where each key first appears.
  std::vector<std::pair<const toml::key*, const toml::node*>> entries;
  for (const auto& [key, value] : table) entries.emplace_back(&key, &value);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    const auto& x = a.first->source().begin;
    const auto& y = b.first->source().begin;
    return std::forward_as_tuple(x.line, x.column, a.first->str()) <
           std::forward_as_tuple(y.line, y.column, b.first->str());
  });
  PolicyValue out = PolicyValue::table();
  for (const auto& [key, value] : entries) {
    out.entries.emplace_back(PolicyValue::string(std::string(key->str())), convert(*value));
  }
  return out;
}

PolicyValue convert(const toml::node& node) {
  PolicyValue out;
  switch (node.type()) {
    case toml::node_type::table:
      return convert_table(*node.as_table());
    case toml::node_type::array:
      out.kind = PolicyValue::Kind::List;
      for (const toml::node& item : *node.as_array()) out.items.push_back(convert(item));
      return out;
    case toml::node_type::string:
      return PolicyValue::string(node.as_string()->get());
    case toml::node_type::integer:
      return PolicyValue::integer(node.as_integer()->get());
    case toml::node_type::floating_point:
      out.kind = PolicyValue::Kind::Float;
      out.number = node.as_floating_point()->get();
      return out;
    case toml::node_type::boolean:
      out.kind = PolicyValue::Kind::Boolean;
      out.boolean = node.as_boolean()->get();
      return out;
    case toml::node_type::date:
      out.text = "date";
      break;
    case toml::node_type::time:
      out.text = "time";
      break;
    default:
      out.text = "datetime";
      break;
  }
  out.kind = PolicyValue::Kind::Other;
  return out;
}

std::string parse_error(const toml::parse_error& error) {
  const auto& where = error.source().begin;
  return std::string(error.description()) + " (at line " + std::to_string(where.line) +
         ", column " + std::to_string(where.column) + ")";
}

// The byte offset of each line's start, to find a position toml++ reports.
std::vector<std::size_t> line_starts(std::string_view text) {
  std::vector<std::size_t> starts{0};
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') starts.push_back(i + 1);
  }
  return starts;
}

// True when a bare key of `table` (at any depth) holds a byte of `original`
// beyond ASCII. `starts` are the line starts of a text that is ASCII only,
// where toml++'s columns count bytes.
bool bare_key_beyond_ascii(const toml::node& node, std::string_view original,
                           const std::vector<std::size_t>& starts) {
  if (const toml::array* array = node.as_array()) {
    for (const toml::node& item : *array) {
      if (bare_key_beyond_ascii(item, original, starts)) return true;
    }
    return false;
  }
  const toml::table* table = node.as_table();
  if (table == nullptr) return false;
  for (const auto& [key, value] : *table) {
    const auto& begin = key.source().begin;
    const auto& end = key.source().end;
    if (begin.line >= 1 && begin.line <= starts.size() && end.line >= 1 &&
        end.line <= starts.size()) {
      const std::size_t from = std::min(original.size(), starts[begin.line - 1] + begin.column - 1);
      const std::size_t to = std::min(original.size(), starts[end.line - 1] + end.column - 1);
      const bool quoted =
          from < original.size() && (original[from] == '"' || original[from] == '\'');
      for (std::size_t i = from; !quoted && i < to; ++i) {
        if (static_cast<unsigned char>(original[i]) >= 0x80) return true;
      }
    }
    if (bare_key_beyond_ascii(value, original, starts)) return true;
  }
  return false;
}

}  // namespace

std::expected<PolicyValue, std::string> parse_toml(std::string_view text) {
  // toml++ 3.3 reaches __builtin_unreachable (undefined behaviour) when it asks
  // whether some characters beyond ASCII are blanks, which it does only outside
  // strings and comments, where no valid document has any. So the document is
  // first read with each such byte made an ASCII letter: where it fails, the
  // document is invalid and that error is the answer; where it succeeds, those
  // bytes sat in strings, comments or bare keys, and only the last are
  // outside, so a bare key holding one is refused. Then toml++ reads the text
  // as written, safely.
  if (std::any_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
    std::string ascii(text);
    for (char& c : ascii) {
      if (static_cast<unsigned char>(c) >= 0x80) c = 'x';
    }
    toml::parse_result shape = toml::parse(ascii);
    if (!shape) return std::unexpected(parse_error(shape.error()));
    const std::vector<std::size_t> starts = line_starts(ascii);
    if (bare_key_beyond_ascii(shape.table(), text, starts)) {
      return std::unexpected(
          std::string("a bare key holds a character beyond ASCII (quote the key)"));
    }
  }
  toml::parse_result parsed = toml::parse(text);
  if (!parsed) return std::unexpected(parse_error(parsed.error()));
  return convert_table(parsed.table());
}

}  // namespace corvane::policy_file
