"""What a run of the bench is made of: the kernels it times, each kernel's
figures and summaries, and the run as a whole. Plain data: the rounds fill
it in (run_bench.py), the writers read it (bench_output.py, bench_chart.py,
bench_records.py)."""
import dataclasses

import bench_stats


@dataclasses.dataclass
class Kernel:
    library: str  # as listed (a file name), or as given (a path: --kernel, --kernel-list)
    path: str
    procedure: str
    mask: str = "0"
    product: str | None = None
    rounding: list = dataclasses.field(default_factory=list)
    role: str = ""
    adds: int | None = None
    label: str | None = None
    name: str = ""  # how the table, the JSON and --baseline call it


@dataclasses.dataclass
class MeasureSummary:
    median: float
    min: float
    max: float
    spread: float
    core_cycles: float | None = None
    vs_baseline: bench_stats.Comparison | None = None


@dataclasses.dataclass
class KernelResult:
    kernel: Kernel
    verdict: str | None = None  # Verify's
    reason: str = ""
    rounding: list = dataclasses.field(default_factory=list)
    count: int = 0
    chain_count: int | None = None
    invocation: tuple = ()  # (Test, library) as given to Test
    totals: list = dataclasses.field(default_factory=list)  # (ticks, ms) of each run of Test
    figures: dict = dataclasses.field(default_factory=dict)  # measure -> ticks per call, one per round
    latency_note: str = ""  # why there are no latency figures
    chain_wrong: str = ""  # what Latency's chain check found wrong
    summary: dict = dataclasses.field(default_factory=dict)  # measure -> MeasureSummary
    net: float | None = None
    floor: bool | None = None
    vs_best_peer: dict = dataclasses.field(default_factory=dict)  # measure -> (peer's name, Comparison)
    model: dict | None = None  # kernel_model's figures: cpu, instructions, uops, rthroughput, bottleneck
    model_reason: str = ""  # why there is no model

    def wrong(self):
        """Verify or Latency's chain check found it wrong (a kernel that
        computes nothing on purpose is never wrong to Verify)."""
        return (self.verdict == "wrong" and self.kernel.product != "none") or bool(self.chain_wrong)


@dataclasses.dataclass
class Run:
    results: list  # KernelResult of each kernel timed
    skipped: list  # {"name", "library", "procedure", "reason"} of each kernel not timed
    machine: dict
    rounds: int
    baseline: str | None
    null: str | None = None
    calibration: str | None = None
    imprecise: list = dataclasses.field(default_factory=list)  # (name, [(measure, half width)])
    unread_conditions: list = dataclasses.field(default_factory=list)
    title: str = ""
    cycles_per_tick: float | None = None  # from the calibration kernel
    model_tool: str | None = None  # the llvm-mca the models come from, as "llvm-mca 19.1.7"
