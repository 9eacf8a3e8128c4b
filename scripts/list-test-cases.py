#!/usr/bin/env python3
"""Prints every test case a configured build runs, one per line, sorted.

A GoogleTest entry gives its cases as Suite.Case (each program asked once
with --gtest_list_tests, its entries' filters applied here); any other entry
gives "entry NAME". Comparing two builds' lists, rather than their ctest
counts, shows a case that a change of layout lost.

    scripts/list-test-cases.py build/linux > cases.txt
"""
import fnmatch
import json
import os
import re
import subprocess
import sys


def listed_cases(command):
    output = subprocess.run(command + ["--gtest_list_tests"], capture_output=True, text=True,
                            check=True).stdout
    cases, suite = [], ""
    for line in output.splitlines():
        if not line.strip() or line.startswith(("Running main", "[")):
            continue
        name = line.split("#")[0].strip()
        if not line.startswith(" "):
            suite = name
        else:
            cases.append(suite + name)
    return cases


def matches(case, gtest_filter):
    positive, _, negative = gtest_filter.partition("-")
    def any_of(patterns):
        return any(fnmatch.fnmatchcase(case, p) for p in patterns.split(":") if p)
    return any_of(positive or "*") and not any_of(negative)


def main():
    build = sys.argv[1]
    shown = json.loads(subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True,
                                      text=True, check=True).stdout)
    listings = {}
    found = set()
    for test in shown["tests"]:
        command = test.get("command", [])
        filters = [a for a in command if a.startswith("--gtest_filter=")]
        programs = [a for a in command if os.path.isfile(a) and os.access(a, os.X_OK)
                    and (filters or re.search(r"_(test|tests|state)(\.exe)?$", a))]
        if not programs or not os.path.basename(command[0]).endswith((".sh", "_test", "_tests", "_state")):
            found.add("entry " + test["name"])
            continue
        program = programs[-1]
        runner = [a for a in command[:command.index(program)] if a.endswith("wine-run.sh")]
        if program not in listings:
            listings[program] = listed_cases(runner[-1:] + [program])
        gtest_filter = filters[-1].split("=", 1)[1] if filters else "*"
        found.update(case for case in listings[program] if matches(case, gtest_filter))
    print("\n".join(sorted(found)))


if __name__ == "__main__":
    main()
