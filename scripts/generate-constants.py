#!/usr/bin/env python3
"""Writes the pacer header's constants into the bindings, between the markers
in each binding's file, and the header's version into the Rust crates'
manifests; with --check, changes nothing and fails when a file is stale.

The names come from the preprocessed header, whose comments the
preprocessor has already dropped however they grow: the enumerators of each
enum, and (-dM) the macros of the public prefixes. Their values come from a
program compiled against the header and run, so that every value is the
compiler's own reading of it. CC names the compiler (default: cc)."""
import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / "include" / "varnex" / "pacer.h"
BEGIN = "generated from include/varnex/pacer.h by scripts/generate-constants.py: do not edit"
END = "end of generated constants"


def compiler():
    return os.environ.get("CC", "cc").split()


def preprocessed(*options):
    return subprocess.run([*compiler(), "-E", *options, "-I", str(ROOT / "include"), str(HEADER)],
                          check=True, capture_output=True, text=True).stdout


def names():
    """{enum name: [enumerator, ...]} in the header's order, and the macros with a value."""
    enums = {}
    for name, body in re.findall(r"enum\s+(varnex_\w+)\s*\{([^}]*)\}", preprocessed("-P")):
        enums[name] = [item.split("=")[0].strip() for item in body.split(",") if item.strip()]
    pattern = r"^#define (VARNEX_(?:PACER|CONTROL|SIM)_\w+|VARNEX_ON_TIME_NS|VARNEX_VERSION) (.+)$"
    macros = [name for name, value in re.findall(pattern, preprocessed("-dM"), re.MULTILINE) if value.strip()]
    return enums, macros


def values(symbols):
    """Each symbol's value, as the compiler evaluates it."""
    program = "#include <stdio.h>\n#include \"varnex/pacer.h\"\nint main(void)\n{\n"
    program += "".join(f'    printf("%lld\\n", (long long)({symbol}));\n' for symbol in symbols)
    program += "    return 0;\n}\n"
    with tempfile.TemporaryDirectory() as work:
        source = pathlib.Path(work, "values.c")
        source.write_text(program)
        binary = pathlib.Path(work, "values")
        subprocess.run([*compiler(), "-I", str(ROOT / "include"), str(source), "-o", str(binary)], check=True)
        printed = subprocess.run([str(binary)], check=True, capture_output=True, text=True).stdout.split()
    return dict(zip(symbols, (int(value) for value in printed)))


def strip(symbol, prefix):
    return symbol[len(prefix):] if symbol.startswith(prefix) else symbol


def pascal(snake):
    return "".join(part.capitalize() for part in snake.lower().split("_"))


# The macros of each group of flags, by their prefix.
FLAG_GROUPS = (("pacer_flags", "VARNEX_PACER_"), ("controls", "VARNEX_CONTROL_"), ("sim_flags", "VARNEX_SIM_"))


def constants():
    """The header's constants in groups: (group, [(name without its prefix, value)])."""
    enums, macros = names()
    value_of = values([symbol for members in enums.values() for symbol in members] + macros)
    prefixes = {"varnex_status": "VARNEX_", "varnex_mode": "VARNEX_MODE_", "varnex_missed": "VARNEX_MISSED_",
                "varnex_cause": "VARNEX_CAUSE_", "varnex_reference_state": "VARNEX_REFERENCE_"}
    groups = {}
    for enum, members in enums.items():
        groups[enum] = [(strip(strip(symbol, prefixes[enum]), "E_"), value_of[symbol]) for symbol in members]
    # A flag's bit orders them: the macros come in no order of the header's.
    for group, prefix in FLAG_GROUPS:
        groups[group] = sorted(((strip(symbol, prefix), value_of[symbol]) for symbol in macros
                                if symbol.startswith(prefix)), key=lambda item: item[1])
    groups["on_time_ns"] = value_of["VARNEX_ON_TIME_NS"]
    # The C names as they are, for a binding that keeps them (Rust's -sys crate).
    groups["c_names"] = [(enum, symbol, value_of[symbol]) for enum, members in enums.items() for symbol in members]
    groups["c_names"] += [(group, symbol, value_of[symbol]) for group, prefix in FLAG_GROUPS
                          for symbol, _ in sorted(((s, value_of[s]) for s in macros if s.startswith(prefix)),
                                                  key=lambda item: item[1])]
    groups["c_names"] += [(symbol.lower(), symbol, value_of[symbol])
                          for symbol in ("VARNEX_ON_TIME_NS", "VARNEX_VERSION")]
    return groups


def python_text(groups):
    def members(group):
        return "".join(f"    {name} = {value}\n" for name, value in groups[group])

    def by_name(variable, group, number=str):
        entries = [f'"{name.lower()}": {number(value)}' for name, value in groups[group]]
        return f"{variable} = {{" + (",\n" + " " * (len(variable) + 4)).join(entries) + "}\n"

    return (f"class Status(enum.IntEnum):\n    \"\"\"The library's status codes (varnex_status).\"\"\"\n"
            f"{members('varnex_status')}\n\n"
            f"class Cause(enum.IntEnum):\n    \"\"\"Why a wait returned its tick when it did (varnex_cause).\"\"\"\n"
            f"{members('varnex_cause')}\n\n"
            f"class ReferenceState(enum.IntEnum):\n    \"\"\"A following pacer's reference (varnex_reference_state).\"\"\"\n"
            f"{members('varnex_reference_state')}\n\n"
            + by_name("_MODES", "varnex_mode") + by_name("_POLICIES", "varnex_missed")
            + by_name("_PACER_FLAGS", "pacer_flags", hex) + by_name("_CONTROL_BITS", "controls", hex)
            + by_name("_SIM_FLAGS", "sim_flags", hex))


def csharp_text(groups):
    def enum(name, group, base="", flags=False):
        items = (["None = 0"] if flags else []) + [
            f"{pascal(member)} = {hex(value) if flags else value}" for member, value in groups[group]]
        return ("    [Flags]\n" if flags else "") + f"    public enum {name}{base}\n    {{\n" + ",\n".join(
            f"        {item}" for item in items) + "\n    }\n"

    return "\n".join([
        enum("Status", "varnex_status"), enum("Mode", "varnex_mode", " : uint"),
        enum("Missed", "varnex_missed", " : uint"), enum("Cause", "varnex_cause", " : uint"),
        enum("ReferenceState", "varnex_reference_state", " : uint"),
        enum("PacerFlags", "pacer_flags", " : uint", True), enum("Controls", "controls", " : uint", True),
        enum("SimClockFlags", "sim_flags", " : uint", True),
        "    internal static class HeaderConstants\n    {\n"
        f"        public const long OnTimeNs = {groups['on_time_ns']};\n    }}\n"])


def rust_sys_text(groups):
    # The types the structs' fields have: a status is a C int, the rest are uint32_t fields.
    types = {"varnex_status": "c_int", "varnex_on_time_ns": "i64"}
    return "".join(f"pub const {symbol}: {types.get(group, 'u32')} = "
                   f"{hex(value) if group in dict(FLAG_GROUPS) else value};\n"
                   for group, symbol, value in groups["c_names"])


def rust_text(groups):
    def enum(name, group, doc, flags=False, read=False):
        """An enum of a group; read: with from_raw, for the kinds the library writes."""
        members = [(pascal(member), hex(value) if flags else value) for member, value in groups[group]]
        arms = "".join(f"            {value} => Some({name}::{member}),\n" for member, value in members)
        return (f"/// {doc}\n#[derive(Clone, Copy, Debug, PartialEq, Eq, Hash)]\n#[repr(u32)]\npub enum {name} {{\n"
                + "".join(f"    {member} = {value},\n" for member, value in members) + "}\n"
                + (f"\nimpl {name} {{\n    pub(crate) fn from_raw(value: u32) -> Option<{name}> {{\n"
                   f"        match value {{\n{arms}            _ => None,\n        }}\n    }}\n}}\n" if read else ""))

    errors = [(pascal(member), value) for member, value in groups["varnex_status"] if value != 0]
    return "\n".join([
        "/// An error of the library: a `varnex_status` other than `VARNEX_OK`.\n"
        "#[derive(Clone, Copy, Debug, PartialEq, Eq, Hash)]\n#[non_exhaustive]\npub enum Error {\n"
        + "".join(f"    {member},\n" for member, _ in errors)
        + "    /// A status this crate does not know, from a newer library.\n    Unknown(i32),\n}\n\n"
        "impl Error {\n    /// The error for a status other than `VARNEX_OK`.\n"
        "    pub fn from_status(status: i32) -> Error {\n        match status {\n"
        + "".join(f"            {value} => Error::{member},\n" for member, value in errors)
        + "            other => Error::Unknown(other),\n        }\n    }\n\n"
        "    /// The library's status code.\n    pub fn status(self) -> i32 {\n        match self {\n"
        + "".join(f"            Error::{member} => {value},\n" for member, value in errors)
        + "            Error::Unknown(status) => status,\n        }\n    }\n}\n",
        enum("Mode", "varnex_mode", "How a pacer waits (`varnex_mode`)."),
        enum("Missed", "varnex_missed", "What a wait does after later deadlines passed (`varnex_missed`)."),
        enum("Cause", "varnex_cause", "Why a wait returned its tick when it did (`varnex_cause`).", read=True),
        enum("ReferenceState", "varnex_reference_state", "A following pacer's reference (`varnex_reference_state`).",
             read=True),
        enum("Control", "controls", "A scheduling or power control (the `VARNEX_CONTROL_*` bits).", True)])


def cargo_version_text(groups):
    """A crate's version: the library's, as the header gives it."""
    version = next(value for _, symbol, value in groups["c_names"] if symbol == "VARNEX_VERSION")
    return f'version = "{version >> 16}.{(version >> 8) & 0xff}.{version & 0xff}"\n'


def javascript_text(groups):
    def by_name(variable, group, key=str.lower, number=str):
        entries = [f"{key(name)}: {number(value)}" for name, value in groups[group]]
        return f"const {variable} = Object.freeze({{\n" + "".join(f"    {entry},\n" for entry in entries) + "});\n"

    def by_value(variable, group):
        entries = [f"{value}: '{name.lower()}'" for name, value in groups[group]]
        return f"const {variable} = Object.freeze({{" + ", ".join(entries) + "});\n"

    return (by_name("Status", "varnex_status", str.upper) + by_name("MODES", "varnex_mode")
            + by_name("MISSED", "varnex_missed") + by_value("CAUSES", "varnex_cause")
            + by_value("REFERENCE_STATES", "varnex_reference_state")
            + by_name("PACER_FLAGS", "pacer_flags", number=hex) + by_name("CONTROL_BITS", "controls", number=hex)
            + by_name("SIM_FLAGS", "sim_flags", number=hex)
            + f"const ON_TIME_NS = {groups['on_time_ns']};\n")


def typescript_text(groups):
    def union(name, group):
        return f"export type {name} = " + " | ".join(f"'{member.lower()}'" for member, _ in groups[group]) + ";\n"

    statuses = "".join(f"    readonly {name}: {value};\n" for name, value in groups["varnex_status"])
    return (union("Mode", "varnex_mode") + union("Missed", "varnex_missed") + union("Cause", "varnex_cause")
            + union("ReferenceState", "varnex_reference_state") + union("ControlName", "controls")
            + "/** The library's status codes (varnex_status). */\n"
            + f"export declare const Status: {{\n{statuses}}};\n")


TARGETS = [(ROOT / "bindings" / "python" / "varnex" / "_constants.py", "# ", python_text),
           (ROOT / "bindings" / "dotnet" / "Varnex.cs", "    // ", csharp_text),
           (ROOT / "bindings" / "rust" / "varnex-sys" / "src" / "lib.rs", "// ", rust_sys_text),
           (ROOT / "bindings" / "rust" / "varnex" / "src" / "kinds.rs", "// ", rust_text),
           (ROOT / "bindings" / "rust" / "varnex-sys" / "Cargo.toml", "# ", cargo_version_text),
           (ROOT / "bindings" / "rust" / "varnex" / "Cargo.toml", "# ", cargo_version_text),
           (ROOT / "bindings" / "node" / "lib" / "index.js", "// ", javascript_text),
           (ROOT / "bindings" / "node" / "index.d.ts", "// ", typescript_text)]
# The npm package's version is the library's, whose one source is the header.
PACKAGE_JSON = ROOT / "bindings" / "node" / "package.json"
VERSION_FIELD = re.compile(r'^(  "version": ")[^"]*(",)$', re.MULTILINE)


def library_version():
    parts = [f"VARNEX_VERSION_{part}" for part in ("MAJOR", "MINOR", "PATCH")]
    value_of = values(parts)
    return ".".join(str(value_of[part]) for part in parts)


def regenerated(text, comment, body):
    pattern = re.compile(rf"^{re.escape(comment)}{re.escape(BEGIN)}\n.*?^{re.escape(comment)}{re.escape(END)}\n",
                         re.DOTALL | re.MULTILINE)
    if not pattern.search(text):
        raise SystemExit(f"no generated region ({comment}{BEGIN} ... {comment}{END})")
    return pattern.sub(lambda _: f"{comment}{BEGIN}\n{body}{comment}{END}\n", text, count=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="fail if a binding's constants are stale")
    arguments = parser.parse_args()
    groups = constants()
    stale = []
    version = library_version()
    for path, comment, render in TARGETS + [(PACKAGE_JSON, None, None)]:
        text = path.read_text()
        if render is None:
            if not VERSION_FIELD.search(text):
                raise SystemExit(f"{path}: no version field")
            fresh = VERSION_FIELD.sub(lambda match: f"{match.group(1)}{version}{match.group(2)}", text, count=1)
        else:
            fresh = regenerated(text, comment, render(groups))
        if fresh != text:
            stale.append(path.relative_to(ROOT))
            if not arguments.check:
                path.write_text(fresh)
    if arguments.check and stale:
        print("stale, run scripts/generate-constants.py:", *stale, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
