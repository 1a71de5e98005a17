#!/usr/bin/env python3
"""Checks that a DLL imports system DLLs only (the runtimes linked in) and exports exactly the
entry points of a self-registering in-process server (and the one rundll32 starts to show
a crash's windows); in a 32-bit DLL, each is the stdcall function of its argument bytes
(_DllGetClassObject@12), as its symbols show (the build's DLL, not stripped).
Usage: check_imports.py OBJDUMP DLL"""
import re
import subprocess
import sys

SYSTEM = {"advapi32.dll", "dbghelp.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
          "oleaut32.dll", "shell32.dll", "user32.dll", "winspool.drv", "ws2_32.dll"}
STDCALL_BYTES = {"DllCanUnloadNow": 0, "DllGetClassObject": 12, "DllInstall": 8,
                 "DllRegisterServer": 0, "DllUnregisterServer": 0, "ShowCrashWindowsW": 16}
EXPORTS = sorted(STDCALL_BYTES)
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
wrong = []
if "file format pei-i386" in text:
    nm = re.sub(r"objdump$", "nm", sys.argv[1])
    symbols = subprocess.run([nm, sys.argv[2]], check=True, capture_output=True, text=True).stdout
    decorated = set(re.findall(r" T _(\w+@\d+)$", symbols, re.M))
    wrong = sorted({f"{n}@{b}" for n, b in STDCALL_BYTES.items()} ^
                   {d for d in decorated if d.split("@")[0] in STDCALL_BYTES})
    if wrong:
        print("FAIL: stdcall entry points expected or unexpected:", *wrong)
sys.exit(1 if foreign or exports != EXPORTS or wrong else 0)
