#!/usr/bin/env python3
"""Checks the README and the guide against the tree.

--examples: every C, C++, Python, C#, Rust and JavaScript block in the documents is a copy of a
file under examples/, named by the marker line just above it

    <!-- example: examples/c/first_pacer.c -->

and equal to it; every file under examples/ is shown somewhere.

--links: every relative link and image resolves to a file, and every anchor
(#name) to a heading of its target, by the rule of the common Markdown hosts:
lower case, punctuation dropped, spaces to hyphens, and -1, -2, ... after a
heading's second and later uses.

Prints each problem and exits 1 if there is any.
"""
import argparse
import collections
import pathlib
import re
import sys

CODE_LANGUAGES = {"c", "cpp", "python", "csharp", "rust", "javascript"}
EXAMPLE_SUFFIXES = {".c", ".cpp", ".py", ".cs", ".rs", ".js"}
MARKER = re.compile(r"^<!-- example: (\S+) -->$")
FENCE = re.compile(r"^ {0,3}(```+|~~~+)\s*([\w+#-]*)")
LINK = re.compile(r"!?\[(?:[^\]\[]|\[[^\]]*\])*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
INLINE_CODE = re.compile(r"`+[^`]*`+")


def documents(root):
    """The README, the guide and the bindings' own READMEs."""
    found = [root / "README.md"] + sorted((root / "docs").glob("*.md"))
    found += [path for path in (root / "bindings" / "python" / "README.md", root / "bindings" / "dotnet" / "README.md")
              if path.exists()]
    return found


def blocks(text):
    """Yields (line number, language, body, the line before the fence) for each fenced block,
    and ("text", line number, line) for each line outside them."""
    lines = text.split("\n")
    index = 0
    while index < len(lines):
        fence = FENCE.match(lines[index])
        if not fence:
            yield ("text", index + 1, lines[index])
            index += 1
            continue
        start = index
        closing = fence.group(1)
        index += 1
        body = []
        while index < len(lines) and not lines[index].lstrip().startswith(closing):
            body.append(lines[index])
            index += 1
        index += 1
        before = lines[start - 1] if start > 0 else ""
        yield ("block", start + 1, fence.group(2).lower(), "\n".join(body) + "\n", before)


def check_examples(root):
    problems = []
    shown = set()
    for document in documents(root):
        name = document.relative_to(root)
        for item in blocks(document.read_text(encoding="utf-8")):
            if item[0] != "block":
                continue
            _, line, language, body, before = item
            marker = MARKER.match(before)
            if not marker:
                if language in CODE_LANGUAGES:
                    problems.append(f"{name}:{line}: a {language} block with no example marker above it")
                continue
            source = root / marker.group(1)
            if not source.is_file():
                problems.append(f"{name}:{line}: {marker.group(1)} does not exist")
                continue
            shown.add(source.resolve())
            if source.read_text(encoding="utf-8") != body:
                problems.append(f"{name}:{line}: the copy of {marker.group(1)} differs from the file")
    for source in sorted((root / "examples").rglob("*")):
        if source.suffix in EXAMPLE_SUFFIXES and source.resolve() not in shown:
            problems.append(f"{source.relative_to(root)} is shown in no document")
    return problems


def anchor(heading, used):
    """The anchor the common Markdown hosts give a heading's text."""
    text = heading.strip().lower().replace("`", "")
    text = re.sub(r"[^\w\- ]", "", text)
    text = text.replace(" ", "-")
    count = used[text]
    used[text] += 1
    return text if count == 0 else f"{text}-{count}"


def anchors(path):
    used = collections.Counter()
    found = set()
    for item in blocks(path.read_text(encoding="utf-8")):
        if item[0] == "text":
            heading = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", item[2])
            if heading:
                found.add(anchor(heading.group(1), used))
    return found


def check_links(root):
    problems = []
    known = {}
    for document in documents(root):
        name = document.relative_to(root)
        for item in blocks(document.read_text(encoding="utf-8")):
            if item[0] != "text":
                continue
            _, line, text = item
            for target in LINK.findall(INLINE_CODE.sub("", text)):
                if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                    continue
                path_part, _, fragment = target.partition("#")
                path = (document.parent / path_part).resolve() if path_part else document.resolve()
                if not path.exists():
                    problems.append(f"{name}:{line}: {target}: no such file")
                    continue
                if fragment:
                    if path.suffix != ".md":
                        problems.append(f"{name}:{line}: {target}: an anchor into a file that is not Markdown")
                        continue
                    if path not in known:
                        known[path] = anchors(path)
                    if fragment not in known[path]:
                        problems.append(f"{name}:{line}: {target}: no heading has the anchor #{fragment}")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("root", type=pathlib.Path)
    parser.add_argument("--examples", action="store_true")
    parser.add_argument("--links", action="store_true")
    arguments = parser.parse_args()
    problems = []
    checked = []
    if arguments.examples:
        problems += check_examples(arguments.root)
        checked.append("example copies")
    if arguments.links:
        problems += check_links(arguments.root)
        checked.append("links")
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"{' and '.join(checked)} hold in {len(documents(arguments.root))} documents")
    return 0


if __name__ == "__main__":
    sys.exit(main())
