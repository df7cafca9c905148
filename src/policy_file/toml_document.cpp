// TOML through toml++ (header-only here), in its no-exceptions mode: a parse
// error is a returned value like every other failure of the core.
#include "policy_file/toml_document.hpp"

#define TOML_EXCEPTIONS 0
#define TOML_HEADER_ONLY 1
#define TOML_ENABLE_FORMATTERS 0
#include <toml++/toml.h>

#include <algorithm>
#include <cstdint>
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
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    const auto& x = a.first->source().begin;
    const auto& y = b.first->source().begin;
    return std::tie(x.line, x.column) < std::tie(y.line, y.column);
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

}  // namespace

std::expected<PolicyValue, std::string> parse_toml(std::string_view text) {
  toml::parse_result parsed = toml::parse(text);
  if (!parsed) {
    const auto& where = parsed.error().source().begin;
    return std::unexpected(std::string(parsed.error().description()) + " (at line " +
                           std::to_string(where.line) + ", column " + std::to_string(where.column) + ")");
  }
  return convert_table(parsed.table());
}

}  // namespace corvane::policy_file
