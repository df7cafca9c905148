#!/usr/bin/env bash
# Builds and runs every test: the C++ core under GoogleTest (once plain, once under
# AddressSanitizer + UndefinedBehaviorSanitizer) and the Python layer under pytest,
# against the module as `pip install .` installs it. Fails if any test fails.
#   CORVANE_SKIP_SANITIZE=1  skip the sanitizer build (quicker local runs)
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

echo "== Python tests"
python3 -m pip install --quiet --disable-pip-version-check .
set +e
python3 -m pytest -q tests/python
rc=$?
set -e
# pytest exits 5 when it collects nothing; that is not a failure.
if [ "$rc" -eq 5 ]; then rc=0; fi
exit "$rc"
