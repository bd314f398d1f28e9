#!/usr/bin/env python3
"""The benchmark's cases side by side, from the JSON that `make bench` writes.

    python3 bench/summary.py build/python-<version>/bench.json

Times are medians over the repetitions, which `make bench` interleaves at random so that every
case is measured across the same stretch of the machine's time. A ratio is the median of the
ratios of the i-th repetitions of the two cases, and its spread the range of the middle half of
those ratios.

Fails (status 1), after the summary, when a case of the program's own grows more per call than
the reference call on the same release, by more than the bounds below allow; standard error names
each such case and by how much. Runs on every CPython from 3.6 on: `make bench` runs it with the
release the benchmark is built against.
"""
import json
import statistics
import sys

BARE = "bare start and shut-down"
PROCESS = "python3 process"
CALLS = ("RunScriptProcedure", "CallScriptIntFunction")
# Whole runs of the program, per cycle of its dialogue: a printsomething call and a PrintMe call.
# PrintMe starts a thread and joins it, or leaves it behind, so that each of its calls is followed
# by a fresh image of the program; the python3 process makes the same PrintMe call. With numpy
# (where the release has it), both calls of a cycle are followed by one.
PLAIN_CYCLE = "dialogue cycle, plain"
ENDED_CYCLE = "dialogue cycle, thread ended"
LEFT_CYCLE = "dialogue cycle, thread left"
PROCESS_LEFT = "python3 process, thread left"
NUMPY_CYCLE = "dialogue cycle, numpy"
PROCESS_NUMPY = "python3 process, numpy"
# A whole run with no cycle: the program's start, its first menu and its end.
START = "program start, plain"
# The same cases of another build of the program, when SCRIPT_MENU_BENCH_BASELINE names one.
BASELINE_CYCLE = "dialogue cycle, plain, baseline"
BASELINE_START = "program start, plain, baseline"
MEMORY = "memory growth, "
# Whole runs of the program, ten cycles each, against a python3 process for each of the same
# calls, in every repetition: the program's cost over the processes', per kind of module.
VERSUS = "versus python3, "
VERSUS_ORDER = ("no imports", "ordinary imports", "every call leaves a thread", "numpy")
VERSUS_COUNTERS = (("cpu_ratio", "CPU time"), ("real_ratio", "real time"),
                   ("faults_ratio", "page faults"))
# CPython's own start, import, call and shut-down, without the program's code: what the release
# keeps by itself.
REFERENCE = "reference call, plain"
# The program's calls with a module that imports nothing, whose growth is bounded against the
# reference's. The bare start is not: its code is part of every call, and without the module's
# import it keeps less than the reference on some releases and more on others (3.12.1: from 14 B to
# 2.5 KB of heap per call more, from run to run). Nor is json_re_datetime: what it keeps beyond the
# plain module is what the release's extension modules keep over a restart (some 97 KiB per call on
# 3.13, and 3.12.1 crashes), while the program's code it runs is the plain case's.
BOUNDED = ("RunScriptProcedure, plain", "CallScriptIntFunction, plain")
# Per call, beyond the reference: a fixed part, and a share of what the reference keeps, for
# releases that keep memory at every restart swing by that much from one run to the next (3.12.1,
# which keeps 1.2 MiB and 390 KB of heap per call, by up to 8 % and 0.7 % of it). Resident memory
# moves in 4 KiB pages; the heap count is exact but for the allocator's caches. Why these numbers:
# bench/README.md.
RESIDENT_BOUND_KIB = 1.0
RESIDENT_SHARE = 0.20
HEAP_BOUND_BYTES = 32.0
HEAP_SHARE = 0.02


def bounds(report):
    """The resident KiB and heap bytes per call that a bounded case may keep beyond the reference,
    or None without a reference."""
    resident, kept = memory(report).get(REFERENCE), heap(report).get(REFERENCE)
    if not isinstance(resident, float) or not isinstance(kept, float):
        return None
    return (RESIDENT_BOUND_KIB + RESIDENT_SHARE * max(resident, 0.0),
            HEAP_BOUND_BYTES + HEAP_SHARE * max(kept, 0.0))


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
        if run.get("run_type") != "iteration" or run["name"].startswith((MEMORY, VERSUS)):
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


def memory(report, counter="KiB_per_call"):
    """Growth per call by case (resident KiB, or another counter the memory cases report); a
    text for a case that did not run."""
    found = {}
    for name, message in errors(report).items():
        if name.startswith(MEMORY):
            found[name[len(MEMORY):]] = message
    for run in report["benchmarks"]:
        if run["name"].startswith(MEMORY) and counter in run:
            found[case_name(run)[len(MEMORY):]] = float(run[counter])
    # The reference and the bare start first, the rest by name, whatever order the runs came in.
    order = (REFERENCE, BARE)
    return dict(sorted(found.items(), key=lambda item: (
        order.index(item[0]) if item[0] in order else len(order), item[0])))


def heap(report):
    """Heap bytes kept per call, by case, as memory() gives resident KiB."""
    return memory(report, "heap_bytes_per_call")


def breaches(report):
    """What breaks the bound: one line per case of the program's that grew more than the bound
    beyond the reference, or that did not run where the reference did. Empty when no bounded
    case ran, or the reference did not (a filter left it out)."""
    resident, kept = memory(report), heap(report)
    reference = resident.get(REFERENCE)
    if reference is None:
        return []
    if not isinstance(reference, float):
        return ["{} did not run ({}): no case can be checked".format(REFERENCE, reference)]
    if not isinstance(kept.get(REFERENCE), float):
        return ["{} reported no heap figure: no case can be checked".format(REFERENCE)]
    resident_bound, heap_bound = bounds(report)
    found = []
    for name in BOUNDED:
        if name not in resident:
            continue
        if not isinstance(resident[name], float):
            found.append("{} did not run: {}".format(name, resident[name]))
            continue
        # A reference that shrank over its calls (pages handed back) makes no leak of the case's.
        excess = resident[name] - max(reference, 0.0)
        if excess > resident_bound:
            found.append("{}: {:.2f} KiB resident per call beyond the reference, {:.2f} over the "
                         "bound of {:.2f}".format(name, excess, excess - resident_bound,
                                                  resident_bound))
        if isinstance(kept.get(name), float):
            excess = kept[name] - max(kept[REFERENCE], 0.0)
            if excess > heap_bound:
                found.append("{}: {:.1f} heap bytes per call beyond the reference, {:.1f} over "
                             "the bound of {:.1f}".format(name, excess, excess - heap_bound,
                                                          heap_bound))
    return found


def spread(low, high):
    return "{:.2f} to {:.2f}".format(low, high)


def fresh_image(times, failed):
    """What a call that is followed by a fresh image costs, against the same call that ends its
    thread and against a python3 process that makes the same call; and the program's start."""
    lines = ["Real time per cycle of the program's dialogue (a printsomething and a PrintMe call):"]
    cases = (PLAIN_CYCLE, ENDED_CYCLE, LEFT_CYCLE, PROCESS_LEFT)
    for name in cases:
        if name not in times:
            lines.append("  {:<30} {}".format(name, failed.get(name, "not run")))
    if any(name not in times for name in cases):
        return lines
    plain, ended, left = times[PLAIN_CYCLE], times[ENDED_CYCLE], times[LEFT_CYCLE]
    for name, baseline in ((START, BASELINE_START), (PLAIN_CYCLE, BASELINE_CYCLE)):
        if name in times:
            lines.append("  {:<30} {:8.2f} ms".format(name, quartiles(times[name])[0]))
        if name in times and baseline in times:
            measured = ratio(times, name, baseline)
            lines.append("  {:<30} {:8.2f} ms   {}: {:.3f} x this ({})".format(
                baseline, quartiles(times[baseline])[0], name, measured[0],
                spread(*measured[1:])))
    lines.append("  {:<30} {:8.2f} ms".format(ENDED_CYCLE, quartiles(ended)[0]))
    extra = quartiles([a - b for a, b in zip(left, ended)])
    lines.append("  {:<30} {:8.2f} ms   the fresh image: {:.2f} ms more ({})".format(
        LEFT_CYCLE, quartiles(left)[0], extra[0], spread(*extra[1:])))
    # The PrintMe call alone: its cycle less the printsomething call, half a plain cycle.
    call = [(a - p / 2) / b for a, p, b in zip(left, plain, times[PROCESS_LEFT])]
    measured = quartiles(call)
    lines.append("  {:<30} {:8.2f} ms   the same call with its fresh image: {:.2f} x this "
                 "({})".format(PROCESS_LEFT, quartiles(times[PROCESS_LEFT])[0], measured[0],
                               spread(*measured[1:])))
    if NUMPY_CYCLE in times and PROCESS_NUMPY in times:
        # Both calls of a cycle import numpy and are followed by a fresh image.
        numpy = times[NUMPY_CYCLE]
        call = [(a / 2) / b for a, b in zip(numpy, times[PROCESS_NUMPY])]
        measured = quartiles(call)
        lines.append("  {:<30} {:8.2f} ms".format(NUMPY_CYCLE, quartiles(numpy)[0]))
        lines.append("  {:<30} {:8.2f} ms   a call with its fresh image: {:.2f} x this "
                     "({})".format(PROCESS_NUMPY, quartiles(times[PROCESS_NUMPY])[0], measured[0],
                                   spread(*measured[1:])))
    return lines


def versus_processes(report):
    """Each kind of module's ratios of the program to python3 processes, with their spreads."""
    found = {}
    for run in report["benchmarks"]:
        if (run.get("run_type") == "iteration" and run["name"].startswith(VERSUS)
                and not run.get("error_occurred")):
            found.setdefault(case_name(run)[len(VERSUS):], []).append(run)
    lines = []
    if found:
        lines.append("A call in the program over a python3 process making it, median (middle "
                     "half) of {} repetitions:".format(min(len(runs) for runs in found.values())))
        lines.append("  {:<30}".format("") + "".join(
            " {:<22}".format(label) for _, label in VERSUS_COUNTERS).rstrip())
    for name, runs in sorted(found.items(), key=lambda item: VERSUS_ORDER.index(item[0])
                             if item[0] in VERSUS_ORDER else len(VERSUS_ORDER)):
        line = "  {:<30}".format(name)
        for counter, _ in VERSUS_COUNTERS:
            median, low, high = quartiles([run[counter] for run in runs])
            line += " {:<22}".format("{:.2f} ({})".format(median, spread(low, high)))
        lines.append(line.rstrip())
    for name, message in errors(report).items():
        if name.startswith(VERSUS):
            lines.append("  {:<30} {}".format(name[len(VERSUS):], message))
    return lines


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
    lines.extend(versus_processes(report))
    lines.extend(fresh_image(times, failed))
    grown, kept = memory(report), heap(report)
    if grown:
        lines.append("Memory growth per call, over {} calls after {} to warm up:".format(
            context.get("memory_calls", "?"), context.get("memory_warm_up_calls", "?")))
        lines.append("  {:<40} {:>12} {:>12}".format("", "resident", "heap"))
        for name, value in grown.items():
            if not isinstance(value, float):
                lines.append("  {:<40} {}".format(name, value))
                continue
            line = "  {:<40} {:8.2f} KiB".format(name, value)
            if isinstance(kept.get(name), float):
                line += " {:10.1f} B".format(kept[name])
            lines.append(line + ("" if name in BOUNDED + (REFERENCE,) else "   (not bounded)"))
        limits = bounds(report)
        if limits:
            lines.append("The bounded cases may keep per call {:.2f} KiB resident and {:.1f} heap "
                         "bytes more than the reference ({:g} KiB and {:g} %, {:g} B and {:g} % of "
                         "what it keeps).".format(limits[0], limits[1], RESIDENT_BOUND_KIB,
                                                  100 * RESIDENT_SHARE, HEAP_BOUND_BYTES,
                                                  100 * HEAP_SHARE))
        elif any(name in grown for name in BOUNDED):
            lines.append("No reference call ran: the bound was not checked.")
    return "\n".join(lines)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: summary.py BENCH.json")
    report = load(sys.argv[1])
    print(summarize(report))
    broken = breaches(report)
    if broken:
        sys.stdout.flush()
        for line in broken:
            print("memory bound broken: " + line, file=sys.stderr)
        sys.exit(1)
