// How the rule tests print a rule set's answer, so that one string compares it whole.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "corvane/rules.hpp"

namespace corvane::test {

// "ok: a b c" for an accepted vector, "<Kind>@<index>: <message>" for a refusal.
inline std::string outcome(const std::expected<std::vector<std::string>, Refusal>& r) {
  if (r) {
    std::string out = "ok:";
    for (const auto& a : *r) out += " " + a;
    return out;
  }
  const auto& e = r.error();
  return e.kind + "@" + (e.index ? std::to_string(*e.index) : "-") + ": " + e.message;
}

}  // namespace corvane::test
