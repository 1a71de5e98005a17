#!/usr/bin/env python3
"""Runs one VBScript host under Wine's cscript and compares what it leaves with golden texts.

The script gets its work folder (a Windows path) as its only argument; it prints its own
results, since Wine's cscript ends silently with exit code 0 on an unhandled error, and its
last line must be "done". Compared byte for byte:
  golden/<name>.out          the script's standard output (CR LF line ends), where the
                             message box and the report window are written (COBALTMOTH_UI
                             is console) and the report window's date line is @DATE@;
  golden/<name>.<file>       each file the script leaves in its work folder; no other file may
                             be left. In a log, the time after "begin at " is written @NOW@ in
                             the golden text, and the lines of the environment section
                             (after "Current Enviroment Variables:" and its rule, up to the
                             blank line) are written @ENVIRONMENT@: they must be NAME=value
                             lines among which COBALTMOTH_VBS_MARK=<name> appears.
A first line "' env: NAME=value ..." in the script sets environment variables for its run.
"""
import argparse
import difflib
import os
import re
import shutil
import subprocess
import sys

ENV_HEADING = b"Current Enviroment Variables:\r\n-----------------------------\r\n"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def normalise_log(data, mark, problems, name, work):
    data = data.replace(work, b"<work>")
    data = re.sub(rb"(begin at )[^\r\n]*", rb"\1@NOW@", data)
    # The report window's date line: "Sunday, 06 December 2026 - 09:41:07", "lunedì, ...".
    data = re.sub(rb"\r\n[^\r\n, ]+, \d\d [^\r\n ]+ \d{4} - \d\d.\d\d.\d\d\r\n",
                  b"\r\n@DATE@\r\n", data)
    at = data.find(ENV_HEADING)
    if at >= 0:
        start = at + len(ENV_HEADING)
        end = data.find(b"\r\n\r\n", start)
        if end < 0:
            problems.append(f"{name}: the environment section does not end in a blank line")
            return data
        lines = data[start:end].split(b"\r\n")
        if not all(b"=" in line for line in lines):
            problems.append(f"{name}: an environment line without '=': {lines!r}")
        if mark not in lines:
            problems.append(f"{name}: {mark!r} is not among the environment lines")
        data = data[:start] + b"@ENVIRONMENT@" + data[end:]
    return data


def show_difference(label, expected, actual):
    print(f"--- {label} differs (expected, actual; line ends shown as \\r):")
    e = expected.decode("cp1252").replace("\r", "\\r").splitlines(keepends=True)
    a = actual.decode("cp1252").replace("\r", "\\r").splitlines(keepends=True)
    sys.stdout.writelines(difflib.unified_diff(e, a, "expected", "actual"))
    print()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--script", required=True)
    parser.add_argument("--golden", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--bless", action="store_true",
                        help="write what the run left as the golden texts (to be reviewed)")
    args = parser.parse_args()

    name = os.path.splitext(os.path.basename(args.script))[0]
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    env = dict(os.environ)
    env["COBALTMOTH_VBS_MARK"] = name
    env["COBALTMOTH_UI"] = "console"  # the message box on standard output
    with open(args.script, encoding="ascii") as f:
        first = f.readline()
    if first.startswith("' env:"):
        for pair in first[len("' env:"):].split():
            key, _, value = pair.partition("=")
            env[key] = value
    mark = f"COBALTMOTH_VBS_MARK={name}".encode()

    run = subprocess.run([args.wine_run, "cscript", "//nologo", windows_path(args.script),
                          windows_path(args.work)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=300)
    problems = []
    if run.returncode != 0:
        problems.append(f"cscript ended with exit code {run.returncode}")
    work = windows_path(args.work).encode("cp1252")
    actual_out = normalise_log(run.stdout, mark, problems, name + ".out", work)
    if not actual_out.endswith(b"done\r\n"):
        problems.append("the script did not reach its last line (no 'done' at the end)")

    if args.bless:
        with open(os.path.join(args.golden, name + ".out"), "wb") as f:
            f.write(actual_out)
        for file in os.listdir(args.work):
            with open(os.path.join(args.work, file), "rb") as f:
                data = normalise_log(f.read(), mark, problems, file, work)
            with open(os.path.join(args.golden, name + "." + file), "wb") as f:
                f.write(data)
    with open(os.path.join(args.golden, name + ".out"), "rb") as f:
        expected_out = f.read()
    if actual_out != expected_out:
        show_difference(name + ".out", expected_out, actual_out)
        problems.append("standard output differs")

    expected_files = sorted(f[len(name) + 1:] for f in os.listdir(args.golden)
                            if f.startswith(name + ".") and f != name + ".out")
    left = sorted(os.listdir(args.work))
    if left != expected_files:
        problems.append(f"files left {left}, expected {expected_files}")
    for file in expected_files:
        path = os.path.join(args.work, file)
        if not os.path.exists(path):
            continue
        with open(path, "rb") as f:
            actual = normalise_log(f.read(), mark, problems, file, work)
        with open(os.path.join(args.golden, name + "." + file), "rb") as f:
            expected = f.read()
        if actual != expected:
            show_difference(file, expected, actual)
            problems.append(f"{file} differs")

    if problems:
        if run.stderr:
            print("--- standard error:")
            print(run.stderr.decode("utf-8", "replace"))
        for problem in problems:
            print("FAIL:", problem)
        return 1
    print(f"{name}: output and {len(expected_files)} file(s) match")
    return 0


if __name__ == "__main__":
    sys.exit(main())
