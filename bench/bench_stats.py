"""The bench's statistics: small pure functions on lists of figures, with no
knowledge of programs, files or output.

A comparison of two kernels is the median of per-round ratios of their raw
figures (ticks per call), with a 95 % confidence interval from a bootstrap
over the rounds. The bootstrap draws from a generator seeded with a fixed
number, so the same figures always give the same interval.
"""
import dataclasses
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
    """Slower beyond the threshold with confidence: the whole interval above 1
    and the ratio above 1 + threshold."""
    return (comparison is not None and comparison.low is not None and comparison.low > 1.0
            and comparison.ratio > 1.0 + threshold_percent / 100.0)
