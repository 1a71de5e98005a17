#!/usr/bin/env python3
"""Checks that a DLL imports system DLLs only (the runtimes linked in) and exports exactly the
entry points of a self-registering in-process server (and the one rundll32 starts to show
a crash's windows). Usage: check_imports.py OBJDUMP DLL"""
import re
import subprocess
import sys

SYSTEM = {"advapi32.dll", "dbghelp.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
          "oleaut32.dll", "shell32.dll", "user32.dll", "winspool.drv"}
EXPORTS = ["DllCanUnloadNow", "DllGetClassObject", "DllInstall", "DllRegisterServer",
           "DllUnregisterServer", "ShowCrashWindowsW"]
text = subprocess.run([sys.argv[1], "-p", sys.argv[2]], check=True, capture_output=True,
                      text=True).stdout
imports = sorted({name.lower() for name in re.findall(r"DLL Name: (\S+)", text)})
table = text[text.find("[Ordinal/Name Pointer] Table"):]
exports = sorted(re.findall(r"^\s+\[\s*\d+\]\s+(\S+)", table, re.M))
foreign = sorted(set(imports) - SYSTEM)
if foreign:
    print("FAIL: imports beyond the system DLLs:", *foreign, "; all:", *imports)
if exports != EXPORTS:
    print("FAIL: exports", *exports, "; expected:", *EXPORTS)
sys.exit(1 if foreign or exports != EXPORTS else 0)
