// Insertion of "--" in front of the first positional argument.
#include "corvane/double_dash.hpp"

#include <cstddef>
#include <optional>
#include <utility>

#include "corvane/arg_parser.hpp"

namespace corvane {

std::vector<std::string> inject_double_dash(std::vector<std::string> argv, InjectDoubleDash mode) {
  if (mode == InjectDoubleDash::Never || argv.empty()) return argv;

  // Same classification as parse_argv, but counting only: this runs on every
  // prepared request and needs no copies of the tokens.
  // The scan stops at the first "--", so no token is ever seen past the separator.
  std::optional<std::size_t> first_positional;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    switch (classify_token(argv[i], /*separator_seen=*/false)) {
      case ArgKind::DoubleDash:
        // A caller who wrote "--" anywhere already chose where options end.
        return argv;
      case ArgKind::Positional:
        if (!first_positional) first_positional = i;
        break;
      case ArgKind::Flag:
        break;
    }
  }
  if (!first_positional) return argv;

  const auto at = argv.begin() + static_cast<std::ptrdiff_t>(*first_positional);
  argv.insert(at, std::string("--"));
  return argv;
}

}  // namespace corvane
