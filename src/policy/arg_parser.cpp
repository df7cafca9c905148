// Lexical classification of an argument vector: one pass, no interpretation.
#include "corvane/arg_parser.hpp"

namespace corvane {

std::vector<ClassifiedArg> parse_argv(std::span<const std::string> argv) {
  std::vector<ClassifiedArg> out;
  out.reserve(argv.size());
  bool separator_seen = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    const std::string& token = argv[i];
    switch (classify_token(token, separator_seen)) {
      case ArgKind::Flag:
        out.push_back({arg_type::Flag{token}, i});
        break;
      case ArgKind::Positional:
        out.push_back({arg_type::Positional{token}, i});
        break;
      case ArgKind::DoubleDash:
        separator_seen = true;
        out.push_back({arg_type::DoubleDash{}, i});
        break;
    }
  }
  return out;
}

}  // namespace corvane
