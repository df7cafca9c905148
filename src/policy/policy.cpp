// Deciding a request against a built policy: the binary, the specified
// prepare(), and check()/explain() under either rule model.
#include "corvane/policy.hpp"

#include <algorithm>

#include "corvane/arg_parser.hpp"
#include "corvane/canonical.hpp"
#include "corvane/file_check.hpp"

namespace corvane {

std::expected<Path, Violation> ProcPolicy::admit_binary(const Path& bin) const {
  return admit_binary(bin, nullptr);
}

std::expected<Path, Violation> ProcPolicy::admit_binary(const Path& bin, Explanation* ex) const {
  // Refuse a relative path before touching the file system at all.
  if (!is_absolute(bin)) return std::unexpected(violation::BinNotAbsolute{display(bin)});

  auto canonical = canonicalize_binary(bin);
  if (!canonical) return std::unexpected(std::move(canonical.error()));
  if (auto checked = check_binary(*canonical); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (!allowed_canonical_.contains(*canonical)) {
    return std::unexpected(violation::BinNotAllowed{display(bin), display(*canonical)});
  }
  // A binary's own setting replaces the policy's for that one file only.
  const BinarySettings* own = settings_of(*canonical);
  if (ex && own) ex->risky = own->risky;
  const RiskyBinPolicy risky = own && own->risky ? *own->risky : risky_bin_policy_;
  if (auto risk = check_risky(*canonical, risky); !risk) {
    return std::unexpected(std::move(risk.error()));
  }
  return canonical;
}

std::expected<PreparedCommand, Violation> ProcPolicy::prepare(ProcRequest request) const {
  auto canonical = admit_binary(request.bin);
  if (!canonical) return std::unexpected(std::move(canonical.error()));
  const auto rules = rules_by_canonical_.find(*canonical);
  if (rules == rules_by_canonical_.end()) {
    // prepare() can only speak ArgRules' violations; a binary with the other
    // model has rules, and the message says where they are read instead.
    if (command_rules_by_canonical_.contains(*canonical)) {
      return std::unexpected(violation::ArgRulesRequired{
          display(*canonical) + " (its rules are command rules, which check() applies)"});
    }
    return std::unexpected(violation::ArgRulesRequired{display(*canonical)});
  }
  auto argv = rules->second.validate(std::move(request.argv));
  if (!argv) return std::unexpected(std::move(argv.error()));
  EnvMap env = env_policy_.apply(request.env);
  auto cwd = cwd_policy_.validate(request.cwd);
  if (!cwd) return std::unexpected(std::move(cwd.error()));
  return PreparedCommand(std::move(*canonical), std::move(*argv), std::move(*cwd), std::move(env),
                         max_stdout_, max_stderr_, timeout_, max_stdin_);
}

// ---------------------------------------------------------------- extended path

namespace {

// The argv index an ArgRules violation is about, found with the same lexical
// rule ArgRules uses, so the index always points at the token it judged.
std::optional<std::size_t> violation_index(const Violation& v, const std::vector<std::string>& argv,
                                           bool has_subcommand) {
  std::size_t flags = 0;
  std::size_t positionals = 0;
  bool separator_seen = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    switch (classify_token(argv[i], separator_seen)) {
      case ArgKind::DoubleDash:
        separator_seen = true;
        break;
      case ArgKind::Flag:
        ++flags;
        if (const auto* bad = std::get_if<violation::FlagNotAllowed>(&v);
            bad && bad->flag == argv[i]) {
          return i;
        }
        if (const auto* many = std::get_if<violation::TooManyFlags>(&v);
            many && flags == many->max + 1) {
          return i;
        }
        break;
      case ArgKind::Positional:
        ++positionals;
        if (std::holds_alternative<violation::SubcommandMismatch>(v)) return i;
        if (const auto* many = std::get_if<violation::TooManyPositionals>(&v);
            many && positionals == many->max + 1 + (has_subcommand ? 1 : 0)) {
          return i;
        }
        break;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string_view display_name(CheckStage stage) noexcept {
  switch (stage) {
    case CheckStage::Binary:
      return "binary";
    case CheckStage::Arguments:
      return "arguments";
    case CheckStage::Environment:
      return "environment";
    case CheckStage::WorkingDirectory:
      return "working_directory";
    case CheckStage::Allowed:
      return "allowed";
  }
  return "unknown";
}

std::expected<Path, Refusal> ProcPolicy::bin_by_name(const Path& bin) const {
  // Without names, or for an absolute path, the binary is what was asked for
  // and admit_binary() judges it as prepare() does.
  if (paths_by_name_.empty() || is_absolute(bin)) return bin;
  const std::string& name = bin.native();
  const auto found = paths_by_name_.find(name);
  if (found == paths_by_name_.end()) {
    std::vector<std::string> names;
    for (const auto& entry : paths_by_name_) names.push_back(entry.first);
    std::sort(names.begin(), names.end());
    std::string list;
    for (const auto& n : names) list += (list.empty() ? "" : ", ") + lossy_utf8(n);
    return std::unexpected(
        Refusal{"BinNotAllowed",
                std::nullopt,
                "binary not allowed: " + escape_quoted(name) +
                    " (not the name of an allowed binary; names: " + list + ")",
                {{"requested", lossy_utf8(name)}, {"resolved", std::monostate{}}},
                std::nullopt});
  }
  const std::vector<Path>& paths = found->second;
  if (paths.size() == 1) return paths.front();
  std::string list;
  for (const Path& p : paths) list += (list.empty() ? "" : ", ") + display(p);
  return std::unexpected(Refusal{
      "AmbiguousBinName",
      std::nullopt,
      "binary name " + escape_quoted(name) + " is ambiguous: it names " + list + " (ask by path)",
      {{"name", lossy_utf8(name)}, {"paths", list}},
      std::nullopt});
}

std::expected<Path, Violation> ProcPolicy::check_cwd(const std::optional<Path>& requested) const {
  return anchor_cwd_ ? cwd_policy_.validate_anchored(requested) : cwd_policy_.validate(requested);
}

std::expected<PreparedCommand, Refusal> ProcPolicy::judge(ProcRequest request,
                                                          Explanation* ex) const {
  auto stage = [ex](CheckStage s) {
    if (ex) ex->stage = s;
  };
  stage(CheckStage::Binary);
  auto named = bin_by_name(request.bin);
  if (!named) return std::unexpected(std::move(named.error()));
  auto canonical = admit_binary(*named, ex);
  if (!canonical) return std::unexpected(to_refusal(std::move(canonical.error())));
  if (ex) ex->canonical = *canonical;
  const BinarySettings* own = settings_of(*canonical);
  // The sandbox is set on the command itself rather than left to whoever runs it:
  // a host that runs the checked command by any route still runs it inside. A
  // binary's own, built once with the policy, stands in for the policy's (and the
  // sandbox of the subcommand that allowed, set below, for both).
  auto made = [&](PreparedCommand cmd) {
    if (own && own->argv0) cmd.argv0_ = own->argv0;
    if (own && own->sandbox) {
      cmd.sandbox_ = own->sandbox;
    } else if (sandbox_) {
      cmd.sandbox_ = sandbox_;
    }
    return cmd;
  };

  if (const auto plain = rules_by_canonical_.find(*canonical); plain != rules_by_canonical_.end()) {
    // Exactly prepare()'s order and results, with the index of the refused token added.
    if (ex) ex->rules = "arg_rules";
    stage(CheckStage::Arguments);
    auto argv = plain->second.validate(request.argv);
    if (!argv) {
      auto index =
          violation_index(argv.error(), request.argv, plain->second.subcommand().has_value());
      return std::unexpected(to_refusal(std::move(argv.error()), index));
    }
    stage(CheckStage::Environment);
    EnvMap env = env_policy_.apply(request.env);
    stage(CheckStage::WorkingDirectory);
    auto cwd = check_cwd(request.cwd);
    if (!cwd) return std::unexpected(to_refusal(std::move(cwd.error())));
    stage(CheckStage::Allowed);
    return made(PreparedCommand(std::move(*canonical), std::move(*argv), std::move(*cwd),
                                std::move(env), max_stdout_, max_stderr_, timeout_, max_stdin_));
  }

  const auto command = command_rules_by_canonical_.find(*canonical);
  if (command == command_rules_by_canonical_.end()) {
    return std::unexpected(to_refusal(violation::ArgRulesRequired{display(*canonical)}));
  }
  if (ex) ex->rules = "command_rules";
  stage(CheckStage::Environment);
  EnvMap env = env_policy_.apply(request.env);
  // The working directory comes before the arguments: path rules resolve against it.
  stage(CheckStage::WorkingDirectory);
  auto cwd = check_cwd(request.cwd);
  if (!cwd) return std::unexpected(to_refusal(std::move(cwd.error())));
  std::optional<PathJail> jail;
  if (command->second->needs_jail()) {
    // A fixed directory is used as written elsewhere; paths need its real location.
    auto real_cwd = real_path(*cwd);
    if (!real_cwd) {
      return std::unexpected(to_refusal(violation::CwdForbidden{
          display(*cwd), "failed to canonicalize cwd: " + real_cwd.error().text()}));
    }
    Path root = *real_cwd;
    if (const auto* jailed = std::get_if<CwdPolicy::Jailed>(&cwd_policy_.variant())) {
      auto real_root = real_path(jailed->root);
      if (!real_root) {
        return std::unexpected(to_refusal(violation::CwdForbidden{
            display(jailed->root),
            "failed to canonicalize jail root: " + real_root.error().text()}));
      }
      root = std::move(*real_root);
    }
    jail = PathJail{std::move(*real_cwd), std::move(root)};
  }
  stage(CheckStage::Arguments);
  // Which rule set allowed matters only to a binary with subcommand sandboxes;
  // check() asks for the trace just then.
  const bool by_subcommand = own && !own->subcommand_sandboxes.empty();
  RuleTrace local;
  RuleTrace* trace = ex ? &ex->trace : by_subcommand ? &local : nullptr;
  auto argv = command->second->apply(std::move(request.argv), jail ? &*jail : nullptr, trace);
  if (!argv) return std::unexpected(std::move(argv.error()));
  stage(CheckStage::Allowed);
  PreparedCommand cmd =
      made(PreparedCommand(std::move(*canonical), std::move(*argv), std::move(*cwd), std::move(env),
                           max_stdout_, max_stderr_, timeout_, max_stdin_));
  if (by_subcommand && trace->subcommand) {
    for (const auto& [words, box] : own->subcommand_sandboxes) {
      if (words == *trace->subcommand) {
        cmd.sandbox_ = box;
        break;
      }
    }
  }
  return cmd;
}

const ProcPolicy::BinarySettings* ProcPolicy::settings_of(const Path& canonical) const {
  if (settings_by_canonical_.empty()) return nullptr;
  const auto found = settings_by_canonical_.find(canonical);
  return found == settings_by_canonical_.end() ? nullptr : &found->second;
}

std::expected<PreparedCommand, Refusal> ProcPolicy::check(ProcRequest request) const {
  return judge(std::move(request), nullptr);
}

Explanation ProcPolicy::explain(ProcRequest request) const {
  Explanation ex{
      std::unexpected(Refusal{}), CheckStage::Binary, std::nullopt, {}, {}, std::nullopt};
  ex.result = judge(std::move(request), &ex);
  return ex;
}

}  // namespace corvane
