#!/usr/bin/env python3
"""Checks that the house has one direction.

  - The folders' include graph has no circle. A folder is each top-level folder of the product,
    with platform/posix and platform/windows each a folder of their own.
  - runtime/ (the ground) includes nothing of the project but itself and the public headers.
  - The ports (platform/ and platform/common/) include only the ground and each other.
  - A backend (platform/posix, platform/windows) includes only the ground, the ports and itself.
  - Namespaces follow folders: code in runtime/ is in cobaltmoth::runtime, in platform/posix/shell/
    in cobaltmoth::platform::posix::shell, and so on (an inner namespace of its own may follow).
    Only the public classes (include/cobaltmoth/) and what defines them are in cobaltmoth itself,
    and a function a port declares is defined in the port's namespace where it is kept.
  - No source gives back a Windows handle, an environment block, a GDI object or heap memory by
    hand: platform/windows/unique.hpp has an owner for each (a COM object's `delete this` aside).

Exits 1 and names every include or namespace that breaks a rule."""
import os
import re
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
PRODUCT = ("runtime", "platform", "support", "tracing", "report", "bughandling", "delivery",
           "component", "ui", "tools", "include")
# Files that keep a port's promise above the port: the namespace they open is the port's.
PORT_DEFINITIONS = {
    "component/default_platform.cpp": "cobaltmoth::platform",
    "platform/posix/probes.cpp": "cobaltmoth::platform::probes",
}


def folder(path):
    parts = path.split("/")
    if parts[0] == "platform" and len(parts) > 2 and parts[1] in ("posix", "windows"):
        return "platform/" + parts[1]
    return parts[0]


def level_allows(source, target):
    """Whether `source` may include `target` by the rules of the ground, ports and backends."""
    here, there = folder(source), folder(target)
    if here == "runtime":
        return there == "runtime"
    if here == "platform":
        return there in ("runtime", "platform")
    if here in ("platform/posix", "platform/windows"):
        return there in ("runtime", "platform", here)
    return True


BY_HAND = re.compile(r"::CloseHandle\(|FreeEnvironmentStrings\w*\(|::DeleteObject\(|"
                     r"^[^/\"\n]*\bdelete(\[\])?\s+(?!this\b)\w", re.M)


def main():
    files = subprocess.check_output(["git", "ls-files"], cwd=ROOT, text=True).split()
    known = set(files)
    code = [f for f in files if f.split("/")[0] in PRODUCT and f.endswith((".cpp", ".hpp", ".inc"))]
    faults, edges = [], {}
    for path in code:
        text = open(os.path.join(ROOT, path), encoding="utf-8").read()
        for name in re.findall(r'^\s*#\s*include\s+"([^"]+)"', text, re.M):
            target = name if name in known else "include/" + name
            if target not in known:
                continue
            if not level_allows(path, target):
                faults.append("%s includes %s" % (path, name))
            if folder(path) != folder(target):
                edges.setdefault(folder(path), {}).setdefault(folder(target), path + " -> " + name)
        if path != "platform/windows/unique.hpp":
            for found in BY_HAND.finditer(text):
                line = text.count("\n", 0, found.start()) + 1
                faults.append("%s:%d gives back by hand: %s"
                              % (path, line, text.splitlines()[line - 1].strip()))
        expected = "cobaltmoth::" + "::".join(os.path.dirname(path).split("/"))
        for opened in re.findall(r"^namespace (cobaltmoth[\w:]*) \{", text, re.M):
            if opened == "cobaltmoth" and path.split("/")[0] in ("include", "tracing",
                                                                 "bughandling", "component",
                                                                 "runtime"):
                continue  # the public classes, and what defines them
            if opened == PORT_DEFINITIONS.get(path):
                continue
            if opened != expected and not opened.startswith(expected + "::"):
                faults.append("%s opens namespace %s, not %s" % (path, opened, expected))
    # A circle of folders: a path back to where it started.
    def circle_from(start):
        stack = [(start, [start])]
        seen = set()
        while stack:
            node, trail = stack.pop()
            for nxt in edges.get(node, {}):
                if nxt == start:
                    return trail + [start]
                if nxt not in seen:
                    seen.add(nxt)
                    stack.append((nxt, trail + [nxt]))
        return None
    for start in sorted(edges):
        trail = circle_from(start)
        if trail:
            steps = ["%s (%s)" % (b, edges[a][b]) for a, b in zip(trail, trail[1:])]
            faults.append("a circle: " + start + " -> " + " -> ".join(steps))
            break
    for fault in faults:
        print(fault, file=sys.stderr)
    if not faults:
        print("one direction: %d files, %d folders, no circle" % (len(code), len(edges)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
