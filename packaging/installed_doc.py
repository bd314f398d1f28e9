"""Writes the installed copy of a document: each link to another installed document points at its
installed name (README.md.gz, beside the others in the documentation folder), and each link to a
file that is not installed becomes plain text that names it in the source.

    installed_doc.py SOURCE_TOP SOURCE OUTPUT
"""
import os
import re
import sys

INSTALLED = ("README.md", "doc/modules.md", "doc/releases.md")


def installed_text(top, source, text):
    folder = os.path.dirname(os.path.relpath(source, top))

    def link(match):
        words, target, anchor = match.group(1), match.group(2), match.group(3) or ""
        if re.match(r"[a-z]+:", target):
            return match.group(0)
        named = os.path.normpath(os.path.join(folder, target)) if target else ""
        if not target or named in INSTALLED:
            installed = os.path.basename(named) + ".gz" if target else ""
            return "[{}]({}{})".format(words, installed, anchor)
        if words in (target, named, os.path.basename(named)):
            return "{} (in the source)".format(named)
        return "{} ({} in the source)".format(words, named)

    return re.sub(r"\[([^\]]*)\]\(([^)#\s]*)(#[^)\s]*)?\)", link, text)


def main():
    top, source, output = sys.argv[1:]
    with open(source, encoding="utf-8") as original:
        text = original.read()
    with open(output, "w", encoding="utf-8") as out:
        out.write(installed_text(top, source, text))


if __name__ == "__main__":
    main()
