"""Process execution guard for agentic systems.

The classes live in the ``_corvane`` extension module; this package re-exports
them under the name the documentation uses.
"""

import _corvane
from _corvane import (
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

__doc__ = _corvane.__doc__

__all__ = [
    "RiskyBinPolicy",
    "InjectDoubleDash",
    "RiskCategory",
    "ArgRules",
    "ProcRequest",
    "Output",
    "PreparedCommand",
    "ProcPolicyBuilder",
    "ProcPolicy",
]

del _corvane
