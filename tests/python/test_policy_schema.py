"""The shipped JSON Schema against the core's reader: the same tables take the
same keys, the defaults it states are the reader's, and every word it offers
for a choice is one the reader knows, and only those."""

import json
import re

import pytest

from corvane import Guard, PolicyError, _native
from corvane.policy_file import SCHEMA_PATH

with open(SCHEMA_PATH) as f:
    SCHEMA = json.load(f)
DEFS = SCHEMA["$defs"]
TOP = SCHEMA["properties"]

# Each table the reader walks, and the schema object that describes it.
TABLES = {
    "": SCHEMA,
    "environment": TOP["environment"],
    "cwd": TOP["cwd"],
    "sandbox": TOP["sandbox"],
    "sandbox.network": next(o for o in TOP["sandbox"]["properties"]["network"]["oneOf"] if "properties" in o),
    "sandbox.limits": TOP["sandbox"]["properties"]["limits"],
    "binaries.*": DEFS["binary"],
    "binaries.*.subcommands.*": DEFS["rule_set"],
    "binaries.*.sandbox": DEFS["binary_sandbox"],
    "binaries.*.sandbox.network": next(o for o in DEFS["binary_sandbox"]["properties"]["network"]["oneOf"]
                                       if "properties" in o),
    "binaries.*.sandbox.limits": DEFS["binary_sandbox"]["properties"]["limits"],
    "*.value_flags.*": DEFS["value_rule"],
    "binaries.*.global": DEFS["global_options"],
    "*.positionals[]": next(o for o in DEFS["positional_role"]["oneOf"] if "properties" in o),
}


def test_every_table_takes_the_keys_the_reader_walks():
    keys = _native.policy_file_keys()
    assert set(keys) == set(TABLES)
    for table, schema in TABLES.items():
        assert schema.get("additionalProperties") is False, table
        assert sorted(schema["properties"]) == sorted(keys[table]), table


BINARY = {"path": "/usr/bin/ls"}
FLAG = {"name": "-n"}


def described(**top):
    """The description of a minimal policy with one binary, one value flag and a sandbox."""
    data = {"binaries": {"ls": {**BINARY, "value_flags": {"-n": {}}}}, "sandbox": {}, **top}
    return Guard.from_dict(data).describe()


# Each row: a schema property with a default, and where describe() shows the value in use.
DEFAULTS = [
    (TOP["timeout"], lambda d: d["timeout"]),
    (TOP["max_stdout"], lambda d: d["max_stdout"]),
    (TOP["max_stderr"], lambda d: d["max_stderr"]),
    (TOP["on_output_limit"], lambda d: d["on_output_limit"]),
    (TOP["risky_binaries"], lambda d: d["risky_binaries"]),
    (TOP["environment"]["properties"]["mode"], lambda d: d["environment"]["mode"]),
    (TOP["sandbox"]["properties"]["network"], lambda d: d["sandbox"]["network"]),
    (TOP["sandbox"]["properties"]["keep_background"], lambda d: d["sandbox"]["keep_background"]),
    (TOP["sandbox"]["properties"]["best_effort"], lambda d: d["sandbox"]["best_effort"]),
] + [
    (DEFS["binary"]["properties"][key], lambda d, key=key: d["binaries"][0]["rule_sets"][0][key])
    for key in ("max_flags", "max_positionals", "numeric_flags", "bundles", "first_arg_bundle",
                "path_positionals", "inject_double_dash", "double_dash")
] + [
    (DEFS["rule_set"]["properties"][key], lambda d, key=key: d["binaries"][0]["rule_sets"][0][key])
    for key in ("max_flags", "max_positionals", "inject_double_dash", "double_dash")
] + [
    (DEFS["value_rule"]["properties"][key], lambda d, key=key: d["binaries"][0]["rule_sets"][0]["value_flags"][0][key])
    for key in ("attached", "path", "changes_directory")
]


@pytest.mark.parametrize("schema, shown", DEFAULTS)
def test_the_defaults_the_schema_states_are_the_readers(schema, shown):
    assert "default" in schema
    assert shown(described()) == schema["default"]


# Each row: where a choice is written in a policy, and its schema property.
CHOICES = [
    (lambda w: {"on_output_limit": w}, TOP["on_output_limit"]),
    (lambda w: {"risky_binaries": w}, TOP["risky_binaries"]),
    (lambda w: {"environment": {"mode": w}}, TOP["environment"]["properties"]["mode"]),
    (lambda w: {"binaries": {"ls": {**BINARY, "argv0": w}}}, DEFS["binary"]["properties"]["argv0"]),
    (lambda w: {"binaries": {"ls": {**BINARY, "risky": w}}}, DEFS["binary"]["properties"]["risky"]),
    (lambda w: {"binaries": {"ls": {**BINARY, "double_dash": w, "inject_double_dash": False}}},
     DEFS["binary"]["properties"]["double_dash"]),
]


@pytest.mark.parametrize("policy, schema", CHOICES)
def test_the_schema_offers_exactly_the_words_the_reader_knows(policy, schema):
    for word in schema["enum"]:
        Guard.from_dict(policy(word))
    with pytest.raises(PolicyError) as caught:
        Guard.from_dict(policy("no-such-word"))
    reason = caught.value.reason
    if "(known: " in reason:
        known = reason.rpartition("(known: ")[2].rstrip(")").split(", ")
    else:  # "must be 'wait' or 'kill', not ..."
        known = re.findall(r"'([^']*)'", reason.partition(", not ")[0])
    assert sorted(known) == sorted(schema["enum"])
