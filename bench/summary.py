#!/usr/bin/env python3
"""The benchmark's cases side by side, from the JSON that `make bench` writes.

    python3 bench/summary.py build/python-<version>/bench.json

Times are medians over the repetitions, which `make bench` interleaves at random so that every
case is measured across the same stretch of the machine's time. A ratio is the median of the
ratios of the i-th repetitions of the two cases, and its spread the range of the middle half of
those ratios. Runs on CPython 3.8 and later.
"""
import json
import statistics
import sys

BARE = "bare start and shut-down"
PROCESS = "python3 process"
CALLS = ("RunScriptProcedure", "CallScriptIntFunction")
BOOKKEEPING = "thread bookkeeping, no thread"
MEMORY = "memory growth, "


def load(path):
    with open(path) as report:
        return json.load(report)


def case_name(run):
    """The case a run belongs to, without what Google Benchmark appends ("/real_time")."""
    return run["run_name"].split("/")[0]


def milliseconds(run):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run["time_unit"]]
    return run["real_time"] * scale


def repetitions(report):
    """Milliseconds per call of each timed case, one value per repetition, in repetition order."""
    found = {}
    for run in report["benchmarks"]:
        if run.get("run_type") != "iteration" or run["name"].startswith(MEMORY):
            continue
        if run.get("error_occurred"):
            continue
        found.setdefault(case_name(run), []).append(
            (run.get("repetition_index", 0), milliseconds(run)))
    return {name: [ms for _, ms in sorted(values)] for name, values in found.items()}


def quartiles(values):
    """Median, and the first and third quartiles (equal to the median for one or two values)."""
    ordered = sorted(values)
    median = statistics.median(ordered)
    if len(ordered) < 3:
        return median, median, median
    half = len(ordered) // 2
    return median, statistics.median(ordered[:half]), statistics.median(ordered[-half:])


def ratio(times, numerator, denominator):
    """Median ratio of paired repetitions and its interquartile range, or None."""
    if not times.get(numerator) or not times.get(denominator):
        return None
    pairs = zip(times[numerator], times[denominator])
    return quartiles([a / b for a, b in pairs])


def errors(report):
    return {case_name(run): run.get("error_message", "failed")
            for run in report["benchmarks"] if run.get("error_occurred")}


def memory(report):
    """KiB of resident memory gained per call, by case; a text for a case that did not run."""
    found = {}
    for name, message in errors(report).items():
        if name.startswith(MEMORY):
            found[name[len(MEMORY):]] = message
    for run in report["benchmarks"]:
        if run["name"].startswith(MEMORY) and "KiB_per_call" in run:
            found[case_name(run)[len(MEMORY):]] = run["KiB_per_call"]
    # The baseline first, the rest by name, whatever order the runs came in.
    return dict(sorted(found.items(), key=lambda item: (item[0] != BARE, item[0])))


def spread(low, high):
    return "{:.2f} to {:.2f}".format(low, high)


def summarize(report):
    context = report["context"]
    times = repetitions(report)
    failed = errors(report)
    lines = ["Python {} ({}); interpreter's variables: {}".format(
        context.get("python_version", "?"), context.get("python_executable", "?"),
        context.get("python_environment", "?"))]
    counts = [len(values) for values in times.values()]
    lines.append("Real time per call, median of {} interleaved repetitions:".format(
        min(counts) if counts else 0))
    for name in (BARE,) + CALLS + (PROCESS,):
        if name not in times:
            lines.append("  {:<30} {}".format(name, failed.get(name, "not run")))
            continue
        line = "  {:<30} {:8.2f} ms".format(name, quartiles(times[name])[0])
        for other, label in ((BARE, "bare start"), (PROCESS, "python3 process")):
            measured = ratio(times, name, other)
            if measured and other != name:
                line += "   {:.2f} x {} ({})".format(measured[0], label, spread(*measured[1:]))
        lines.append(line)
    if BOOKKEEPING in times and BARE in times:
        cost = quartiles(times[BOOKKEEPING])[0]
        lines.append("  {:<30} {:8.4f} ms   {:.3f} % of a bare start".format(
            BOOKKEEPING, cost, 100 * cost / quartiles(times[BARE])[0]))
    grown = memory(report)
    if grown:
        lines.append("Resident memory growth per call, over {} calls after {} to warm up:".format(
            context.get("memory_calls", "?"), context.get("memory_warm_up_calls", "?")))
        for name, value in grown.items():
            shown = "{:8.2f} KiB".format(value) if isinstance(value, float) else value
            lines.append("  {:<40} {}".format(name, shown))
    return "\n".join(lines)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: summary.py BENCH.json")
    print(summarize(load(sys.argv[1])))
