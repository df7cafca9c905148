#!/usr/bin/env python3
"""Per-call cost of ProcPolicy.prepare and of prepare + spawn_sync for /bin/true,
next to the same work done with the standard library: subprocess.run (with and
without a timeout), a bare os.posix_spawn floor, and a pure-Python version of
the policy checks with its realpath + stat floor. Prints figures and ratios;
it never passes or fails.

    python3 bench/python_bench.py [--quick]
"""

import os
import stat
import subprocess
import sys
import time

from corvane import ArgRules, InjectDoubleDash, ProcPolicyBuilder, ProcRequest

TRUE = "/bin/true" if os.path.exists("/bin/true") else "/usr/bin/true"
ENV = {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}

# ---------------------------------------------------------------- timing


def per_call(fn, calls, repeats):
    """Best per-call time in microseconds over `repeats` runs of `calls` calls."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter_ns() - start) / calls / 1000.0)
    return best


# ------------------------------------------------- pure-Python policy checks

FORBIDDEN = frozenset("""
LD_PRELOAD LD_LIBRARY_PATH LD_AUDIT LD_DEBUG LD_PROFILE DYLD_INSERT_LIBRARIES
DYLD_LIBRARY_PATH DYLD_FRAMEWORK_PATH DYLD_FALLBACK_LIBRARY_PATH PYTHONPATH PYTHONSTARTUP
PYTHONHOME RUBYLIB RUBYOPT PERL5LIB PERL5OPT PERLLIB NODE_PATH NODE_OPTIONS BASH_ENV ENV
SHELLOPTS BASHOPTS IFS CDPATH GLOBIGNORE PROMPT_COMMAND PS1 PS2 PS4 EDITOR VISUAL PAGER
BROWSER SHELL HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY http_proxy https_proxy
ftp_proxy all_proxy no_proxy GIT_EXEC_PATH GIT_TEMPLATE_DIR""".split())
RISKY = frozenset("""
sh bash zsh dash ksh csh tcsh fish ash busybox python python2 python3 perl ruby node nodejs
deno bun php lua luajit tclsh wish awk gawk nawk mawk env xargs parallel nohup timeout time
nice ionice strace ltrace watch exec sudo su doas pkexec gksudo kdesudo runuser chroot""".split())


class PyRules:
    def __init__(self, flags, max_flags, max_positionals, inject):
        self.flags, self.max_flags, self.max_positionals = set(flags), max_flags, max_positionals
        self.inject = inject

    def validate(self, argv):
        flags, positionals, seen = [], [], False
        for token in argv:
            if seen:
                positionals.append(token)
            elif token == "--":
                seen = True
            elif len(token) >= 2 and token[0] == "-":
                flags.append(token)
            else:
                positionals.append(token)
        if len(flags) > self.max_flags:
            raise ValueError(f"too many flags: max {self.max_flags}, got {len(flags)}")
        for flag in flags:
            if flag not in self.flags:
                raise ValueError(f"flag not allowed: {flag}")
        if len(positionals) > self.max_positionals:
            raise ValueError("too many positional arguments")
        if self.inject and positionals and "--" not in argv:
            for i, token in enumerate(argv):
                if not (len(token) >= 2 and token[0] == "-"):
                    return argv[:i] + ["--"] + argv[i:]
        return list(argv)


def strict_realpath(path):
    """realpath that fails on a missing component, as the core's does."""
    if sys.version_info >= (3, 10):
        return os.path.realpath(path, strict=True)
    canonical = os.path.realpath(path)
    os.stat(canonical)
    return canonical


def py_check_binary(path):
    st = os.stat(path)
    if stat.S_ISDIR(st.st_mode):
        raise ValueError(f"binary path is a directory: {path}")
    if not stat.S_ISREG(st.st_mode):
        raise ValueError(f"binary is not a regular file: {path}")
    uid, gid, mode = os.getuid(), os.getgid(), st.st_mode
    if not ((mode & 0o100 and uid == st.st_uid) or mode & 0o001
            or (mode & 0o010 and gid == st.st_gid) or (uid == 0 and mode & 0o110)):
        raise ValueError(f"binary is not executable: {path}")


def py_risky(path):
    name = os.path.basename(path)
    stem = name.split(".", 1)[0].rstrip("0123456789")
    return stem in RISKY or name in RISKY


class PyPolicy:
    def __init__(self, bins_and_rules, env, cwd):
        self.rules = {}
        for path, rules in bins_and_rules:
            canonical = os.path.realpath(path)
            py_check_binary(canonical)
            self.rules[canonical] = rules
        self.env, self.cwd = dict(env), cwd

    def prepare(self, bin_path, argv, env):
        if not bin_path.startswith("/"):
            raise ValueError(f"binary path must be absolute: {bin_path}")
        try:
            canonical = strict_realpath(bin_path)
        except FileNotFoundError:
            raise ValueError(f"binary not found: {bin_path}") from None
        py_check_binary(canonical)
        rules = self.rules.get(canonical)
        if rules is None:
            raise ValueError(f"binary not allowed: {bin_path} (resolved to {canonical})")
        if py_risky(canonical):
            raise ValueError(f"risky binary denied: {canonical}")
        argv2 = rules.validate(list(argv))
        child_env = {k: v for k, v in self.env.items() if k not in FORBIDDEN}
        return canonical, argv2, self.cwd, child_env, 10485760, 1048576, 30


# ------------------------------------------------------------ spawn floors


def posix_spawn_floor():
    out_r, out_w = os.pipe2(os.O_CLOEXEC)
    err_r, err_w = os.pipe2(os.O_CLOEXEC)
    actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
               (os.POSIX_SPAWN_DUP2, out_w, 1), (os.POSIX_SPAWN_DUP2, err_w, 2)]
    pid = os.posix_spawn(TRUE, [TRUE], ENV, file_actions=actions)
    os.close(out_w)
    os.close(err_w)
    while os.read(out_r, 8192):
        pass
    while os.read(err_r, 8192):
        pass
    os.close(out_r)
    os.close(err_r)
    os.waitpid(pid, 0)


def main():
    quick = "--quick" in sys.argv
    fast_calls, fast_repeats = (2000, 3) if quick else (20000, 5)
    spawn_calls, spawn_repeats = (100, 3) if quick else (400, 5)

    rules = (ArgRules().allowed_flags(["-n", "-i"]).max_flags(2).max_positionals(4)
             .inject_double_dash(InjectDoubleDash.AfterFlags))
    policy = (ProcPolicyBuilder().allow_bin(TRUE).arg_rules(TRUE, rules).env_fixed(ENV)
              .timeout_secs(30).build())
    request = ProcRequest(TRUE, ["-n", "pattern", "file.txt"])
    empty = ProcRequest(TRUE, [])
    py_policy = PyPolicy([(TRUE, PyRules(["-n", "-i"], 2, 4, True))], ENV, "/tmp")

    def floor_realpath_stat():
        os.stat(strict_realpath(TRUE))

    def floor_stat():
        os.stat(TRUE)

    fast = {
        "corvane prepare": lambda: policy.prepare(request),
        "pure-Python checks": lambda: py_policy.prepare(TRUE, ["-n", "pattern", "file.txt"], {}),
        "floor: os.path.realpath + os.stat": floor_realpath_stat,
        "floor: os.stat": floor_stat,
    }
    slow = {
        "corvane prepare + spawn_sync": lambda: policy.prepare(empty).spawn_sync(),
        "subprocess.run": lambda: subprocess.run(
            [TRUE], capture_output=True, stdin=subprocess.DEVNULL, env=ENV),
        "subprocess.run(timeout=30)": lambda: subprocess.run(
            [TRUE], capture_output=True, stdin=subprocess.DEVNULL, env=ENV, timeout=30),
        "floor: os.posix_spawn + pipes + waitpid": posix_spawn_floor,
    }
    results = {}
    print(f"python {sys.version.split()[0]}, binary {TRUE}; best of {fast_repeats} x "
          f"{fast_calls} (checks) and {spawn_repeats} x {spawn_calls} (spawns)")
    for name, fn in list(fast.items()):
        results[name] = per_call(fn, fast_calls, fast_repeats)
        print(f"  {name:<42} {results[name]:10.2f} us/call")
    for name, fn in list(slow.items()):
        results[name] = per_call(fn, spawn_calls, spawn_repeats)
        print(f"  {name:<42} {results[name]:10.2f} us/call")

    def ratio(a, b, target=None):
        value = results[a] / results[b]
        goal = f"   (target <= {target:.2f}x)" if target is not None else ""
        print(f"  {a} / {b}: {value:.2f}x{goal}")

    print("ratios:")
    ratio("corvane prepare", "pure-Python checks", 0.40)
    ratio("corvane prepare", "floor: os.path.realpath + os.stat")
    ratio("pure-Python checks", "floor: os.path.realpath + os.stat")
    ratio("corvane prepare + spawn_sync", "subprocess.run", 0.90)
    ratio("corvane prepare + spawn_sync", "subprocess.run(timeout=30)", 0.60)
    ratio("corvane prepare + spawn_sync", "floor: os.posix_spawn + pipes + waitpid")
    ratio("subprocess.run", "floor: os.posix_spawn + pipes + waitpid")


if __name__ == "__main__":
    main()
