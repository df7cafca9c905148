"""Calls the type checker must reject against the stub: each line marked
`# rejected` is one that fails at run time, so the stub must flag it."""

import corvane
from corvane import ArgRules, Output, PreparedCommand, ProcPolicyBuilder, ProcRequest

ProcRequest("/usr/bin/ls", "-la")  # rejected
ProcRequest("/usr/bin/ls", ["-la"])
ArgRules().allowed_flags("-n")  # rejected
ProcPolicyBuilder().env_allowlist("PATH")  # rejected
Output()  # rejected
PreparedCommand()  # rejected


async def misuse(prepared: PreparedCommand) -> None:
    corvane.run(prepared, on_output_limit="stop")  # rejected
    corvane.run(prepared, "kill")  # rejected
    await corvane.arun(prepared, sandbox=object())  # rejected
    error: bytes = corvane.TimedOut("x").elapsed  # rejected
