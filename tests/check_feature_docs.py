#!/usr/bin/env python3
"""Holds the docs' table of feature-mask bits to the feature table
(common/features.def) that the programs, the registry and the tests read:
the same features in the same order, each with its bit, its value, the name
the programs print and the name a registration gives it."""
import os
import sys

import processor_flags

DOCS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs", "programs.md")
HEADER = "| bit | value | feature (x86) | registered as | on AArch64 |"


def documented_rows(path=DOCS):
    """The cells of each row of the docs' table of feature bits."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n## Feature masks\n", 1)[1].splitlines()
    start = lines.index(HEADER) + 2  # past the header and the alignment row
    rows = []
    for line in lines[start:]:
        if not line.startswith("|"):
            break
        rows.append([cell.strip() for cell in line.strip("|").split("|")])
    return rows


def mismatches(features, rows):
    found = []
    if len(rows) != len(features):
        found.append(f"docs/programs.md lists {len(rows)} features, the table {len(features)}")
    for feature, cells in zip(features, rows):
        bit, value, described, name, aarch64 = cells
        printed_ok = described == feature.printed or described.startswith(feature.printed + ", ")
        if (bit, value, name, aarch64) != (str(feature.bit), str(feature.value), f"`{feature.name}`", "absent") \
                or not printed_ok:
            found.append(f"docs/programs.md row {cells} does not describe {feature}")
    names = [f.name for f in features]
    bits = [f.bit for f in features]
    if len(set(names)) != len(names) or len(set(bits)) != len(bits):
        found.append("the feature table names a feature or a bit twice")
    return found


def main():
    found = mismatches(processor_flags.FEATURES, documented_rows())
    print("\n".join(found) or "the feature table of docs/programs.md matches common/features.def")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
