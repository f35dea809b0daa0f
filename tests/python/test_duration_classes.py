"""Durations: values, constraints and scores against references computed here."""

import math
import struct

import numpy as np

from conftest import f32
from model_support import LOG_ZERO, duration, fails, make, rounded

LAW = "duration requires a finite mean and positive variance"
FINITE = "duration and weight must be finite"
RANGE = "duration must fit i32 and temperature must be finite and nonnegative"
F = np.float32


def reference_log_density(precision, mean, variance, frames, weight):
    """Weighted Gaussian log density, in the order of operations of each precision."""
    if precision == "F64":
        normalizer = -0.5 * math.log((variance + variance) * math.pi)
        difference = frames - mean
        return weight * (difference * difference / variance * -0.5 + normalizer)
    mean, variance, frames, weight = F(mean), F(variance), F(frames), F(weight)
    normalizer = F(-0.5 * math.log((float(variance) + float(variance)) * math.pi))
    difference = frames - mean
    quotient = difference * difference / variance
    return float(weight * F(float(normalizer) + -0.5 * float(quotient)))


def reference_fast_exp(value):
    """The 32-bit power-of-two approximation of e^value."""
    a = F(value)
    if math.isnan(a):
        return math.nan
    y = a * F(1.442695)
    if y >= F(128):
        return math.inf
    c = max(y, F(-126))
    z = (c - np.trunc(c)) + (F(1) if y < 0 else F(0))
    v = ((c + F(121.274055)) + F(27.728024) / (F(4.8425255) - z)) + z * F(-1.4901291)
    return struct.unpack("<f", struct.pack("<I", int(np.trunc(v * F(8388608)))))[0]


def test_values_and_constraints(precision):
    law = make("Duration", precision)
    assert (law.values(), law.constraints()) == ([0.0, 0.0, 0.0], [-1, -1, -1])
    fails(LAW, lambda: law.log_probability(1.0, 1.0))
    fails("duration requires three scalar values", lambda: law.set_values([1.0, 2.0]),
          lambda: law.set_values([1.0, 2.0, 3.0, 4.0]))
    fails("duration requires three constraints", lambda: law.set_constraints([1, 2]))
    fails("out of range integral type conversion attempted",
          lambda: law.set_constraints([0, 0, 2**31]), error=OverflowError)
    assert (law.values(), law.constraints()) == ([0.0, 0.0, 0.0], [-1, -1, -1])
    law.set_values([5.0, -1.0, 0.1])
    law.set_constraints([-7, 3, -2**31])
    assert law.values() == [5.0, -1.0, rounded(precision, 0.1)]
    assert law.constraints() == [-7, 3, -2**31]
    fails(LAW, lambda: law.log_probability(5.0, 1.0))
    copy = law.cloned()
    copy.set_values([1.0, 1.0, 1.0])
    assert law.values()[0] == 5.0


def test_log_probability(precision):
    law = duration(precision, 4.0, 2.0, 0.0, (3, -1, -1))
    for frames, weight in ((2.0, 0.0), (2.0, 1.0), (2.0, -3.0), (2.5, 1.0)):
        assert law.log_probability(frames, weight) == LOG_ZERO[precision]
    for frames, weight in ((3.0, 1.0), (4.0, 0.5), (7.3, 2.0), (1e6, 1.0)):
        assert law.log_probability(frames, weight) == reference_log_density(
            precision, 4.0, 2.0, frames, weight)
    free = duration(precision, 0.3, 1.7, 0.0, (0, 1, -1))  # no active minimum or maximum
    for frames in (-2.5, 0.0, 0.1, 2147483648.0):
        assert free.log_probability(frames, 1.3) == reference_log_density(
            precision, rounded(precision, 0.3), rounded(precision, 1.7), frames,
            rounded(precision, 1.3))
    fails(FINITE, lambda: law.log_probability(math.nan, 1.0),
          lambda: law.log_probability(3.0, math.inf))
    fails(LAW, lambda: duration(precision, math.inf, 1.0).log_probability(math.nan, 1.0))


def test_annealed_log_probability_and_probability(precision):
    law = duration(precision, 4.0, 2.0, 0.0, (3, -1, -1))
    zero = LOG_ZERO[precision]
    assert law.annealed_log_probability(2, 1.0, 0.0) == zero
    assert law.annealed_log_probability(3, 1.0, 0.0) == 0.0
    assert law.annealed_log_probability(3, 1.0, -0.0) == 0.0
    assert law.annealed_log_probability(2, 1.0, 0.5) == {"F32": f32(0.5 * zero), "F64": -5e14}[
        precision]
    density = reference_log_density(precision, 4.0, 2.0, 5.0, 0.75)
    assert law.annealed_log_probability(5, 0.75, 0.25) == rounded(precision, 0.25 * density)
    assert law.probability(3, 1.0, 0.0) == 1.0
    tiny = law.probability(2, 1.0, 0.5)
    assert 0.0 < tiny < 1.2e-38 and tiny == reference_fast_exp(-5e14)
    for frames, weight, temperature in ((4, 1.0, 1.0), (6, 0.5, 0.8), (40, 1.0, 1.0)):
        annealed = law.annealed_log_probability(frames, weight, temperature)
        assert law.probability(frames, weight, temperature) == reference_fast_exp(annealed)
    # A negative weight far from the mean gives an exponent above 128/log2(e).
    assert law.probability(40, -1.0, 1.0) == math.inf
    fails(RANGE, lambda: law.annealed_log_probability(2**31, 1.0, 1.0),
          lambda: law.probability(2**31, 1.0, 1.0), lambda: law.probability(3, 1.0, math.nan),
          lambda: make("Duration", precision).annealed_log_probability(3, 1.0, -0.1))
    fails(LAW, lambda: make("Duration", precision).annealed_log_probability(3, math.nan, 1.0))
    fails(FINITE, lambda: law.annealed_log_probability(3, math.nan, 1.0))
    fails(None, lambda: law.annealed_log_probability(-1, 1.0, 1.0), error=OverflowError)
