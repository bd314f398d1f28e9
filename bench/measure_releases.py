#!/usr/bin/env python3
"""Measures the program on CPython releases and keeps the figures in bench/releases.json, from
which bench/release_tables.py writes the tables of doc/releases.md.

    bench/measure_releases.py PYTHON...     # each a release's python3; takes about 8 min each
    bench/measure_releases.py --soak PYTHON...   # only the soak runs, the release's build kept

For each release: `make test` (what the suite says), `make bench` (times per call, a fresh
image's cost, memory per in-process restart) and three soak runs of the program, 1,000 cycles
each, with a module that imports decimal and ctypes, one whose calls each leave a thread reading
a socket, and one whose calls each leave an asyncio loop running: resident memory and
descriptors at the end. The benchmark and the soak runs are made in a virtual environment of the
release's own, without the release's site-packages, so that no .pth file or package of this
machine's is in the figures (the suite sets up its own runs).
A release's figures replace those it had; the others are kept.
"""
import datetime
import json
import os
import platform
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
FIGURES = os.path.join(HERE, "releases.json")
sys.path.insert(0, HERE)
import summary  # noqa: E402

# Half the repetitions of a plain make bench, so that eleven releases take under two hours.
REPETITIONS = 30
SOAK_CYCLES = 1000
SOAKS = {
    "decimal and ctypes": "import ctypes, decimal\n\ndef use(value):\n"
                          "    ctypes.c_int(value)\n    return decimal.Decimal(value) / 3\n",
    # The thread keeps the other end open, so that its read never ends.
    "socket reader": "import socket, threading\n\ndef use(value):\n"
                     "    reading, writing = socket.socketpair()\n"
                     "    thread = threading.Thread(target=reading.recv, args=(1,), daemon=True)\n"
                     "    thread.writing = writing\n"
                     "    thread.start()\n",
    "asyncio loop": "import asyncio, threading\n\ndef use(value):\n"
                    "    loop = asyncio.new_event_loop()\n"
                    "    threading.Thread(target=loop.run_forever, daemon=True).start()\n"
                    "    return loop\n",
}
# The last call reports what the process holds.
SOAK_MODULE = """
import os
{use}
def printsomething():
    pass

def PrintMe(value):
    kept = use(value)
    if value == {cycles}:
        with open("/proc/self/statm") as statm:
            resident = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        print(resident / 2 ** 20, len(os.listdir("/proc/self/fd")))
    return value
"""


def run(command, **kwargs):
    return subprocess.run(command, cwd=TOP, text=True, capture_output=True, **kwargs)


def facts(python):
    code = ("import platform, sys, sysconfig; print(platform.python_version()); "
            "print(int(bool(sysconfig.get_config_var('Py_GIL_DISABLED')))); "
            "print(int(hasattr(sys, 'gettotalrefcount')))")
    version, free_threaded, debug = run([python, "-c", code]).stdout.split()
    source = ("Debian" if python.startswith("/usr/bin/") else
              "pyenv" if "/.pyenv/" in python else "built")
    name = version + ("t" if free_threaded == "1" else "") + ("-debug" if debug == "1" else "")
    return name, source


def suite(python, env):
    out = run(["make", "test", "PYTHON=" + python], env=env).stdout
    found = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)", out)
    if not found:
        return {"passed": 0, "failed": 0, "skipped": 0, "note": "did not run"}
    failed, total = int(found.group(2)), int(found.group(3))
    skipped = len(re.findall(r"\*\*\*Skipped", out))
    return {"passed": total - failed - skipped, "failed": failed, "skipped": skipped}


def bench(python, env, build):
    run(["make", "bench", "PYTHON=" + python,
         "BENCH_ARGS=--benchmark_repetitions=%d" % REPETITIONS], env=env)
    report = summary.load(os.path.join(TOP, build, "bench.json"))
    times = summary.repetitions(report)
    figures = {}
    for name, key in (("bare", summary.BARE), ("call", "CallScriptIntFunction"),
                      ("python3", summary.PROCESS), ("start", summary.START)):
        if key in times:
            figures[name + "_ms"] = round(summary.quartiles(times[key])[0], 2)
    if "CallScriptIntFunction" in times and summary.PROCESS in times:
        figures["call_over_python3"] = [round(x, 2) for x in summary.ratio(
            times, "CallScriptIntFunction", summary.PROCESS)]
    left, ended, plain = (times.get(key) for key in (
        summary.LEFT_CYCLE, summary.ENDED_CYCLE, summary.PLAIN_CYCLE))
    if left and ended and plain and summary.PROCESS_LEFT in times:
        figures["fresh_image_ms"] = [round(x, 2) for x in summary.quartiles(
            [a - b for a, b in zip(left, ended)])]
        figures["fresh_call_over_python3"] = [round(x, 2) for x in summary.quartiles(
            [(a - p / 2) / b for a, p, b in zip(left, plain, times[summary.PROCESS_LEFT])])]
    grown = summary.memory(report).get("CallScriptIntFunction, plain")
    if isinstance(grown, float):
        figures["kib_per_restart"] = round(grown, 2)
    return figures


def soak(program, env):
    held = {}
    for name, use in SOAKS.items():
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "PythonCode.py"), "w") as module:
                module.write(SOAK_MODULE.format(use=use, cycles=SOAK_CYCLES))
            cycles = "".join("1 %d\n" % i for i in range(1, SOAK_CYCLES + 1)) + "3\n"
            done = subprocess.run([program], input=cycles, text=True, capture_output=True,
                                  env=dict(env, PYTHONPATH=folder))
            # The last call's line, "<MiB> <descriptors>", is missing if a call failed.
            numbers = re.findall(r"^([0-9.]+) ([0-9]+)$", done.stdout, re.M)
            if done.returncode != 0 or not numbers or done.stderr:
                held[name] = "failed: " + (done.stderr.strip().splitlines() or ["?"])[-1]
            else:
                resident, descriptors = numbers[-1]
                held[name] = {"resident_mib": round(float(resident), 1),
                              "descriptors": int(descriptors)}
    return held


def measure(python, figures, soak_only):
    name, source = facts(python)
    env = {key: value for key, value in os.environ.items()
           if not key.startswith("PYTHON") and key != "VIRTUAL_ENV"}
    figures = dict(figures.get(name, {}) if soak_only else {}, release=name, source=source)
    if not soak_only:
        # The suite sets up the environments of its own runs, Debian's packages among them.
        figures["suite"] = suite(python, env)
    with tempfile.TemporaryDirectory() as folder:
        environment = os.path.join(folder, "venv")
        subprocess.run([python, "-m", "venv", "--without-pip", environment], check=True)
        env = dict(env, VIRTUAL_ENV=environment,
                   PATH=os.path.join(environment, "bin") + os.pathsep + env.get("PATH", ""))
        build = os.path.join("build", "python-" + name)
        if not soak_only:
            figures.update(bench(python, env, build))
        figures["soak"] = soak(os.path.join(TOP, build, "bin", "script-menu"), env)
    return figures


def save(kept, releases):
    kept["measured"] = {
        "date": datetime.date.today().isoformat(),
        "machine": "{} cores, {} {}, {}".format(os.cpu_count(), platform.system(),
                                                platform.release(), platform.machine()),
        "isolation": "a virtual environment of each release's own, without its site-packages",
        "repetitions": REPETITIONS,
    }
    kept["releases"] = sorted(releases.values(), key=lambda entry: [
        int(part) for part in re.findall(r"\d+", entry["release"])[:3]] + [entry["release"]])
    with open(FIGURES, "w") as out:
        json.dump(kept, out, indent=1)
        out.write("\n")


def main():
    soak_only = sys.argv[1:2] == ["--soak"]
    pythons = sys.argv[2:] if soak_only else sys.argv[1:]
    if not pythons:
        sys.exit(__doc__)
    kept = {"releases": []}
    if os.path.exists(FIGURES):
        with open(FIGURES) as saved:
            kept = json.load(saved)
    releases = {entry["release"]: entry for entry in kept["releases"]}
    for python in pythons:
        print("measuring", python, file=sys.stderr, flush=True)
        figures = measure(python, releases, soak_only)
        releases[figures["release"]] = figures
        # Each release's figures are kept as soon as they are measured: a long run cut short
        # keeps what it did.
        save(kept, releases)


if __name__ == "__main__":
    main()
