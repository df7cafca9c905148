"""A small typed program that the type checker must accept against the stub."""

from typing import Dict, List, Optional

from corvane import (
    ArgRules,
    InjectDoubleDash,
    Output,
    PreparedCommand,
    ProcPolicy,
    ProcPolicyBuilder,
    ProcRequest,
    RiskCategory,
    RiskyBinPolicy,
)


def make_policy(env: Dict[str, str]) -> ProcPolicy:
    rules: ArgRules = (
        ArgRules()
        .subcommand("status")
        .allowed_flags(["-n", "-i"])
        .max_flags(2)
        .max_positionals(10)
        .inject_double_dash()
        .inject_double_dash(InjectDoubleDash.Never)
    )
    return (
        ProcPolicyBuilder()
        .allow_bin("/usr/bin/grep")
        .arg_rules("/usr/bin/grep", rules)
        .risky_bin_policy(RiskyBinPolicy.DenyByDefault)
        .allow_risky_binaries()
        .env_empty()
        .env_locale_only()
        .env_fixed(env)
        .env_allowlist(["PATH"])
        .cwd("/tmp")
        .timeout_secs(30)
        .timeout(5)
        .max_stdout(1024)
        .max_stderr(1024)
        .build()
    )


def run(policy: ProcPolicy) -> Optional[int]:
    request = ProcRequest("/usr/bin/grep", ["-n", "x"]).with_cwd("/tmp")
    request = request.with_env({"A": "1"}).with_env_var("B", "2")
    prepared: PreparedCommand = policy.prepare(request)
    argv: List[str] = prepared.argv
    cwd: str = prepared.cwd + prepared.bin + request.bin + "".join(argv + request.argv)
    output: Output = prepared.spawn_sync()
    data: bytes = output.stdout + output.stderr
    text: str = output.stdout_string() + output.stderr_string() + cwd
    ok: bool = output.success and len(data) >= 0 and bool(text)
    category: int = int(RiskCategory.Shell)
    return output.exit_code if ok and category == 0 else None
