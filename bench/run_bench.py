#!/usr/bin/env python3
"""Times kernels through the real Test and Latency programs and says, with
95 % confidence, which are faster than a baseline kernel and by how much.

Every kernel is first checked with Verify: a kernel that cannot run, or that
did not return there, is listed with the reason; a wrong one is timed but
marked. Each kernel then gets a repeat count for Test and a chain length for
Latency that take about --ms milliseconds, and the bench times every kernel
with both, round by round across all kernels, so that a change in the
machine's speed touches all of them alike. Test's figure is throughput
(independent calls); Latency's are the latencies of a dependent chain,
through the first and through the second operand. Ticks per call come from
each run's total, so fractions are kept.

Kernels are compared with the baseline round by round: the median of the
per-round ratios of raw ticks per call, with a 95 % interval from a
bootstrap over rounds. Rounds go on past --runs until every interval is
within --precision or --max-seconds have passed. Every kernel that computes
a product and is not a peer is compared the same way with the fastest peer
of the run in each measure.

The kernels are the build's (its kernel list, beside Test), those of any
other build's list given with --kernel-list (named by their paths there),
and any given with --kernel.

Where llvm-mca is installed, each timed kernel's own instructions are also
modelled for this processor (or the one --mca-cpu names), once, after the
rounds: kernel_model.py.

--compare OLD.json NEW.json compares two saved runs without timing anything;
--compare OLD.json alone times, then compares this run with OLD
(saved_run.py: each file is checked whole first, and what moved every
kernel alike between the runs is the machine's, not a regression).

Once all else is printed, one line on standard error names each file
written ("wrote the results as JSON: /path/run.json").

Exit status: 0 when every kernel that could run was timed and none is
wrong, 1 when a kernel is wrong, nothing could be timed, a kernel could not
be timed for another reason than a missing processor feature, or a
comparison found a kernel slower beyond --threshold with confidence; 2 for
bad arguments or a compared file that is missing or not a bench result.
"""
import argparse
import fnmatch
import math
import os
import re
import statistics
import sys
import time

import bench_chart
import bench_machine
import bench_output
import bench_programs
import bench_records
import bench_stats
import kernel_list
import kernel_model
import saved_run
from bench_run import Kernel, KernelResult, MeasureSummary, Run
from kernel_list import read_build_type, read_kernel_list
from saved_run import MEASURES

MAX_COUNT = 2**31 - 1
# The programs keep the low 32 bits of a mask: a larger one would run the
# kernel with another mask than the one the bench shows.
MASK_LIMIT = 2**32


# ---- Kernels -----------------------------------------------------------------

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
    """PATH:PROCEDURE[:MASK][=LABEL] as a kernel. The path may hold colons
    itself (C:\\...); a label holds no ':', '/', '\\' or '='."""
    label = None
    head, equals, tail = text.rpartition("=")
    if equals and not any(c in tail for c in ":/\\"):
        if not tail:
            raise argparse.ArgumentTypeError(f"'{text}': the label after '=' is empty")
        text, label = head, tail
    parts = text.split(":")
    mask = "0"
    if len(parts) >= 3 and re.match(r"[-+]?\d", parts[-1]):
        # Meant as a mask: one the programs read as the bench shows it, or none.
        mask = parts.pop()
        if not re.fullmatch(r"[0-9]+", mask, re.ASCII):
            raise argparse.ArgumentTypeError(f"'{text}': the mask '{mask}' is not plain decimal digits")
        if int(mask) >= MASK_LIMIT:
            raise argparse.ArgumentTypeError(
                f"'{text}': the mask {mask} is 2^32 or more: the programs keep its low 32 bits and "
                f"would read it as {int(mask) % MASK_LIMIT}")
    if len(parts) < 2 or not parts[-1] or not ":".join(parts[:-1]):
        raise argparse.ArgumentTypeError(f"'{text}' is not PATH:PROCEDURE[:MASK][=LABEL]")
    path = ":".join(parts[:-1])
    return Kernel(library=path, path=path, procedure=parts[-1], mask=mask, label=label)


def name_kernels(kernels):
    """Each kernel's name: its label, else its procedure, else, where two
    kernels share a procedure, library:procedure."""
    procedures = [k.procedure for k in kernels if not k.label]
    for k in kernels:
        k.name = k.label or (k.procedure if procedures.count(k.procedure) == 1 else f"{k.library}:{k.procedure}")


def matches(kernel, pattern):
    return any(fnmatch.fnmatchcase(text, pattern) for text in (kernel.name, kernel.procedure))


def select_kernels(parser, opts, registered, listed=()):
    """The kernels to time, named, and the baseline's name: the build's
    registered kernels, those of the other lists (--kernel-list) and those
    given one by one (--kernel)."""
    listed = list(listed)
    kernels = registered + listed + opts.kernel
    name_kernels(kernels)
    names = [k.name for k in kernels]
    duplicates = sorted({n for n in names if names.count(n) > 1})
    if duplicates:
        parser.error(f"two kernels are called {', '.join(duplicates)}: give them labels (PATH:PROCEDURE=LABEL)")
    baseline = opts.baseline
    if baseline is None:
        baseline = next((k.name for k in registered if k.role == "baseline"), None)
    elif not any(baseline in (k.name, k.procedure) for k in kernels):
        parser.error(f"no kernel '{baseline}' to compare with (see --list)")
    else:
        found = [k for k in kernels if baseline in (k.name, k.procedure)]
        if len(found) > 1:
            parser.error(f"--baseline '{baseline}' names several kernels: use a label")
        baseline = found[0].name
    if opts.only:
        unmatched = [p for p in opts.only if not any(matches(k, p) for k in kernels)]
        if unmatched:
            parser.error(f"no kernel matches {', '.join(unmatched)} (see --list)")
        # The null and calibration kernels and the baseline are always timed:
        # net cost, core cycles and comparisons need them. Kernels given with
        # --kernel or --kernel-list were asked for by name: --only leaves them
        # be.
        registered = [k for k in registered if any(matches(k, p) for p in opts.only)
                      or k.role in kernel_list.COMPUTES_NOTHING or k.name == baseline]
    return registered + listed + opts.kernel, baseline


# ---- Timing --------------------------------------------------------------------

def test_once(opts, result, count):
    """(count, total ticks, ms) of one run of Test, or (None, why not)."""
    program, library = result.invocation
    k = result.kernel
    status, out, _ = bench_programs.run(opts.emulator + [program, library, k.procedure, str(count), k.mask],
                                        opts.timeout)
    if status is None:
        return None, f"Test did not end within {opts.timeout:g} s"
    name = bench_programs.file_name_as_test_prints_it(library, opts.windows)
    report = bench_programs.parse_test_report(out, name, k.procedure)
    if report is None:
        return None, bench_programs.no_report_reason(out, name, k.procedure) + (
            f" ({result.reason})" if result.verdict is None else "")
    if report[0] != count:
        return None, f"Test ran {report[0]} calls when asked for {count}"
    return report, ""


def latency_once(opts, result, count):
    k = result.kernel
    status, out, _ = bench_programs.run(opts.emulator + [opts.latency, "--json", result.invocation[1], k.procedure,
                                                         str(count), k.mask], opts.timeout)
    if status is None:
        return {"reason": f"Latency did not end within {opts.timeout:g} s"}
    report = bench_programs.parse_latency_json(status, out, count)
    # The first reason a chain gave for the kernel being wrong is kept.
    result.chain_wrong = result.chain_wrong or chain_wrong(k, report)
    return report


def chain_wrong(kernel, report):
    """Why a report of Latency's makes the kernel wrong, or "": a chain gone
    wrong, or a fault in one, with or without figures. Latency judges no
    chain of a kernel registered beside it as computing nothing, but it does
    judge one from another list: for such a kernel only a fault, which ends
    the report before its figures, counts."""
    if report.get("chain_exact") is not False or (kernel.product == "none" and "through_a" in report):
        return ""
    return report["reason"] or "the chain ended on another matrix"


def scaled_count(opts, count, ms):
    return max(1, min(MAX_COUNT, int(count * opts.ms / max(ms, 1e-3))))


def choose_counts(opts, result):
    """Sets the repeat count and the chain length that take about opts.ms
    milliseconds each; returns why the kernel cannot be timed, or ""."""
    count, ticks_per_ms = 1000, None
    while True:
        report, why = test_once(opts, result, count)
        if report is None:
            return why
        _, ticks, ms = report
        if ms >= max(10, opts.ms // 5) or count >= 2**30:
            result.count = scaled_count(opts, count, ms)
            ticks_per_ms = ticks / ms if ms else None
            break
        count *= 10
    result.figures["throughput"] = []
    if not opts.latency:
        result.latency_note = "Latency is not built"
        return ""
    if not ticks_per_ms:
        result.latency_note = "no tick rate to choose a chain length by"
        return ""
    count = 1000
    while True:
        report = latency_once(opts, result, count)
        if "through_a" not in report:
            result.latency_note = report["reason"]
            return ""
        ms = (report["through_a"] + report["through_b"]) * count / ticks_per_ms
        if ms >= max(10, opts.ms // 5) or count >= 2**30:
            result.chain_count = scaled_count(opts, count, ms)
            opts.counter = opts.counter or report["counter"]
            result.figures["latency"], result.figures["latency_b"] = [], []
            return ""
        count *= 10


def time_round(opts, results):
    """One run of each program on each kernel; returns the kernels Test
    stopped timing, with why."""
    dropped = []
    for r in results:
        report, why = test_once(opts, r, r.count)
        if report is None:
            dropped.append((r, why))
            continue
        r.totals.append(report[1:])
        r.figures["throughput"].append(report[1] / r.count)
        if r.chain_count:
            chain = latency_once(opts, r, r.chain_count)
            if "through_a" in chain:
                r.figures["latency"].append(chain["through_a"])
                r.figures["latency_b"].append(chain["through_b"])
            else:
                # Figures from some rounds only would pair with nothing.
                r.chain_count = None
                r.latency_note = f"Latency stopped: {chain['reason']}"
                r.figures.pop("latency", None)
                r.figures.pop("latency_b", None)
    for r, _ in dropped:
        results.remove(r)
    return dropped


# ---- Statistics of a run -------------------------------------------------------

def summarise(results, baseline):
    """Fills in each result's summary, net cost and floor; returns (null
    kernel, calibration kernel, cycles per tick or None)."""
    null = next((r for r in results if r.kernel.role == "null"), None)
    calibration = next((r for r in results if r.kernel.role == "calibration" and r.kernel.adds), None)
    base = next((r for r in results if r.kernel.name == baseline), None)
    for r in results:
        r.summary = {m: MeasureSummary(statistics.median(v), min(v), max(v), bench_stats.spread(v))
                     for m, v in r.figures.items() if v}
    null_median = null.summary["throughput"].median if null else None
    for r in results:
        vs_null = bench_stats.paired_ratio(r.figures["throughput"], null.figures["throughput"]) if null else None
        r.floor = bench_stats.at_call_floor(vs_null) if null else None
        r.net = bench_stats.net_cost(r.summary["throughput"].median, null_median, r.floor)
    cycles_per_tick = None
    if calibration and calibration.net:
        cycles_per_tick = calibration.kernel.adds / calibration.net
    for r in results:
        for m, s in r.summary.items():
            raw = r.net if m == "throughput" else s.median
            s.core_cycles = raw * cycles_per_tick if cycles_per_tick is not None and raw is not None else None
            if base and m in base.summary and len(base.figures[m]) == len(r.figures[m]):
                s.vs_baseline = bench_stats.paired_ratio(r.figures[m], base.figures[m])
    compare_with_best_peers(results)
    return null, calibration, cycles_per_tick


def best_peers(results):
    """measure -> the peer with the lowest median in it. A peer found wrong
    is no rival: a wrong product is not the one to beat."""
    best = {}
    for m in MEASURES:
        peers = [r for r in results if r.kernel.role == "peer" and not r.wrong() and m in r.summary]
        if peers:
            best[m] = min(peers, key=lambda r: r.summary[m].median)
    return best


def compare_with_best_peers(results):
    """Each kernel that computes a product and is not a peer against the
    fastest peer in each measure, round by round as against the baseline."""
    best = best_peers(results)
    for r in results:
        r.vs_best_peer = {}
        if r.kernel.role in (*kernel_list.COMPUTES_NOTHING, "peer") or r.kernel.product == "none":
            continue
        for m, peer in best.items():
            if m in r.summary and len(r.figures[m]) == len(peer.figures[m]):
                comparison = bench_stats.paired_ratio(r.figures[m], peer.figures[m])
                if comparison:
                    r.vs_best_peer[m] = (peer.kernel.name, comparison)


def model_kernels(opts, results):
    """Sets each result's model of its own instructions, or the reason why
    there is none. llvm-mca runs once per kernel, never while anything is timed."""
    if opts.model_reason:
        for r in results:
            r.model, r.model_reason = None, opts.model_reason
        return
    progress(f"modelling {len(results)} kernels with {opts.mca}")
    for r in results:
        r.model, reason = kernel_model.model_kernel(opts.mca, r.kernel.path, r.kernel.procedure,
                                                    opts.mca_cpu or "native")
        r.model_reason = reason or ""


def short_of_target(results, baseline, precision):
    """(name, [(measure, half width)]) of each kernel whose interval against
    the baseline is wider than ±precision % in some measure."""
    short = []
    for r in results:
        if r.kernel.name == baseline:
            continue
        widths = [(m, s.vs_baseline.relative_half_width()) for m, s in r.summary.items() if s.vs_baseline]
        widths = [(m, w) for m, w in widths if w > precision / 100.0]
        if widths:
            short.append((r.kernel.name, widths))
    return short


def last_round(imprecise, elapsed, round_seconds, max_seconds):
    """Whether the rounds stop here, once --runs are done: every kernel is
    within the precision asked for, or another round as long as the last
    would end past max_seconds."""
    return not imprecise or elapsed + round_seconds > max_seconds


# ---- Main -----------------------------------------------------------------------------

def parse_args(argv, bin_dir=None):
    parser = argparse.ArgumentParser(description="Times kernels through Test and Latency, and compares them.")
    parser.add_argument("--test", help="the Test program (default: build/bin/Test)")
    parser.add_argument("--kernels", help="the build's kernel list (default: kernels.txt beside Test)")
    parser.add_argument("--verify", help="the Verify program (default: Verify beside Test)")
    parser.add_argument("--latency", help="the Latency program (default: Latency beside Test)")
    parser.add_argument("--kernel-list", action="append", default=[], metavar="FILE",
                        help="also time the kernels of another build's kernel list, as it lists them "
                             "(repeatable)")
    parser.add_argument("--kernel", action="append", type=parse_kernel_argument, default=[],
                        metavar="PATH:PROCEDURE[:MASK][=LABEL]", help="also time this kernel (repeatable)")
    parser.add_argument("--only", nargs="+", metavar="PATTERN",
                        help="time only the listed kernels whose name or procedure matches one of these shell "
                             "patterns (and those given with --kernel)")
    parser.add_argument("--baseline", metavar="NAME", help="the kernel the others are compared with "
                        "(default: the one the kernel list names)")
    parser.add_argument("--list", action="store_true", help="print the known kernels and stop")
    parser.add_argument("--runs", type=int, default=11, help="rounds at least (default 11)")
    parser.add_argument("--precision", type=float, default=2.0, metavar="PCT",
                        help="go on until every interval is within ±PCT %% (default 2)")
    parser.add_argument("--max-seconds", type=float, default=300.0,
                        help="start no round after this many seconds (default 300)")
    parser.add_argument("--ms", type=int, default=250, help="milliseconds per run of each program (default 250)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--csv", metavar="FILE", help="also write one row per timed kernel as CSV")
    parser.add_argument("--svg", metavar="FILE", help="also draw every kernel's figures as an SVG chart")
    parser.add_argument("--compare", nargs="+", metavar="FILE",
                        help="OLD.json NEW.json: compare two saved runs; OLD.json alone: time, then compare")
    parser.add_argument("--threshold", type=float, default=5.0, metavar="PCT",
                        help="with --compare, exit 1 when a kernel is slower by more than PCT %% with "
                             "confidence (default 5)")
    parser.add_argument("--no-pin", action="store_true", help="let the programs run on any core")
    parser.add_argument("--emulator", help="';'-separated command that runs the programs")
    parser.add_argument("--mca", metavar="PATH", help="the llvm-mca that models each kernel's instructions "
                        "(default: the newest installed)")
    parser.add_argument("--mca-cpu", metavar="NAME", help="model this processor, as llvm-mca names it "
                        "(default: this machine's)")
    parser.add_argument("--no-model", action="store_true", help="model no kernel")
    opts = parser.parse_args(argv)
    if opts.runs < 1 or opts.ms < 1 or not opts.precision > 0 or not opts.max_seconds > 0:
        parser.error("--runs, --ms, --precision and --max-seconds must be positive")
    if not (math.isfinite(opts.threshold) and opts.threshold >= 0):
        parser.error(f"--threshold must be a finite number, 0 or more, not {opts.threshold:g}")
    if opts.compare and len(opts.compare) > 2:
        parser.error("--compare takes OLD.json, or OLD.json NEW.json")
    if opts.compare and len(opts.compare) == 2:
        return parser, opts
    if opts.test:
        bin_dir = os.path.dirname(opts.test)
    elif bin_dir is None:
        bin_dir = default_bin_dir()
    opts.test = opts.test or find_beside(bin_dir, "Test")
    if not opts.test:
        parser.error(f"no Test program in {bin_dir}: build first, or give --test")
    opts.kernels = opts.kernels or os.path.join(bin_dir, "kernels.txt")
    opts.verify = opts.verify or find_beside(bin_dir, "Verify")
    opts.latency = opts.latency or find_beside(bin_dir, "Latency")
    opts.windows = opts.test.lower().endswith(".exe")
    if opts.emulator is None:
        # A Windows build on another system runs under the wine loader for
        # its width.
        opts.emulator = ""
        if opts.windows and os.name != "nt":
            opts.emulator, cannot = bench_programs.wine_loader(opts.test)
            if cannot:
                parser.error(f"{opts.test} cannot run here: {cannot}")
    opts.emulator = [part for part in opts.emulator.split(";") if part]
    if opts.emulator:
        # Verify starts each check's child through the same command.
        os.environ["MATMUL_EMULATOR"] = ";".join(opts.emulator)
    opts.emulated = bool(opts.emulator) and os.path.basename(opts.emulator[0]).startswith("qemu")
    opts.model_reason = ""
    if opts.no_model:
        opts.model_reason = kernel_model.NOT_MODELLED + "--no-model"
    elif opts.emulated and not opts.mca_cpu:
        # The processor that runs the programs is the emulator's, not this
        # machine's, so this machine's model would describe neither.
        opts.model_reason = (kernel_model.NOT_MODELLED + "the programs run under an emulator: name the "
                             "processor to model with --mca-cpu")
    if not opts.no_model:
        mca = kernel_model.find_mca(opts.mca)
        if opts.mca and not mca:
            parser.error(f"--mca {opts.mca}: no such program")
        opts.mca = mca
        if not mca and not opts.model_reason:
            opts.model_reason = kernel_model.NOT_MODELLED + "no llvm-mca found"
    opts.timeout = max(60.0, 20 * opts.ms / 1000.0)
    opts.counter = None
    return parser, opts


def model_tool(mca):
    """The llvm-mca as the tables and the JSON name it: "llvm-mca 19.1.7"."""
    version, _ = kernel_model.mca_host(mca)
    return f"llvm-mca {version}" if version else os.path.basename(mca)


def progress(text):
    print(text, file=sys.stderr, flush=True)


def kernels_from_list(path, shipped=True):
    """The kernels of a kernel list. The build's own go by their file names;
    another build's (--kernel-list) by their paths, so that the same kernel
    of two builds has two names."""
    directory = os.path.dirname(path) or "."
    return [Kernel(library=entry["library"] if shipped else os.path.join(directory, entry["library"]),
                   path=entry["path"], procedure=entry["procedure"], mask=entry["mask"], product=entry["product"],
                   rounding=entry["rounding"], role=entry["role"], adds=entry["adds"])
            for entry in read_kernel_list(path)]


def verify(opts, kernel, path):
    if not opts.verify:
        return {"verdict": None, "reason": "Verify is not built", "rounding": [], "hung": False,
                "missing_features": []}
    status, out, _ = bench_programs.run(opts.emulator + [opts.verify, "--json", path, kernel.procedure,
                                                         kernel.mask], 900)
    return bench_programs.parse_verify_json(status, out)


def bench(opts, kernels, baseline, links):
    """Verifies and times the kernels; returns the Run and whether some kernel
    that could run was not timed."""
    started = time.monotonic()
    cpu = None if opts.no_pin else bench_machine.pin_to_one_core()
    results, skipped = [], []
    missed = False

    def skip(k, reason, missing_features=()):
        """A kernel not timed: one the processor lacks a feature for leaves
        the exit status be, any other fails the run."""
        nonlocal missed
        skipped.append({"name": k.name, "library": k.library, "procedure": k.procedure, "reason": reason})
        missed = missed or not missing_features

    for i, k in enumerate(kernels, 1):
        progress(f"verifying {i} of {len(kernels)}: {bench_output.clean(k.name)}")
        invocation = bench_programs.test_invocation(opts.test, k.path, k.procedure, k.mask, links, opts.windows)
        judgement = verify(opts, k, invocation[1])
        if judgement["verdict"] == "not run":
            skip(k, judgement["reason"], judgement["missing_features"])
        elif judgement["hung"]:
            skip(k, "did not return in Verify")
        else:
            results.append(KernelResult(kernel=k, verdict=judgement["verdict"], reason=judgement["reason"],
                                        rounding=judgement["rounding"], invocation=invocation))
    timed = []
    for i, r in enumerate(results, 1):
        progress(f"choosing counts {i} of {len(results)}: {bench_output.clean(r.kernel.name)}")
        why = choose_counts(opts, r)
        if why:
            skip(r.kernel, why)
        else:
            timed.append(r)
    rounds, imprecise = 0, []
    while timed:
        round_started = time.monotonic()
        for r, why in time_round(opts, timed):
            skip(r.kernel, f"Test stopped timing it in round {rounds + 1}: {why}")
        rounds += 1
        now = time.monotonic()
        if rounds < opts.runs:
            progress(f"round {rounds} of at least {opts.runs} done")
            continue
        summarise(timed, baseline)
        imprecise = short_of_target(timed, baseline, opts.precision)
        progress(f"round {rounds} done: {len(imprecise)} of {len(timed)} kernels short of "
                 f"±{opts.precision:g} %, {now - started:.0f} s of {opts.max_seconds:g}")
        if last_round(imprecise, now - started, now - round_started, opts.max_seconds):
            break
    null, calibration, cycles_per_tick = summarise(timed, baseline)
    model_kernels(opts, timed)
    ticks = sum(t for r in timed for t, _ in r.totals)
    ms = sum(m for r in timed for _, m in r.totals)
    tick_hz = ticks * 1000.0 / ms if ms else None
    found, unread = bench_machine.machine_conditions(opts.emulator)
    machine = {"processor": bench_machine.processor_name(), "cores": os.cpu_count(),
               "counter": opts.counter or bench_machine.counter_unit(opts.test), "tick_hz": tick_hz,
               "core_hz": tick_hz * cycles_per_tick if tick_hz and cycles_per_tick else None,
               "pinned_cpu": cpu, "conditions": found}
    run = Run(results=timed, skipped=skipped, machine=machine, rounds=rounds,
              baseline=baseline if any(r.kernel.name == baseline for r in timed) else None,
              null=null and null.kernel.name, calibration=calibration and calibration.kernel.name,
              imprecise=imprecise, unread_conditions=unread,
              title=f"Ticks per call on {machine['processor']}, {rounds} rounds", cycles_per_tick=cycles_per_tick,
              model_tool=model_tool(opts.mca) if not opts.model_reason else None)
    return run, missed


def compare(opts, old, new, new_name, written):
    """Prints the comparison of a checked run with the old one, drawing it
    where --svg asks; returns saved_run.compare's status."""
    if opts.svg:
        bench_chart.write_comparison(opts.svg, old, new, opts.compare[0], new_name)
        written.append(("the comparison chart", opts.svg))
    return saved_run.compare(old, new, opts.threshold)


def run_and_compare(parser, opts, written):
    """Everything the command line asks for after its parsing; returns the
    exit status. Each file written goes into written as (what, path)."""
    old = None
    if opts.compare:
        old, *new = (saved_run.load(path) for path in opts.compare)
        if new:
            return compare(opts, old, new[0], opts.compare[1], written)
    registered = kernels_from_list(opts.kernels) if os.path.isfile(opts.kernels) else []
    listed = []
    for path in opts.kernel_list:
        try:
            listed += kernels_from_list(path, shipped=False)
        except (OSError, UnicodeError, ValueError) as error:
            parser.error(f"--kernel-list {path}: {error}")
    opts.build_type = read_build_type(opts.kernels)
    kernels, baseline = select_kernels(parser, opts, registered, listed)
    if opts.list:
        return bench_output.print_list(kernels)

    links = bench_programs.ShortPaths()
    try:
        run, missed = bench(opts, kernels, baseline, links)
    finally:
        links.close()
    bench_output.print_table(run, opts)
    data = bench_records.run_data(run, opts)
    if opts.json:
        bench_output.write_json(opts.json, data)
        written.append(("the results as JSON", opts.json))
    if opts.csv:
        bench_output.write_csv(opts.csv, data["kernels"], MEASURES)
        written.append(("the results as CSV", opts.csv))
    if opts.svg and run.results and old is None:
        bench_chart.write_run(opts.svg, run, data, opts.kernel)
        written.append(("the chart", opts.svg))
    status = 1 if any(r.wrong() for r in run.results) or missed or not run.results else 0
    if old is not None:
        saved_run.check(data, "this run")
        if compare(opts, old, data, "this run", written):
            status = 1
    return status


def main(argv=None, bin_dir=None):
    sys.stdout.reconfigure(errors="backslashreplace")
    parser, opts = parse_args(argv, bin_dir)
    written = []
    try:
        return run_and_compare(parser, opts, written)
    except saved_run.NotABenchResult as error:
        print(f"{os.path.basename(sys.argv[0])}: {error}", file=sys.stderr)
        return 2
    finally:
        # Where the files are, once everything else is said.
        for what, path in written:
            progress(f"wrote {what}: {os.path.abspath(path)}")


if __name__ == "__main__":
    sys.exit(main())
