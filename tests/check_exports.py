#!/usr/bin/env python3
"""Checks that a kernel library exports exactly the named procedures and
nothing else of ours."""
import argparse
import re
import subprocess
import sys


def exported_names(tool, library):
    if library.lower().endswith(".dll"):
        # objdump -p lists the export table as "[ordinal] name" rows.
        text = subprocess.run([tool, "-p", library], capture_output=True, text=True, check=True).stdout
        table = text.split("[Ordinal/Name Pointer] Table", 1)
        rows = table[1].split("\n\n", 1)[0] if len(table) > 1 else ""
        return {m.group(1) for m in re.finditer(r"\[\s*\d+\]\s+(\S+)", rows)}
    text = subprocess.run([tool, "-D", "--defined-only", library], capture_output=True, text=True,
                          check=True).stdout
    names = set()
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TtDdBbRrWwVvi":
            names.add(parts[2])
    # Symbols the toolchain and the sanitizers add on their own (the
    # undefined-behaviour checks of indirect calls emit function-type
    # typeinfo, _ZTIF... and _ZTSF...).
    ignore = re.compile(r"^(_init|_fini|_edata|_end|__bss_start|__(asan|ubsan|sanitizer|odr_asan|lsan)\w*"
                        r"|_ZT[IS]F\w*)$")
    return {n for n in names if not ignore.match(n)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True, help="nm for ELF libraries, objdump for DLLs")
    parser.add_argument("--library", required=True)
    parser.add_argument("expected", nargs="+")
    opts = parser.parse_args()
    found = exported_names(opts.tool, opts.library)
    if found != set(opts.expected):
        print(f"{opts.library} exports {sorted(found)}, expected {sorted(opts.expected)}")
        return 1
    print(f"{opts.library} exports exactly {sorted(found)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
