#!/usr/bin/env python3
"""Usage: run_vbs.py WINE_RUN SCRIPT GOLDEN_FOLDER WORK_FOLDER. Runs a VBScript host under Wine's
cscript (its first line "' env: NAME=value ..." sets variables) and compares byte for byte its
output (the windows written there; "done" last, as cscript ends silently on an error) and each
file it leaves in WORK_FOLDER with GOLDEN_FOLDER/<name>.out and <name>.<file>, normalising the
folder, the time after "begin at ", the date line and the environment (NAME=value lines with
COBALTMOTH_VBS_MARK=<name>)."""
import difflib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ENV_HEADING = b"Current Enviroment Variables:\r\n-----------------------------\r\n"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def normalise(data, mark, work, problems):
    data = re.sub(rb"(begin at )[^\r\n]*", rb"\1@NOW@", data.replace(work, b"<work>"))
    # The report window's date line: "Sunday, 06 December 2026 - 09:41:07", "lunedì, ...".
    data = re.sub(rb"\r\n[^\r\n, ]+, \d\d [^\r\n ]+ \d{4} - \d\d.\d\d.\d\d\r\n",
                  b"\r\n@DATE@\r\n", data)
    start = data.find(ENV_HEADING) + len(ENV_HEADING)
    end = data.find(b"\r\n\r\n", start)
    lines = data[start:end].split(b"\r\n")
    if start < len(ENV_HEADING):
        return data
    if end < 0 or mark not in lines or not all(re.match(rb"[^=]+=", line) for line in lines):
        problems.append(f"the environment is not NAME=value lines with {mark!r}, then a blank")
    return data[:start] + b"@ENVIRONMENT@" + data[end:]


def main():
    wine_run, script, golden_folder, work_folder = sys.argv[1:5]
    name = os.path.splitext(os.path.basename(script))[0]
    shutil.rmtree(work_folder, ignore_errors=True)
    os.makedirs(work_folder)
    env = dict(os.environ, COBALTMOTH_VBS_MARK=name, COBALTMOTH_UI="console")
    first = Path(script).read_text(encoding="ascii").partition("\n")[0]
    if first.startswith("' env:"):
        env.update(pair.split("=", 1) for pair in first[len("' env:"):].split())
    run = subprocess.run([wine_run, "cscript", "//nologo", windows_path(script),
                          windows_path(work_folder)], capture_output=True, env=env, timeout=300)
    problems = [f"cscript ended with exit code {run.returncode}"] if run.returncode else []
    mark = f"COBALTMOTH_VBS_MARK={name}".encode()
    work = windows_path(work_folder).encode("cp1252")
    left = {f"{name}.{file.name}": file.read_bytes() for file in Path(work_folder).iterdir()}
    actual = {golden: normalise(data, mark, work, problems)
              for golden, data in {name + ".out": run.stdout, **left}.items()}
    if not actual[name + ".out"].endswith(b"done\r\n"):
        problems.append("the script did not reach its last line (no 'done' at the end)")
    expected = {file.name: file.read_bytes() for file in Path(golden_folder).glob(name + ".*")}
    for golden in sorted(set(actual) | set(expected)):
        if actual.get(golden) != expected.get(golden):
            problems.append(f"{golden} differs")
            e, a = (t.decode("cp1252").replace("\r", "\\r").splitlines(keepends=True)
                    for t in (expected.get(golden, b""), actual.get(golden, b"")))
            sys.stdout.writelines(difflib.unified_diff(e, a, "expected", "actual (\\r: CR)"))
    if problems:
        print("--- standard error:\n" + run.stderr.decode("utf-8", "replace"))
        print("\n".join("FAIL: " + problem for problem in problems))
        return 1
    print(f"{name}: output and {len(expected) - 1} file(s) match")
    return 0


if __name__ == "__main__":
    sys.exit(main())
