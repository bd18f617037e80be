"""The bench's statistics: small pure functions on lists of figures, with no
knowledge of programs, files or output.

A comparison of two kernels is the median of per-round ratios of their raw
figures (ticks per call), with a 95 % confidence interval from a bootstrap
over the rounds. The bootstrap draws from a generator seeded with a fixed
number, so the same figures always give the same interval.

Two saved runs share no rounds. Between them the machine's speed may move
every kernel alike (drift), and an unchanged kernel still moves a little on
its own (run-to-run noise); run_drift estimates both from the kernels the
runs share, and between_runs corrects one kernel's ratio for the drift and
widens its interval by both.
"""
import dataclasses
import math
import random
import statistics

CONFIDENCE = 0.95
RESAMPLES = 1000
SEED = 20261208
# A verdict needs the interval to exclude 1 and the ratio to differ from 1 by
# at least this much: smaller differences are real but not worth a word.
MIN_DIFFERENCE = 0.01
# Ratios from this far from 1 on are said as factors: "2.5x slower".
FACTOR_FROM = 2.0
# The two-sided 95 % quantile of the normal distribution.
Z95 = 1.959964
# The median absolute deviation times this is the standard deviation of
# normally distributed figures, and stays put when a few are far off.
MAD_TO_SD = 1.4826
# The median of n normal figures has sqrt(pi / 2) times the standard error of their mean.
MEDIAN_ERROR = math.sqrt(math.pi / 2)
# Kernels two runs must share in a measure to see the drift in it (and
# pairs, over all measures, to see the run-to-run noise).
MIN_SHARED = 3


@dataclasses.dataclass(frozen=True)
class Comparison:
    """A ratio (new over reference; below 1 is faster) and its 95 % interval.
    low and high are None where the figures give no interval (one round)."""
    ratio: float
    low: float | None
    high: float | None

    @property
    def verdict(self):
        """"faster", "slower" or "same"."""
        if self.low is None or abs(self.ratio - 1.0) < MIN_DIFFERENCE:
            return "same"
        if self.high < 1.0:
            return "faster"
        if self.low > 1.0:
            return "slower"
        return "same"

    def relative_half_width(self):
        """The interval's larger half, as a fraction of the ratio; infinite
        without an interval."""
        if self.low is None or self.ratio <= 0:
            return float("inf")
        return max(self.high - self.ratio, self.ratio - self.low) / self.ratio

    def words(self):
        """The verdict in words: "faster by 12.0 % (9.0 to 15.0 %)", or as a
        factor from 2 on: "15.6x faster (14.9x to 16.2x)"."""
        if self.low is None:
            return "cannot decide: one round"
        verdict = self.verdict
        if verdict == "faster" and 1 / self.ratio >= FACTOR_FROM:
            return f"{1 / self.ratio:.1f}x faster ({1 / self.high:.1f}x to {1 / self.low:.1f}x)"
        if verdict == "slower" and self.ratio >= FACTOR_FROM:
            return f"{self.ratio:.1f}x slower ({self.low:.1f}x to {self.high:.1f}x)"
        if verdict == "faster":
            return f"faster by {100 * (1 - self.ratio):.1f} % ({100 * (1 - self.high):.1f} to {100 * (1 - self.low):.1f} %)"
        if verdict == "slower":
            return f"slower by {100 * (self.ratio - 1):.1f} % ({100 * (self.low - 1):.1f} to {100 * (self.high - 1):.1f} %)"
        return f"no difference found ({100 * (self.low - 1):+.1f} to {100 * (self.high - 1):+.1f} %)"

    def as_json(self):
        return {"ratio": self.ratio, "ci": None if self.low is None else [self.low, self.high],
                "verdict": self.verdict}


def spread(values):
    """The median absolute deviation from the median, in % of the median."""
    middle = statistics.median(values)
    if middle == 0:
        return 0.0
    return 100.0 * statistics.median(abs(v - middle) for v in values) / middle


def bootstrap_interval(samples, statistic):
    """The central 95 % of statistic(*resampled) over RESAMPLES resamplings,
    each sample drawn from with replacement on its own; None when a sample
    has fewer than two figures."""
    if any(len(s) < 2 for s in samples):
        return None
    rng = random.Random(SEED)
    values = sorted(statistic(*(rng.choices(s, k=len(s)) for s in samples)) for _ in range(RESAMPLES))
    tail = (1.0 - CONFIDENCE) / 2.0
    return values[int(tail * RESAMPLES)], values[int((1.0 - tail) * RESAMPLES) - 1]


def paired_ratio(values, reference):
    """values against reference, figure by figure (the same rounds): the
    median of the per-round ratios, with a bootstrap over rounds. None
    without a round where both have a positive figure."""
    ratios = [v / r for v, r in zip(values, reference) if r > 0 and v >= 0]
    if not ratios:
        return None
    interval = bootstrap_interval([ratios], statistics.median)
    return Comparison(statistics.median(ratios), *(interval or (None, None)))


def unpaired_ratio(new, old):
    """median(new) / median(old) for figures from separate runs, which share
    no rounds: each side is resampled on its own."""
    if not new or not old or statistics.median(old) <= 0:
        return None

    def ratio(n, o):
        m = statistics.median(o)
        return statistics.median(n) / m if m > 0 else float("inf")

    interval = bootstrap_interval([new, old], ratio)
    return Comparison(ratio(new, old), *(interval or (None, None)))


def at_call_floor(vs_null):
    """True when a kernel cannot be told from the null kernel: the interval of
    its ratio to the null kernel holds 1 or lies below it."""
    return vs_null is None or vs_null.low is None or vs_null.low <= 1.0


def net_cost(median, null_median, floor):
    """Median less the null kernel's, never negative; None at the call floor
    or without a null kernel."""
    if floor or null_median is None:
        return None
    return max(0.0, median - null_median)


def regression(comparison, threshold_percent):
    """Slower beyond the threshold with confidence: the whole interval above
    1 + threshold."""
    return (comparison is not None and comparison.low is not None
            and comparison.low > 1.0 + threshold_percent / 100.0)


@dataclasses.dataclass(frozen=True)
class RunDrift:
    """What two runs of one build differ by, in logs of new / old: shift,
    per measure, what moved every kernel alike (None where too few kernels
    shared the measure to see it); shift_error, the standard error of each
    shift; noise, the standard deviation of an unchanged kernel's log ratio
    about the shift (None where too few kernels were shared to see it);
    machine, per measure, whether a kernel that computes nothing moved with
    the shift, so that it is the machine's and not the code's."""
    shift: dict
    shift_error: dict
    noise: float | None
    machine: dict

    def band(self, measure):
        """How far a kernel's log ratio may lie from the shift and still
        have moved with it."""
        return max(Z95 * math.hypot(self.noise or 0.0, self.shift_error[measure]), math.log1p(MIN_DIFFERENCE))

    def beyond_noise(self, measure):
        """The shift in measure is at least MIN_DIFFERENCE and beyond what
        the noise explains."""
        shift = self.shift.get(measure)
        return shift is not None and abs(shift) >= math.log1p(MIN_DIFFERENCE) and \
            abs(shift) > Z95 * math.hypot(self.noise or 0.0, self.shift_error[measure])

    def moved(self, measure):
        """The machine's speed changed between the runs: every kernel moved
        alike, those that compute nothing too."""
        return self.beyond_noise(measure) and self.machine[measure]

    def taken_out(self, measure):
        """The shift the verdicts leave out: the machine's, else none."""
        return self.shift.get(measure) or 0.0 if self.machine.get(measure) else 0.0


def run_drift(log_ratios, gauges=None):
    """log_ratios: measure -> log(median new / median old) of each kernel two
    runs share in it; gauges: measure -> those of the kernels among them
    that compute nothing (the call floor, the clock). The shift of a measure
    is the median of its log ratios; the noise 1.4826 times the median
    absolute difference between each log ratio and its measure's shift,
    pooled over the measures that have a shift. Both are medians, so the
    kernel that really changed moves neither. A shift is the machine's only
    where a gauge of the measure moved with it (the clock may move without
    the call, or the call without the clock): a change that slows every
    kernel that computes something, and neither the call nor the clock, is
    the code's."""
    shift = {m: statistics.median(v) if len(v) >= MIN_SHARED else None for m, v in log_ratios.items()}
    residuals = [abs(value - shift[m]) for m, values in log_ratios.items() if shift[m] is not None
                 for value in values]
    noise = MAD_TO_SD * statistics.median(residuals) if len(residuals) >= MIN_SHARED else None
    shift_error = {m: MEDIAN_ERROR * noise / math.sqrt(len(v)) if shift[m] is not None and noise else 0.0
                   for m, v in log_ratios.items()}
    drift = RunDrift(shift, shift_error, noise, {})
    for m in log_ratios:
        seen = (gauges or {}).get(m, [])
        drift.machine[m] = shift[m] is not None and (
            not seen or any(abs(g - shift[m]) <= drift.band(m) for g in seen))
    return drift


def between_runs(within, drift, measure):
    """The ratio of one kernel between two runs (within: its unpaired_ratio,
    whose interval holds each run's own rounds only) less the machine's
    drift of measure, with an interval widened by the run-to-run noise and the
    drift's own error: in logs, each side of the interval is within's side
    and 1.96 times those two, added in quadrature."""
    centre = math.log(within.ratio)
    corrected = centre - drift.taken_out(measure)
    if within.low is None:
        return Comparison(math.exp(corrected), None, None)
    shift_error = drift.shift_error.get(measure, 0.0) if drift.machine.get(measure) else 0.0
    between = Z95 * math.hypot(drift.noise or 0.0, shift_error)
    below = math.hypot(max(0.0, centre - math.log(within.low)), between)
    above = math.hypot(max(0.0, math.log(within.high) - centre), between)
    return Comparison(math.exp(corrected), math.exp(corrected - below), math.exp(corrected + above))
