#!/usr/bin/env python3
"""Writes the tables of doc/releases.md from the figures in bench/releases.json, which
bench/measure_releases.py keeps. The rest of the page is written by hand.

    bench/release_tables.py            # write the tables into doc/releases.md
    bench/release_tables.py --check    # fail (status 1) if they are not what the figures give
    bench/release_tables.py --chart FILE.svg   # draw the times per call (needs matplotlib)

Each table stands between a line "<!-- table: NAME -->" and a line "<!-- end of table -->".
"""
import difflib
import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
FIGURES = os.path.join(HERE, "releases.json")
PAGE = os.path.join(os.path.dirname(HERE), "doc", "releases.md")


def label(entry):
    return "{} ({})".format(entry["release"], entry["source"])


def spread(figure):
    """A median with its middle half: [median, low, high]."""
    if not isinstance(figure, list):
        return "-"
    return "{:.2f} ({:.2f} to {:.2f})".format(*figure)


def number(entry, key, form="{:.1f}"):
    return form.format(entry[key]) if key in entry else "-"


def suite(entry):
    result = entry["suite"]
    if "note" in result:
        return result["note"]
    said = "{} pass".format(result["passed"])
    if result["failed"]:
        said += ", {} fail".format(result["failed"])
    if result["skipped"]:
        said += ", {} skipped".format(result["skipped"])
    return said


def held(entry, soak):
    figure = entry.get("soak", {}).get(soak)
    if not isinstance(figure, dict):
        return figure or "-"
    return "{:.0f} MiB, {}".format(figure["resident_mib"], figure["descriptors"])


def table(header, rows):
    widths = [max(len(str(row[i])) for row in [header] + rows) for i in range(len(header))]
    lines = ["| " + " | ".join(str(cell).ljust(width) for cell, width in zip(row, widths)) + " |"
             for row in [header] + rows]
    lines.insert(1, "|" + "|".join("-" * (width + 2) for width in widths) + "|")
    return "\n".join(lines)


def tables(figures):
    releases = figures["releases"]
    measured = figures["measured"]
    return {
        "measured": "Measured on {} on a machine of {}, in {}, by `bench/measure_releases.py`"
                    " ({} repetitions of the benchmark)."
                    .format(measured["date"], measured["machine"], measured["isolation"],
                            measured.get("repetitions", 60)),
        "times": table(
            ["CPython", "suite", "bare ms", "call ms", "python3 ms", "call / python3",
             "fresh image ms", "with it / python3"],
            [[label(e), suite(e), number(e, "bare_ms"), number(e, "call_ms"),
              number(e, "python3_ms"), spread(e.get("call_over_python3")),
              spread(e.get("fresh_image_ms")), spread(e.get("fresh_call_over_python3"))]
             for e in releases]),
        "memory": table(
            ["CPython", "KiB per restart", "decimal and ctypes", "socket reader", "asyncio loop"],
            [[label(e), number(e, "kib_per_restart", "{:.2f}"), held(e, "decimal and ctypes"),
              held(e, "socket reader"), held(e, "asyncio loop")] for e in releases]),
    }


def written(page, figures):
    rendered = tables(figures)

    def fill(match):
        name = match.group(1)
        if name not in rendered:
            sys.exit("doc/releases.md: no table is named " + name)
        return "<!-- table: {} -->\n{}\n<!-- end of table -->".format(name, rendered[name])

    return re.sub(r"<!-- table: ([a-z]+) -->\n.*?<!-- end of table -->", fill, page, flags=re.S)


def chart(figures, file):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plot
    except ImportError:
        sys.exit("--chart needs matplotlib (on Debian: python3-matplotlib)")
    releases = [e for e in figures["releases"] if "call_ms" in e]
    names = [label(e) for e in releases]
    _, axes = plot.subplots(figsize=(10, 4))
    for offset, (key, name) in enumerate((("bare_ms", "bare start"), ("call_ms", "call"),
                                          ("python3_ms", "python3 process"))):
        axes.bar([i + 0.27 * (offset - 1) for i in range(len(names))],
                 [e.get(key, 0) for e in releases], 0.27, label=name)
    axes.set_xticks(range(len(names)), names, rotation=30, ha="right")
    axes.set_ylabel("ms per call")
    axes.legend()
    plot.tight_layout()
    plot.savefig(file)


def main():
    with open(FIGURES) as saved:
        figures = json.load(saved)
    if sys.argv[1:2] == ["--chart"] and len(sys.argv) == 3:
        chart(figures, sys.argv[2])
        return
    with open(PAGE) as current:
        page = current.read()
    new = written(page, figures)
    if sys.argv[1:] == ["--check"]:
        if new != page:
            sys.stdout.writelines(difflib.unified_diff(
                page.splitlines(True), new.splitlines(True), "doc/releases.md", "as written"))
            sys.exit("doc/releases.md's tables are not what bench/releases.json gives: "
                     "run bench/release_tables.py")
        return
    if sys.argv[1:]:
        sys.exit(__doc__)
    with open(PAGE, "w") as out:
        out.write(new)


if __name__ == "__main__":
    main()
