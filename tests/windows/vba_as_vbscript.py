#!/usr/bin/env python3
"""Turns the kit's VBA sample module into a VBScript host, which stands in for VBA under Wine:
the module's attributes, the types of its declarations and its line numbers go, New becomes
CreateObject, the enumeration's members (which a script cannot read from the type library)
their values, Erl the number of the line before it, Debug.Print WScript.Echo; the host then
runs RunSample with the folder given to it and says "done" (for run_vbs.py).
Usage: vba_as_vbscript.py MODULE.bas > HOST.vbs"""
import re
import sys

ENUMERATION = {"Exe Standard": 0, "Exe ActiveX": 1, "Dll ActiveX": 2, "Ocx ActiveX Control": 3}
lines = []
line_number = "0"
with open(sys.argv[1], encoding="cp1252", newline="") as module:
    for line in module.read().split("\r\n"):
        numbered = re.match(r"^(\d+) (.*)$", line)
        if numbered:
            line_number, line = numbered.group(1), "    " + numbered.group(2)
        line = re.sub(r"\bNew (\w+\.\w+)", r'CreateObject("\1")', line)
        line = re.sub(r" As [\w.]+", "", line)
        line = re.sub(r"\[([\w ]+)\]", lambda m: str(ENUMERATION[m.group(1)]), line)
        line = re.sub(r"\bErl\b", line_number, line.replace("Debug.Print", "WScript.Echo"))
        if not line.startswith("Attribute "):
            lines.append(line)
sys.stdout.write("\r\n".join(lines + ["RunSample WScript.Arguments(0)", 'WScript.Echo "done"']))
