#!/usr/bin/env python3
"""Counts the non-blank lines of the product and of its tests, and their ratio.

  product  the library, its windows' program and its tools: include/ tracing/ bughandling/
           report/ support/ component/ platform/ ui/ tools/, source files only, without the
           generated ones (*.inc, component/resources/strings.rc)
  tests    tests/ and fuzz/: every source and script file (not the golden texts, not the
           fuzz corpora)

  scripts/code-size.py            prints both counts and the ratio
  scripts/code-size.py --max 35   also fails when the tests are more than 35% of the product
"""
import argparse
import os
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
PRODUCT = ["include", "tracing", "bughandling", "report", "support", "component", "platform",
           "ui", "tools"]
TESTS = ["tests", "fuzz"]
SOURCE = (".cpp", ".hpp", ".h", ".c", ".rc", ".def", ".py", ".vbs", ".sh", ".cmake")
GENERATED = (".inc",)
GENERATED_FILES = {os.path.join("component", "resources", "strings.rc")}
DATA_FOLDERS = {"golden", "corpus"}


def lines(folders):
    total = 0
    for folder in folders:
        for here, subfolders, files in os.walk(os.path.join(ROOT, folder)):
            subfolders[:] = [s for s in subfolders if s not in DATA_FOLDERS]
            for name in files:
                path = os.path.join(here, name)
                relative = os.path.relpath(path, ROOT)
                if relative in GENERATED_FILES or name.endswith(GENERATED):
                    continue
                if not (name.endswith(SOURCE) or name == "CMakeLists.txt"):
                    continue
                with open(path, encoding="utf-8", errors="replace") as f:
                    total += sum(1 for line in f if line.strip())
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
