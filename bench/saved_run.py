"""Saved runs: the fields of the bench's JSON that --compare reads, checked
whole before anything is computed, and the comparison of two runs.

A file that does not hold what the bench writes is refused with one line
naming the file, the kernel and the field. Kernels are matched across runs
by their label, else by library file name and procedure, and shown by the
name the bench gave them (files written before names were saved show the
key they are matched by).
"""
import json
import math
import re
import statistics

import bench_output
import bench_stats
import kernel_list

# The JSON's own version: 3 added each kernel's name and role.
SCHEMA = 3
SCHEMAS = (2, SCHEMA)
MEASURES = ("throughput", "latency", "latency_b")
# The JSON array each measure's per-round figures are kept in.
ARRAY_FIELD = {"throughput": "ticks", "latency": "latency", "latency_b": "latency_b"}
# Ticks per call outside these no run can give (a count of at most 2^31
# calls, a 64-bit counter); they would overflow the ratios.
FIGURE_RANGE = (1e-12, 1e18)
# How far the core clock or the null kernel may move before the comparison
# says that the machine's speed changed.
SPEED_TOLERANCE = 0.03


class NotABenchResult(Exception):
    pass


def shown(value):
    """value as it reads in JSON, cut short."""
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 40 else text[:37] + "..."


def figure_problem(value):
    """Why value is not a figure (ticks per call), or None."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return f"{shown(value)}, not a number"
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number) or number <= 0:
        return f"{shown(value)}, not a finite number > 0"
    if not FIGURE_RANGE[0] <= number <= FIGURE_RANGE[1]:
        return f"{shown(value)}, beyond any ticks per call ({FIGURE_RANGE[0]:g} to {FIGURE_RANGE[1]:g})"
    return None


def field_problem(record, field, kind):
    """Why record[field] is not of kind, or None. Kinds: "text", "text or
    null", "role", "figures" (a list of figures, maybe empty), "some figures"
    (not empty), "texts or null" (a list of strings, or null), "hz or null"."""
    if field not in record:
        return "missing"
    value = record[field]
    if kind == "role":
        roles = kernel_list.ROLES + (None,)
        return None if value in roles else f"{shown(value)} is not one of {', '.join(map(shown, roles))}"
    if value is None and kind.endswith(" or null"):
        return None
    if kind in ("text", "text or null"):
        return None if isinstance(value, str) else f"{shown(value)} is not a string" + (
            " or null" if kind.endswith(" or null") else "")
    if kind == "hz or null":
        return None if figure_problem(value) is None else f"{shown(value)} is not a finite number > 0 or null"
    if not isinstance(value, list):
        return f"{shown(value)} is not a list" + (" or null" if kind.endswith(" or null") else "")
    if kind == "texts or null":
        bad = next((i for i, v in enumerate(value) if not isinstance(v, str)), None)
        return None if bad is None else f"element {bad} is {shown(value[bad])}, not a string"
    if kind == "some figures" and not value:
        return "empty: no figure"
    for i, v in enumerate(value):
        problem = figure_problem(v)
        if problem:
            return f"element {i} is {problem}"
    return None


def record_key(k):
    """How a kernel is matched across runs: its label, else its library's file name and procedure."""
    if k.get("label"):
        return k["label"]
    library = re.split(r"[/\\]", k["library"])[-1]
    return f"{library}:{k['procedure']}"


def record_keys(records):
    """The key of each record of one run; kernels that share a key there (the
    same file name and procedure from two directories) go by their whole
    library path instead, so that neither drops out."""
    keys = [record_key(k) for k in records]
    return [key if keys.count(key) == 1 else f"{k['library']}:{k['procedure']}" for key, k in zip(keys, records)]


def check(data, source):
    """Raises NotABenchResult, naming source, the kernel and the field, unless
    data holds every field a comparison reads, each of its type and range."""
    def refuse(where, problem):
        raise NotABenchResult(f"{source}: {where}: {problem}")

    if not isinstance(data, dict):
        raise NotABenchResult(f"{source}: not a bench result (not a JSON object)")
    if "schema" not in data:
        refuse("field schema", "missing: not a bench result")
    schema = data["schema"]
    if isinstance(schema, bool) or schema not in SCHEMAS:
        refuse("field schema", f"{shown(schema)} is not one this bench reads "
               f"({' or '.join(map(str, SCHEMAS))})")
    machine = data.get("machine")
    if not isinstance(machine, dict):
        refuse("field machine", f"{shown(machine)} is not an object")
    for field, kind in (("processor", "text or null"), ("core_hz", "hz or null")):
        problem = field_problem(machine, field, kind)
        if problem:
            refuse(f"field machine.{field}", problem)
    kernels = data.get("kernels")
    if not isinstance(kernels, list):
        refuse("field kernels", f"{shown(kernels)} is not a list")
    # The fields that name a kernel come first, so that the others' problems
    # can name it. Before schema 3 a kernel had no name or role (where a file
    # has them anyway, they are read, so they are checked).
    fields = [("procedure", "text"), ("library", "text"), ("label", "text or null"), ("name", "text"),
              ("role", "role"), ("verified", "text or null"), ("ticks", "some figures"), ("latency", "figures"),
              ("latency_b", "figures"), ("rounding", "texts or null")]
    optional = ("name", "role") if schema < 3 else ("verified",)
    for i, k in enumerate(kernels):
        if not isinstance(k, dict):
            refuse(f"kernel {i}", f"{shown(k)} is not an object")
        kernel = f"kernel {i}"
        for field, kind in fields:
            if field in optional and field not in k:
                continue
            problem = field_problem(k, field, kind)
            if problem:
                refuse(f"{kernel}: field {field}", problem)
            if field == "library":
                kernel = f"kernel {record_key(dict(k, label=None))}"
            elif field in ("label", "name") and k[field]:
                kernel = f"kernel {k[field]}"
    keys = record_keys(kernels)
    twice = next((key for key in keys if keys.count(key) > 1), None)
    if twice is not None:
        refuse(f"kernel {twice}", "listed twice")


def load(path):
    """The saved run at path, checked whole; NotABenchResult says why not."""
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError, RecursionError) as error:
        raise NotABenchResult(f"{path}: {error}") from None
    check(data, path)
    return data


def computes_nothing(record):
    """The null and calibration kernels (in a file without roles, any kernel
    Verify had nothing to judge on): they show the machine, not code."""
    if "role" in record:
        return record["role"] in kernel_list.COMPUTES_NOTHING
    return record.get("verified") == "n/a"


def speed_warnings(old, new, old_kernels, new_kernels, drift):
    """What says the machine's speed moved between the runs."""
    warnings = []
    old_hz, new_hz = old["machine"]["core_hz"], new["machine"]["core_hz"]
    if old_hz and new_hz and abs(new_hz / old_hz - 1) > SPEED_TOLERANCE:
        warnings.append(f"the machine's speed changed between the runs: the core clock (from the calibration "
                        f"kernel) was about {old_hz / 1e9:.3f} GHz in the old run and {new_hz / 1e9:.3f} GHz "
                        f"in the new")
    for key, n in new_kernels.items():
        o = old_kernels.get(key)
        if o is not None and o.get("role") == "null" and n.get("role") == "null":
            before, after = statistics.median(o["ticks"]), statistics.median(n["ticks"])
            if abs(after / before - 1) > SPEED_TOLERANCE:
                warnings.append(f"the machine's speed changed between the runs: a call of the null kernel "
                                f"took {before:.2f} ticks in the old run and {after:.2f} in the new")
    def listed(measures):
        return ", ".join(measures[:-1]) + " and " + measures[-1] if len(measures) > 1 else measures[0]

    moved = [m for m in MEASURES if drift.moved(m)]
    if moved:
        warnings.append(f"every kernel's {listed(moved)} moved alike between the runs, beyond their noise, "
                        f"the null or the calibration kernel's too: the machine's speed changed. The verdicts "
                        f"leave that shift out; timing both builds in one run is safer")
    kept = [m for m in MEASURES if drift.beyond_noise(m) and not drift.machine[m]]
    if kept:
        warnings.append(f"most kernels' {listed(kept)} moved alike between the runs, but neither the null "
                        f"nor the calibration kernel did: not the machine's speed, so the verdicts keep it")
    return warnings


def drift_line(drift):
    """The drift and noise, in words."""
    def percent(log_ratio):
        return f"{100 * math.expm1(log_ratio):+.1f} %"

    seen = [f"{m} {percent(s)}" + ("" if drift.machine[m] else " (not the machine's: kept)")
            for m, s in drift.shift.items() if s is not None]
    unseen = [m for m, s in drift.shift.items() if s is None]
    line = "Machine drift between the runs: " + (", ".join(seen) or "not seen")
    if unseen:
        line += (f" ({', '.join(unseen)}: fewer than {bench_stats.MIN_SHARED} kernels in both runs to see "
                 f"the drift, so none is taken out)")
    if drift.noise is None:
        return line + (f"; too few kernels in both runs to see the run-to-run noise: the intervals hold each "
                       f"run's own rounds only")
    return line + f"; run-to-run noise of an unchanged kernel ±{100 * math.expm1(drift.noise):.1f} %"


def compare(old, new, threshold):
    """Prints the comparison of NEW with OLD (both checked); returns 1 when a
    kernel that computes something is slower by more than threshold % with
    confidence, else 0."""
    old_kernels = dict(zip(record_keys(old["kernels"]), old["kernels"]))
    new_kernels = dict(zip(record_keys(new["kernels"]), new["kernels"]))
    warnings, shared, only_one = [], [], []
    old_cpu, new_cpu = old["machine"]["processor"], new["machine"]["processor"]
    if old_cpu != new_cpu:
        warnings.append(f"the runs come from different processors: {old_cpu} and {new_cpu}")
    for key, n in new_kernels.items():
        o = old_kernels.get(key)
        name = n.get("name") or key
        if o is None:
            only_one.append(f"{name} (new run only)")
            continue
        if o["rounding"] is not None and o["rounding"] != n["rounding"]:
            warnings.append(f"{name}: rounding models changed from {', '.join(o['rounding']) or 'none'} to "
                            f"{', '.join(n['rounding'] or []) or 'none'}: not the same kernel")
        for m in MEASURES:
            before, after = o[ARRAY_FIELD[m]], n[ARRAY_FIELD[m]]
            if before and after:
                shared.append((name, m, o, n, bench_stats.unpaired_ratio(after, before)))
            elif before or after:
                only_one.append(f"{name}, {m} ({'old' if before else 'new'} run only)")
    only_one += [f"{o.get('name') or key} (old run only)" for key, o in old_kernels.items() if key not in new_kernels]
    log_ratios = {m: [math.log(c.ratio) for _, measure, _, _, c in shared if measure == m] for m in MEASURES}
    gauges = {m: [math.log(c.ratio) for _, measure, o, n, c in shared
                  if measure == m and (computes_nothing(o) or computes_nothing(n))] for m in MEASURES}
    drift = bench_stats.run_drift(log_ratios, gauges)
    warnings += speed_warnings(old, new, old_kernels, new_kernels, drift)
    rows, regressions = [], []
    for name, m, o, n, within in shared:
        c = bench_stats.between_runs(within, drift, m)
        rows.append((name, m, statistics.median(o[ARRAY_FIELD[m]]), statistics.median(n[ARRAY_FIELD[m]]),
                     within.ratio, c))
        if bench_stats.regression(c, threshold) and not (computes_nothing(o) or computes_nothing(n)):
            regressions.append((name, m, c))
    bench_output.print_comparison(rows, drift_line(drift), warnings, regressions, only_one, threshold)
    return 1 if regressions else 0
