"""`corvane serve` answers each request when its run ends, and holds at most
--max-in-flight requests at once. Real children: a "gate" script waits until a
file appears (or gives up), so which run ends first is decided by the test, not
by timing."""

import json
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import close_pipes, write_script

HEAD = "PATH=/usr/bin:/bin\n"


@pytest.fixture
def tools(tmp_path):
    gate = tmp_path / "open"
    made = {
        # Waits for the gate file up to $1 tenths of a second; says whether it opened.
        "gate": write_script(tmp_path, "gate", HEAD + f"""i=0
while [ ! -e {gate} ] && [ $i -lt "$1" ]; do sleep 0.1; i=$((i+1)); done
if [ -e {gate} ]; then echo opened; else echo gave-up; fi"""),
        "opener": write_script(tmp_path, "opener", HEAD + f"touch {gate}"),
        "say": write_script(tmp_path, "say", HEAD + f'touch {tmp_path}/said-$1; printf "%s\\n" "$@"'),
    }
    lines = ['timeout = "30s"']
    for name, path in made.items():
        lines += [f"[binaries.{name}]", f"path = {json.dumps(path)}", "flags = []",
                  "max_positionals = 4", "inject_double_dash = false"]
    (tmp_path / "policy.toml").write_text("\n".join(lines) + "\n")
    made.update(policy=str(tmp_path / "policy.toml"), gate=str(gate), dir=str(tmp_path))
    return made


class Server:
    """A real `corvane serve`; its answer lines are collected on a thread so every wait is bounded."""

    def __init__(self, policy, *options):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "corvane", "serve", "-p", policy, "--stdio", *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.answers = []
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for line in self.process.stdout:
            self.answers.append(json.loads(line))

    def send(self, *requests):
        self.process.stdin.write(b"".join(json.dumps(r).encode() + b"\n" for r in requests))
        self.process.stdin.flush()

    def wait_for(self, count, seconds=60):
        deadline = time.monotonic() + seconds
        while len(self.answers) < count:
            assert time.monotonic() < deadline, f"only {len(self.answers)} answers: {self.answers!r:.2000}"
            time.sleep(0.02)
        return list(self.answers)

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        close_pipes(self.process)


@pytest.fixture
def serve():
    started = []

    def start(policy, *options):
        started.append(Server(policy, *options))
        return started[-1]

    yield start
    for server in started:
        server.close()


def run(ident, bin, *argv):
    request = {"op": "run", "bin": bin, "argv": list(argv)}
    return request if ident is None else {"id": ident, **request}


def test_a_quick_request_is_answered_before_a_slow_one_sent_earlier(tools, serve):
    server = serve(tools["policy"])
    server.send(run("slow", "gate", "300"), run("quick", "say", "hi"))
    first = server.wait_for(1)[0]
    assert (first["id"], first["stdout"]) == ("quick", "hi\n")  # while the slow one still waits
    Path(tools["gate"]).touch()
    second = server.wait_for(2)[1]
    assert (second["id"], second["stdout"]) == ("slow", "opened\n")


def test_answers_without_an_id_keep_their_order(tools, serve):
    server = serve(tools["policy"])
    server.send(run(None, "gate", "300"), run(None, "say", "hi"), run("marked", "say", "there"))
    assert server.wait_for(1)[0]["id"] == "marked"  # one with an id is not held
    assert Path(tools["dir"], "said-hi").exists()  # the quick one without an id has ended too
    time.sleep(0.2)  # ample time to write its answer, were it not held back
    assert len(server.answers) == 1
    Path(tools["gate"]).touch()
    answers = server.wait_for(3)
    assert [a["stdout"] for a in answers[1:]] == ["opened\n", "hi\n"]


# Each row: --max-in-flight, and whether a gate (which gives up after 1.5 s) must
# have given up. The opener is the third request: it runs beside both gates only
# when three fit; with two it waits for one gate to give up, and may then still
# open the other, which started a moment later.
BOUNDS = [
    ("bound-two", "2", True),
    ("bound-three", "3", False),
]


@pytest.mark.parametrize("bound, one_gave_up", [row[1:] for row in BOUNDS], ids=[row[0] for row in BOUNDS])
def test_the_next_request_starts_only_when_one_in_flight_ends(tools, serve, bound, one_gave_up):
    server = serve(tools["policy"], "--max-in-flight", bound)
    server.send(run(1, "gate", "15"), run(2, "gate", "15"), run(3, "opener"))
    answers = {a["id"]: a for a in server.wait_for(3)}
    said = sorted(answers[i]["stdout"] for i in (1, 2))
    assert said[0] == ("gave-up\n" if one_gave_up else "opened\n")
    assert said[1] in ("gave-up\n", "opened\n")
    if not one_gave_up:
        assert said == ["opened\n", "opened\n"]
    assert answers[3]["exit_code"] == 0


def test_quick_requests_around_slow_ones_are_not_held_by_them(tools, serve):
    # Five slow requests spread among 300 quick ones, with room for only eight at once:
    # every quick one must be answered while all five slow ones still run.
    server = serve(tools["policy"], "--max-in-flight", "8")
    requests = [run(i, "say", str(i)) for i in range(300)]
    for place, slow in zip((0, 40, 90, 200, 299), range(5)):
        requests.insert(place, run(f"slow{slow}", "gate", "600"))
    server.send(*requests)
    quick = server.wait_for(300, seconds=120)
    assert sorted(a["id"] for a in quick) == list(range(300))
    assert all(a["stdout"] == f"{a['id']}\n" for a in quick)
    Path(tools["gate"]).touch()
    slow = server.wait_for(305)[300:]
    assert sorted(a["id"] for a in slow) == [f"slow{i}" for i in range(5)]
    assert {a["stdout"] for a in slow} == {"opened\n"}


@pytest.mark.parametrize("value", ["0", "-3", "many"])
def test_max_in_flight_must_be_a_positive_count(tools, value):
    done = subprocess.run([sys.executable, "-m", "corvane", "serve", "-p", tools["policy"], "--stdio",
                           "--max-in-flight", value], input=b"", capture_output=True, timeout=30)
    assert done.returncode == 2 and b"not a positive count" in done.stderr
