"""Gaussian mixtures and mixture weights: construction, replacement, joining, splitting."""

import math

import pytest

import tarvek_rs
from conftest import f32
from model_support import (collection, consumed, duration, fails, gaussian, make, mixture_content,
                           rounded)

POSITIVE = "mixture count and dimensions must be positive"
SPLITTING = "splitting requires finite parameters and nonnegative weights and variances"
ADDRESSABLE = "parameter allocation exceeds addressable memory"


@pytest.mark.parametrize("shape, error, message", [
    ((0, 2), ValueError, POSITIVE),
    ((2, 0), ValueError, POSITIVE),
    ((2**31, 1), ValueError, "dimensions exceed the legacy format"),
    ((2**31 - 1, 2**31 - 1), ValueError, ADDRESSABLE),
    ((-1, 1), OverflowError, None),
    # Passes every range check; refused before anything large is allocated.
    ((2**24, 2**24), MemoryError, None),
    ((2**30, 2**30), {"F32": MemoryError, "F64": ValueError}, ADDRESSABLE),
])
def test_constructor_checks_and_AllocFail(precision, shape, error, message):
    error = error[precision] if isinstance(error, dict) else error
    fails(None if error is MemoryError else message, lambda: make("Gaussian", precision, *shape),
          error=error)


def test_new_mixture_and_replace(precision):
    mixture = make("Gaussian", precision, 3, 2)
    assert (mixture.mixtures, mixture.dimensions, mixture.validate()) == (3, 2, None)
    assert mixture.weights() == [rounded(precision, 1 / 3)] * 3
    assert mixture.means() == mixture.variances() == mixture.variance_floors() == [0.0] * 6
    before = mixture_content(mixture)
    fails("parameter lengths do not match dimensions",
          lambda: mixture.replace(3, [0.5, 0.5], [0.0] * 6, [1.0] * 6, [0.0] * 5))
    fails(POSITIVE, lambda: mixture.replace(3, [], [], [], []))
    assert mixture_content(mixture) == before
    mixture.replace(2, [-1.0, math.inf], [math.nan, -1.0, 0.1, 2.0], [-3.0] * 4, [0.25] * 4)
    assert (mixture.mixtures, mixture.dimensions, mixture.weights()) == (2, 2, [-1.0, math.inf])
    assert mixture.means()[1:] == [-1.0, rounded(precision, 0.1), 2.0]
    assert math.isnan(mixture.means()[0])


def test_combine_and_from_durations(precision):
    fails(POSITIVE, lambda: make("Gaussian", precision, 1, 1).combine(
        make("GaussianCollection", precision)))
    first = gaussian(precision, [1.0, 2.0], [3.0, 4.0], floors=[0.5, 0.0], weights=[0.3])
    second = gaussian(precision, [5.0, 6.0, 7.0], [8.0, 9.0, 10.0])
    parts = collection("Gaussian", precision, [first, second])
    joined = make("Gaussian", precision, 1, 1).combine(parts)
    assert mixture_content(joined) == (5, [1.0], [1.0, 2.0, 5.0, 6.0, 7.0],
                                       [3.0, 4.0, 8.0, 9.0, 10.0], [0.5, 0.0, 0.0, 0.0, 0.0])
    parts.push(make("Gaussian", precision, 2, 1))
    fails("combination requires single-component distributions", lambda: joined.combine(parts))
    with pytest.raises(TypeError, match="distributions"):
        joined.combine(make("DurationCollection", precision))
    parts.free()
    with consumed():
        joined.combine(parts)
    laws = collection("Duration", precision, [
        duration(precision, 3.0, 1.0, 7.0, (2, 9, 4)), duration(precision, 5.0, 2.0)])
    mixture = make("Gaussian", precision, 1, 1).from_durations(laws)
    assert mixture_content(mixture) == (2, [1.0], [3.0, 5.0], [1.0, 2.0], [0.0, 0.0])
    laws.clear()
    fails(POSITIVE, lambda: mixture.from_durations(laws))


def test_increase_mixtures(precision):
    mixture = gaussian(precision, [0.0], [4.0])
    assert mixture.increase_mixtures(4, 0.5) is None
    assert mixture_content(mixture)[1:4] == ([0.25] * 4, [-2.0, 0.0, 0.0, 2.0], [4.0] * 4)
    assert mixture.increase_mixtures(2, math.nan) is None  # nothing to do: not even looked at
    assert mixture.mixtures == 4
    # A NaN floor is not examined and is copied.
    mixture = gaussian(precision, [0.0, 5.0], [4.0, 1.0], floors=[math.nan, 0.125])
    mixture.increase_mixtures(2, 0.5)
    assert mixture.means() == [-1.0, 4.5, 1.0, 5.5]
    floors = mixture.variance_floors()
    assert math.isnan(floors[0]) and math.isnan(floors[2]) and floors[1::2] == [0.125] * 2
    bad = gaussian(precision, [math.nan], [1.0])
    before = str(mixture_content(bad))
    fails("invalid mixture count or displacement", lambda: bad.increase_mixtures(2**31, 0.5),
          lambda: bad.increase_mixtures(2, math.inf))  # before the values
    fails(SPLITTING, lambda: bad.increase_mixtures(2, 0.5),
          lambda: gaussian(precision, [0.0], [1.0], weights=[-1.0]).increase_mixtures(3, 0.5),
          lambda: gaussian(precision, [0.0], [math.inf]).increase_mixtures(3, 0.5))
    assert str(mixture_content(bad)) == before


def test_mixture_weights():
    assert tarvek_rs.MixtureWeights([]).values() == []
    weights = tarvek_rs.MixtureWeights([0.1, -2.0, math.nan])
    values = weights.values()
    assert values[:2] == [f32(0.1), -2.0] and math.isnan(values[2])
    copy = weights.cloned()
    weights.replace([1.0, 2.0, 3.0, 4.0, 1e300])
    assert weights.values() == [1.0, 2.0, 3.0, 4.0, math.inf]
    assert copy.values()[:2] == [f32(0.1), -2.0]
