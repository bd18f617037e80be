"""The JSON records of a run: one object per timed kernel and the run's
object around them, as --json writes them, --csv flattens them and
--compare reads them back (saved_run.py checks what it reads)."""
import datetime

import bench_machine
from bench_output import clean
from saved_run import SCHEMA


def verified_field(r):
    return "n/a" if r.kernel.product == "none" else r.verdict


def record(r):
    """One timed kernel's JSON object, from its KernelResult."""
    s = r.summary["throughput"]
    out = {"name": clean(r.kernel.name), "role": r.kernel.role or None,
           "label": clean(r.kernel.label) if r.kernel.label else None, "library": clean(r.kernel.library),
           "procedure": clean(r.kernel.procedure), "mask": int(r.kernel.mask), "count": r.count,
           "ticks": r.figures["throughput"], "median": s.median, "min": s.min, "max": s.max, "spread": s.spread,
           "net": r.net, "floor": r.floor, "core_cycles": s.core_cycles, "verified": verified_field(r),
           "rounding": r.rounding, "chain_count": r.chain_count}
    for m in ("latency", "latency_b"):
        ms = r.summary.get(m)
        out[m] = r.figures.get(m, [])
        out[f"{m}_median"] = ms and ms.median
        out[f"{m}_spread"] = ms and ms.spread
        out[f"{m}_core_cycles"] = ms and ms.core_cycles
    out["chain_check"] = ("wrong: " + clean(r.chain_wrong)) if r.chain_wrong else None
    out["vs_baseline"] = {m: ms.vs_baseline.as_json() for m, ms in r.summary.items() if ms.vs_baseline}
    out["vs_best_peer"] = {m: {"peer": clean(peer), **c.as_json()} for m, (peer, c) in r.vs_best_peer.items()}
    out["model"] = r.model and {k: clean(v) if isinstance(v, str) else v for k, v in r.model.items()}
    out["model_reason"] = clean(r.model_reason) if r.model_reason else None
    return out


def run_data(run, opts):
    """The run's JSON object: opts gives the build type and the precision asked for."""
    return {"schema": SCHEMA,
            "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "git_revision": bench_machine.git_revision(), "build_type": opts.build_type, "machine": run.machine,
            "runs": run.rounds, "baseline": clean(run.baseline) if run.baseline else None,
            "model_tool": run.model_tool,
            "precision": opts.precision,
            "imprecise": [clean(name) for name, _ in run.imprecise],
            "kernels": [record(r) for r in run.results],
            "skipped": [{k: clean(v) for k, v in s.items()} for s in run.skipped]}
