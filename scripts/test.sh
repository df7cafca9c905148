#!/usr/bin/env bash
# Lints the Python code (ruff) and type-checks the package and its stubs (mypy
# --strict), then builds and runs every test: the C++ core under GoogleTest (once
# plain, once under AddressSanitizer + UndefinedBehaviorSanitizer), the installed
# CMake package with a consumer built against it, the fuzz targets, and the Python
# layer under pytest against the module as `pip install .` installs it, then again
# on the oldest and the newest other Python found, each from a wheel in a
# throwaway environment.
# Installs what it needs first (see scripts/deps.sh). Fails if any test fails.
#   CORVANE_SKIP_SANITIZE=1  skip the sanitizer build (quicker local runs)
#   CORVANE_FUZZ_SECONDS=N   seconds per fuzz target (default 30; 0 skips fuzzing)
#   CORVANE_SKIP_PY_SANITIZE=1  skip the Python tests against the ASan + UBSan module
#   CORVANE_SKIP_PY_VERSIONS=1  skip the other interpreters (the wheel check still runs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# shellcheck source=scripts/deps.sh
. scripts/deps.sh
corvane_ensure_deps || exit 1
jobs=$(nproc)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Every CMake build below, the wheels' included, goes through the compiler
# cache: the core's objects are the same for each Python's wheel and for the
# sanitized tests and module, so only the first build of each compiles them.
# Paths are hashed relative to the tree, so each wheel's build directory hits.
export CMAKE_CXX_COMPILER_LAUNCHER=ccache
export CCACHE_DIR=${CCACHE_DIR:-$root/build/ccache} CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-2G}

# pytest exits 5 when it collects nothing; that is not a failure.
run_pytest() {
  local rc=0
  "$@" -m pytest -q -p no:cacheprovider tests/python || rc=$?
  [ "$rc" -eq 5 ] && rc=0
  return "$rc"
}

echo "== Formatting (clang-format, .clang-format), Python lint (ruff) and types (mypy --strict)"
# The generated Unicode tables keep the layout their generator writes.
git ls-files '*.cpp' '*.hpp' ':!:src/base/unicode_tables.cpp' |
  xargs clang-format --dry-run --Werror
python3 -m ruff check .
python3 -m mypy --no-incremental --cache-dir "$tmp/mypy"

echo "== C++ tests"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_BENCH=ON
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

echo "== C++ package: cmake --install, then a program outside the tree built against it"
# The consumer's CMakeLists.txt is the one the documentation shows (docs/cpp.md).
awk '/^```cmake$/ { block = ""; inside = 1; next }
  inside && /^```$/ { inside = 0; if (block ~ /find_package\(corvane/) printf "%s", block; next }
  inside { block = block $0 "\n" }' README.md docs/*.md |
  diff -u - tests/cmake_consumer/CMakeLists.txt ||
  { echo "the documentation's cmake consumer differs from tests/cmake_consumer/CMakeLists.txt" >&2; exit 1; }
cmake --install build/test --prefix "$tmp/prefix" >/dev/null
# Nothing of the source tree is visible to it: only the installed prefix.
cp -r tests/cmake_consumer "$tmp/consumer-src"
cmake -S "$tmp/consumer-src" -B "$tmp/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/consumer" -j "$jobs" >/dev/null
"$tmp/consumer/consumer" "$root/examples/policies/code_explorer.toml"

if [ "${CORVANE_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== C++ tests under ASan + UBSan"
  # One sanitized build serves the C++ tests and, later, the Python tests.
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCORVANE_BUILD_TESTS=ON -DCORVANE_SANITIZE=ON \
    -DCORVANE_BUILD_PYTHON="$([ "${CORVANE_SKIP_PY_SANITIZE:-0}" = 1 ] && echo OFF || echo ON)" \
    -DPython_EXECUTABLE="$(python3 -c 'import sys; print(sys.executable)')"
  cmake --build build/asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"
fi

bash scripts/fuzz.sh

echo "== Python tests ($(python3 --version))"
python3 -m pip install --quiet --disable-pip-version-check .
run_pytest python3

if [ "${CORVANE_SKIP_PY_SANITIZE:-0}" != 1 ]; then
  echo "== Python tests against the module under ASan + UBSan"
  if [ "${CORVANE_SKIP_SANITIZE:-0}" = 1 ]; then
    cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCORVANE_BUILD_PYTHON=ON -DCORVANE_SANITIZE=ON \
      -DPython_EXECUTABLE="$(python3 -c 'import sys; print(sys.executable)')"
  fi
  cmake --build build/asan -j "$jobs" --target _corvane _native
  (
    # The interpreter is not instrumented, so the sanitizer runtimes are loaded
    # ahead of it; leak checking stays off because CPython keeps memory until exit.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
    export PYTHONPATH="$root/build/asan/python:$root/python"
    python3 -c 'import _corvane, corvane._native as n, sys
bad = [f for f in (_corvane.__file__, n.__file__) if "/build/asan/" not in f]
sys.exit("not the instrumented module: " + bad[0] if bad else None)'
    run_pytest python3
  )
fi

# Prints "<major.minor> <interpreter>" for every Python found that is supported
# and can build the module (headers, venv), one per version, oldest first:
# pyenv's versions and python3.N on PATH.
find_pythons() {
  local candidates=() pyroot n c
  pyroot=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  candidates+=("$pyroot"/versions/*/bin/python3)
  for n in $(seq 10 40); do
    c=$(command -v "python3.$n" || true)
    [ -n "$c" ] && candidates+=("$c")
  done
  for c in "${candidates[@]}"; do
    [ -x "$c" ] || continue
    "$c" - "$CORVANE_MIN_PYTHON" 2>/dev/null <<'EOF' || true
import os, sys, sysconfig
if sys.version_info >= tuple(map(int, sys.argv[1].split("."))) and os.path.isfile(
        os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    import ensurepip, venv
    print("%d.%d" % sys.version_info[:2], os.path.realpath(sys.executable))
EOF
  done | sort -t. -k1,1n -k2,2n -s | awk '!seen[$1]++'
}

# Builds a wheel with `python`, installs it into a fresh virtual environment
# whose PATH holds no compiler, imports both modules and runs one command; then,
# unless told only to check the wheel, runs the Python tests there.
wheel_check() {
  local python=$1 mode=$2 venv wheel
  venv="$tmp/venv-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
    -w "$venv/dist" .
  wheel=$(echo "$venv"/dist/corvane-*.whl)
  (
    cd "$tmp"  # away from the source tree, so nothing is imported from it
    export PATH="$venv/bin"
    for cc in cc c++ gcc g++ clang clang++; do
      if command -v "$cc" >/dev/null; then echo "a compiler is on PATH: $cc" >&2; exit 1; fi
    done
    # Binary wheels only: the package's own dependencies (none today) come from
    # the index, and nothing may be compiled on the way.
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
      --only-binary :all: "$wheel"
    "$venv/bin/python" - "$wheel" "$venv" <<'EOF'
import os, sys, zipfile
import _corvane, corvane
import corvane.cli, corvane.tool  # the subpackage and the modules beside it ship too
from corvane import ArgRules, ProcPolicyBuilder, ProcRequest

wheel, venv = sys.argv[1:]
# Only the module and the package: the C++ headers, library and CMake files
# belong to `cmake --install`, not to the wheel.
tops = {name.split("/")[0] for name in zipfile.ZipFile(wheel).namelist()}
stray = {t for t in tops if not (t == "corvane" or t.startswith(("_corvane.", "corvane-")))}
assert not stray, f"unexpected files in the wheel: {sorted(stray)}"
for module in (_corvane, corvane):
    assert os.path.realpath(module.__file__).startswith(os.path.realpath(venv)), module.__file__
policy = (ProcPolicyBuilder().allow_bin("/usr/bin/echo")
          .arg_rules("/usr/bin/echo", ArgRules().max_positionals(1)).build())
out = policy.prepare(ProcRequest("/usr/bin/echo", ["from the wheel"])).spawn_sync()
assert out.success and out.stdout_string() == "from the wheel\n", repr(out)
print(f"   {os.path.basename(wheel)}: installs without a compiler, imports, runs")
EOF
  )
  if [ "$mode" = tests ]; then
    mapfile -t reqs < <(deps_python_test_requirements --all)
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "${reqs[@]}"
    run_pytest "$venv/bin/python"
  fi
  rm -rf "$venv"
}

active=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
mapfile -t found < <(find_pythons)
targets=()
if [ "${CORVANE_SKIP_PY_VERSIONS:-0}" = 1 ]; then
  echo "== other Python versions skipped (CORVANE_SKIP_PY_VERSIONS=1)"
elif [ "${#found[@]}" -lt 2 ]; then
  echo "== other Python versions skipped: only $active found"
else
  # The oldest and the newest; the active one has been tested above.
  for entry in "${found[0]}" "${found[-1]}"; do
    [ "${entry%% *}" = "$active" ] || targets+=("$entry")
  done
  echo "== Python versions found: $(printf '%s ' "${found[@]%% *}")(active: $active)"
fi
if [ "${#targets[@]}" -eq 0 ]; then
  echo "== wheel check ($(python3 --version))"
  wheel_check python3 wheel-only
fi
# The other interpreters are checked side by side, each in its own build
# directory and environment: a run mostly waits on its children, so two take
# little longer than one. Each one's output is shown whole when it ends.
pids=()
for entry in "${targets[@]}"; do
  (wheel_check "${entry#* }" tests) >"$tmp/check-${entry%% *}.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!pids[@]}"; do
  entry=${targets[$i]}
  rc=0
  wait "${pids[$i]}" || rc=$?
  echo "== Python tests on ${entry%% *}, from a wheel in a fresh virtual environment"
  cat "$tmp/check-${entry%% *}.log"
  if [ "$rc" -ne 0 ]; then
    echo "== Python tests on ${entry%% *} failed (exit $rc)" >&2
    failed=1
  fi
done
exit "$failed"
