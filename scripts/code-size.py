#!/usr/bin/env python3
"""Counts the non-blank lines of the product and of its tests, and their ratio.

  product  what is shipped and what builds it: the library, its windows' program and its
           tools (include/ runtime/ tracing/ bughandling/ delivery/ report/ support/
           component/ platform/ ui/ tools/), the demo host and the Windows kit's samples
           (examples/), the build (CMakeLists.txt, cmake/) and the scripts that generate
           resources, set up and run the build, or make the packages and the API reference;
           source files only, without the generated ones (*.inc, component/resources/strings.rc)
  tests    tests/ and fuzz/: every source and script file (not the golden texts, not the
           fuzz corpora, not the npm packages the tests install)

  scripts/code-size.py            prints both counts and the ratio
  scripts/code-size.py --max 35   also fails when the tests are more than 35% of the product
"""
import argparse
import os
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
PRODUCT = ["include", "runtime", "tracing", "bughandling", "delivery", "report", "support",
           "component", "platform",
           "ui", "tools", "examples", "cmake", "CMakeLists.txt", "scripts/gen_strings.py",
           "scripts/gen_icon.py", "scripts/gen_case_tables.py", "scripts/winres.py",
           "scripts/setup-debian.sh", "scripts/run-demo.sh", "scripts/wine-run.sh",
           "scripts/package.sh", "scripts/doxygen-filter.py"]
TESTS = ["tests", "fuzz"]
SOURCE = (".cpp", ".hpp", ".h", ".c", ".rc", ".mc", ".def", ".py", ".vbs", ".sh", ".cmake",
          ".in", ".mjs")
GENERATED = (".inc",)
GENERATED_FILES = {os.path.join("component", "resources", "strings.rc")}
DATA_FOLDERS = {"golden", "corpus", "node_modules"}


def count(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return sum(1 for line in f if line.strip())


def lines(places):
    total = 0
    for place in places:
        if os.path.isfile(os.path.join(ROOT, place)):
            total += count(os.path.join(ROOT, place))
            continue
        for here, subfolders, files in os.walk(os.path.join(ROOT, place)):
            subfolders[:] = [s for s in subfolders if s not in DATA_FOLDERS]
            for name in files:
                path = os.path.join(here, name)
                relative = os.path.relpath(path, ROOT)
                if relative in GENERATED_FILES or name.endswith(GENERATED):
                    continue
                if not (name.endswith(SOURCE) or name == "CMakeLists.txt"):
                    continue
                total += count(path)
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--max", type=float, help="the largest ratio allowed, in percent")
    args = parser.parse_args()
    product = lines(PRODUCT)
    tests = lines(TESTS)
    ratio = 100.0 * tests / product
    print("product %d lines, tests %d lines: %.1f%%" % (product, tests, ratio))
    if args.max is not None and ratio > args.max:
        sys.exit("the tests are more than %.0f%% of the product" % args.max)


if __name__ == "__main__":
    main()
