"""Paired ratios and their confidence intervals.

Every contender of a case runs one batch per round, so two contenders give one ratio per round,
measured under the same load of the machine. The reported ratio is the median of those per-round
ratios, and its 95% confidence interval comes from their order statistics: for n rounds, the
k-th smallest and the k-th largest ratio bound the true median with probability
1 - 2 P(Binomial(n, 1/2) < k), whatever the distribution of the ratios, provided the rounds are
independent. It needs no normality and is not pulled by the odd round another job on the
machine slowed down. With fewer than six rounds no such pair reaches 95%, and there is no
interval.

A value aggregated over several pairs (the geometric mean over the message shapes, the worst
shape) is computed in each round first, and the same interval is taken over those per-round
values.
"""

import math
import statistics
from dataclasses import dataclass
from typing import Callable, Optional

CONFIDENCE = 0.95


@dataclass(frozen=True)
class Estimate:
    """A median with its confidence interval (None when there are too few rounds for one)."""

    value: float
    low: Optional[float]
    high: Optional[float]
    coverage: Optional[float]  # the interval's exact coverage, at least CONFIDENCE
    rounds: int

    def as_dict(self) -> dict[str, Optional[float]]:
        return {"value": self.value, "low": self.low, "high": self.high, "coverage": self.coverage,
                "rounds": self.rounds}


def _binomial_tail(n: int, k: int) -> float:
    """P(Binomial(n, 1/2) < k)."""
    return sum(math.comb(n, i) for i in range(k)) / (1 << n)


def median_rank(n: int, confidence: float = CONFIDENCE) -> Optional[int]:
    """The largest k (1-based) whose k-th smallest and k-th largest of n values bound the median
    with at least `confidence`; None when even the smallest and largest do not."""
    best = None
    k = 1
    while 2 * k <= n + 1 and 1 - 2 * _binomial_tail(n, k) >= confidence:
        best = k
        k += 1
    return best


def median_interval(values: list[float], confidence: float = CONFIDENCE) -> Estimate:
    if not values:
        raise ValueError("no values")
    ordered = sorted(values)
    n = len(ordered)
    k = median_rank(n, confidence)
    if k is None:
        return Estimate(statistics.median(ordered), None, None, None, n)
    return Estimate(statistics.median(ordered), ordered[k - 1], ordered[n - k], 1 - 2 * _binomial_tail(n, k), n)


def paired_ratios(numerator: list[float], denominator: list[float]) -> list[float]:
    """The ratio of each round's two samples."""
    if len(numerator) != len(denominator):
        raise ValueError(f"{len(numerator)} rounds against {len(denominator)}")
    return [a / b for a, b in zip(numerator, denominator)]


def geometric_mean(values: list[float]) -> float:
    return math.exp(math.fsum(math.log(v) for v in values) / len(values))


def worst(values: list[float]) -> float:
    return max(values)


AGGREGATES: dict[str, Callable[[list[float]], float]] = {"geometric mean": geometric_mean, "worst": worst}


def per_round(series: list[list[float]], aggregate: str) -> list[float]:
    """One aggregated value per round from several per-round ratio series of equal length."""
    combine = AGGREGATES[aggregate]
    if len({len(s) for s in series}) != 1:
        raise ValueError("series of different lengths")
    return [combine(list(values)) for values in zip(*series)]
