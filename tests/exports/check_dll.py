#!/usr/bin/env python3
"""Checks a built Varnex.dll as a host sees it: the eight MSVC-decorated
exports at ordinals 1 to 8, the pacer's C names from 9 on, and nothing else, imports of KERNEL32, USER32 and
msvcrt only, and the calling convention of the code behind the exports."""
import argparse
import re
import subprocess
import sys

EXPORTS = {
    "i686": [
        "??0CVarnex@@QAE@XZ",
        "??4CVarnex@@QAEAAV0@ABV0@@Z",
        "?CloseRTTimer@@YAFPAX@Z",
        "?OpenRTTimer@@YAPAXJH@Z",
        "?OpenRTTimerLV@@YAIJH@Z",
        "?WaitForRTTimer@@YANPAX@Z",
        "?WaitForRTTimerLV@@YANI@Z",
        "?nVarnex@@3HA",
    ],
    "x86_64": [
        "??0CVarnex@@QEAA@XZ",
        "??4CVarnex@@QEAAAEAV0@AEBV0@@Z",
        "?CloseRTTimer@@YAFPEAX@Z",
        "?OpenRTTimer@@YAPEAXJH@Z",
        "?OpenRTTimerLV@@YAIJH@Z",
        "?WaitForRTTimer@@YANPEAX@Z",
        "?WaitForRTTimerLV@@YANI@Z",
        "?nVarnex@@3HA",
    ],
}
# From ordinal 9 on, the same on both: the pacer's plain C names.
PACER_EXPORTS = [
    "varnex_version",
    "varnex_strerror",
    "varnex_pacer_config_init",
    "varnex_pacer_create",
    "varnex_pacer_destroy",
    "varnex_pacer_wait",
    "varnex_pacer_cancel",
    "varnex_pacer_get_stats",
    "varnex_pacer_rate",
    "varnex_pacer_set_controls",
    "varnex_pacer_wait_handle",
    "varnex_pacer_set_lateness_budget",
    "varnex_pacer_observe",
    "varnex_pacer_set_reference_options",
    "varnex_clock_ns",
    "varnex_sim_clock_create",
    "varnex_sim_clock_open",
    "varnex_sim_clock_destroy",
    "varnex_sim_clock_now",
    "varnex_sim_clock_advance",
    "varnex_pacer_create_on",
]
for names in EXPORTS.values():
    names += PACER_EXPORTS
ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "msvcrt.dll"}
READOBJ = "/usr/lib/llvm-14/bin/llvm-readobj"

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def exports_of(dll):
    text = run(READOBJ, "--coff-exports", dll)
    entries = re.findall(r"Ordinal: (\d+)\s+Name: (\S+)\s+RVA: 0x([0-9A-Fa-f]+)", text)
    return [(int(ordinal), name, int(rva, 16)) for ordinal, name, rva in entries]


def imports_of(dll):
    return re.findall(r"Name: (\S+\.dll)", run(READOBJ, "--coff-imports", dll), re.IGNORECASE)


def function_at(objdump, dll, image_base, rva, length=8192):
    """The instructions of the function at rva, up to the next symbol."""
    start = image_base + rva
    text = run(objdump, "-d", "--no-show-raw-insn", f"--start-address={start:#x}",
               f"--stop-address={start + length:#x}", dll)
    instructions = []
    for line in text.splitlines():
        if re.match(r"[0-9a-f]+ <.*>:$", line) and instructions:
            break
        match = re.match(r"\s*[0-9a-f]+:\s+(.*\S)", line)
        if match:
            instructions.append(match.group(1))
    return instructions


def host_imports_from_varnex(host):
    text = run(READOBJ, "--coff-imports", host)
    imported = []
    for block in text.split("Import {")[1:]:
        if re.search(r"Name: Varnex\.dll", block, re.IGNORECASE):
            imported += re.findall(r"Symbol: (\S+)", block)
    return imported


def returns(instructions):
    return [i for i in instructions if i.startswith("ret")]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", required=True, choices=sorted(EXPORTS))
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--host", action="append", default=[],
                        help="a program built against an import library: it must import "
                             "from Varnex.dll only names the DLL exports")
    parser.add_argument("dll")
    args = parser.parse_args()

    exports = exports_of(args.dll)
    expected = [(ordinal, name) for ordinal, name in enumerate(EXPORTS[args.arch], start=1)]
    check([(o, n) for o, n, _ in exports] == expected,
          f"exports are {[(o, n) for o, n, _ in exports]}, expected {expected}")

    imports = {name.lower() for name in imports_of(args.dll)}
    check(imports <= ALLOWED_IMPORTS and "kernel32.dll" in imports and "user32.dll" in imports,
          f"imports are {sorted(imports)}, allowed {sorted(ALLOWED_IMPORTS)}")

    headers = run(args.objdump, "-p", args.dll)
    image_base = int(re.search(r"ImageBase\s+([0-9a-fA-F]+)", headers).group(1), 16)
    rva_by_ordinal = {ordinal: rva for ordinal, _, rva in exports}
    code = {ordinal: function_at(args.objdump, args.dll, image_base, rva_by_ordinal[ordinal])
            for ordinal in range(1, len(EXPORTS[args.arch]) + 1) if ordinal in rva_by_ordinal}

    this_register, result_register = ("%ecx", "%eax") if args.arch == "i686" else ("%rcx", "%rax")
    # Ordinal 1 hands `this` back, as an MSVC-built `new CVarnex` expects.
    constructor = code.get(1, [])
    check(any(re.fullmatch(rf"mov\s+{this_register},{result_register}", i) for i in constructor),
          f"constructor entry does not return this in {result_register}: {constructor}")
    if args.arch == "i686":
        # Members are thiscall: `this` in ECX, the callee pops its stack
        # arguments (operator= has one); the free functions are cdecl.
        check(returns(constructor) == ["ret"], f"constructor entry must pop nothing: {constructor}")
        assignment = code.get(2, [])
        check(any("%ecx" in i for i in assignment), f"operator= does not take this in ECX: {assignment}")
        check(bool(returns(assignment)) and
              all(re.fullmatch(r"ret\s+\$0x4", r) for r in returns(assignment)),
              f"operator= must pop its one argument: {assignment}")
        # The timer functions (3 to 7) and the pacer's (from 9 on).
        for ordinal in [*range(3, 8), *range(9, len(EXPORTS[args.arch]) + 1)]:
            body = code.get(ordinal, [])
            check(bool(returns(body)) and all(r == "ret" for r in returns(body)),
                  f"ordinal {ordinal} is not cdecl: returns with {returns(body)}")

    for host in args.host:
        imported = host_imports_from_varnex(host)
        check(bool(imported) and set(imported) <= set(EXPORTS[args.arch]),
              f"{host} imports {imported} from Varnex.dll")

    if failures:
        print("\n".join(failures))
        return 1
    print(f"{args.dll}: {len(exports)} exports, imports {sorted(imports)}, calling conventions as MSVC's")
    return 0


if __name__ == "__main__":
    sys.exit(main())
