"""A sandbox's network by TCP port, through corvane.Sandbox and policy files: each
attack runs against a listener this test opens on 127.0.0.1, with the whole network
open (it must work there), with the ports, and with the network off."""

import os
import socket

import pytest

import corvane
from corvane import Guard, PolicyError, ProcPolicyBuilder, ProcRequest, Sandbox
from corvane.cli import sandbox_line

from conftest import policy_for

needs_tcp_rules = pytest.mark.skipif(
    Sandbox.available()["landlock_abi"] < 4 or not Sandbox.available()["seccomp"],
    reason="this kernel has no Landlock TCP rules")

PYTHON = os.path.realpath("/usr/bin/python3")


def attempt(body):
    """A Python program that prints "ok" or the name of the errno it met."""
    return ("import errno, socket\ntry:\n" + body + "    print('ok')\n"
            "except OSError as e:\n    print(errno.errorcode.get(e.errno, e.errno))\n")


def connect(port):
    return attempt(f"    socket.create_connection(('127.0.0.1', {port}), timeout=10)\n")


def bind(port):
    return attempt("    s = socket.socket()\n"
                   f"    s.bind(('127.0.0.1', {port}))\n    s.listen()\n")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def listeners():
    made = []
    for _ in range(2):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        s.listen()
        made.append(s)
    yield [s.getsockname()[1] for s in made]
    for s in made:
        s.close()


def run_in(ws, code, network):
    policy = policy_for(PYTHON, builder=ProcPolicyBuilder().allow_risky_binaries())
    script = ws / "attack.py"
    script.write_text(code)
    prepared = policy.prepare(ProcRequest(PYTHON, [str(script)]))
    return corvane.run(prepared, sandbox=Sandbox.workspace(ws, network=network)).stdout.decode()


@needs_tcp_rules
def test_tcp_reaches_the_listed_ports_only(tmp_path, listeners):
    allowed, other = listeners
    bindable, unlisted = free_port(), free_port()
    ports = {"connect": [allowed], "bind": [bindable]}
    rows = [
        # (attack, with the ports, with the network off)
        (connect(allowed), "ok", "EACCES"),
        (connect(other), "EACCES", "EACCES"),
        (bind(bindable), "ok", "EACCES"),
        (bind(unlisted), "EACCES", "EACCES"),
        (attempt("    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                 f"    s.sendto(b'x', ('127.0.0.1', {other}))\n"), "EACCES", "EACCES"),
    ]
    for code, with_ports, off in rows:
        assert run_in(tmp_path, code, True) == "ok\n", code
        assert run_in(tmp_path, code, ports) == with_ports + "\n", code
        assert run_in(tmp_path, code, False) == off + "\n", code


def test_the_ports_are_shown():
    box = Sandbox(network={"bind": (8000,), "connect": [443, 80]})
    assert box.network == {"connect": (443, 80), "bind": (8000,)}
    assert "network={'connect': (443, 80), 'bind': (8000,)}" in repr(box)
    assert Sandbox(network=True).network is True
    assert Sandbox().network is False


@pytest.mark.parametrize("network, error, message", [
    ({"connect": [0]}, ValueError, "sandbox connect port 0 is not a port (1-65535)"),
    ({"bind": [65536]}, ValueError, "network.bind[0]: a port is between 1 and 65535, got 65536"),
    ({"connect": [-1]}, ValueError, "network.connect[0]: a port is between 1 and 65535, got -1"),
    ({"connect": [2**70]}, ValueError, "network.connect[0]: a port is between 1 and 65535"),
    ({"connect": ["443"]}, TypeError, "network.connect[0]: expected a port (int), not str"),
    ({"connect": [True]}, TypeError, "network.connect[0]: expected a port (int), not bool"),
    ({"connect": 443}, TypeError, "network.connect: expected a list of ports, not int"),
    ({"connect": "443"}, TypeError, "network.connect: expected a list of ports, not str"),
    ({"hosts": []}, TypeError, "network: unknown key 'hosts' (known: bind, connect)"),
    ([443], TypeError, "network: expected a bool, not list"),
    ("yes", TypeError, "network: expected a bool, not str"),
])
def test_wrong_ports_are_refused(network, error, message):
    with pytest.raises(error) as caught:
        Sandbox(network=network)
    assert str(caught.value).startswith(message), str(caught.value)


def test_without_tcp_rules_the_ports_are_an_error_or_the_network_stays_off(monkeypatch):
    monkeypatch.setenv("CORVANE_SANDBOX_DISABLE", "landlock-network")
    with pytest.raises(ValueError, match=r"^sandbox needs Landlock ABI 4 \(TCP port rules\), "
                                         r"which this machine does not offer$"):
        Sandbox(network={"connect": [443]})
    box = Sandbox(network={"connect": [443]}, best_effort=True)
    assert "Landlock ABI 4 (TCP port rules)" in box.skipped


def load(tmp_path, network_toml):
    (tmp_path / "ws").mkdir(exist_ok=True)
    path = tmp_path / "policy.toml"
    path.write_text(f'[sandbox]\nworkspace = "ws"\nnetwork = {network_toml}\n')
    return Guard.from_toml(path)


def test_a_policy_file_takes_a_table_of_ports(tmp_path):
    guard = load(tmp_path, "{ connect = [443], bind = [8000] }")
    assert guard.describe()["sandbox"]["network"] == {"connect": [443], "bind": [8000]}
    assert guard.sandbox.network == {"connect": (443,), "bind": (8000,)}
    # The command's one-line summary says the ports hold for every host.
    assert sandbox_line(guard.describe()).endswith(
        "network access is limited to TCP: connecting to port 443 of any host, "
        "listening on port 8000.")


@pytest.mark.parametrize("network_toml, key, reason", [
    ('"on"', "sandbox.network",
     "expected a boolean, got string (or a table of TCP ports: connect, bind)"),
    ("{ connect = [443], hosts = [] }", "sandbox.network.hosts", "unknown key (known: bind, connect)"),
    ("{ connect = 443 }", "sandbox.network.connect", "expected a list of ports, not int"),
    ('{ bind = [8000, "x"] }', "sandbox.network.bind[1]", "expected a port (int), not str"),
    ("{ connect = [70000] }", "sandbox.network.connect[0]",
     "a port is between 1 and 65535, got 70000"),
    ("{ bind = [0] }", "sandbox.network.bind", "sandbox bind port 0 is not a port (1-65535)"),
])
def test_policy_file_errors_name_the_key(tmp_path, network_toml, key, reason):
    with pytest.raises(PolicyError) as caught:
        load(tmp_path, network_toml)
    assert caught.value.key == key
    assert caught.value.reason == reason


def test_a_policy_file_names_the_missing_kernel_feature(tmp_path, monkeypatch):
    monkeypatch.setenv("CORVANE_SANDBOX_DISABLE", "landlock-network")
    with pytest.raises(PolicyError) as caught:
        load(tmp_path, "{ connect = [443] }")
    assert caught.value.key == "sandbox.network"
    assert "Landlock ABI 4 (TCP port rules)" in caught.value.reason
