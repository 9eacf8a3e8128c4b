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

--facts: the facts that have a source in the tree hold, in three forms.
A generated table sits between

    <!-- generated: statuses -->  ...  <!-- end generated -->

and is what --write writes there from its source (GENERATORS below). A table
written by hand under

    <!-- checked: VARNEX_CONTROL_ -->

lists in its first two columns every header constant of those prefixes, in
the headers' order, with its value. A value in prose is followed by

    <!-- fact: src/pacer kDefaultSlewPpm -->

naming a file or folder and what is defined there (a constant, a field's
assignment such as config->mode): the number and unit (ns, us, ms, s, ppm)
or the code span just before the marker must equal that definition, in the
unit the name ends with (Ns, _NS, Ppm, ...). Sources are read by names, never
by lines: a definition may move within the folder its marker names.

Prints each problem and exits 1 if there is any.
"""
import argparse
import collections
import math
import pathlib
import re
import sys

CODE_LANGUAGES = {"c", "cpp", "python", "csharp", "rust", "javascript"}
EXAMPLE_SUFFIXES = {".c", ".cpp", ".py", ".cs", ".rs", ".js"}
MARKER = re.compile(r"^<!-- example: (\S+) -->$")
FENCE = re.compile(r"^ {0,3}(```+|~~~+)\s*([\w+#-]*)")
LINK = re.compile(r"!?\[(?:[^\]\[]|\[[^\]]*\])*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
INLINE_CODE = re.compile(r"`+[^`]*`+")
GENERATED = re.compile(r"^<!-- generated: ([\w -]+) -->$")
GENERATED_END = "<!-- end generated -->"
CHECKED = re.compile(r"^<!-- checked: ([\w ]+) -->$")
FACT = re.compile(r"<!-- fact: (\S+) (\S+) -->")
CODE_SPAN = re.compile(r"(`+).+?(?<!`)\1(?!`)")
VALUE_BEFORE = re.compile(r"(`[^`]+`|-?\d[\d,]*(?:\.\d+)?) ?(ns|µs|us|ms|s|ppm)?$")
UNIT_OF_NAME = re.compile(r"(?:Ns|Us|Ms|Ppm|_NS|_US|_MS|_PPM)$")
TIME_UNITS = {"ns": 1, "µs": 1e3, "us": 1e3, "ms": 1e6, "s": 1e9}
SOURCE_SUFFIXES = {".h", ".hpp", ".c", ".cpp", ".js", ".ts", ".rs", ".cs"}
LITERAL = r"\"[^\"\n]*\"|'[^'\n]*'|-?[\w.]+"
CONSTANT = re.compile(r"(?:^#define[ \t]+|\b)(VARNEX_\w+)(?:[ \t]+|\s*=\s*)(-?(?:0x[0-9A-Fa-f]+|\d+))[uU]?\b", re.M)



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


def text_lines(root):
    """(document, its name, line number, line) for each line outside the documents' fenced blocks."""
    for document in documents(root):
        for item in blocks(document.read_text(encoding="utf-8")):
            if item[0] == "text":
                yield document, document.relative_to(root), item[1], item[2]


def check_links(root):
    problems = []
    known = {}
    for document, name, line, text in text_lines(root):
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

class SourceError(Exception):
    pass


def sources(root, place):
    path = root / place
    if path.is_file():
        return [path]
    return sorted(source for source in path.rglob("*") if source.suffix in SOURCE_SUFFIXES)


def source_text(path):
    """A source without its comments; its string and character literals kept."""
    return re.sub(r"\"(?:\\.|[^\"\\\n])*\"|'(?:\\.|[^'\\\n])*'|/\*.*?\*/|//[^\n]*",
                  lambda match: match.group(0) if match.group(0)[0] in "\"'" else " ",
                  path.read_text(encoding="utf-8"), flags=re.S)


def number(literal):
    text = literal.strip("`").rstrip("uUlL").replace(",", "").replace("'", "")
    try:
        return int(text, 0)
    except ValueError:
        return float(text)


def defined(root, place, name):
    """The literal that name is defined as under place, a name it is defined as followed to
    its own definition there; SourceError unless there is exactly one."""
    escaped = re.escape(name)
    pattern = re.compile(rf"(?:#define[ \t]+{escaped}[ \t]+|(?<![\w.>]){escaped}\s*=(?!=)\s*)({LITERAL})")
    found = {value for path in sources(root, place) for value in pattern.findall(source_text(path))}
    if len(found) != 1:
        raise SourceError(f"{place} defines {name} {'nowhere' if not found else 'as ' + ' and '.join(sorted(found))}")
    value = found.pop()
    if re.fullmatch(r"[A-Za-z_]\w*", value):
        try:
            return defined(root, place, value)
        except SourceError:
            return value
    return value


def function_body(root, place, name):
    for path in sources(root, place):
        body = re.search(rf"\b{name}\([^)]*\)\s*\{{(.*?)\n\}}", source_text(path), re.S)
        if body:
            return body.group(1)
    raise SourceError(f"{place} defines no function {name}")


def header_constants(root):
    """Every enumerator and macro with a number in the public headers, in their order."""
    return [(name, number(value)) for path in sources(root, "include")
            for name, value in CONSTANT.findall(source_text(path))]


def exports(root):
    """The rows of exports/varnex.exports, each a list of its columns."""
    lines = (root / "exports" / "varnex.exports").read_text(encoding="utf-8").splitlines()
    return [[cell.strip() for cell in line.split("|")] for line in lines if line.strip() and line[0] != "#"]


def table(heading, rows):
    columns = len(heading)
    return ["| " + " | ".join(heading) + " |", "|" + "---|" * columns] + \
           ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows] + [""]


def pacer_exports(root):
    """The exports under their C names: ordinal, name, the .so's version node."""
    return table(["ordinal", "function", "version node"],
                 [[row[1], f"`{row[0]}`", f"`{row[-1]}`"] for row in exports(root) if row[3] == "-"])


def dropin_exports(root):
    """The exports under decorated names: ordinal and the name in each DLL."""
    data = {"data": " (data)", "code": ""}
    return table(["ordinal", "i686 name", "x86_64 name"],
                 [[row[1], f"`{row[3]}`{data[row[2]]}", f"`{row[4]}`{data[row[2]]}"]
                  for row in exports(root) if row[3] != "-"])


def statuses(root):
    """Each status of the header's enum, its value and varnex_strerror's text for it."""
    header = "".join(source_text(path) for path in sources(root, "include"))
    members = re.search(r"enum\s+varnex_status\s*\{(.*?)\}", header, re.S)
    if not members:
        raise SourceError("include defines no enum varnex_status")
    body = function_body(root, "src", "varnex_strerror")
    texts = {}
    for label, strings in re.findall(r"(case\s+\w+|default):\s*return\s+((?:\"(?:\\.|[^\"\\])*\"\s*)+);", body):
        texts[label.split()[-1]] = "".join(re.findall(r"\"((?:\\.|[^\"\\])*)\"", strings))
    rows = [[f"`{name}`", value, texts.get(name, "(no text)")]
            for name, value in re.findall(r"(VARNEX_\w+)\s*=\s*(-?\d+)", members.group(1))]
    rows.append(["any other", "", texts.get("default", "(no text)")])
    return table(["status", "value", "text (`varnex_strerror`)"], rows)


GENERATORS = {"pacer exports": pacer_exports, "drop-in exports": dropin_exports, "statuses": statuses}


def check_generated(root, write=False):
    problems = []
    for document in documents(root):
        name = document.relative_to(root)
        lines = document.read_text(encoding="utf-8").split("\n")
        index = 0
        while index < len(lines):
            start = GENERATED.match(lines[index])
            index += 1
            if not start:
                continue
            if GENERATED_END not in lines[index:]:
                problems.append(f"{name}:{index}: {start.group(1)} has no {GENERATED_END}")
                break
            end = lines.index(GENERATED_END, index)
            if start.group(1) not in GENERATORS:
                problems.append(f"{name}:{index}: no table is generated as {start.group(1)}")
                continue
            try:
                wanted = GENERATORS[start.group(1)](root)
            except SourceError as error:
                problems.append(f"{name}:{index}: {start.group(1)}: {error}")
                continue
            have = lines[index:end]
            if write:
                lines[index:end] = wanted
            elif have != wanted:
                at = next(line for line in range(max(len(have), len(wanted)))
                          if have[line:line + 1] != wanted[line:line + 1])
                source_line = wanted[at] if at < len(wanted) else "nothing more"
                problems.append(f"{name}:{index + 1 + at}: the {start.group(1)} table differs from its source, "
                                f"which gives {source_line!r} (--write rewrites it)")
        if write and "\n".join(lines) != document.read_text(encoding="utf-8"):
            document.write_text("\n".join(lines), encoding="utf-8")
    return problems


def check_tables(root):
    problems = []
    constants = header_constants(root)
    for document in documents(root):
        name = document.relative_to(root)
        lines = document.read_text(encoding="utf-8").split("\n")
        for index, line in enumerate(lines):
            marker = CHECKED.match(line)
            if not marker:
                continue
            prefixes = tuple(marker.group(1).split())
            wanted = {constant: value for constant, value in constants if constant.startswith(prefixes)}
            listed = {}
            row = index + 3
            while row < len(lines) and lines[row].startswith("|"):
                cells = [cell.strip().strip("`") for cell in lines[row].strip("|").split("|")]
                try:
                    listed[cells[0]] = int(cells[1], 0)
                except (IndexError, ValueError):
                    problems.append(f"{name}:{row + 1}: no value in the second column")
                row += 1
            place = f"{name}:{index + 2}: the table of {' '.join(prefixes)}"
            problems += [f"{place} leaves out {constant}" for constant in wanted if constant not in listed]
            problems += [f"{place} lists {constant}, which the headers do not define"
                         for constant in listed if constant not in wanted]
            problems += [f"{place} gives {constant} as {listed[constant]:#x}; the headers define it as {value:#x}"
                         for constant, value in wanted.items() if listed.get(constant, value) != value]
            if wanted.keys() == listed.keys() and list(wanted) != list(listed):
                problems.append(f"{place} is not in the headers' order")
    return problems


def check_facts(root):
    problems = []
    for _, name, line, text in text_lines(root):
        shown = [span.span() for span in CODE_SPAN.finditer(text)]
        for fact in FACT.finditer(text):
            if any(start < fact.start() < end for start, end in shown):
                continue
            place, source_name = fact.groups()
            written = VALUE_BEFORE.search(text[:fact.start()])
            if not written:
                problems.append(f"{name}:{line}: no value just before the fact {source_name}")
                continue
            try:
                if not (root / place).exists():
                    raise SourceError(f"no such file or folder as {place}")
                value = defined(root, place, source_name)
            except SourceError as error:
                problems.append(f"{name}:{line}: {error}")
                continue
            if not holds(written.group(1), written.group(2), source_name, value):
                problems.append(f"{name}:{line}: {written.group(0)!r}, but {place} defines {source_name} as {value}")
    return problems


def holds(written, unit, name, value):
    """Whether a value written in the text, with its unit, is the source's, in the unit its name ends with."""
    if written.startswith("`"):
        return written.strip("`") == value
    try:
        source = number(value)
    except ValueError:
        return False
    source_unit = UNIT_OF_NAME.search(name)
    source_unit = source_unit.group(0).lstrip("_").lower() if source_unit else None
    if (unit in TIME_UNITS) != (source_unit in TIME_UNITS) or (unit not in TIME_UNITS and unit != source_unit):
        return False
    return math.isclose(number(written) * TIME_UNITS.get(unit, 1), source * TIME_UNITS.get(source_unit, 1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("root", type=pathlib.Path)
    parser.add_argument("--examples", action="store_true")
    parser.add_argument("--links", action="store_true")
    parser.add_argument("--facts", action="store_true")
    parser.add_argument("--write", action="store_true", help="rewrite the generated tables, then check the facts")
    arguments = parser.parse_args()
    problems = []
    checked = []
    if arguments.examples:
        problems += check_examples(arguments.root)
        checked.append("example copies")
    if arguments.links:
        problems += check_links(arguments.root)
        checked.append("links")
    if arguments.facts or arguments.write:
        problems += check_generated(arguments.root, arguments.write)
        problems += check_tables(arguments.root) + check_facts(arguments.root)
        checked.append("facts")
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"{' and '.join(checked)} hold in {len(documents(arguments.root))} documents")
    return 0


if __name__ == "__main__":
    sys.exit(main())
