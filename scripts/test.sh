#!/usr/bin/env bash
# Builds and runs every test: the C++ core under GoogleTest (once plain, once under
# AddressSanitizer + UndefinedBehaviorSanitizer) and the Python layer under pytest,
# against the module as `pip install .` installs it. Fails if any test fails.
#   CORVANE_SKIP_SANITIZE=1  skip the sanitizer build (quicker local runs)
#   CORVANE_FUZZ_SECONDS=N   seconds per fuzz target (default 30; 0 skips fuzzing)
#   CORVANE_SKIP_PY_SANITIZE=1  skip the Python tests against the ASan + UBSan module
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

echo "== C++ tests"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCORVANE_BUILD_TESTS=ON -DCORVANE_BUILD_BENCH=ON
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

if [ "${CORVANE_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== C++ tests under ASan + UBSan"
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCORVANE_BUILD_TESTS=ON -DCORVANE_SANITIZE=ON
  cmake --build build/asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j "$jobs"
fi

bash scripts/fuzz.sh

echo "== Python tests"
# The test extra brings the test-only dependencies (pytest, mypy, uvloop).
python3 -m pip install --quiet --disable-pip-version-check ".[test]"
set +e
python3 -m pytest -q tests/python
rc=$?
set -e
# pytest exits 5 when it collects nothing; that is not a failure.
if [ "$rc" -eq 5 ]; then rc=0; fi

if [ "$rc" -eq 0 ] && [ "${CORVANE_SKIP_PY_SANITIZE:-0}" != 1 ]; then
  echo "== Python tests against the module under ASan + UBSan"
  cmake -S . -B build/pyasan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCORVANE_BUILD_PYTHON=ON -DCORVANE_SANITIZE=ON
  cmake --build build/pyasan -j "$jobs" --target _corvane _native
  # The interpreter is not instrumented, so the sanitizer runtimes are loaded
  # ahead of it; leak checking stays off because CPython keeps memory until exit.
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
  export PYTHONPATH="$root/build/pyasan/python:$root/python"
  python3 -c 'import _corvane, corvane._native as n, sys
bad = [f for f in (_corvane.__file__, n.__file__) if "/build/pyasan/" not in f]
sys.exit("not the instrumented module: " + bad[0] if bad else None)'
  set +e
  python3 -m pytest -q -p no:cacheprovider tests/python
  rc=$?
  set -e
  if [ "$rc" -eq 5 ]; then rc=0; fi
fi
exit "$rc"
