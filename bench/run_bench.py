#!/usr/bin/env python3
"""Times kernels through the real Test program and prints a Markdown table of
clock ticks per call.

Every kernel is first checked with Verify: a kernel that cannot run is listed
with Verify's reason, a wrong one is timed but marked. Each kernel then gets a
repeat count that takes about --ms milliseconds, and --runs runs of Test,
taken round by round across all kernels so that a change in the machine's
speed touches all of them alike. Clock ticks per call come from each run's
total (total ticks / count, so fractions are kept).

Per kernel the table gives the median, minimum and maximum, the spread (the
median absolute deviation from the median, in % of the median), the net cost
(median less the null kernel's median: the harness's own cost taken out), the
net cost in core cycles (from the calibration kernel, whose chain of one-cycle
adds tells how many ticks a core cycle takes) and the net cost as a ratio to
the baseline kernel's.

Run from the repository root with no arguments it finds build/bin/Test, the
build's kernel list beside it and Verify.
"""
import argparse
import csv
import json
import os
import platform
import re
import statistics
import subprocess
import sys

from kernel_list import read_kernel_list

TOTAL = re.compile(rb"\r\nTotal time: ([0-9]+) clock ticks(?:, ([0-9]+) ms\.)?")
NULL_PROCEDURE = "null_kernel"
CALIBRATION = re.compile(r"^calibrate_([0-9]+)_adds$")
SPREAD_LIMIT = 3.0  # % of the median
SCALAR_FIELDS = ["library", "procedure", "mask", "count", "median", "min", "max", "spread", "net",
                 "core_cycles", "verified", "rounding"]


# ---- Finding the programs and the kernels ----------------------------------

def find_beside(directory, name):
    """directory/name, or directory/name.exe for a Windows build; None if neither."""
    for candidate in (name, name + ".exe"):
        path = os.path.join(directory, candidate)
        if os.path.isfile(path):
            return path
    return None


def default_bin_dir():
    """build/bin under the current directory, else under the repository this script is in."""
    here = os.path.join("build", "bin")
    if find_beside(here, "Test"):
        return here
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "bin")


def parse_kernel_argument(text):
    """PATH:PROCEDURE[:MASK] as a kernel; the path may hold colons itself (C:\\...)."""
    parts = text.split(":")
    mask = "0"
    if len(parts) >= 3 and parts[-1].isdigit():
        mask = parts.pop()
    if len(parts) < 2 or not parts[-1] or not ":".join(parts[:-1]):
        raise argparse.ArgumentTypeError(f"'{text}' is not PATH:PROCEDURE[:MASK]")
    path = ":".join(parts[:-1])
    return {"library": path, "path": path, "procedure": parts[-1], "mask": mask, "product": None}


# ---- Running Test and Verify -----------------------------------------------

def run(opts, program, args, timeout=300):
    try:
        done = subprocess.run(opts.emulator + [program] + args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, timeout=timeout, check=False)
    except (OSError, subprocess.TimeoutExpired):
        return None, b""
    return done.returncode, done.stdout


def run_test(opts, kernel, count):
    """(total ticks, ms) of one run of Test, or None when it printed no report."""
    _, out = run(opts, opts.test, [kernel["path"], kernel["procedure"], str(count), kernel["mask"]])
    match = TOTAL.search(out)
    if not match:
        return None
    return int(match.group(1)), int(match.group(2) or 0)


def verify(opts, kernel):
    """Verify's judgement: verdict ("correct", "wrong", "not run", or None when
    Verify is missing or gave none), reason and rounding models."""
    if not opts.verify:
        return {"verdict": None, "reason": "Verify is not built", "rounding": []}
    status, out = run(opts, opts.verify, ["--json", kernel["path"], kernel["procedure"], kernel["mask"]])
    try:
        result = json.loads(out.decode("utf-8", "replace"))
        return {"verdict": result["verdict"], "reason": result.get("reason") or "",
                "rounding": list(result.get("rounding") or [])}
    except (ValueError, KeyError, TypeError):
        return {"verdict": None, "reason": f"Verify gave no verdict (exit status {status})", "rounding": []}


def repeat_count(opts, kernel):
    """A repeat count that takes about opts.ms milliseconds, or None if Test does not run the kernel."""
    count = 1000
    while True:
        result = run_test(opts, kernel, count)
        if result is None:
            return None
        _, ms = result
        if ms >= max(10, opts.ms // 5) or count >= 2**30:
            return max(1, min(2**31 - 1, count * opts.ms // max(ms, 1)))
        count *= 10


# ---- The machine -----------------------------------------------------------

def processor_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def pin_to_one_core():
    """Pins this process, and so every Test it starts, to the last core it may
    use (the first core tends to take the most interrupts). Returns the core,
    or None where the system offers no CPU affinity."""
    if not hasattr(os, "sched_setaffinity"):
        return None
    try:
        cpu = max(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {cpu})
        return cpu
    except OSError:
        return None


def read_text(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return None


def counter_unit(program):
    """What a clock tick is for this Test binary: the counter its processor
    family reads, from the machine field of its executable header."""
    try:
        with open(program, "rb") as f:
            head = f.read(64)
    except OSError:
        return "clock ticks"
    if head[:2] == b"MZ":
        return "time-stamp counter ticks (RDTSC)"
    machine = int.from_bytes(head[18:20], "little") if head[:4] == b"\x7fELF" else None
    if machine in (3, 62):
        return "time-stamp counter ticks (RDTSC)"
    if machine == 183:
        return "virtual counter ticks (CNTVCT_EL0, at the rate of CNTFRQ_EL0)"
    return "monotonic clock nanoseconds"


def emulated(opts):
    """True when Test runs on an emulated processor (wine runs it natively)."""
    return bool(opts.emulator) and os.path.basename(opts.emulator[0]).startswith("qemu")


def machine_conditions(opts):
    """Conditions known to add noise that this machine shows, and what could not be read."""
    found, unread = [], []
    governors = {read_text(f"/sys/devices/system/cpu/cpu{cpu}/cpufreq/scaling_governor")
                 for cpu in range(os.cpu_count() or 1)} - {None}
    if governors:
        found += [f"frequency governor '{g}', not 'performance'" for g in sorted(governors) if g != "performance"]
    else:
        unread.append("frequency governor")
    boost = read_text("/sys/devices/system/cpu/cpufreq/boost")
    no_turbo = read_text("/sys/devices/system/cpu/intel_pstate/no_turbo")
    if boost == "1" or no_turbo == "0":
        found.append("boost on")
    elif boost is None and no_turbo is None:
        unread.append("boost")
    if opts.emulator:
        found.append(f"Test runs under an emulator ({os.path.basename(opts.emulator[0])})")
    cpuinfo = read_text("/proc/cpuinfo")
    if cpuinfo is not None and re.search(r"^flags\s*:.*\bhypervisor\b", cpuinfo, re.M):
        found.append("a virtual machine (other guests share the cores)")
    return found, unread


# ---- Statistics --------------------------------------------------------------

def spread(values):
    """The median absolute deviation from the median, in % of the median."""
    middle = statistics.median(values)
    if middle == 0:
        return 0.0
    return 100.0 * statistics.median(abs(v - middle) for v in values) / middle


def summarise(kernels, baseline):
    """Adds median, min, max, spread, net and core cycles to each timed kernel;
    returns (cycles per tick or None, the calibration kernel's adds or None)."""
    for k in kernels:
        k["median"] = statistics.median(k["ticks"])
        k["min"], k["max"] = min(k["ticks"]), max(k["ticks"])
        k["spread"] = spread(k["ticks"])
    null = next((k for k in kernels if k["procedure"] == NULL_PROCEDURE), None)
    for k in kernels:
        k["net"] = k["median"] - null["median"] if null else None
    calibration = next((k for k in kernels if CALIBRATION.match(k["procedure"])), None)
    cycles_per_tick = None
    adds = None
    if calibration and calibration["net"] and calibration["net"] > 0:
        adds = int(CALIBRATION.match(calibration["procedure"]).group(1))
        cycles_per_tick = adds / calibration["net"]
    reference = next((k["net"] for k in kernels if k["procedure"] == baseline), None)
    for k in kernels:
        k["core_cycles"] = k["net"] * cycles_per_tick if cycles_per_tick is not None else None
        k["ratio"] = k["net"] / reference if reference and k["net"] is not None else None
    return cycles_per_tick, calibration


def tick_rate(kernels):
    """Ticks per second, from every run's ticks and Test's own milliseconds."""
    ticks = sum(total for k in kernels for total, _ in k["totals"])
    ms = sum(ms for k in kernels for _, ms in k["totals"])
    return ticks * 1000.0 / ms if ms else None


# ---- Output ------------------------------------------------------------------

def figure(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


def verdict_cell(k):
    if k["product"] == "none":
        return "n/a (baseline)"
    return {"correct": "correct", "wrong": "**WRONG**", None: "not checked"}.get(k["verdict"], k["verdict"])


def verified_field(k):
    return "n/a" if k["product"] == "none" else k["verdict"]


def print_table(opts, timed, skipped, machine, conditions, cpu):
    found, unread = conditions
    pinning = (f"pinned to CPU {cpu}" if cpu is not None
               else "not pinned" if opts.no_pin else "not pinned (no CPU affinity on this system)")
    print()
    print(f"Clock ticks per call: {opts.runs} runs of about {opts.ms} ms per kernel, round by round, "
          f"on {machine['processor']} ({machine['cores']} cores), Test {pinning}.")
    tick = f"{machine['tick_hz'] / 1e9:.3f} GHz" if machine["tick_hz"] else "unknown"
    core = (f"about {machine['core_hz'] / 1e9:.3f} GHz (from {opts.calibration})" if machine["core_hz"]
            else "unknown (no calibration kernel timed)")
    print(f"Tick rate {tick} (measured); core clock {core}. Ticks are {machine['counter']}. Spread: median "
          f"absolute deviation from the median, % of the median. Net: median less {NULL_PROCEDURE}'s.")
    if emulated(opts):
        print()
        print(f"Test runs under {os.path.basename(opts.emulator[0])}: an emulated processor, so these timings "
              "mean nothing. This run is a smoke test of the bench only.")
    print()
    print(f"| library | procedure | mask | verified | rounding | median | min | max | spread % | net "
          f"| core cycles | vs {opts.baseline} |")
    print("|---|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for k in timed:
        rounding = ", ".join(k["rounding"]) or "-"
        print(f"| {k['library']} | {k['procedure']} | {k['mask']} | {verdict_cell(k)} | {rounding} "
              f"| {k['median']:.1f} | {k['min']:.1f} | {k['max']:.1f} | {k['spread']:.1f} | {figure(k['net'])} "
              f"| {figure(k['core_cycles'])} | {figure(k['ratio'], 2)} |")
    print()
    for k in timed:
        if k["spread"] > SPREAD_LIMIT:
            print(f"- Warning: {k['procedure']} is unstable: spread {k['spread']:.1f} %, above {SPREAD_LIMIT:g} %.")
    for k in timed:
        if k["verdict"] == "wrong" and k["product"] != "none":
            print(f"- WRONG: {k['procedure']} ({k['library']}) computes a wrong result: {k['reason']}")
    for s in skipped:
        print(f"- Not run: {s['procedure']} ({s['library']}): {s['reason']}")
    line = "- Machine: " + ("; ".join(found) if found else "no condition known to add noise found")
    if unread:
        line += f" ({', '.join(unread)} not readable)"
    print(line + ".")


def record(k):
    return {"library": k["library"], "procedure": k["procedure"], "mask": int(k["mask"]), "count": k["count"],
            "ticks": k["ticks"], "median": k["median"], "min": k["min"], "max": k["max"], "spread": k["spread"],
            "net": k["net"], "core_cycles": k["core_cycles"], "verified": verified_field(k),
            "rounding": k["rounding"]}


def write_json(path, opts, timed, skipped, machine):
    data = {"machine": machine, "runs": opts.runs, "kernels": [record(k) for k in timed],
            "skipped": skipped}
    with open(path, "w") as f:
        json.dump(data, f, indent=2)
        f.write("\n")


def write_csv(path, timed):
    with open(path, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(SCALAR_FIELDS)
        for k in timed:
            row = record(k)
            row["rounding"] = " ".join(row["rounding"])
            writer.writerow(["" if row[field] is None else row[field] for field in SCALAR_FIELDS])


# ---- Main --------------------------------------------------------------------

def parse_args(argv):
    parser = argparse.ArgumentParser(description="Times kernels through Test.")
    parser.add_argument("--test", help="the Test program (default: build/bin/Test)")
    parser.add_argument("--kernels", help="the build's kernel list (default: kernels.txt beside Test)")
    parser.add_argument("--verify", help="the Verify program (default: Verify beside Test)")
    parser.add_argument("--kernel", action="append", type=parse_kernel_argument, default=[], metavar="PATH:PROCEDURE[:MASK]",
                        help="also time this kernel (repeatable)")
    parser.add_argument("--only", nargs="+", metavar="PROCEDURE",
                        help="time only these of the listed kernels (and those given with --kernel)")
    parser.add_argument("--baseline", default="Mat_Mult", metavar="PROCEDURE", help="the kernel ratios are to")
    parser.add_argument("--list", action="store_true", help="print the known kernels and stop")
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--ms", type=int, default=250, help="milliseconds per run of Test")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--csv", metavar="FILE", help="also write one row per timed kernel as CSV")
    parser.add_argument("--no-pin", action="store_true", help="let Test run on any core")
    parser.add_argument("--emulator", help="';'-separated command that runs Test and Verify")
    opts = parser.parse_args(argv)
    if opts.runs < 1 or opts.ms < 1:
        parser.error("--runs and --ms must be at least 1")
    bin_dir = os.path.dirname(opts.test) if opts.test else default_bin_dir()
    opts.test = opts.test or find_beside(bin_dir, "Test")
    if not opts.test:
        parser.error(f"no Test program in {bin_dir}: build first, or give --test")
    opts.kernels = opts.kernels or os.path.join(bin_dir, "kernels.txt")
    opts.verify = opts.verify or find_beside(bin_dir, "Verify")
    if opts.emulator is None:
        # A Windows build on another system runs under wine.
        opts.emulator = "wine" if opts.test.lower().endswith(".exe") and os.name != "nt" else ""
    opts.emulator = [part for part in opts.emulator.split(";") if part]
    return parser, opts


def main(argv=None):
    parser, opts = parse_args(argv)
    registered = read_kernel_list(opts.kernels) if os.path.isfile(opts.kernels) else []
    if opts.list:
        for k in registered + opts.kernel:
            print(k["library"], k["procedure"], k["mask"])
        return 0
    if opts.only:
        missing = set(opts.only) - {k["procedure"] for k in registered + opts.kernel}
        if missing:
            parser.error(f"no such kernel: {', '.join(sorted(missing))} (see --list)")
        # The null and calibration kernels are always timed: net and core cycles need them.
        registered = [k for k in registered if k["procedure"] in opts.only or k["product"] == "none"]
    # Kernels given with --kernel were asked for by name: --only leaves them be.
    known = registered + opts.kernel

    cpu = None if opts.no_pin else pin_to_one_core()
    timed, skipped = [], []
    for k in known:
        k.update(verify(opts, k))
        if k["verdict"] == "not run":
            skipped.append({"library": k["library"], "procedure": k["procedure"], "reason": k["reason"]})
            continue
        k["count"] = repeat_count(opts, k)
        if k["count"] is None:
            reason = "Test printed no report" + (f" ({k['reason']})" if k["verdict"] is None else "")
            skipped.append({"library": k["library"], "procedure": k["procedure"], "reason": reason})
            continue
        k["ticks"], k["totals"] = [], []
        timed.append(k)

    for round_number in range(opts.runs):
        for k in timed:
            result = run_test(opts, k, k["count"])
            if result is not None:
                k["totals"].append(result)
                k["ticks"].append(result[0] / k["count"])
        print(f"round {round_number + 1} of {opts.runs} done", file=sys.stderr, flush=True)
    for k in [k for k in timed if not k["ticks"]]:
        timed.remove(k)
        skipped.append({"library": k["library"], "procedure": k["procedure"], "reason": "Test stopped reporting"})

    cycles_per_tick, calibration = summarise(timed, opts.baseline)
    opts.calibration = calibration["procedure"] if calibration else None
    tick_hz = tick_rate(timed)
    machine = {"processor": processor_name(), "cores": os.cpu_count(), "counter": counter_unit(opts.test),
               "tick_hz": tick_hz,
               "core_hz": tick_hz * cycles_per_tick if tick_hz and cycles_per_tick else None,
               "pinned_cpu": cpu}
    conditions = machine_conditions(opts)
    machine["conditions"] = conditions[0]
    print_table(opts, timed, skipped, machine, conditions, cpu)
    if opts.json:
        write_json(opts.json, opts, timed, skipped, machine)
    if opts.csv:
        write_csv(opts.csv, timed)
    return 0 if timed else 1


if __name__ == "__main__":
    sys.exit(main())
