#!/usr/bin/env python3
"""Measures script-menu on every CPython release from 3.8 to 3.13 found here, for the README.

For each release: whether `make test` passes, the benchmark's cost per call beside a bare
interpreter start and a python3 process, and a soak run of the real program with modules that
import decimal, ctypes, ssl, sqlite3, datetime and numpy, giving the resident memory growth per
call, or how the program ended when it did not survive the restarts.

    /usr/bin/python3 bench/release_table.py [python3 ...]

With no arguments: Debian's /usr/bin/python3, then every pyenv CPython 3.8 or later.
Prints a Markdown table on standard output; progress goes to standard error.
"""
import datetime
import os
import platform
import re
import signal
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Soak modules: each imports its module at the top and uses it in DoubleValue.
SOAK_MODULES = {
    "plain": ("", "value * 2"),
    "decimal": ("import decimal", "int(decimal.Decimal(value) * 2)"),
    "ctypes": ("import ctypes", "ctypes.c_int(value * 2).value"),
    "ssl": ("import ssl", "len(ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT).get_ciphers()) * 0 + value * 2"),
    "sqlite3": ("import sqlite3",
                "sqlite3.connect(':memory:').execute('select ? * 2', (value,)).fetchone()[0]"),
    "datetime": ("import datetime",
                 "(datetime.date(2000, 1, 1) + datetime.timedelta(days=value)).day * 0 + value * 2"),
    "numpy": ("import numpy", "int(numpy.int64(value) * 2)"),
}
# Calls in the short and the long soak run; growth is measured between them, past the first few
# hundred calls in which resident memory settles.
SHORT_CYCLES, LONG_CYCLES = 150, 650


def kib(value):
    """One decimal, without the minus sign of a value that rounds to zero."""
    return "{:.1f}".format(value).replace("-0.0", "0.0")


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def releases():
    found = ["/usr/bin/python3"]
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    versions = os.path.join(pyenv_root, "versions")
    if os.path.isdir(versions):
        for name in sorted(os.listdir(versions), key=lambda v: [int(p) if p.isdigit() else p for p in v.split(".")]):
            match = re.fullmatch(r"3\.(\d+)\.\d+", name)
            if match and int(match.group(1)) >= 8:
                found.append(os.path.join(versions, name, "bin", "python3"))
    return found


def version_of(python):
    return subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                          capture_output=True, text=True, check=True).stdout.strip()


def make(python, target, *arguments):
    return subprocess.run(["make", "-C", ROOT, target, "PYTHON=" + python] + list(arguments),
                          capture_output=True, text=True)


def suite(python):
    result = make(python, "test")
    summary = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)", result.stdout)
    if result.returncode == 0 and summary:
        return "passes ({})".format(summary.group(3))
    if summary:
        return "**{} of {} fail**".format(summary.group(2), summary.group(3))
    return "**does not build**"


def bench(python):
    """Per-call milliseconds, and the memory growth of a bare restart, from the benchmark's
    side-by-side summary."""
    # Timing: the mean of repeated runs, since one run on a shared machine can be far off.
    out = make(python, "bench",
               "BENCH_ARGS=--benchmark_filter=-memory --benchmark_repetitions=5").stdout
    # Memory: the bare restart only; the soak runs give the modules' figures.
    out += make(python, "bench", "BENCH_ARGS=--benchmark_filter=memory.growth,.bare").stdout
    numbers = {}
    for name in ("bare start and shut-down", "CallScriptIntFunction", "python3 process"):
        match = re.search(r"^  {}\s+([\d.]+) ms".format(re.escape(name)), out, re.M)
        numbers[name] = float(match.group(1)) if match else None
    growth = re.search(r"warm up:\n  bare start and shut-down\s+(-?[\d.]+) KiB", out)
    numbers["bare growth"] = kib(float(growth.group(1))) if growth else "?"
    return numbers


def program(python):
    return os.path.join(ROOT, "build", "python-" + version_of(python), "bin", "script-menu")


def peak_rss(binary, folder, cycles):
    """Peak resident KiB of one run, how it ended, and its standard error."""
    read_end, write_end = os.pipe()
    err_file = tempfile.TemporaryFile()
    pid = os.fork()
    if pid == 0:
        os.dup2(read_end, 0)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.dup2(err_file.fileno(), 2)
        os.close(write_end)
        try:
            os.execve(binary, [binary], {"PYTHONPATH": folder})
        finally:
            os._exit(127)
    os.close(read_end)
    with os.fdopen(write_end, "wb") as feed:
        try:
            feed.write(b"2 21\n" * cycles + b"3\n")
        except BrokenPipeError:
            pass
    _, status, usage = os.wait4(pid, 0)
    err_file.seek(0)
    err = err_file.read().decode(errors="replace")
    if os.WIFSIGNALED(status):
        return None, "crashes ({})".format(signal.Signals(os.WTERMSIG(status)).name), err
    if os.WEXITSTATUS(status) != 0:
        return None, "ends with status {}".format(os.WEXITSTATUS(status)), err
    return usage.ru_maxrss, None, err


def soak(python, module):
    imports, expression = SOAK_MODULES[module]
    if module != "plain":
        missing = subprocess.run([python, "-c", imports], capture_output=True).returncode != 0
        if missing:
            return "not installed"
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "PythonCode.py"), "w") as source:
            source.write("{}\n\ndef printsomething():\n    pass\n\n"
                         "def DoubleValue(value):\n    return {}\n".format(imports, expression))
        binary = program(python)
        short, failure, err = peak_rss(binary, folder, SHORT_CYCLES)
        if failure is None:
            long, failure, err = peak_rss(binary, folder, LONG_CYCLES)
        if failure:
            return failure
        calls = 2 * (LONG_CYCLES - SHORT_CYCLES)  # a menu call and a number call per cycle
        growth = kib((long - short) / calls)
        if err.strip():
            log("    standard error ends with:", err.strip().splitlines()[-1])
            growth += ", writes on stderr"
        return growth


def main():
    pythons = sys.argv[1:] or releases()
    rows = []
    for python in pythons:
        version = version_of(python)
        log("== CPython", version, "(" + python + ")")
        log("   suite ...")
        passes = suite(python)
        log("   ", passes, "\n   benchmark ...")
        timing = bench(python)
        log("   ", timing)
        growth = []
        for module in SOAK_MODULES:
            log("   soak", module, "...")
            growth.append(soak(python, module))
            log("   ", growth[-1])
        call, bare, process = (timing["CallScriptIntFunction"], timing["bare start and shut-down"],
                               timing["python3 process"])

        def ms(value):
            return "{:.1f}".format(value) if value else "?"

        ratio = "{:.2f}".format(call / process) if call and process else "?"
        source = "Debian" if python.startswith("/usr/") else "pyenv"
        rows.append([version + " (" + source + ")", passes, ms(call), ms(bare), ms(process), ratio,
                     timing["bare growth"]] + growth)

    print("Measured on {} by bench/release_table.py; {} cores, {}.".format(
        datetime.date.today().isoformat(), os.cpu_count(), platform.platform()))
    print("Times are real milliseconds per call, the mean of five benchmark runs. Memory columns: "
          "growth of resident memory in KiB per call (bare start: the benchmark, over 1000 bare "
          "restarts; modules: a soak run of the program, from {} to {} calls).".format(
              2 * SHORT_CYCLES + 1, 2 * LONG_CYCLES + 1))
    print()
    header = ["CPython", "suite", "ms per call", "bare start ms", "python3 process ms",
              "call / process", "KiB per call: bare start"] + list(SOAK_MODULES)
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
