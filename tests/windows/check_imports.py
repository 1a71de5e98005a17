#!/usr/bin/env python3
"""Checks that a DLL imports only from Windows' own system DLLs (so the C and C++ runtimes and
winpthread are linked in) and exports exactly the entry points of a self-registering
in-process server. Usage: check_imports.py OBJDUMP DLL"""
import re
import subprocess
import sys

SYSTEM = {"advapi32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
          "oleaut32.dll", "shell32.dll", "user32.dll", "winspool.drv"}
EXPORTS = ["DllCanUnloadNow", "DllGetClassObject", "DllInstall", "DllRegisterServer",
           "DllUnregisterServer"]


def main():
    objdump, dll = sys.argv[1], sys.argv[2]
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True,
                          text=True).stdout
    imports = sorted({m.lower() for m in re.findall(r"DLL Name: (\S+)", text)})
    table = text[text.find("[Ordinal/Name Pointer] Table"):]
    exports = sorted(re.findall(r"^\s+\[\s*\d+\]\s+(\S+)", table, re.M))
    failed = False
    foreign = [name for name in imports if name not in SYSTEM]
    if foreign:
        print("imports beyond the system DLLs:", foreign)
        failed = True
    if exports != EXPORTS:
        print("exports", exports, "expected", EXPORTS)
        failed = True
    print("imports:", " ".join(imports))
    print("exports:", " ".join(exports))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
