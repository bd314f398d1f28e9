#!/usr/bin/env python3
"""Measures script-menu on every CPython release from 3.6 on found here, and writes doc/releases.md.

For each release: whether `make test` passes; the benchmark's time per call beside a bare
interpreter start and a python3 process, read from the JSON that `make bench` writes, in rounds
spread over the whole run (--rounds), and what a call that leaves a thread costs; and a soak run
of the real program with modules that import decimal, ctypes, ssl, sqlite3, datetime and numpy
(and one that imports nothing), whose functions print the program's resident memory at every
call, giving the growth per call, or how the program ended when it did not survive the restarts.

    /usr/bin/python3 bench/release_table.py [options] [python3 ...]
    /usr/bin/python3 bench/release_table.py --from-saved [--check]

With no interpreters named: Debian's /usr/bin/python3, every pyenv CPython 3.6 or later, and every
release that tools/build_cpython has built. Runs itself on CPython 3.10 or later (Debian's
python3); of a release it measures it asks only what 3.6 has.
Everything measured runs without the caller's PYTHON* variables, which change what a start costs
(PYTHONPATH aside, which names the soak module's folder for the soak runs). The figures are kept
in build/release_table.json, and the whole of doc/releases.md is written from them, with the date
of the run and the machine it ran on; --from-saved writes it again from the figures kept, and
--check tells whether the document is what they give. The chart, bench/release_chart.svg, is
drawn with Debian's python3-matplotlib where it is installed. Progress goes to standard error.
"""
import argparse
import datetime
import difflib
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
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

sys.dont_write_bytecode = True  # no __pycache__ in the source tree for the import below
sys.path.insert(0, HERE)
from summary import (BARE, ENDED_CYCLE, LEFT_CYCLE, PLAIN_CYCLE, PROCESS,  # noqa: E402
                     PROCESS_LEFT, breaches, load, memory, quartiles, repetitions)

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
DEFAULT_DOCUMENT = os.path.join(ROOT, "doc", "releases.md")


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
    """The release's version, and in brackets where it came from (ORIGINS says what each word
    means), short enough for the document's tables."""
    if python.startswith("/usr/bin/"):
        return version + " (Debian)"
    if "/.pyenv/" in python or "/pyenv/" in python:
        return version + " (pyenv)"
    if python.startswith(build_cache() + os.sep):
        return version + " (built)"
    return version + " (other)"


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
    blank lines aside)."""
    try:
        with open(path, errors="replace") as source:
            lines = [line.rstrip() for line in source
                     if line.strip() and not line.startswith("#")]
    except OSError as error:
        return "unreadable ({})".format(error.strerror)
    if not lines:
        return "nothing (comments only)"
    runs = sum(1 for line in lines if line.startswith(("import ", "import\t")))
    parts = []
    if runs:
        parts.append("runs code" if runs == 1 else "runs {} lines of code".format(runs))
    if len(lines) > runs:
        folders = len(lines) - runs
        parts.append("adds {} folder{} to the path".format(folders, "" if folders == 1 else "s"))
    return " and ".join(parts)


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
        "hand over": hand_over(report),
    }


def hand_over(report):
    """What a cycle of the dialogue costs whose call leaves a thread, as summary.py gives it: the
    cycles' medians, the hand-over (a cycle that leaves its thread less one that ends it), and
    the call with its hand-over (its cycle less half a plain cycle, the printsomething call) over
    a python3 process making the same call; each difference and ratio taken of paired
    repetitions. None when the report has not all four cases."""
    times = repetitions(report)
    cases = (PLAIN_CYCLE, ENDED_CYCLE, LEFT_CYCLE, PROCESS_LEFT)
    if not all(times.get(name) for name in cases):
        return None
    plain, ended, left, process = (times[name] for name in cases)
    return {
        "date": report["context"].get("date", "")[:10],
        "repetitions": min(len(times[name]) for name in cases),
        "plain": quartiles(plain),
        "ended": quartiles(ended),
        "left": quartiles(left),
        "hand-over": quartiles([a - b for a, b in zip(left, ended)]),
        "call / process": quartiles([(a - p / 2) / b for a, p, b in zip(left, plain, process)]),
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


# ---- the document ---------------------------------------------------------------------------

# The widest line the document may have, so that it reads in a terminal as well.
WIDTH = 100
# Where a release came from, by the word in brackets after its version.
ORIGINS = (("Debian", "Debian's own build"), ("pyenv", "built from source by pyenv"),
           ("built", "built from source by `tools/build_cpython`"),
           ("other", "named on the command line"))
GIB = 1024 * 1024  # KiB


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


def and_list(items):
    items = list(items)
    return ", ".join(items[:-1]) + " and " + items[-1] if len(items) > 1 else "".join(items)


def paragraph(text):
    return textwrap.fill(text, WIDTH, break_long_words=False, break_on_hyphens=False)


def bullet(text, indent=""):
    return textwrap.fill(text, WIDTH, initial_indent=indent + "- ", subsequent_indent=indent + "  ",
                         break_long_words=False, break_on_hyphens=False)


def table(header, rows):
    """A Markdown table with its columns padded to one width, so that it reads in a terminal."""
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]

    def line(cells):
        return "| " + " | ".join(cell.ljust(width) for cell, width in zip(cells, widths)) + " |"

    return "\n".join([line(header), "|" + "|".join("-" * (width + 2) for width in widths) + "|"]
                     + [line(cells) for cells in rows])


def ms(value):
    return "{:.1f}".format(value)


def cell_ms(quartet):
    return ms(quartet[0]) if quartet else "?"


def cell_ratio(quartet):
    return "{:.2f} ({:.2f} to {:.2f})".format(*quartet) if quartet else "?"


def number(text):
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


def usual(rows, value):
    """What most rows have, and the labels of the rows that have something else, by what."""
    values = [value(row) for row in rows]
    common = max(values, key=values.count) if values else None
    others = {}
    for row, found in zip(rows, values):
        if found != common:
            others.setdefault(found, []).append(row["label"])
    return common, others


def row_cycles(saved, row):
    return row.get("cycles", saved["cycles"])


def soak_window(cycles):
    first, last = window(cycles)
    return "{} cycles, from call {} to call {}".format(cycles, first, last)


STDERR = ", writes on stderr"
SIGNAL = re.compile(r"crashes \((SIG\w+)\)")
STATUS = re.compile(r"ends with status (\d+)")
PARTIAL = re.compile(r"(\d+) of (\d+) calls run")
DIED = ("SIG", "exit ", "hangs")
# What the memory table's words mean, in the order the legend gives them.
LEGEND = (("signal", "the program died of that signal"),
          ("exit", "exit n: the program ended with status n"),
          ("hangs", "hangs: the program had not ended when its time ran out"),
          ("partial", "n/m calls: only n of the m calls printed (a call failed in the module)"),
          ("stderr", "`*`: the program wrote on standard error"),
          ("absent", "absent: the module is not installed for that release"),
          ("not built", "not built: the program did not build"),
          ("failed", "failed: the benchmark or its case did not run"),
          ("-", "-: not measured"))


def memory_cell(shown, found):
    """A soak run's result as the memory table gives it; what it needs of the legend goes in
    found (a dictionary of the legend's keys, with the signals' names under "signal")."""
    if shown is None:
        found["-"] = True
        return "-"
    stderr = shown.endswith(STDERR)
    if stderr:
        shown = shown[:-len(STDERR)]
        found["stderr"] = True
    signal_name, status, partial = SIGNAL.fullmatch(shown), STATUS.fullmatch(shown), \
        PARTIAL.fullmatch(shown)
    if signal_name:
        found.setdefault("signal", set()).add(signal_name.group(1))
        cell = signal_name.group(1)
    elif status:
        found["exit"] = True
        cell = "exit " + status.group(1)
    elif partial:
        found["partial"] = True
        cell = "{}/{} calls".format(*partial.groups())
    elif shown == "not installed":
        found["absent"] = True
        cell = "absent"
    elif shown in ("hangs", "not built"):
        found[shown] = True
        cell = shown
    else:
        cell = shown
    return cell + ("*" if stderr else "")


def legend(found):
    entries = []
    for key, text in LEGEND:
        if key == "signal" and key in found:
            entries.append("{}: {}".format(", ".join(sorted(found[key])), text))
        elif key in found:
            entries.append(text)
    return "; ".join(entries) + "."


def chart_part(saved, chart_path):
    if not os.path.exists(chart_path):
        return []
    # Links are made for the document's own place, wherever --output puts a copy.
    link = os.path.relpath(os.path.abspath(chart_path), os.path.dirname(DEFAULT_DOCUMENT))
    text = ("Left, the program's resident memory at every call of the soak run of the module "
            "with no imports, an x where the program died; right, the three times per call, "
            "medians with their middle half.")
    drawn = saved.get("chart")
    if drawn == []:  # the run could not draw it: the chart there is an earlier run's
        return []
    if drawn is not None and drawn != [row["label"] for row in saved["rows"]]:
        text += " The chart shows {} only.".format(and_list(drawn))
    return ["![Resident memory over a soak run, and time per call, by release]({})".format(link),
            paragraph(text)]


def time_part(saved):
    rows = saved["rows"]
    measured = [row["bench"] for row in rows if row["bench"]]
    count = max((bench["repetitions"] for bench in measured), default=0)
    suite = any(row.get("suite") for row in rows)
    text = (
        "Real milliseconds per call, medians of {count} repetitions made in {rounds} rounds: the "
        "first by `make bench`, the others once every release had had its first, the releases "
        "in a new random order each round, so that every release is measured across the whole "
        "run's time; within a round the cases' repetitions are interleaved at random. \"call\" is "
        "`CallScriptIntFunction` on a module with no imports, \"bare\" a bare interpreter start "
        "and shut-down as the program makes it, \"python3\" a `python3` process making the same "
        "import and call. \"call / python3\" is the median of the ratios of paired repetitions "
        "(the i-th call over the i-th process of the same round), with the middle half of those "
        "ratios in brackets.{suite}{quick}").format(
            count=count, rounds=saved["rounds"],
            suite=" \"suite\" is what `make test` said." if suite else "",
            quick=" Made with `--quick` (`make bench QUICK=1`): these figures mean little."
            if saved.get("quick") else "")
    header = ["CPython"] + (["suite"] if suite else []) + [
        "call ms", "bare ms", "python3 ms", "call / python3"]
    cells = []
    for row in rows:
        times = row["bench"]["times"] if row["bench"] else dict.fromkeys(TIMED)
        cells.append([row["label"]] + ([row.get("suite") or "-"] if suite else []) + [
            cell_ms(times[CALL]), cell_ms(times[BARE]), cell_ms(times[PROCESS]),
            cell_ratio(row["bench"]["ratio"] if row["bench"] else None)])
    parts = [paragraph(text), table(header, cells)]
    notes = []
    origins = [(word, what) for word, what in ORIGINS
               if any(row["label"].endswith("({})".format(word)) for row in rows)]
    if origins:
        notes.append("In brackets, where the release came from: " + and_list(
            "{} ({})".format(what, word) for word, what in origins) + ".")
    if any(not row["bench"] for row in rows):
        notes.append("?: the benchmark failed.")
    if notes:
        parts.append(paragraph(" ".join(notes)))
    by_round = [row for row in rows if row["bench"] and len(row["bench"]["round ratios"]) > 1]
    if by_round:
        parts.append("\"call / python3\" by round, each round's median in the order the rounds "
                     "were made:\n\n" + "\n".join(
                         "- {}: {}".format(row["label"], ", ".join(
                             "{:.2f}".format(value) for value in row["bench"]["round ratios"]))
                         for row in by_round))
    return parts


def memory_part(saved):
    rows, modules = saved["rows"], saved["modules"]
    measured = [row["bench"] for row in rows if row["bench"]]
    calls, warm_up = (measured[0]["memory calls"], measured[0]["memory warm-up"]) if measured \
        else ("?", "?")
    cycles, other_cycles = usual(rows, lambda row: row_cycles(saved, row))
    text = (
        "Growth of resident memory in KiB per call. \"bare\": the benchmark's bare start and "
        "shut-down, {calls} restarts after {warm_up} to warm up. The other columns: a soak run "
        "of the program, cycles of `2 21` with a module that imports the module named (plain: "
        "none), uses it at every call and prints the program's resident memory at every call; "
        "the growth over {cycles}, counting `printsomething`'s calls{others}. Resident memory "
        "moves in 4 KiB pages: figures within about 1 KiB of zero are noise.").format(
            calls=calls, warm_up=warm_up, cycles=soak_window(cycles),
            others="".join("; for {}, {}".format(and_list(labels), soak_window(value))
                           for value, labels in other_cycles.items()))
    found = {}
    cells = []
    for row in rows:
        bare = row["bench"]["bare growth"] if row["bench"] else None
        if number(bare) is None:
            found["failed"] = True
            bare = "failed"
        cells.append([row["label"], bare] + [
            memory_cell((row["soak"].get(module) or [None])[0], found) for module in modules])
    return [paragraph(text), table(["CPython", "bare"] + modules, cells), paragraph(legend(found))]


def findings_part(saved):
    rows = saved["rows"]
    found = []
    bare = [(number(row["bench"]["bare growth"]), row["label"]) for row in rows
            if row["bench"] and number(row["bench"]["bare growth"]) is not None]
    flat = [label for growth, label in bare if abs(growth) < 1.0]
    kept = sorted((growth, label) for growth, label in bare if abs(growth) >= 1.0)
    if flat:
        found.append("{} nothing of {} own across a restart, within the noise.".format(
            and_list(flat) + (" keep" if len(flat) > 1 else " keeps"),
            "their" if len(flat) > 1 else "its"))
    if kept:
        size = lambda growth: ("{:.1f} GiB".format(growth * 10000 / GIB)
                               if growth * 10000 >= GIB else
                               "{:.0f} MiB".format(growth * 10000 / 1024))
        if len(kept) == 1:
            found.append("{} keeps {} KiB per call with no module imported, {} over 10,000 "
                         "calls.".format(kept[0][1], kib(kept[0][0]), size(kept[0][0])))
        else:
            found.append("The others keep from {} KiB per call, on {}, to {} KiB, on {}, with no "
                         "module imported: over 10,000 calls, from {} to {}.".format(
                             kib(kept[0][0]), kept[0][1], kib(kept[-1][0]), kept[-1][1],
                             size(kept[0][0]), size(kept[-1][0])))
    died, wrote = [], {}
    for row in rows:
        cells = {module: memory_cell(shown, {}) for module, (shown, _) in row["soak"].items()}
        modules = [module for module in saved["modules"] if cells.get(module, "").startswith(DIED)]
        if modules:
            died.append("{} with {}".format(row["label"], and_list(modules)))
        for module in saved["modules"]:
            if cells.get(module, "").endswith("*"):
                wrote.setdefault(module, []).append(row["label"])
    if any(row["soak"] for row in rows):
        found.append("Did not survive the restarts of a soak run: {}.".format("; ".join(died))
                     if died else "Every soak run survived its restarts.")
    for module, labels in wrote.items():
        found.append("With {}, the program wrote on standard error on {}.".format(
            module, and_list(labels)))
    pairs = [(row["bench"]["ratio"][0], row["label"]) for row in rows
             if row["bench"] and row["bench"]["ratio"]]
    if pairs:
        low, high = min(pairs), max(pairs)
        text = "A call took from {:.2f}, on {}, to {:.2f}, on {}, of a `python3` process making " \
               "the same import and call".format(low[0], low[1], high[0], high[1])
        starts = [row["bench"]["times"][CALL][0] / row["bench"]["times"][BARE][0] for row in rows
                  if row["bench"] and row["bench"]["times"][CALL] and row["bench"]["times"][BARE]]
        if starts:
            text += ", and {:.2f} to {:.2f} times a bare start: importing the module and calling " \
                    "it add little to the start and shut-down that every call pays".format(
                        min(starts), max(starts))
        found.append(text + ".")
    broken = ["{}: {}".format(row["label"], line) for row in rows if row["bench"]
              for line in row["bench"].get("bound broken", [])]
    checked = [row["label"] for row in rows if row["bench"] and "bound broken" in row["bench"]]
    if broken:
        found.append("The benchmark's memory bound ([bench/README.md](../bench/README.md)) was "
                     "broken: " + "; ".join(broken) + ".")
    elif checked:
        found.append("The benchmark's memory bound ([bench/README.md](../bench/README.md)) held "
                     "on {}.".format("every release" if len(checked) == len(rows)
                                     else and_list(checked)))
    had = and_list("`{}={}`".format(name, value)
                   for name, value in sorted(saved["callers_variables"].items()))
    recorded, others = usual([row for row in rows if row["bench"]],
                             lambda row: row["bench"]["environment"])
    found.append("Everything ran without the caller's `PYTHON*` variables ({}), but for the soak "
                 "runs' `PYTHONPATH`, which names their module's folder. The benchmark's own "
                 "record of the interpreter's variables: {}.".format(
                     had or "it had none",
                     "; ".join(["{} for {}".format(code(value) if value != "none" else value,
                                                   and_list(labels))
                                for value, labels in others.items()]
                               + ["{}{}".format(recorded, " for the others" if others else "")])
                     if recorded else "none taken"))
    pth = {}
    for row in rows:
        for path, action in row.get("pth", []):
            key = (os.path.basename(path), action)
            if row["label"] not in pth.setdefault(key, []):
                pth[key].append(row["label"])
    parts = [bullet(text) for text in found]
    if pth:
        parts.append(bullet("Every start, the program's and `python3`'s alike, runs the `.pth` "
                            "files of the release's site-packages, and a `.pth` file that imports "
                            "something makes every start slower. Those found:"))
        parts += [bullet("{}, which {}: {}".format(code(name), action, and_list(labels)), "  ")
                  for (name, action), labels in sorted(pth.items())]
    elif rows:
        parts.append(bullet("No release had a `.pth` file in its site-packages."))
    return ["\n".join(parts)]


HAND_OVER_TEXT = (
    "A call that leaves a thread hands the dialogue over to a copy of the process ([the "
    "README](../README.md#threads)): that costs a `fork()` and a slower next interpreter start, "
    "whose memory is copied as it is written. `make bench` measures it on whole runs of the "
    "program, 20 cycles of `1 5`: real milliseconds per cycle (a `printsomething` and a `PrintMe` "
    "call), medians of {count} interleaved repetitions, with a module whose `PrintMe` starts no "
    "thread (\"plain\"), starts one and joins it (\"ended\"), or leaves it waiting (\"left\"). "
    "\"hand-over\" is a \"left\" cycle less an \"ended\" one; \"call / python3\" the `PrintMe` "
    "call with its hand-over (its cycle less half a plain cycle, the `printsomething` call) over "
    "a `python3` process making the same call; both of paired repetitions, with the middle half "
    "in brackets.{dates}")


def saved_hand_over(row):
    """The hand-over figures of the release's first round, or else those of the last make bench
    report in its build folder."""
    figures = (row["bench"] or {}).get("hand over")
    if figures:
        return figures
    version = row.get("version") or (row["bench"] or {}).get("version")
    path = os.path.join(ROOT, "build", "python-{}".format(version), "bench.json")
    return hand_over(load(path)) if version and os.path.exists(path) else None


def hand_over_part(saved):
    found = [(row, saved_hand_over(row)) for row in saved["rows"]]
    found = [(row, figures) for row, figures in found if figures]
    if not found:
        return [paragraph("None of these releases has these figures yet: `make bench` measures "
                          "them.")]
    count, _ = usual([figures for _, figures in found], lambda figures: figures["repetitions"])
    dates = {}
    for row, figures in found:
        if figures["date"] != saved["date"]:
            dates.setdefault(figures["date"], []).append(row["label"])
    text = HAND_OVER_TEXT.format(count=count, dates="".join(
        " Measured on {} for {}.".format(date, and_list(labels)) for date, labels in dates.items()))
    cells = [[row["label"], ms(figures["plain"][0]), ms(figures["ended"][0]),
              ms(figures["left"][0]),
              "{} ({} to {})".format(*(ms(value) for value in figures["hand-over"])),
              cell_ratio(figures["call / process"])] for row, figures in found]
    return [paragraph(text), table(["CPython", "plain", "ended", "left", "hand-over ms",
                                    "call / python3"], cells)]


RESTARTING = (
    "Restarting the interpreter on every call is this program's defining trait, and CPython was "
    "not made to be restarted inside one process: whatever it does not free at shut-down stays "
    "for good, and an extension module that keeps state across the restart can crash the "
    "program. How well that goes differs a great deal from release to release and from module "
    "to module.")

# What the project has found of the releases beyond what the tables show, and its advice.
MEANING = (
    "**Extension modules that do not survive re-initialisation crash or leak under this "
    "program.** numpy is the best-known case: on Debian's 3.11 its second import fails with a "
    "`SystemError` (\"bad argument to internal function\"), and the program dies of a "
    "segmentation fault in the interpreter start of the call after that. On 3.8 to 3.11 "
    "`decimal` writes a libmpdec warning on standard error at every call after the first; on "
    "3.6 and 3.7 `decimal` and `ctypes` make every call slower than the last, which is why they "
    "are not measured there. `fractions` and `statistics` import `decimal`, so they do the same.",
    "**Some standard modules break outright.** On Debian's 3.11.2 a module that imports "
    "`zoneinfo` aborts the program in the shut-down of its second call (\"Fatal Python error: "
    "none_dealloc\"). On 3.8 to 3.11, `import tracemalloc` fails from the second call on "
    "(\"RuntimeError: the tracemalloc module has been unloaded\"), and `PYTHONTRACEMALLOC` set in "
    "the environment makes the second interpreter start fail (\"can't initialize "
    "tracemalloc\"), which ends the program.",
    "**Do not use 3.12.1.** A module that imports `datetime` or `sqlite3` aborts the program on "
    "its second call there (\"double free or corruption\"), and so do `decimal`, `ctypes`, "
    "`ssl`, `zoneinfo`, `fractions` and `statistics`; configure warns about it.",
    "**3.10 crashes by itself on busy daemon threads.** When two or more daemon threads are busy "
    "(never sleeping) at the shut-down, one of them touches the freed interpreter and the "
    "program dies of a segmentation fault, often within a few calls. This is CPython 3.10's "
    "own: a ten-line program that shuts the interpreter down once and then lives on for a second "
    "dies the same way every time with two such threads. One thread, or threads that sleep, are "
    "safe.",
    "**Which release to choose.** Debian's CPython 3.11, the default build, is the safe choice: "
    "it keeps nothing across a restart, `ssl`, `sqlite3` and `datetime` stay nearly flat on it, "
    "and it is the distribution's maintained build with its security updates. 3.14 is the best "
    "fit for this program if you can maintain a build of it yourself: it keeps nothing across a "
    "restart with any module measured, `decimal` and `ctypes` included. 3.10 keeps nothing "
    "either, if your module leaves no busy threads behind. Use 3.6 or 3.7 only where that is "
    "the system's own maintained CPython (RHEL 8's 3.6, say): upstream support for both has "
    "ended, and busy threads are their weak point. On any release, keep `PythonCode`'s imports "
    "to modules that survive restarts, and measure your own module with `make bench` or "
    "`bench/release_table.py` before you rely on it.")


def document(saved, chart_path):
    """The whole of doc/releases.md, from the figures kept."""
    blocks = [
        "<!-- Written by bench/release_table.py from the figures it keeps: change the script and"
        "\nwrite it again (bench/README.md says how), not this file. -->\n"
        "# CPython releases, measured",
        paragraph("Measured on {} on a machine with {}, by `bench/release_table.py`, which writes "
                  "this page: [bench/README.md](../bench/README.md) says how it measures and how "
                  "to run it again. What a release needs, and how to build against one: "
                  "[contributing.md](contributing.md#building-against-another-cpython-release)."
                  .format(saved["date"], saved["machine"])),
        "## The release table and the limits of restarting",
        paragraph(RESTARTING)]
    if saved["rows"]:
        blocks += chart_part(saved, chart_path)
        blocks += ["### Time per call"] + time_part(saved)
        blocks += ["### Memory kept per call"] + memory_part(saved)
        blocks += ["### What the figures show"] + findings_part(saved)
    else:
        blocks.append("No release was measured.")
    blocks += ["### What this means for you", "\n".join(bullet(text) for text in MEANING)]
    blocks += ["## What a call that leaves a thread costs"] + hand_over_part(saved)
    return "\n\n".join(blocks) + "\n"


def too_wide(text):
    return [(number, len(line)) for number, line in enumerate(text.splitlines(), 1)
            if len(line) > WIDTH]


def draw_chart(path, rows):
    """Resident memory against calls in the plain module's soak run, and the time per call,
    in an SVG that changes between runs only where the figures do. Returns the labels of the
    releases it draws."""
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
            if quartet and None not in quartet:
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
    return [row["label"] for row in rows
            if row["soak"].get("plain", ("", []))[1] or row["bench"]]


# ---- the whole run --------------------------------------------------------------------------

def parse_arguments():
    parser = argparse.ArgumentParser(
        description="Measure script-menu on CPython releases and write doc/releases.md.")
    parser.add_argument("pythons", nargs="*", metavar="python3",
                        help="interpreters to measure (default: /usr/bin/python3, every pyenv "
                             "CPython 3.6 or later and every release tools/build_cpython built)")
    parser.add_argument("--chart", default=DEFAULT_CHART,
                        help="where to write the SVG chart (default: bench/release_chart.svg)")
    parser.add_argument("--output", default=DEFAULT_DOCUMENT,
                        help="the document to write, - for standard output (default: "
                             "doc/releases.md)")
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
                        help="where to keep the figures measured (default: build/"
                             "release_table.json)")
    parser.add_argument("--from-saved", action="store_true",
                        help="measure nothing: write the document again from the figures kept by "
                             "an earlier run, and draw the chart where matplotlib is installed "
                             "(its own .pth file slows down the starts measured)")
    parser.add_argument("--check", action="store_true",
                        help="measure and write nothing: tell whether the document is what the "
                             "figures kept give, and show how it differs if not (status 1)")
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
    if (options.from_saved or options.check) and options.pythons:
        parser.error("--from-saved and --check measure nothing: name no interpreter")
    return options


def measure(python, options):
    started = time.monotonic()
    version = version_of(python)
    row = {"label": label_of(python, version), "version": version, "cycles": options.cycles,
           "suite": None, "bench": None, "soak": {}}
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


def measure_all(options):
    log("PYTHON* variables left out of everything run here:",
        ", ".join(sorted(CALLERS_VARIABLES)) or "none")
    if options.quick:
        QUICK.append("QUICK=1")
        log("--quick: make bench QUICK=1 throughout; the figures mean little")
    rows = [measure(python, options) for python in options.pythons or releases()]
    later_rounds(rows, options)
    return {"rows": rows, "cycles": options.cycles, "skip_suite": options.skip_suite,
            "rounds": options.rounds, "quick": options.quick, "modules": options.modules,
            "date": datetime.date.today().isoformat(), "machine": machine(),
            "callers_variables": CALLERS_VARIABLES}


def keep(saved, path):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as kept:
        json.dump(saved, kept, indent=1)
    log("figures kept in", path)


def draw(saved, options):
    """Draws the chart where it can, and keeps which releases it shows."""
    if options.from_saved and not any(reading for row in saved["rows"]
                                      for _, reading in row["soak"].values()):
        log("the figures kept have no soak run's readings: the chart is left as it is")
        return
    try:
        saved["chart"] = draw_chart(options.chart, saved["rows"])
    except ImportError as error:
        log("no chart: {} (Debian: apt-get install python3-matplotlib)".format(error))
        if not options.from_saved:
            saved["chart"] = []  # the chart there is an earlier run's
            keep(saved, options.saved)
        return
    log("chart written to", options.chart)
    keep(saved, options.saved)


def main():
    options = parse_arguments()
    if options.from_saved or options.check:
        if not os.path.exists(options.saved):
            raise SystemExit("no figures kept at {}: measure first (bench/README.md)".format(
                options.saved))
        saved = load(options.saved)
    else:
        saved = measure_all(options)
        keep(saved, options.saved)
    document_path = DEFAULT_DOCUMENT if options.output == "-" else options.output
    if options.check:
        text = document(saved, options.chart)
        with open(document_path) as written:
            there = written.read()
        if there == text:
            log(document_path, "is what the figures kept give")
            return
        sys.stdout.writelines(difflib.unified_diff(
            there.splitlines(True), text.splitlines(True), document_path, "from " + options.saved))
        raise SystemExit(1)
    draw(saved, options)
    text = document(saved, options.chart)
    if options.output == "-":
        sys.stdout.write(text)
    else:
        with open(options.output, "w") as written:
            written.write(text)
        log("written:", options.output)
    wide = too_wide(text)
    for line, width in wide:
        log("line {} is {} columns wide, more than {}".format(line, width, WIDTH))
    if wide:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
