// Fuzz target: value patterns. Whatever pattern a policy holds and whatever
// value an agent sends, compiling and matching end without a crash or a stack
// overflow (both run on a thread with a small stack of its own), a refused
// pattern says why, and a pattern without special characters matches exactly
// itself.
//
// Input: the pattern, a NUL byte, then the value (no NUL: the value is empty).
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "policy/value_pattern.hpp"

using namespace corvane;
using corvane::fuzz::require;

namespace {

struct Case {
  std::string_view pattern;
  std::string_view value;
};

bool is_literal(std::string_view pattern) {
  return pattern.find_first_of("\\^$.|?*+()[]{}") == std::string_view::npos;
}

void* check(void* arg) {
  const Case& c = *static_cast<const Case*>(arg);
  auto pattern = ValuePattern::compile(c.pattern);
  if (!pattern) {
    require(!pattern.error().empty(), "a refused pattern says why");
    return nullptr;
  }
  require(c.pattern.size() <= kMaxPatternBytes, "a pattern past the length bound compiles");
  const bool matched = pattern->matches(c.value);
  if (is_literal(c.pattern))
    require(matched == (c.value == c.pattern), "a literal pattern matches only itself");
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = corvane::fuzz::bytes(data, size);
  const std::size_t nul = input.find('\0');
  Case c{input.substr(0, nul),
         nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1)};
  // 1 MB with the sanitizers' larger frames: what an uninstrumented build does in 256 KB.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1024 * 1024);
  pthread_t thread;
  require(pthread_create(&thread, &attr, check, &c) == 0, "the checking thread starts");
  pthread_attr_destroy(&attr);
  pthread_join(thread, nullptr);
  return 0;
}
