"""Streams and stream builders: construction, weight, emissions, replacement, copies."""

import math

import pytest

from model_support import (collection, consumed, fails, gaussian, make, mixture_content, rounded,
                           stream_content)

ONE_SCALAR = "stream weight requires one scalar"
SLOTS = "slot count exceeds the legacy format"
EMISSION_INDEX = "emission index out of range"


@pytest.mark.parametrize("shape, error, message", [
    ((1, 0, 3), ValueError, "mixture count and dimensions must be positive"),
    ((2**31, 1, 1), ValueError, "emission count exceeds the legacy format"),
    ((1, 1, 2**31), ValueError, "dimensions exceed the legacy format"),
    ((2, 2**24, 2**24), MemoryError, None),
])
def test_constructor_checks_and_AllocFail(precision, shape, error, message):
    fails(message, lambda: make("Stream", precision, *shape), error=error)


def test_new_streams_and_weight(precision):
    assert stream_content(make("Stream", precision, 0, 0, 0)) == ([1.0], [])
    fresh = make("Stream", precision, 2, 3, 4)
    assert (fresh.emissions, fresh.weight()) == (2, [1.0])
    for mixture in (fresh.emission(0), fresh.emission(1)):
        assert (mixture.weights(), mixture.dimensions) == ([rounded(precision, 1 / 3)] * 3, 4)
    fails(ONE_SCALAR, lambda: fresh.set_weight([]), lambda: fresh.set_weight([1.0, 2.0]))
    fresh.set_weight([math.nan])  # stored unchecked; only preparation looks at it
    assert math.isnan(fresh.weight()[0]) and fresh.validate() is None
    fresh.set_weight([-0.0])
    assert math.copysign(1.0, fresh.weight()[0]) == -1.0


def test_emissions_and_replace(precision):
    value = make("Stream", precision, 2, 1, 1)
    other_shape = gaussian(precision, [1.0, 2.0, 3.0], [1.0, 1.0, 1.0])
    assert value.emission(2) is None
    fails(EMISSION_INDEX, lambda: value.set_emission(2, other_shape))
    value.set_emission(1, other_shape)  # another dimension count is accepted
    other_shape.replace(1, [1.0], [9.0], [1.0], [0.0])  # the stream holds a copy
    assert value.emission(1).means() == [1.0, 2.0, 3.0] and value.validate() is None
    before = stream_content(value)
    mixtures = collection("Gaussian", precision, [
        gaussian(precision, [1.0], [2.0]),
        gaussian(precision, [1.0, 2.0], [3.0, 4.0], floors=[0.5, 0.25])])
    fails(ONE_SCALAR, lambda: value.replace([1.0, 2.0], mixtures))  # before any emission
    assert stream_content(value) == before
    value.replace([0.5], mixtures)
    mixtures.free()
    assert value.weight() == [0.5] and value.emissions == 2
    assert mixture_content(value.emission(1)) == (2, [1.0], [1.0, 2.0], [3.0, 4.0], [0.5, 0.25])


def test_builder(precision):
    empty = make("StreamBuilder", precision, 0).build()
    assert (empty.emissions, empty.weight()) == (0, [1.0])
    fails(SLOTS, lambda: make("StreamBuilder", precision, 2**31))
    builder = make("StreamBuilder", precision, 3)
    assert (builder.emissions, builder.weight()) == (3, [1.0])
    assert not builder.has_emission(0) and not builder.has_emission(3)
    assert builder.emission(0) is None and builder.emission(3) is None
    fails(EMISSION_INDEX, lambda: builder.set_emission(3, make("Gaussian", precision, 1, 1)),
          lambda: builder.clear_emission(3))
    fails(ONE_SCALAR, lambda: builder.set_weight([2.0, 3.0]))
    assert [builder.has_emission(i) for i in range(3)] == [False] * 3
    assert builder.weight() == [1.0]
    for index in (0, 2):
        builder.set_emission(index, gaussian(precision, [float(index)], [1.0]))
    builder.set_weight([0.5])
    builder.resize(5)
    assert builder.weight() == [0.5]
    assert [builder.has_emission(i) for i in range(5)] == [True, False, True, False, False]
    builder.resize(1)
    assert builder.emissions == 1 and builder.emission(0).means() == [0.0]


def test_builder_build(precision):
    builder = make("StreamBuilder", precision, 2)
    builder.set_emission(0, make("Gaussian", precision, 1, 1))
    fails("stream builder contains an unfilled emission slot", builder.build)
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
