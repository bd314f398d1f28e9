#!/usr/bin/env python3
"""Measures script-menu on every CPython release from 3.6 on found here, for the README.

For each release: whether `make test` passes; the benchmark's time per call beside a bare
interpreter start and a python3 process, read from the JSON that `make bench` writes, in rounds
spread over the whole run (--rounds); and a soak run of the real program with modules that
import decimal, ctypes, ssl, sqlite3, datetime and numpy (and one that imports nothing), whose
functions print the program's resident memory at every call, giving the growth per call, or how
the program ended when it did not survive the restarts.

    /usr/bin/python3 bench/release_table.py [options] [python3 ...]

With no interpreters named: Debian's /usr/bin/python3, every pyenv CPython 3.6 or later, and every
release that tools/build_cpython has built. Runs itself on CPython 3.10 or later (Debian's
python3); of a release it measures it asks only what 3.6 has.
Everything measured runs without the caller's PYTHON* variables, which change what a start costs
(PYTHONPATH aside, which names the soak module's folder for the soak runs). Prints a Markdown
table on standard output, with how it was measured and the .pth files every start runs, and draws
bench/release_chart.svg (with Debian's python3-matplotlib); progress goes to standard error.
"""
import argparse
import datetime
import json
import os
import platform
import random
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

sys.dont_write_bytecode = True  # no __pycache__ in the source tree for the import below
sys.path.insert(0, HERE)
from summary import BARE, PROCESS, breaches, load, memory, quartiles, repetitions  # noqa: E402

CALL = "CallScriptIntFunction"
TIMED = (CALL, BARE, PROCESS)
TIMED_LABELS = {CALL: "CallScriptIntFunction", BARE: "bare start", PROCESS: "python3 process"}
# The chart's bars: colours of their own, apart from the releases' in the memory panel.
TIMED_COLOURS = {CALL: "#2f5f98", BARE: "#9cc3e6", PROCESS: "#9a9a9a"}

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
# Both functions print the resident memory of the process they run in, so the n-th value printed
# is the one of the n-th call. Reading /proc needs no import of its own.
SOAK_SOURCE = '''{imports}


def _resident_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def printsomething():
    print("rss", _resident_kib())


def PrintMe(value):
    return value


def DoubleValue(value):
    doubled = {expression}
    print("rss", _resident_kib())
    return doubled
'''
READING = re.compile(r"^rss (-?\d+)$", re.M)
DEFAULT_CYCLES = 650
# The benchmark's compared cases run in rounds, the first with make bench and the others after
# every release has had its first, so that each release is measured across the whole run's time
# and not only in a stretch of its own: how fast this machine starts an interpreter changes by
# as much as a half from one stretch of minutes to the next.
DEFAULT_ROUNDS = 4
# Resident memory settles over the first few hundred calls: growth is measured after them.
WARM_UP_CALLS = 300
DEFAULT_CHART = os.path.join(HERE, "release_chart.svg")
DEFAULT_SAVED = os.path.join(ROOT, "build", "release_table.json")


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def kib(value):
    """One decimal, without the minus sign of a value that rounds to zero."""
    return "{:.1f}".format(value).replace("-0.0", "0.0")


def code(text):
    """Markdown code span for any text, backticks in it included."""
    fence = "``" if "`" in text else "`"
    pad = " " if text.startswith("`") or text.endswith("`") else ""
    return fence + pad + text + pad + fence


# ---- the environment ------------------------------------------------------------------------

CALLERS_VARIABLES = {name: value for name, value in os.environ.items() if name.startswith("PYTHON")}
# What everything here runs with: the caller's environment without any PYTHON* variable.
CLEAN = {name: value for name, value in os.environ.items() if name not in CALLERS_VARIABLES}


def run(command, **options):
    return subprocess.run(command, env=options.pop("env", CLEAN), capture_output=True, text=True,
                          **options)


# ---- the releases ---------------------------------------------------------------------------

def build_cache():
    """Where tools/build_cpython keeps the releases it builds."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return os.environ.get("SCRIPT_MENU_CACHE") or os.path.join(cache, "script-menu")


def releases():
    """Debian's python3, then the pyenv and tools/build_cpython releases from 3.6 on, by version."""
    found = []
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for folder, pattern in ((os.path.join(pyenv_root, "versions"), r"(3\.(\d+)\.\d+)"),
                            (build_cache(), r"cpython-(3\.(\d+)\.\d+)")):
        if not os.path.isdir(folder):
            continue
        for name in os.listdir(folder):
            match = re.fullmatch(pattern, name)
            python = os.path.join(folder, name, "bin", "python3")
            if match and int(match.group(2)) >= 6 and os.access(python, os.X_OK):
                found.append(([int(part) for part in match.group(1).split(".")], python))
    return ["/usr/bin/python3"] + [python for _, python in sorted(found)]


def version_of(python):
    result = run([python, "-c", "import platform; print(platform.python_version())"])
    if result.returncode != 0:
        raise SystemExit("{} does not run: {}".format(python, result.stderr.strip()))
    return result.stdout.strip()


def label_of(python, version):
    if python.startswith("/usr/"):
        return version + " (Debian)"
    if "/.pyenv/" in python or "/pyenv/" in python:
        return version + " (pyenv)"
    if python.startswith(build_cache() + os.sep):
        return version + " (build_cpython)"
    return "{} ({})".format(version, python)


# The user's site-packages folder counts only where the interpreter would read it.
SITE_FOLDERS = ("import json, site\n"
                "user = [site.getusersitepackages()] if site.ENABLE_USER_SITE else []\n"
                "print(json.dumps(site.getsitepackages() + user))")


def pth_files(python):
    """The .pth files in the release's site-packages folders, each with what it does."""
    result = run([python, "-c", SITE_FOLDERS])
    if result.returncode != 0:
        return [("?", "cannot ask: " + (result.stderr.strip().splitlines() or ["?"])[-1])]
    found = []
    for folder in dict.fromkeys(json.loads(result.stdout)):
        if not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            if name.endswith(".pth"):
                found.append((os.path.join(folder, name), pth_action(os.path.join(folder, name))))
    return found


def pth_action(path):
    """What a .pth file does at a start, read as the site module reads it: a line that begins
    with "import" runs, any other is a folder added to the module search path (comments and
    blank lines aside). The first line that runs, or else the first folder, is given whole if it
    is short, and its beginning otherwise."""
    try:
        with open(path, errors="replace") as source:
            lines = [line.rstrip() for line in source
                     if line.strip() and not line.startswith("#")]
    except OSError as error:
        return "unreadable ({})".format(error.strerror)
    runs = [line for line in lines if line.startswith(("import ", "import\t"))]
    if not lines:
        return "nothing (comments only)"
    first = runs[0] if runs else lines[0]
    shown = code(first) if len(first) <= 100 else "{}… ({} characters)".format(
        code(first[:60].rstrip()), len(first))
    parts = []
    if runs:
        parts.append("runs " + shown + ("" if len(runs) == 1 else ", and {} more lines".format(
            len(runs) - 1)))
    folders = len(lines) - len(runs)
    if folders:
        added = "adds {} folder{} to the path".format(folders, "" if folders == 1 else "s")
        parts.append(added + (", " + shown if not runs else ""))
    return "; ".join(parts)


# ---- building, testing, the benchmark -------------------------------------------------------

def make(python, target, *variables):
    # make puts a variable given on its command line in the environment of what it runs. PYTHON is
    # none of the interpreter's variables, but it is kept out all the same: then the benchmark's
    # own record of the interpreter's variables says none.
    return run(["make", "-C", ROOT, "--eval=unexport PYTHON", target, "PYTHON=" + python]
               + list(variables))


def log_failure(what, result):
    log("    {} failed (status {}); its output ends with:".format(what, result.returncode))
    for line in (result.stdout + result.stderr).strip().splitlines()[-15:]:
        log("      " + line)


def suite(python):
    result = make(python, "test")
    summary = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)", result.stdout)
    if result.returncode == 0 and summary:
        return "passes ({})".format(summary.group(3))
    log_failure("make test", result)
    if summary:
        return "**{} of {} fail**".format(summary.group(2), summary.group(3))
    return "**does not build**"


def bench_report(python, version, *variables):
    """A run of make bench, with these variables: its JSON report, or None if it failed. A run
    whose only failure is the memory bound is a finding, and its report is kept."""
    report_path = os.path.join(ROOT, "build", "python-" + version, "bench.json")
    if os.path.exists(report_path):
        os.remove(report_path)  # never read an earlier run's figures
    result = make(python, "bench", *variables)
    report = load(report_path) if os.path.exists(report_path) else None
    if result.returncode != 0 and not (report and breaches(report)):
        log_failure("make bench", result)
        return None
    return report


def round_times(report):
    times = repetitions(report)
    return {name: times.get(name, []) for name in TIMED}


# Set by --quick: every make bench made with QUICK=1.
QUICK = []


def bench(python, version):
    """The benchmark's full run, its first round: every case's repetitions, the bare start's
    memory growth, and what the benchmark says of its environment."""
    report = bench_report(python, version, *QUICK)
    if report is None:
        return None
    grown = memory(report).get(BARE, "not run")
    return {
        "python": python,
        "version": version,
        "rounds": [round_times(report)],
        "bare growth": kib(grown) if isinstance(grown, float) else grown,
        "bound broken": breaches(report),
        "environment": report["context"].get("python_environment", "?"),
        "memory calls": report["context"].get("memory_calls", "?"),
        "memory warm-up": report["context"].get("memory_warm_up_calls", "?"),
    }


# A further round runs make bench on the compared cases alone (the value is quoted for the shell
# that make runs the benchmark with).
COMPARED_ONLY = "BENCH_ARGS='--benchmark_filter=^({})/'".format("|".join(TIMED))


def bench_round(measured):
    """A further round of the compared cases; its repetitions are added to the release's."""
    report = bench_report(measured["python"], measured["version"], COMPARED_ONLY, *QUICK)
    if report is not None:
        measured["rounds"].append(round_times(report))


def figures(measured):
    """Quartiles of each timed case over every round, and of the call / process ratio: the
    i-th repetitions of a round are the pairs, and the pairs of all rounds are pooled. With
    the median ratio of each round on its own."""
    pooled = {name: [ms for one in measured["rounds"] for ms in one[name]] for name in TIMED}
    ratios, per_round = [], []
    for one in measured["rounds"]:
        paired = [call / process for call, process in zip(one[CALL], one[PROCESS])]
        ratios += paired
        if paired:
            per_round.append(statistics.median(paired))
    return {
        "times": {name: quartiles(pooled[name]) if pooled[name] else None for name in TIMED},
        "repetitions": min(len(pooled[name]) for name in TIMED),
        "ratio": quartiles(ratios) if ratios else None,
        "round ratios": per_round,
    }


# ---- soak runs ------------------------------------------------------------------------------

def window(cycles):
    """First and last call of the growth measurement in a run of this many cycles: the last
    call is the final cycle's printsomething, before the choice to quit; the first is past the
    warm-up, or past the first quarter of a run too short for it."""
    last = 2 * cycles + 1
    return min(WARM_UP_CALLS, (last - 1) // 4) + 1, last


def soak(python, version, module, cycles):
    """A run of the program: what to show in the table, and the resident KiB at each call."""
    imports, expression = SOAK_MODULES[module]
    if imports and run([python, "-c", imports]).returncode != 0:
        return "not installed", []
    binary = os.path.join(ROOT, "build", "python-" + version, "bin", "script-menu")
    if not os.access(binary, os.X_OK):
        return "not built", []
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "PythonCode.py"), "w") as source:
            source.write(SOAK_SOURCE.format(imports=imports, expression=expression))
        environment = dict(CLEAN, PYTHONPATH=folder)
        try:
            result = run([binary], env=environment, input="2 21\n" * cycles + "3\n",
                         timeout=max(600, cycles * 2))
        except subprocess.TimeoutExpired:
            return "hangs", []
    readings = [int(value) for value in READING.findall(result.stdout)]
    err = result.stderr.strip()
    if err:
        log("    standard error ends with:", err.splitlines()[-1])
    if result.returncode < 0:
        return "crashes ({})".format(signal.Signals(-result.returncode).name), readings
    if result.returncode != 0:
        return "ends with status {}".format(result.returncode), readings
    first, last = window(cycles)
    if len(readings) != last:
        # A call that printed nothing failed in the module: the n-th value is no longer the
        # n-th call's.
        shown = "{} of {} calls run".format(len(readings), last)
    else:
        shown = kib((readings[last - 1] - readings[first - 1]) / (last - first))
    if err:
        shown += ", writes on stderr"
    return shown, readings


# ---- output ---------------------------------------------------------------------------------

def machine():
    """The machine's processor, cores, system and C library, as far as they can be told."""
    model = ""
    try:
        with open("/proc/cpuinfo") as info:
            model = next((line.split(":", 1)[1].strip() for line in info
                          if line.startswith("model name")), "")
    except OSError:
        pass
    system = platform.system()
    try:
        system = platform.freedesktop_os_release().get("PRETTY_NAME", system)
    except OSError:
        pass
    libc, libc_version = platform.libc_ver()
    cores = "{} cores".format(os.cpu_count()) + (" ({})".format(model) if model else "")
    parts = [cores, system, "Linux {} {}".format(platform.release(), platform.machine())]
    if libc:
        parts.append("{} {}".format(libc, libc_version))
    return ", ".join(parts)


def cell_ms(quartet):
    return "{:.1f}".format(quartet[0]) if quartet else "?"


def cell_ratio(quartet):
    return "{:.2f} ({:.2f} to {:.2f})".format(*quartet) if quartet else "?"


def describe(options, rows):
    measured = [row["bench"] for row in rows if row["bench"]]
    count = max((bench["repetitions"] for bench in measured), default=0)
    memory_calls = measured[0]["memory calls"] if measured else "?"
    memory_warm_up = measured[0]["memory warm-up"] if measured else "?"
    first, last = window(options.cycles)
    return (
        "Measured on {date} by `bench/release_table.py`, on a machine with {machine}, without "
        "any `PYTHON*` environment variable (but for the soak runs' `PYTHONPATH`, which names "
        "their module's folder). Times are real milliseconds per call, each the median of "
        "{count} repetitions of the benchmark's compared cases, made in {rounds} rounds of "
        "{per_round}: the first by `make bench`, the others once every release had had its "
        "first, the releases in a new random order each round, so that every release is "
        "measured across the whole run's time; within a round the cases' repetitions are "
        "interleaved at random. \"call / process\" is the median of the ratios of paired "
        "repetitions (the i-th of `CallScriptIntFunction` over the i-th of the python3 process "
        "in the same round) pooled over the rounds, and in brackets the spread of those ratios: "
        "their first to third quartile, the range of the middle half; \"by round\" is the "
        "median ratio of each round on its own, in the order they were made. "
        "Memory columns: growth of resident memory in KiB per call (bare start: the benchmark, "
        "over {memory_calls} bare restarts after {memory_warm_up} to warm up; modules: one soak "
        "run of the program, {cycles} cycles of `2 21` with a module that imports that module, "
        "uses it in every call and prints the program's resident memory in every call; the "
        "growth from call {first} to call {last}, counting `printsomething`'s calls).{quick}"
    ).format(quick=" Made with --quick (`make bench QUICK=1`): these figures mean little."
             if options.quick else "",
             date=options.date, machine=options.machine, count=count, rounds=options.rounds,
             per_round=count // options.rounds,
             memory_calls=memory_calls, memory_warm_up=memory_warm_up, cycles=options.cycles,
             first=first, last=last)


def table(options, rows):
    header = (["CPython"] + ([] if options.skip_suite else ["suite"])
              + ["ms per call", "bare start ms", "python3 process ms", "call / process",
                 "by round", "KiB per call: bare start"] + options.modules)
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    for row in rows:
        bench = row["bench"]
        times = bench["times"] if bench else dict.fromkeys(TIMED)
        cells = ([row["label"]] + ([] if options.skip_suite else [row["suite"]])
                 + [cell_ms(times[CALL]), cell_ms(times[BARE]), cell_ms(times[PROCESS]),
                    cell_ratio(bench["ratio"] if bench else None),
                    ", ".join("{:.2f}".format(value) for value in bench["round ratios"])
                    if bench else "?",
                    bench["bare growth"] if bench else "?"]
                 + [row["soak"][module][0] for module in options.modules])
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def and_list(items):
    items = list(items)
    return ", ".join(items[:-1]) + " and " + items[-1] if len(items) > 1 else "".join(items)


def findings(rows):
    had = and_list("`{}={}`".format(name, value)
                   for name, value in sorted(CALLERS_VARIABLES.items()))
    # What the benchmark itself found in its environment, by release.
    recorded = {}
    for row in rows:
        if row["bench"]:
            found = row["bench"]["environment"]
            recorded.setdefault(found if found == "none" else code(found), []).append(row["label"])
    lines = ["Environment: the caller had {}; every build, test, benchmark and soak run here had "
             "none in effect, `PYTHONPATH` aside, which names the soak module's folder for the "
             "soak runs. The benchmark's own record of the interpreter's variables: {}.".format(
                 had or "no `PYTHON*` variable",
                 "; ".join("{} for {}".format(found, and_list(labels))
                           for found, labels in recorded.items()) or "none taken")]
    broken = ["{}: {}".format(row["label"], line) for row in rows if row["bench"]
              for line in row["bench"].get("bound broken", [])]
    lines += ["", "The benchmark's memory bound (bench/README.md): " + (
        "broken by " + "; ".join(broken) if broken else "held on every release measured.")]
    lines += ["", "`.pth` files in each release's site-packages folders, which every start of the "
              "interpreter runs, the program's and `python3`'s alike:", ""]
    for row in rows:
        if not row["pth"]:
            lines.append("- {}: none".format(row["label"]))
            continue
        lines.append("- {}:".format(row["label"]))
        for path, action in row["pth"]:
            lines.append("  - {}: {}".format(code(path), action))
    return "\n".join(lines)


def draw_chart(path, rows):
    """Resident memory against calls in the plain module's soak run, and the time per call,
    in an SVG that changes between runs only where the figures do."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    matplotlib.rcParams["svg.hashsalt"] = "script-menu release chart"
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.5))
    colours = plt.get_cmap("tab10")

    plotted = False
    for number, row in enumerate(rows):
        shown, readings = row["soak"].get("plain", ("", []))
        if readings:
            colour = colours(number % 10)
            left.plot(range(1, len(readings) + 1), [value / 1024 for value in readings],
                      color=colour, linewidth=1.4, label=row["label"])
            if shown.startswith(("crashes", "ends with", "hangs")):
                left.plot([len(readings)], [readings[-1] / 1024], "x", color=colour, markersize=8)
            plotted = True
    left.set_title("Soak run, module with no imports (x: the program died)"
                   if any(line.get_marker() == "x" for line in left.lines)
                   else "Soak run, module with no imports")
    left.set_xlabel("calls in one run")
    left.set_ylabel("resident memory (MiB)")
    left.grid(True, alpha=0.3)
    if plotted:
        left.legend(fontsize="small")
    else:
        left.text(0.5, 0.5, "no soak run of the plain module", ha="center", va="center",
                  transform=left.transAxes)

    width = 0.8 / len(TIMED)
    for case_number, case in enumerate(TIMED):
        medians, below, above, places = [], [], [], []
        for number, row in enumerate(rows):
            quartet = row["bench"]["times"][case] if row["bench"] else None
            if quartet:
                median, low, high = quartet
                medians.append(median)
                below.append(median - low)
                above.append(high - median)
                places.append(number + (case_number - (len(TIMED) - 1) / 2) * width)
        right.bar(places, medians, width, yerr=[below, above], capsize=2,
                  color=TIMED_COLOURS[case], label=TIMED_LABELS[case],
                  error_kw={"linewidth": 0.8})
    right.set_xticks(range(len(rows)))
    right.set_xticklabels([row["label"] for row in rows], rotation=20, ha="right",
                          fontsize="small")
    right.set_title("Time per call: median, interquartile range")
    right.set_ylabel("ms per call")
    right.grid(True, axis="y", alpha=0.3)
    right.legend(fontsize="small")

    figure.tight_layout()
    if path.endswith(".svg"):
        figure.savefig(path, format="svg", metadata={"Date": None})
    else:
        figure.savefig(path, dpi=100)
    plt.close(figure)


# ---- the whole run --------------------------------------------------------------------------

def parse_arguments():
    parser = argparse.ArgumentParser(
        description="Measure script-menu on CPython releases and print the README's table.")
    parser.add_argument("pythons", nargs="*", metavar="python3",
                        help="interpreters to measure (default: /usr/bin/python3, every pyenv "
                             "CPython 3.6 or later and every release tools/build_cpython built)")
    parser.add_argument("--chart", default=DEFAULT_CHART,
                        help="where to write the SVG chart (default: bench/release_chart.svg)")
    parser.add_argument("--skip-suite", action="store_true",
                        help="leave out make test and its column")
    parser.add_argument("--cycles", type=int, default=DEFAULT_CYCLES,
                        help="menu cycles of each soak run, two calls each (default: %(default)s)")
    parser.add_argument("--modules", default=",".join(SOAK_MODULES),
                        help="soak modules, comma-separated, of: " + ", ".join(SOAK_MODULES))
    parser.add_argument("--rounds", type=int, default=DEFAULT_ROUNDS,
                        help="rounds of the benchmark's compared cases, each as many "
                             "repetitions as make bench runs (default: %(default)s)")
    parser.add_argument("--quick", action="store_true",
                        help="run make bench with QUICK=1 in every round: shows that the script "
                             "works with a release in minutes, with figures that mean little")
    parser.add_argument("--saved", default=DEFAULT_SAVED,
                        help="where to keep the figures measured (default: %(default)s)")
    parser.add_argument("--from-saved", action="store_true",
                        help="measure nothing: print and draw the figures kept by an earlier run "
                             "(so that the chart can be drawn where matplotlib's own .pth file "
                             "was not there to slow down the starts measured)")
    options = parser.parse_args()
    options.modules = [name.strip() for name in options.modules.split(",") if name.strip()]
    unknown = [name for name in options.modules if name not in SOAK_MODULES]
    if unknown:
        parser.error("unknown soak module {}: choose from {}".format(
            ", ".join(unknown), ", ".join(SOAK_MODULES)))
    if options.cycles < 1:
        parser.error("--cycles must be 1 or more")
    if options.rounds < 1:
        parser.error("--rounds must be 1 or more")
    return options


def measure(python, options):
    started = time.monotonic()
    version = version_of(python)
    row = {"label": label_of(python, version), "suite": None, "bench": None, "soak": {}}
    log("== CPython", version, "(" + python + ")")
    row["pth"] = pth_files(python)
    log("   .pth files:", ", ".join(os.path.basename(path) for path, _ in row["pth"]) or "none")
    log("   build ...")
    built = make(python, "build")
    if built.returncode != 0:
        log_failure("make build", built)
    if not options.skip_suite:
        log("   suite ...")
        row["suite"] = suite(python)
        log("   ", row["suite"])
    log("   benchmark ...")
    row["bench"] = bench(python, version)
    if row["bench"]:
        log_round(row["bench"])
        log("    bare start", row["bench"]["bare growth"], "KiB per call")
        for line in row["bench"]["bound broken"]:
            log("    memory bound broken:", line)
    for module in options.modules:
        log("   soak", module, "...")
        row["soak"][module] = soak(python, version, module, options.cycles)
        log("   ", row["soak"][module][0])
    log("   ({:.0f} s)".format(time.monotonic() - started))
    return row


def log_round(measured):
    last = figures(dict(measured, rounds=measured["rounds"][-1:]))
    log("   ", ", ".join("{} {:.2f} ms".format(TIMED_LABELS[case], last["times"][case][0])
                         for case in TIMED if last["times"][case]),
        "; call / process", cell_ratio(last["ratio"]))


def later_rounds(rows, options):
    measured = [row for row in rows if row["bench"]]
    for number in range(2, options.rounds + 1):
        random.shuffle(measured)
        for row in measured:
            log("== round {} of {}: {}".format(number, options.rounds, row["label"]))
            bench_round(row["bench"])
            log_round(row["bench"])
    for row in measured:
        row["bench"].update(figures(row["bench"]))


def main():
    options = parse_arguments()
    if options.from_saved:
        with open(options.saved) as saved:
            kept = json.load(saved)
        rows, options.cycles, options.skip_suite = kept["rows"], kept["cycles"], kept["skip_suite"]
        options.quick = kept.get("quick", False)
        options.rounds = kept["rounds"]
        options.modules, options.date, options.machine = kept["modules"], kept["date"], kept["machine"]
        CALLERS_VARIABLES.clear()
        CALLERS_VARIABLES.update(kept["callers_variables"])
    else:
        log("PYTHON* variables left out of everything run here:",
            ", ".join(sorted(CALLERS_VARIABLES)) or "none")
        if options.quick:
            QUICK.append("QUICK=1")
            log("--quick: make bench QUICK=1 throughout; the figures mean little")
        rows = [measure(python, options) for python in options.pythons or releases()]
        later_rounds(rows, options)
        options.date, options.machine = datetime.date.today().isoformat(), machine()
        os.makedirs(os.path.dirname(os.path.abspath(options.saved)), exist_ok=True)
        with open(options.saved, "w") as saved:
            json.dump({"rows": rows, "cycles": options.cycles, "skip_suite": options.skip_suite,
                       "rounds": options.rounds, "quick": options.quick,
                       "modules": options.modules, "date": options.date,
                       "machine": options.machine, "callers_variables": CALLERS_VARIABLES},
                      saved, indent=1)
        log("figures kept in", options.saved)

    print(describe(options, rows))
    print()
    print(table(options, rows))
    print()
    print(findings(rows))

    try:
        draw_chart(options.chart, rows)
        log("chart written to", options.chart)
    except ImportError as error:
        log("no chart: {} (Debian: apt-get install python3-matplotlib)".format(error))


if __name__ == "__main__":
    main()
