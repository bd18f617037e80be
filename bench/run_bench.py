#!/usr/bin/env python3
"""Times every registered kernel through the real Test program and
prints a Markdown table of clock ticks per call.

Each kernel gets a repeat count that takes about half a second, then several
runs of Test, taken round by round across all kernels; clock ticks per call
are taken from each run's total (total ticks / count, so fractions are kept)
and summarised as median, minimum and maximum. Ratios are to Mat_Mult's
median in the same run of the bench.
"""
import argparse
import os
import platform
import re
import statistics
import subprocess
import sys

TOTAL = re.compile(rb"\r\nTotal time: ([0-9]+) clock ticks(?:, ([0-9]+) ms\.)?")
TARGET_MS = 500
REFERENCE = "Mat_Mult"


def read_kernel_list(path):
    """The build's list of registered kernels: (library file, procedure, mask)."""
    entries = []
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            library, procedure, mask = line.rstrip("\n").split("\t")[:3]
            entries.append((library, procedure, mask))
    return entries


def run_test(opts, library, procedure, count, mask):
    command = opts.emulator + [opts.test, library, procedure, str(count), mask]
    out = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         stdin=subprocess.DEVNULL, timeout=300, check=False).stdout
    match = TOTAL.search(out)
    if not match:
        return None
    return int(match.group(1)), int(match.group(2) or 0)


def calibrate(opts, library, procedure, mask):
    """A repeat count that takes about TARGET_MS milliseconds."""
    count = 10000
    while True:
        result = run_test(opts, library, procedure, count, mask)
        if result is None:
            return None
        _, ms = result
        if ms >= 50 or count >= 2**30:
            return max(1, min(2**31 - 1, count * TARGET_MS // max(ms, 1)))
        count *= 10


def processor_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--test", required=True, help="the Test program")
    parser.add_argument("--kernels", required=True, help="the build's kernel list, beside the libraries")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--emulator", default="", help="';'-separated command that runs Test")
    opts = parser.parse_args()
    opts.emulator = [part for part in opts.emulator.split(";") if part]
    bin_dir = os.path.dirname(os.path.abspath(opts.kernels))

    kernels = []
    notes = []
    for name, procedure, mask in read_kernel_list(opts.kernels):
        library = os.path.join(bin_dir, name)
        count = calibrate(opts, library, procedure, mask)
        if count is None:
            notes.append(f"{procedure} did not run (mask {mask}: this processor lacks a feature it needs)")
            continue
        kernels.append({"name": name, "library": library, "procedure": procedure, "mask": mask,
                        "count": count, "ticks": [], "ns": []})

    # Round by round, every kernel once a round, so that a change in the
    # machine's speed during the bench touches all kernels alike.
    for round_number in range(opts.runs):
        for k in kernels:
            result = run_test(opts, k["library"], k["procedure"], k["count"], k["mask"])
            if result is not None:
                cycles, ms = result
                k["ticks"].append(cycles / k["count"])
                k["ns"].append(ms * 1e6 / k["count"])
        print(f"round {round_number + 1} of {opts.runs} done", file=sys.stderr, flush=True)

    rows = []
    for k in kernels:
        if not k["ticks"]:
            notes.append(f"{k['procedure']} stopped reporting")
            continue
        rows.append((k["name"], k["procedure"], k["mask"], k["count"], statistics.median(k["ticks"]),
                     min(k["ticks"]), max(k["ticks"]), statistics.median(k["ns"])))

    reference = next((r[4] for r in rows if r[1] == REFERENCE), None)
    print()
    print(f"Clock ticks per call, {opts.runs} runs of about {TARGET_MS} ms each, on {processor_name()} "
          f"({os.cpu_count()} cores)")
    print()
    print("| library | procedure | mask | median ticks | min | max | median ns | vs Mat_Mult |")
    print("|---|---|---|---:|---:|---:|---:|---:|")
    for name, procedure, mask, _, median, low, high, ns in rows:
        ratio = f"{median / reference:.2f}" if reference else "-"
        print(f"| {name} | {procedure} | {mask} | {median:.1f} | {low:.1f} | {high:.1f} | {ns:.2f} | {ratio} |")
    for note in notes:
        print(f"\nNote: {note}")
    return 0 if rows else 1


if __name__ == "__main__":
    sys.exit(main())
