#!/usr/bin/env python3
"""Rewrites the table of contents of docs/decisions.md in place.

The contents sit between the lines "<!-- toc -->" and "<!-- /toc -->": one entry per "##"
section, its "###" subsections under it, each a link to the heading's anchor as Markdown
renderers make it (lower case, punctuation dropped, spaces as hyphens, "-1", "-2"... for
repeats). Run it after adding or renaming a section:

    python3 scripts/decisions-toc.py [FILE]
"""
import pathlib
import re
import sys

START, END = "<!-- toc -->", "<!-- /toc -->"


def anchor(title, seen):
    slug = re.sub(r"[^\w\- ]", "", title.strip().lower()).replace(" ", "-")
    count = seen.get(slug, 0)
    seen[slug] = count + 1
    return slug if count == 0 else f"{slug}-{count}"


def contents(lines):
    entries, seen, fenced = [], {}, False
    for line in lines:
        if line.startswith("```"):
            fenced = not fenced
        match = None if fenced else re.match(r"(#{1,6}) (.+)", line)
        if not match:
            continue
        level, title = len(match.group(1)), match.group(2).strip()
        slug = anchor(title, seen)
        if level in (2, 3):
            entries.append(f"{'  ' * (level - 2)}- [{title}](#{slug})")
    return entries


def fail(message):
    print(f"decisions-toc: {message}", file=sys.stderr)
    sys.exit(2)


def main():
    path = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "docs/decisions.md")
    try:
        lines = path.read_text(encoding="utf-8").split("\n")
    except OSError as error:
        fail(f"{path}: {error.strerror}")
    if START not in lines or END not in lines or lines.index(END) < lines.index(START):
        fail(f"{path}: no {START} line followed by a {END} line")
    start, end = lines.index(START), lines.index(END)
    body = lines[:start + 1] + [""] + contents(lines[:start] + lines[end + 1:]) + [""] + lines[end:]
    path.write_text("\n".join(body), encoding="utf-8")


if __name__ == "__main__":
    main()
