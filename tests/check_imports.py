#!/usr/bin/env python3
"""Checks that Windows programs and DLLs import only from DLLs that Windows
itself ships: the build links the compiler's runtime statically, and a file
that needed one of its DLLs would not load on a machine without them."""
import argparse
import re
import subprocess
import sys

# Lower-case; api-ms-win-* sets are Windows' own too.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "shlwapi.dll", "user32.dll", "advapi32.dll", "ntdll.dll",
               "ucrtbase.dll", "bcrypt.dll", "ws2_32.dll", "shell32.dll", "psapi.dll", "dbghelp.dll"}


def imported_dlls(tool, path):
    text = subprocess.run([tool, "-p", path], capture_output=True, text=True, check=True).stdout
    return re.findall(r"^\s*DLL Name: (\S+)$", text, re.MULTILINE)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True, help="objdump of the cross toolchain")
    parser.add_argument("files", nargs="+")
    opts = parser.parse_args()
    failed = False
    for path in opts.files:
        dlls = imported_dlls(opts.tool, path)
        foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS and not d.lower().startswith("api-ms-win-")]
        if not dlls:
            print(f"{path}: no import table found in what {opts.tool} -p printed")
            failed = True
        elif foreign:
            print(f"{path} imports {dlls}: {foreign} not shipped with Windows")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
