#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan) and runs each
# for a bounded time, two at a time. Fails if any target crashes or breaks one
# of its invariants; the input that did it is left in build/fuzz/artifacts/.
#   CORVANE_FUZZ_SECONDS=N  seconds per target (default 30); 0 skips fuzzing
#   CORVANE_FUZZ_CXX=path   the clang++ to use (default: the first that works)
# New corpus entries go to build/fuzz/corpus/<target>, never into the repository.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${CORVANE_FUZZ_SECONDS:-30}
if [ "$seconds" = 0 ]; then
  echo "== fuzzing skipped (CORVANE_FUZZ_SECONDS=0)"
  exit 0
fi
targets=(argv risky path display env pattern policy_file)
out=build/fuzz

# libstdc++ 12's <expected> needs a clang that reports C++20 concepts in full
# (clang 19 does; 14 and 16 do not), so each candidate is tried on it.
probe=$(mktemp -d)
pids=()
# On any exit, stop the fuzzers this script started and are still running.
cleanup() {
  rm -rf "$probe"
  for pid in "${pids[@]}"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
  done
}
trap cleanup EXIT
cat >"$probe/p.cpp" <<'EOF'
#include <cstddef>
#include <cstdint>
#include <expected>
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t size) {
  std::expected<std::size_t, int> e = size;
  return static_cast<int>(*e - size);
}
EOF
cxx=${CORVANE_FUZZ_CXX:-}
if [ -z "$cxx" ]; then
  for candidate in clang++-19 clang++-18 clang++-17 clang++; do
    if command -v "$candidate" >/dev/null &&
      "$candidate" -std=c++2b -fsanitize=fuzzer,address,undefined "$probe/p.cpp" \
        -o "$probe/p" >/dev/null 2>&1; then
      cxx=$candidate
      break
    fi
  done
fi
if [ -z "$cxx" ]; then
  echo "fuzz.sh: no clang++ that builds std::expected with libFuzzer; install clang-19" \
    "and libclang-rt-19-dev, or set CORVANE_FUZZ_SECONDS=0" >&2
  exit 1
fi

# Symbolised stacks when a symbolizer is at hand; the saved input reproduces
# a failure either way.
for symbolizer in llvm-symbolizer-19 llvm-symbolizer /usr/bin/llvm-symbolizer-*; do
  if command -v "$symbolizer" >/dev/null; then
    export ASAN_SYMBOLIZER_PATH
    ASAN_SYMBOLIZER_PATH=$(command -v "$symbolizer")
    break
  fi
done

echo "== fuzzing: ${#targets[@]} targets, ${seconds}s each, with $cxx"
mkdir -p "$out/artifacts"
if ! { cmake -S fuzz -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" &&
  cmake --build "$out" -j "$(nproc)"; } >"$out/build.log" 2>&1; then
  cat "$out/build.log" >&2
  echo "fuzz.sh: building the fuzz targets failed" >&2
  exit 1
fi

run_target() {
  local t=$1 max_len=4096
  # A whole policy file is longer than one argv or pattern.
  if [ "$t" = policy_file ]; then max_len=16384; fi
  mkdir -p "$out/corpus/$t"
  # The scratch directory comes first: libFuzzer writes new inputs only there.
  # exec: the background job's pid is then the fuzzer's own.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    exec "$out/${t}_fuzz" "$out/corpus/$t" "fuzz/corpus/$t" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
    -artifact_prefix="$out/artifacts/$t-" -print_final_stats=1 >"$out/$t.log" 2>&1
}

summary() {
  local t=$1 rc=$2 runs speed cov
  # A target that fails on a seed stops before printing any of these.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/$t.log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$out/$t.log" | tail -1 || true)
  printf '   %-8s %s executions within %ss (%s/s), %s, corpus %s files: %s\n' "$t" "${runs:-?}" \
    "$seconds" "${speed:-?}" "${cov:-cov: ?}" "$(find "$out/corpus/$t" -type f | wc -l)" \
    "$([ "$rc" -eq 0 ] && echo ok || echo FAILED)"
}

failed=()
# Two at a time: one per core of the CI machine.
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  batch=("${targets[@]:i:2}")
  for t in "${batch[@]}"; do
    run_target "$t" &
    pids+=($!)
  done
  for j in "${!batch[@]}"; do
    rc=0
    wait "${pids[$j]}" || rc=$?
    pids[$j]=""
    summary "${batch[$j]}" "$rc"
    if [ "$rc" -ne 0 ]; then failed+=("${batch[$j]}"); fi
  done
done

if [ "${#failed[@]}" -ne 0 ]; then
  for t in "${failed[@]}"; do
    echo "---- $t: last lines of $out/$t.log" >&2
    tail -n 40 "$out/$t.log" >&2
  done
  echo "fuzzing failed: ${failed[*]} (inputs in $out/artifacts/)" >&2
  exit 1
fi
echo "fuzzing: all ${#targets[@]} targets ran clean"
