# What the test command needs, and how it gets it. Sourced by scripts/test.sh.
#
# Every dependency has a probe (does this machine have it?) and an install
# route: Debian packages through apt-get when running as root on a machine with
# apt, Python packages through pip into the active environment. What cannot be
# installed from here is collected, and the run stops before building with one
# message that names the exact command to run.
#
# The Python test requirements are not listed here: they are the `test` extra
# of pyproject.toml, read at run time, so adding one there is enough.
#
#   CORVANE_DEPS_ASSUME_MISSING=1  every probe reports "missing" (shows what a
#                                  fresh machine would get; installing what is
#                                  already there is harmless)
#   CORVANE_FUZZ_SECONDS=0         the fuzzing toolchain is not needed

# Oldest Python the package supports; pyproject.toml's requires-python says the same.
CORVANE_MIN_PYTHON=3.10

# Each entry: "<probe function>:<Debian packages that satisfy it>".
CORVANE_APT_DEPS=(
  "probe_gxx:g++"
  "probe_gtest:googletest libgtest-dev"
  "probe_benchmark:libbenchmark-dev"
  "probe_tomlplusplus:libtomlplusplus-dev"
  "probe_ccache:ccache"
  "probe_python_headers:python3-dev"
  "probe_python_venv:python3-venv"
  "probe_python_pip:python3-pip"
  "probe_fuzz_cxx:clang-19 libclang-rt-19-dev"
)

# Build tools that pip can supply when they are not on PATH already.
CORVANE_PIP_TOOLS=("probe_cmake:cmake>=3.20" "probe_ninja:ninja")

deps_missing_forced() { [ "${CORVANE_DEPS_ASSUME_MISSING:-0}" = 1 ]; }

probe_gxx() {
  local major
  major=$(g++ -dumpversion 2>/dev/null) || return 1
  [ "${major%%.*}" -ge 12 ]
}
# Headers are probed through the compiler, so whatever search path it uses counts.
probe_cxx_header() { echo "#include <$1>" | g++ -std=c++2b -E -x c++ - >/dev/null 2>&1; }
probe_gtest() { probe_cxx_header gtest/gtest.h; }
probe_benchmark() { probe_cxx_header benchmark/benchmark.h; }
# The policy-file reader's TOML parser (header-only).
probe_tomlplusplus() { probe_cxx_header toml++/toml.h; }
# The test command compiles the core up to six times (plain, sanitized, one
# wheel per Python); a compiler cache turns the repeats into copies.
probe_ccache() { command -v ccache >/dev/null; }
probe_python_headers() {
  python3 -c 'import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null
}
# The throwaway environments of the version and wheel checks need venv with pip.
probe_python_venv() { python3 -c 'import ensurepip, venv' 2>/dev/null; }
probe_python_pip() { python3 -m pip --version >/dev/null 2>&1; }
# The fuzz targets need a clang whose libFuzzer runtime is installed and that
# builds libstdc++'s <expected> (clang 19 does; 14 and 16 do not).
probe_fuzz_cxx() {
  [ "${CORVANE_FUZZ_SECONDS:-30}" = 0 ] && return 0
  local dir candidate rc=1
  dir=$(mktemp -d)
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' '#include <expected>' \
    'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t n) {' \
    '  std::expected<std::size_t, int> e = n; return static_cast<int>(*e - n); }' >"$dir/p.cpp"
  for candidate in clang++-19 clang++-18 clang++-17 clang++; do
    if command -v "$candidate" >/dev/null &&
      "$candidate" -std=c++2b -fsanitize=fuzzer,address,undefined "$dir/p.cpp" -o "$dir/p" \
        >/dev/null 2>&1; then
      rc=0
      break
    fi
  done
  rm -rf "$dir"
  return "$rc"
}
probe_cmake() {
  local v
  v=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
  [ -n "$v" ] && set -- $v && { [ "$1" -gt 3 ] || { [ "$1" -eq 3 ] && [ "$2" -ge 20 ]; }; }
}
probe_ninja() { ninja --version >/dev/null 2>&1; }

# Runs a probe, unless the seam says everything is missing.
deps_have() { ! deps_missing_forced && "$1"; }

# Prints the `test` extra's requirements that apply to the active environment
# (by their markers) and that it does not satisfy, one per line; with --all,
# every requirement as written, for another interpreter's pip to judge.
deps_python_test_requirements() {
  python3 - "$@" <<'EOF'
import sys
import importlib.metadata as metadata
try:
    import tomllib
except ImportError:  # 3.10: pip carries a TOML reader
    from pip._vendor import tomli as tomllib
try:
    from packaging.requirements import Requirement
except ImportError:
    from pip._vendor.packaging.requirements import Requirement

with open("pyproject.toml", "rb") as f:
    wanted = tomllib.load(f)["project"]["optional-dependencies"]["test"]
for text in wanted:
    if "--all" in sys.argv:
        print(text)
        continue
    req = Requirement(text)
    if req.marker is not None and not req.marker.evaluate({"extra": "test"}):
        continue
    try:
        if req.specifier.contains(metadata.version(req.name), prereleases=True):
            continue
    except metadata.PackageNotFoundError:
        pass
    print(text)
EOF
}

# Whether pip may install into the environment python3 runs in: yes in a
# virtual environment, no in an interpreter its distribution manages
# (PEP 668) or in one whose site-packages this user cannot write.
deps_pip_can_install() {
  python3 - <<'EOF' 2>/dev/null
import os, sys, sysconfig
if sys.prefix != sys.base_prefix:
    sys.exit(0)
managed = os.path.isfile(os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED"))
if managed and not os.environ.get("PIP_BREAK_SYSTEM_PACKAGES"):
    sys.exit(1)
sys.exit(0 if os.access(sysconfig.get_path("purelib"), os.W_OK) else 1)
EOF
}

# Probes everything, installs what it can, and returns non-zero after printing
# one message when something is left that it cannot install.
corvane_ensure_deps() {
  local entry probe pkgs apt_missing=() pip_missing=() req
  if ! command -v python3 >/dev/null ||
    ! python3 -c "import sys; sys.exit(sys.version_info < tuple(map(int, '$CORVANE_MIN_PYTHON'.split('.'))))"; then
    echo "test.sh: needs python3 $CORVANE_MIN_PYTHON or later on PATH (found:" \
      "$(python3 --version 2>&1 || echo none)); activate a virtual environment made from one" >&2
    return 1
  fi

  for entry in "${CORVANE_APT_DEPS[@]}"; do
    probe=${entry%%:*} pkgs=${entry#*:}
    deps_have "$probe" || apt_missing+=($pkgs)
  done
  # Debian's python3 packages only help Debian's python3.
  if [ "$(python3 -c 'import sys; print(sys.base_prefix)')" != /usr ]; then
    local kept=()
    for req in "${apt_missing[@]}"; do
      case $req in python3-*) ;; *) kept+=("$req") ;; esac
    done
    apt_missing=("${kept[@]}")
  fi
  if [ "${#apt_missing[@]}" -ne 0 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing Debian packages: ${apt_missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${apt_missing[@]}" >/dev/null || {
      echo "test.sh: apt-get could not install ${apt_missing[*]}" >&2
      return 1
    }
    apt_missing=()
  fi

  if probe_python_pip; then
    for entry in "${CORVANE_PIP_TOOLS[@]}"; do
      probe=${entry%%:*}
      deps_have "$probe" || pip_missing+=("${entry#*:}")
    done
    if deps_missing_forced; then
      mapfile -t -O "${#pip_missing[@]}" pip_missing < <(deps_python_test_requirements --all)
    else
      mapfile -t -O "${#pip_missing[@]}" pip_missing < <(deps_python_test_requirements)
    fi
    # With Debian packages still missing the run stops anyway: one message
    # then, rather than pip's output first.
    if [ "${#pip_missing[@]}" -ne 0 ] && [ "${#apt_missing[@]}" -eq 0 ] && deps_pip_can_install; then
      echo "== installing Python packages: ${pip_missing[*]}"
      python3 -m pip install --quiet --disable-pip-version-check "${pip_missing[@]}" || {
        echo "test.sh: pip could not install ${pip_missing[*]}" >&2
        return 1
      }
      pip_missing=()
    fi
  elif [ "${#apt_missing[@]}" -eq 0 ]; then
    # Not Debian's python3 (whose pip would be in apt_missing): it carries its own.
    echo "test.sh: python3 has no pip; run: python3 -m ensurepip --upgrade && bash scripts/test.sh" >&2
    return 1
  fi
  # Tools pip installs land beside the interpreter, which need not be on PATH
  # (a pyenv version behind a shim, say).
  PATH="$PATH:$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))')"

  if [ "${#apt_missing[@]}" -eq 0 ] && [ "${#pip_missing[@]}" -eq 0 ]; then
    return 0
  fi
  # One line naming the commands that finish the job, the rerun included.
  local steps=() step line=""
  if [ "${#apt_missing[@]}" -ne 0 ]; then
    steps+=("$([ "$(id -u)" = 0 ] || echo 'sudo ')apt-get install -y ${apt_missing[*]}")
  fi
  if [ "${#pip_missing[@]}" -ne 0 ]; then
    if deps_pip_can_install; then
      steps+=("python3 -m pip install$(printf " '%s'" "${pip_missing[@]}")")
    else  # the rerun inside the new environment installs them
      steps+=("python3 -m venv .venv" ". .venv/bin/activate")
    fi
  fi
  steps+=("bash scripts/test.sh")
  for step in "${steps[@]}"; do line+="${line:+ && }$step"; done
  echo "test.sh: missing ${apt_missing[*]}${apt_missing[*]:+ }${pip_missing[*]}; run: $line" >&2
  return 1
}
