"""Gaussian mixtures and mixture weights: construction, replacement, joining, splitting."""

import math

import pytest

import tarvek_rs
from conftest import f32
from model_support import (consumed, duration, gaussian, make, mixture_content, raises_value,
                           rounded)

POSITIVE = "mixture count and dimensions must be positive"
SPLITTING = "splitting requires finite parameters and nonnegative weights and variances"


def collection(kind, precision, items):
    result = make(kind, precision)
    for item in items:
        result.push(item)
    return result


def test_constructor(precision):
    mixture = make("Gaussian", precision, 3, 2)
    assert (mixture.mixtures, mixture.dimensions) == (3, 2)
    assert mixture.weights() == [rounded(precision, 1 / 3)] * 3
    assert mixture.means() == mixture.variances() == mixture.variance_floors() == [0.0] * 6
    assert mixture.validate() is None
    for shape in ((0, 2), (2, 0)):
        with raises_value(POSITIVE):
            make("Gaussian", precision, *shape)
    with raises_value("dimensions exceed the legacy format"):
        make("Gaussian", precision, 2**31, 1)
    with raises_value("parameter allocation exceeds addressable memory"):
        make("Gaussian", precision, 2**31 - 1, 2**31 - 1)
    with pytest.raises(OverflowError):
        make("Gaussian", precision, -1, 1)


def test_gaussian_AllocFail(precision):
    # Passes every range check; refused before anything large is allocated.
    with pytest.raises(MemoryError):
        make("Gaussian", precision, 2**24, 2**24)
    if precision == "F64":
        with raises_value("parameter allocation exceeds addressable memory"):
            make("Gaussian", precision, 2**30, 2**30)
    else:
        with pytest.raises(MemoryError):
            make("Gaussian", precision, 2**30, 2**30)


def test_replace(precision):
    mixture = make("Gaussian", precision, 1, 3)
    before = mixture_content(mixture)
    with raises_value("parameter lengths do not match dimensions"):
        mixture.replace(3, [0.5, 0.5], [0.0] * 6, [1.0] * 6, [0.0] * 5)
    with raises_value(POSITIVE):
        mixture.replace(3, [], [], [], [])
    with raises_value("dimensions exceed the legacy format"):
        mixture.replace(2**31, [1.0], [], [], [])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        mixture.replace(1, [1.0], "0", [1.0], [0.0])
    assert mixture_content(mixture) == before
    means = [math.nan, -1.0, 0.1, 2.0]
    mixture.replace(2, [-1.0, math.inf], means, [-3.0] * 4, [0.25] * 4)
    assert (mixture.mixtures, mixture.dimensions) == (2, 2)
    assert mixture.weights() == [-1.0, math.inf]
    assert mixture.means()[1:] == [-1.0, rounded(precision, 0.1), 2.0]
    assert math.isnan(mixture.means()[0])
    returned = mixture.variances()
    returned[0] = 7.0
    assert mixture.variances() == [-3.0] * 4


def test_combine(precision):
    with raises_value(POSITIVE):
        tarvek_rs.__dict__["Gaussian" + precision].combine(make("GaussianCollection", precision))
    first = gaussian(precision, [1.0, 2.0], [3.0, 4.0], floors=[0.5, 0.0], weights=[0.3])
    second = gaussian(precision, [5.0, 6.0, 7.0], [8.0, 9.0, 10.0])
    parts = collection("GaussianCollection", precision, [first, second])
    joined = make("Gaussian", precision, 1, 1).combine(parts)
    assert mixture_content(joined) == (5, [1.0], [1.0, 2.0, 5.0, 6.0, 7.0],
                                       [3.0, 4.0, 8.0, 9.0, 10.0], [0.5, 0.0, 0.0, 0.0, 0.0])
    assert parts.length == 2 and not parts.is_closed
    parts.push(make("Gaussian", precision, 2, 1))
    with raises_value("combination requires single-component distributions"):
        joined.combine(parts)
    closed = collection("GaussianCollection", precision, [first])
    closed.free()
    with consumed():
        joined.combine(closed)
    with pytest.raises(TypeError, match="distributions"):
        joined.combine(make("DurationCollection", precision))


def test_from_durations(precision):
    laws = collection("DurationCollection", precision, [
        duration(precision, 3.0, 1.0, 7.0, (2, 9, 4)), duration(precision, 5.0, 2.0)])
    mixture = make("Gaussian", precision, 1, 1).from_durations(laws)
    assert mixture_content(mixture) == (2, [1.0], [3.0, 5.0], [1.0, 2.0], [0.0, 0.0])
    laws.clear()
    with raises_value(POSITIVE):
        mixture.from_durations(laws)


def test_increase_mixtures_splits_heaviest(precision):
    mixture = gaussian(precision, [0.0], [4.0])
    assert mixture.increase_mixtures(4, 0.5) is None
    assert mixture.weights() == [0.25] * 4
    assert mixture.means() == [-2.0, 0.0, 0.0, 2.0]
    assert mixture.variances() == [4.0] * 4
    # Nothing to do: the displacement is not even looked at.
    assert mixture.increase_mixtures(2, math.nan) is None
    assert mixture.mixtures == 4


def test_increase_mixtures_arithmetic(precision):
    mean, variance, displacement, floor = 0.1, 0.3, 0.7, math.nan
    mixture = gaussian(precision, [mean, 5.0], [variance, 1.0], floors=[floor, 0.125])
    mixture.increase_mixtures(2, displacement)
    m, v, s = (rounded(precision, x) for x in (mean, variance, displacement))
    shift = s * math.sqrt(v)  # 64-bit arithmetic, each stored mean rounded once
    assert mixture.means() == [rounded(precision, m - shift), rounded(precision, 5.0 - s),
                               rounded(precision, m + shift), rounded(precision, 5.0 + s)]
    assert mixture.variances() == [v, 1.0, v, 1.0]
    floors = mixture.variance_floors()  # a NaN floor is not examined and is copied
    assert math.isnan(floors[0]) and math.isnan(floors[2]) and floors[1::2] == [0.125] * 2
    assert mixture.weights() == [0.5, 0.5]


def test_increase_mixtures_checks(precision):
    mixture = gaussian(precision, [math.nan], [1.0])
    before = mixture_content(mixture)
    with raises_value("invalid mixture count or displacement"):
        mixture.increase_mixtures(2**31, 0.5)  # before the values
    with raises_value("invalid mixture count or displacement"):
        mixture.increase_mixtures(2, math.inf)
    with raises_value(SPLITTING):
        mixture.increase_mixtures(2, 0.5)
    for weights, means, variances in (([-1.0], [0.0], [1.0]), ([1.0], [0.0], [math.inf])):
        bad = gaussian(precision, means, variances, weights=weights)
        with raises_value(SPLITTING):
            bad.increase_mixtures(3, 0.5)
    zero = gaussian(precision, [0.0], [-0.0], weights=[-0.0])
    zero.increase_mixtures(2, 1.0)
    assert zero.mixtures == 2
    assert str(mixture_content(mixture)) == str(before)


def test_cloned_and_closed(precision):
    mixture = gaussian(precision, [1.0, 2.0], [1.0, 1.0])
    copy = mixture.cloned()
    copy.replace(1, [1.0], [3.0], [1.0], [0.0])
    assert mixture.means() == [1.0, 2.0]
    mixture.free()
    for member in ("weights", "means", "variances", "variance_floors", "validate", "cloned"):
        with consumed():
            getattr(mixture, member)()
    for member in ("mixtures", "dimensions"):
        with consumed():
            getattr(mixture, member)
    with pytest.raises(OverflowError):
        mixture.increase_mixtures(-1, 0.5)
    with consumed():
        mixture.increase_mixtures(1, 0.5)


# ---- mixture weights --------------------------------------------------------------------


def test_mixture_weights():
    assert tarvek_rs.MixtureWeights([]).values() == []
    weights = tarvek_rs.MixtureWeights([0.1, -2.0, math.nan])
    values = weights.values()
    assert values[:2] == [f32(0.1), -2.0] and math.isnan(values[2])
    copy = weights.cloned()
    weights.replace([1.0, 2.0, 3.0, 4.0, 1e300])
    assert weights.values() == [1.0, 2.0, 3.0, 4.0, math.inf]
    assert copy.values()[:2] == [f32(0.1), -2.0]
    weights.free()
    assert weights.is_closed and weights.free() is None
    for call in (weights.values, weights.cloned, lambda: weights.replace([1.0])):
        with consumed():
            call()
    with pytest.raises(TypeError):
        weights.replace("not numbers")  # conversion before the closed check
