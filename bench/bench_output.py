"""The bench's writers: the Markdown table, JSON and CSV of a run, and the
table of a comparison (the chart is bench_chart's). They only format what
they are given: a Run and its KernelResults (bench_run.py), the JSON
records (bench_records.py), or the rows of a comparison."""
import csv
import json
import os
import sys

from bench_run import Kernel, KernelResult, Run
from kernel_model import MODEL_FIELDS, NOT_MODELLED

MEASURE_TITLES = {"throughput": "throughput (Test)", "latency": "latency through a (Latency)",
                  "latency_b": "latency through b (Latency)"}
MEASURE_WORDS = {"throughput": "throughput", "latency": "through a", "latency_b": "through b"}
# What a kernel's lead over the best peer is called, by the comparison's verdict.
LEAD_WORDS = {"faster": "leads with confidence", "slower": "trails with confidence", "same": "no difference found"}


def clean(text):
    """text as valid Unicode: bytes that were not UTF-8 (kept as lone
    surrogates by the file system decoding) become \\xNN."""
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def cell(text):
    """text for one Markdown table cell: control characters escaped, bars too."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in clean(text)).replace("|", "\\|")


def figure(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


def verdict_cell(result: KernelResult):
    if result.kernel.product == "none":
        return "n/a (computes nothing)"
    if result.chain_wrong and result.verdict != "wrong":
        return "**WRONG** (chain)"
    return {"correct": "correct", "wrong": "**WRONG**", None: "not checked"}.get(result.verdict, result.verdict)


def comparison_cell(result: KernelResult, measure, baseline):
    comparison = result.summary[measure].vs_baseline if measure in result.summary else None
    if result.kernel.name == baseline:
        return "baseline"
    return "-" if comparison is None else comparison.words()


def model_cpu_line(run: Run, opts):
    """The header's line on the model, or "" where no kernel has one."""
    cpus = sorted({r.model["cpu"] for r in run.results if r.model})
    if not cpus:
        return ""
    whose = "named with --mca-cpu" if opts.mca_cpu else "this processor, as llvm-mca names it"
    return (f"Model cycles: {run.model_tool}'s model of {', '.join(cpus)} ({whose}): the block reciprocal "
            f"throughput of the kernel's own instructions in core cycles, a static estimate without the call, "
            f"the memory round trip or the front end.")


def leader_lines(results: list[KernelResult]):
    """Per measure, the fastest kernel that is not a peer, against the best
    peer: "Fastest through b: K, 0.93x P (0.92x to 0.94x): leads with confidence"."""
    lines = []
    for measure, words in MEASURE_WORDS.items():
        rivals = [r for r in results if measure in r.vs_best_peer and not r.wrong()]
        if not rivals:
            continue
        fastest = min(rivals, key=lambda r: r.summary[measure].median)
        peer, c = fastest.vs_best_peer[measure]
        if c.low is None:
            interval, lead = "(one round: no interval)", "cannot decide"
        else:
            interval, lead = f"({c.low:.2f}x to {c.high:.2f}x)", LEAD_WORDS[c.verdict]
        lines.append(f"Fastest {words}: {cell(fastest.kernel.name)}, {c.ratio:.2f}x {cell(peer)} {interval}: {lead}")
    return lines


def not_modelled_lines(results: list[KernelResult]):
    """Each reason a kernel has no model, with the kernels it holds for."""
    reasons = {}
    for r in results:
        if not r.model and r.model_reason:
            reasons.setdefault(r.model_reason.removeprefix(NOT_MODELLED), []).append(cell(r.kernel.name))
    return [("every kernel" if len(names) == len(results) else ", ".join(names)) + f": {cell(reason)}"
            for reason, names in reasons.items()]


def print_table(run: Run, opts):
    m = run.machine
    pinning = (f"pinned to CPU {m['pinned_cpu']}" if m["pinned_cpu"] is not None
               else "not pinned" if opts.no_pin else "not pinned (no CPU affinity on this system)")
    print()
    print(f"Clock ticks per call: {run.rounds} rounds of about {opts.ms} ms per kernel and program, round by "
          f"round, on {m['processor']} ({m['cores']} cores), the programs {pinning}.")
    tick = f"{m['tick_hz'] / 1e9:.3f} GHz" if m["tick_hz"] else "unknown"
    core = (f"about {m['core_hz'] / 1e9:.3f} GHz (from {run.calibration})" if m["core_hz"]
            else "unknown (no calibration kernel timed)")
    print(f"Tick rate {tick} (measured); core clock {core}. Ticks are {m['counter']}. Spread: median absolute "
          f"deviation from the median, % of the median. Net: median less {run.null or 'the null kernel'}'s, "
          f"where it can be told from it. vs {run.baseline or '-'}: median of the per-round ratios, with "
          f"its 95 % interval.")
    if model_cpu_line(run, opts):
        print(model_cpu_line(run, opts))
    if opts.emulated:
        print()
        print("The programs run under an emulator: an emulated processor, so these timings mean nothing. "
              "This run is a smoke test of the bench only.")
    print()
    print(f"Throughput (independent calls, `Test`):")
    print()
    print(f"| kernel | library | mask | verified | rounding | median | min | max | spread % | net | core cycles "
          f"| model cycles | vs {cell(run.baseline or '-')} |")
    print("|---|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---|")
    for r in run.results:
        s = r.summary["throughput"]
        net = "at the call floor" if r.floor else figure(r.net)
        print(f"| {cell(r.kernel.name)} | {cell(r.kernel.library)} | {r.kernel.mask} | {verdict_cell(r)} "
              f"| {cell(', '.join(r.rounding)) or '-'} | {s.median:.1f} | {s.min:.1f} | {s.max:.1f} "
              f"| {s.spread:.1f} | {net} | {figure(s.core_cycles)} | {figure(r.model and r.model['rthroughput'])} "
              f"| {comparison_cell(r, 'throughput', run.baseline)} |")
    if any(measure in r.summary for r in run.results for measure in ("latency", "latency_b")):
        print()
        print("Latency (a dependent chain, `Latency`: each call's result is the next call's first operand, "
              "or its second; raw figures, nothing subtracted):")
        print()
        print(f"| kernel | chain | through a | spread % | core cycles | vs {cell(run.baseline or '-')} "
              f"| through b | spread % | core cycles | vs {cell(run.baseline or '-')} |")
        print("|---|---:|---:|---:|---:|---|---:|---:|---:|---|")
        for r in run.results:
            cells = []
            for measure in ("latency", "latency_b"):
                s = r.summary.get(measure)
                cells += (["-"] * 4 if s is None else
                          [f"{s.median:.1f}", f"{s.spread:.1f}", figure(s.core_cycles),
                           comparison_cell(r, measure, run.baseline)])
            print(f"| {cell(r.kernel.name)} | {r.chain_count or '-'} | " + " | ".join(cells) + " |")
    print_models(run)
    print_best_peers(run)
    print()
    if run.imprecise:
        print(f"- Short of ±{opts.precision:g} % after {run.rounds} rounds, so their verdicts there may change with "
              "more rounds (a quieter machine, or a larger --max-seconds): " +
              "; ".join(f"{cell(name)} (" + ", ".join(f"{measure} ±{100 * w:.1f} %" for measure, w in widths) + ")"
                        for name, widths in run.imprecise) + ".")
    for r in run.results:
        if r.verdict == "wrong" and r.kernel.product != "none":
            print(f"- WRONG: {cell(r.kernel.name)} ({cell(r.kernel.library)}) computes a wrong result: "
                  f"{cell(r.reason)}")
        if r.chain_wrong:
            print(f"- WRONG: {cell(r.kernel.name)} ({cell(r.kernel.library)}) in a chain: {cell(r.chain_wrong)}")
        if r.latency_note:
            print(f"- No latency: {cell(r.kernel.name)}: {cell(r.latency_note)}")
    for s in run.skipped:
        print(f"- Not run: {cell(s['name'])} ({cell(s['library'])}): {cell(s['reason'])}")
    for line in not_modelled_lines(run.results):
        print(f"- Not modelled: {line}")
    for line in leader_lines(run.results):
        print(f"- {line}")
    found, unread = m["conditions"], run.unread_conditions
    line = "- Machine: " + ("; ".join(found) if found else "no condition known to add noise found")
    if unread:
        line += f" ({', '.join(unread)} not readable)"
    print(line + ".")


def print_models(run: Run):
    """The model of each kernel that has one: its instructions and micro-ops,
    its cycles and the resource that bounds them."""
    modelled = [r for r in run.results if r.model]
    if not modelled:
        return
    print()
    print(f"Model of each kernel's own instructions, up to its return ({run.model_tool}, "
          f"{modelled[0].model['cpu']}):")
    print()
    print("| kernel | instructions | micro-ops | model cycles | bound by |")
    print("|---|---:|---:|---:|---|")
    for r in modelled:
        m = r.model
        print(f"| {cell(r.kernel.name)} | {m['instructions']} | {m['uops']} | {m['rthroughput']:.1f} "
              f"| {cell(m['bottleneck'] or '-')} |")


def print_best_peers(run: Run):
    """Each kernel that computes a product and is not a peer against the
    fastest peer of the run in each measure."""
    peers = {m: peer for r in run.results for m, (peer, _) in r.vs_best_peer.items()}
    if not peers:
        return
    measures = [m for m in MEASURE_WORDS if m in peers]
    print()
    print("Against the best peer (the peer with the lowest median in each measure; median of the per-round "
          "ratios, with its 95 % interval):")
    print()
    print("| kernel | " + " | ".join(f"{MEASURE_WORDS[m]} vs {cell(peers[m])}" for m in measures) + " |")
    print("|---|" + "---|" * len(measures))
    for r in run.results:
        if r.vs_best_peer:
            print(f"| {cell(r.kernel.name)} | " + " | ".join(
                r.vs_best_peer[m][1].words() if m in r.vs_best_peer else "-" for m in measures) + " |")


def write_json(path, data):
    with open(path, "w", encoding="utf-8") as f:
        json.dump(data, f, indent=2, ensure_ascii=False)
        f.write("\n")


def csv_fields(measures):
    fields = ["name", "role", "label", "library", "procedure", "mask", "count", "median", "min", "max", "spread",
              "net", "floor", "core_cycles", "verified", "rounding", "chain_count"]
    for measure in ("latency", "latency_b"):
        fields += [f"{measure}_median", f"{measure}_spread", f"{measure}_core_cycles"]
    for measure in measures:
        fields += [f"vs_baseline_{measure}_{part}" for part in ("ratio", "low", "high", "verdict")]
    for measure in measures:
        fields += [f"vs_best_peer_{measure}_{part}" for part in ("peer", "ratio", "low", "high", "verdict")]
    fields += [f"model_{part}" for part in MODEL_FIELDS] + ["model_reason"]
    return fields


def write_csv(path, records, measures):
    fields = csv_fields(measures)
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(fields)
        for record in records:
            row = dict(record)
            row["rounding"] = " ".join(row["rounding"])
            for measure in measures:
                for against in ("vs_baseline", "vs_best_peer"):
                    c = (record[against] or {}).get(measure) or {}
                    ci = c.get("ci") or [None, None]
                    row.update({f"{against}_{measure}_{part}": value for part, value in (
                        ("peer", c.get("peer")), ("ratio", c.get("ratio")), ("low", ci[0]), ("high", ci[1]),
                        ("verdict", c.get("verdict")))})
            row.update({f"model_{part}": (record["model"] or {}).get(part) for part in MODEL_FIELDS})
            writer.writerow(["" if row.get(field) is None else row[field] for field in fields])


def print_list(kernels: list[Kernel]):
    """The known kernels, one a line; a reader that stops reading (`| head`)
    ends the list quietly. Returns the exit status."""
    try:
        print("# library\tprocedure\tmask\tproduct\trounding\trole\tname")
        for k in kernels:
            role = f"calibration:{k.adds}" if k.role == "calibration" else k.role or "-"
            print("\t".join(clean(x) for x in (
                k.library, k.procedure, k.mask, k.product or "-", ",".join(k.rounding) or "-", role, k.name)))
        sys.stdout.flush()
    except BrokenPipeError:
        # What is still buffered would fail again when Python exits.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


def print_comparison(rows, drift, warnings, regressions, only_one, threshold):
    """rows: (name, measure, old median, new median, new / old, Comparison
    less the drift); drift: the line that says it."""
    print()
    print(f"| kernel | measure | old median | new median | new / old | less drift | verdict |")
    print("|---|---|---:|---:|---:|---:|---|")
    for name, measure, old, new, ratio, c in rows:
        print(f"| {cell(name)} | {measure} | {old:.1f} | {new:.1f} | {ratio:.3f} | {c.ratio:.3f} | {c.words()} |")
    print()
    print(f"- {drift}.")
    for line in warnings:
        print(f"- Warning: {cell(line)}.")
    for name in only_one:
        print(f"- Only in one run: {cell(name)}")
    for name, measure, c in regressions:
        print(f"- REGRESSION: {cell(name)}, {measure}: {c.words()}, beyond {threshold:g} %")
    if not regressions:
        print(f"- No kernel slower beyond {threshold:g} % with confidence.")

