"""Streams and stream builders: construction, weight, emissions, replacement, copies."""

import math

import pytest

from model_support import (consumed, gaussian, make, mixture_content, raises_value, rounded,
                           stream_content)

ONE_SCALAR = "stream weight requires one scalar"


def test_constructor(precision):
    empty = make("Stream", precision, 0, 0, 0)
    assert (empty.emissions, empty.weight()) == (0, [1.0])
    assert stream_content(make("Stream", precision, 0, 0, 0).empty()) == stream_content(empty)
    with raises_value("mixture count and dimensions must be positive"):
        make("Stream", precision, 1, 0, 3)
    with raises_value("emission count exceeds the legacy format"):
        make("Stream", precision, 2**31, 1, 1)
    with raises_value("dimensions exceed the legacy format"):
        make("Stream", precision, 1, 1, 2**31)
    fresh = make("Stream", precision, 2, 3, 4)
    assert (fresh.emissions, fresh.weight()) == (2, [1.0])
    for index in range(2):
        assert fresh.emission(index).weights() == [rounded(precision, 1 / 3)] * 3
        assert fresh.emission(index).dimensions == 4


def test_stream_AllocFail(precision):
    with pytest.raises(MemoryError):
        make("Stream", precision, 2, 2**24, 2**24)


def test_weight(precision):
    value = make("Stream", precision, 1, 1, 1)
    for bad in ([], [1.0, 2.0]):
        with raises_value(ONE_SCALAR):
            value.set_weight(bad)
    assert value.weight() == [1.0]
    value.set_weight([0.1])
    assert value.weight() == [rounded(precision, 0.1)]
    value.set_weight([math.nan])  # stored unchecked; only preparation looks at it
    assert math.isnan(value.weight()[0]) and value.validate() is None
    value.set_weight([-0.0])
    assert math.copysign(1.0, value.weight()[0]) == -1.0


def test_emissions(precision):
    value = make("Stream", precision, 2, 1, 1)
    other_shape = gaussian(precision, [1.0, 2.0, 3.0], [1.0, 1.0, 1.0])
    assert value.emission(2) is None
    with raises_value("emission index out of range"):
        value.set_emission(2, other_shape)
    with pytest.raises(OverflowError):
        value.emission(-1)
    value.set_emission(1, other_shape)
    other_shape.replace(1, [1.0], [9.0], [1.0], [0.0])
    assert value.emission(1).means() == [1.0, 2.0, 3.0]
    assert value.validate() is None
    copy = value.emission(1)
    copy.increase_mixtures(2, 0.5)
    assert value.emission(1).mixtures == 1


def test_replace(precision):
    value = make("Stream", precision, 1, 2, 2)
    before = stream_content(value)
    mixtures = make("GaussianCollection", precision)
    mixtures.push(gaussian(precision, [1.0], [2.0]))
    mixtures.push(gaussian(precision, [1.0, 2.0], [3.0, 4.0], floors=[0.5, 0.25]))
    # The weight is checked before any emission.
    with raises_value(ONE_SCALAR):
        value.replace([1.0, 2.0], mixtures)
    with pytest.raises(TypeError, match="emissions"):
        value.replace([1.0], make("DurationCollection", precision))
    assert stream_content(value) == before
    value.replace([0.5], mixtures)
    assert value.weight() == [0.5] and value.emissions == 2
    assert mixture_content(value.emission(1)) == (2, [1.0], [1.0, 2.0], [3.0, 4.0], [0.5, 0.25])
    mixtures.free()
    assert value.emissions == 2
    value.replace([2.0], make("GaussianCollection", precision))
    assert (value.emissions, value.weight()) == (0, [2.0])


def test_cloned_and_closed(precision):
    value = make("Stream", precision, 1, 1, 2)
    copy = value.cloned()
    copy.set_weight([3.0])
    assert value.weight() == [1.0]
    value.close()
    with consumed():
        value.emissions
    with consumed():
        value.weight()
    # The argument is converted first, then the receiver's closed check runs.
    with pytest.raises(TypeError):
        value.set_emission(0, copy)
    with consumed():
        value.set_emission(0, copy.emission(0))


# ---- builders ---------------------------------------------------------------------------


def test_builder_basics(precision):
    empty = make("StreamBuilder", precision, 0).build()
    assert (empty.emissions, empty.weight()) == (0, [1.0])
    with raises_value("slot count exceeds the legacy format"):
        make("StreamBuilder", precision, 2**31)
    builder = make("StreamBuilder", precision, 3)
    assert (builder.emissions, builder.weight()) == (3, [1.0])
    assert not builder.has_emission(0) and not builder.has_emission(3)
    assert builder.emission(0) is None and builder.emission(3) is None
    mixture = make("Gaussian", precision, 1, 1)
    with raises_value("emission index out of range"):
        builder.set_emission(3, mixture)
    with raises_value("emission index out of range"):
        builder.clear_emission(3)
    assert [builder.has_emission(i) for i in range(3)] == [False] * 3
    with raises_value(ONE_SCALAR):
        builder.set_weight([2.0, 3.0])
    assert builder.weight() == [1.0]


def test_builder_resize_keeps_weight(precision):
    builder = make("StreamBuilder", precision, 3)
    for index in (0, 2):
        builder.set_emission(index, gaussian(precision, [float(index)], [1.0]))
    builder.set_weight([0.5])
    builder.resize(5)
    assert builder.weight() == [0.5]
    assert [builder.has_emission(i) for i in range(5)] == [True, False, True, False, False]
    with raises_value("slot count exceeds the legacy format"):
        builder.resize(2**31)
    assert builder.emissions == 5
    builder.resize(1)
    assert builder.emissions == 1 and builder.emission(0).means() == [0.0]


def test_builder_build(precision):
    builder = make("StreamBuilder", precision, 2)
    builder.set_emission(0, make("Gaussian", precision, 1, 1))
    with raises_value("stream builder contains an unfilled emission slot"):
        builder.build()
    assert builder.is_closed
    builder = make("StreamBuilder", precision, 2)
    first = gaussian(precision, [1.0, 2.0], [1.0, 1.0])
    builder.set_emission(0, first)
    builder.set_emission(1, gaussian(precision, [3.0], [1.0]))
    first.free()
    builder.set_weight([-4.0])  # carried into the stream unchecked
    value = builder.build()
    assert value.weight() == [-4.0] and value.emissions == 2
    assert [value.emission(i).dimensions for i in range(2)] == [2, 1]
    with consumed():
        builder.emissions
