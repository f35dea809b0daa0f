"""Statistics classes: Gaussian, duration, stream and model statistics, their collections, the
accumulation of segmented utterances, and the `update` members that read them."""

import math

import numpy as np
import pytest

import tarvek_rs
from model_support import (consumed, duration, duration_content, gaussian, make, mixture_content,
                           model_content, raises_value, rounded, small_model, stream,
                           stream_content)
from training_support import (duration_statistics, gaussian_statistics,
                              gaussian_statistics_content, model_statistics_content,
                              observation, segmentation, stream_statistics_content)

POSITIVE = "mixture count and dimensions must be positive"
OTHER = {"F32": "F64", "F64": "F32"}


def cls_of(name, precision):
    return getattr(tarvek_rs, name + precision)


# ---- Gaussian statistics ----------------------------------------------------------------

def test_gaussian_statistics_construction(precision):
    value = make("GaussianStatistics", precision, 2, 3)
    assert gaussian_statistics_content(value) == (2, 3, [0.0] * 6, [0.0] * 6, [0.0] * 2, [0.0])
    with raises_value(POSITIVE):
        make("GaussianStatistics", precision, 0, 3)
    with raises_value(POSITIVE):
        make("GaussianStatistics", precision, 2, 0)
    with raises_value("dimensions exceed the legacy format"):
        make("GaussianStatistics", precision, 2**31, 1)
    with pytest.raises(OverflowError):
        make("GaussianStatistics", precision, -1, 1)


def test_gaussian_statistics_size_checks_AllocFail(precision):
    # 2^30 × 2^30 entries: past the address-space limit in F64, past the allocation cap in F32.
    message = ("parameter allocation exceeds addressable memory" if precision == "F64"
               else "statistics allocation failed")
    with raises_value(message):
        make("GaussianStatistics", precision, 2**30, 2**30)
    with raises_value("statistics allocation failed"):
        make("GaussianStatistics", precision, 2**25, 2**25)


def test_gaussian_statistics_replace_checks_in_order(precision):
    value = gaussian_statistics(precision, 1, [1.5], [2.5], [3.5], 4.5)
    before = gaussian_statistics_content(value)
    one = "state occupancy requires one scalar"
    with raises_value(one):
        value.replace(3, [1.0], [], [], [])  # before any shape check
    with raises_value(one):
        value.replace(3, [1.0] * 6, [1.0] * 6, [1.0, 1.0], [1.0, 2.0])
    with raises_value("Gaussian statistic shapes differ"):
        value.replace(3, [0.0] * 5, [0.0] * 6, [1.0, 1.0], [1.0])
    with raises_value("Gaussian statistic shapes differ"):
        value.replace(3, [0.0] * 6, [0.0] * 7, [1.0, 1.0], [1.0])
    with raises_value(POSITIVE):
        value.replace(0, [], [], [1.0], [1.0])
    with raises_value(POSITIVE):
        value.replace(2, [0.0] * 2, [0.0] * 2, [], [1.0])
    with pytest.raises(TypeError, match="weighted_squared_sums"):
        value.replace(1, [1.0], "a", [1.0], [1.0])
    assert gaussian_statistics_content(value) == before


def test_gaussian_statistics_replace_stores_values_unchecked(precision):
    value = make("GaussianStatistics", precision, 1, 1)
    sums = [0.1, -0.2, 0.3, 0.4, 0.5, 0.6]
    value.replace(2, sums, [float("nan")] * 6, [-1.0, 0.7, 2.0], [-3.0])
    content = gaussian_statistics_content(value)
    assert content[:3] == (3, 2, [rounded(precision, x) for x in sums])
    assert all(math.isnan(x) for x in content[3])
    assert content[4:] == ([-1.0, rounded(precision, 0.7), 2.0], [-3.0])
    value.clear()
    assert gaussian_statistics_content(value) == (3, 2, [0.0] * 6, [0.0] * 6, [0.0] * 3, [0.0])


def test_gaussian_statistics_from_gaussian(precision):
    mixture = make("Gaussian", precision, 4, 2)
    value = cls_of("GaussianStatistics", precision).from_gaussian(mixture)
    assert gaussian_statistics_content(value) == (4, 2, [0.0] * 8, [0.0] * 8, [0.0] * 4, [0.0])
    assert mixture_content(mixture) == mixture_content(make("Gaussian", precision, 4, 2))
    with pytest.raises(TypeError, match="value"):
        cls_of("GaussianStatistics", precision).from_gaussian(make("Gaussian", OTHER[precision],
                                                                   1, 1))
    mixture.free()
    with consumed():
        cls_of("GaussianStatistics", precision).from_gaussian(mixture)


def test_gaussian_statistics_closing_and_copies(precision):
    value = gaussian_statistics(precision, 1, [1.0], [2.0], [3.0], 4.0)
    copy = value.cloned()
    copy.clear()
    assert value.weighted_sums() == [1.0]
    assert value.free() is None and value.free() is None
    assert value.is_closed
    with consumed():
        value.weighted_sums()
    with consumed():
        value.mixtures  # noqa: B018


# ---- duration statistics ----------------------------------------------------------------

def test_duration_statistics_values(precision):
    value = make("DurationStatistics", precision)
    assert value.values() == [0.0, 0.0, 0.0]
    value.set_values([1.5, 2.25, 3.0])
    assert (value.value_sum, value.squared_sum, value.occupancy) == (1.5, 2.25, 3.0)
    assert value.values() == [1.5, 2.25, 3.0]
    for bad in ([1.0, 2.0], [1.0, 2.0, 3.0, 4.0], []):
        with raises_value("duration statistics require three values"):
            value.set_values(bad)
        assert value.values() == [1.5, 2.25, 3.0]
    with pytest.raises(TypeError, match="values"):
        value.set_values("abc")
    value.value_sum = 0.1
    assert value.value_sum == rounded(precision, 0.1)
    value.occupancy = -2.0
    assert value.occupancy == -2.0
    value.occupancy = float("nan")
    assert math.isnan(value.occupancy)
    with pytest.raises(TypeError, match="value"):
        value.squared_sum = "x"
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del value.occupancy
    value.clear()
    assert value.values() == [0.0, 0.0, 0.0]


def test_duration_statistics_copies_and_closing(precision):
    value = duration_statistics(precision, 1.0, 2.0, 3.0)
    copy = value.cloned()
    copy.value_sum = 9.0
    assert value.values() == [1.0, 2.0, 3.0] and copy.values() == [9.0, 2.0, 3.0]
    assert value.free() is None and value.close() is None
    assert value.is_closed
    with consumed():
        value.occupancy  # noqa: B018
    with consumed():
        value.occupancy = 1.0


# ---- stream statistics ------------------------------------------------------------------

def test_stream_statistics_empty(precision):
    value = make("StreamStatistics", precision)
    assert value.emissions == 0 and value.emission(0) is None
    with raises_value("emission statistic index out of range"):
        value.set_emission(0, make("GaussianStatistics", precision, 1, 1))
    with pytest.raises(TypeError, match="value"):
        value.set_emission(0, make("GaussianStatistics", OTHER[precision], 1, 1))


def test_stream_statistics_from_stream(precision):
    source = make("Stream", precision, 3, 2, 4)
    value = cls_of("StreamStatistics", precision).from_stream(source)
    assert value.emissions == 3
    assert stream_statistics_content(value) == [(2, 4, [0.0] * 8, [0.0] * 8, [0.0] * 2,
                                                 [0.0])] * 3
    with pytest.raises(TypeError, match="value"):
        cls_of("StreamStatistics", precision).from_stream(make("Stream", OTHER[precision],
                                                               0, 0, 0))
    source.free()
    with consumed():
        cls_of("StreamStatistics", precision).from_stream(source)


def test_stream_statistics_writers(precision):
    value = cls_of("StreamStatistics", precision).from_stream(make("Stream", precision, 2, 1, 1))
    other_shape = gaussian_statistics(precision, 2, [1.0] * 6, [2.0] * 6, [3.0] * 3, 4.0)
    value.set_emission(1, other_shape)
    assert gaussian_statistics_content(value.emission(1)) == \
        gaussian_statistics_content(other_shape)
    other_shape.clear()  # the stored copy stays
    assert value.emission(1).weighted_sums() == [1.0] * 6
    read = value.emission(1)
    read.clear()
    assert value.emission(1).weighted_sums() == [1.0] * 6

    collection = make("GaussianStatisticsCollection", precision)
    value.replace(collection)
    assert value.emissions == 0
    for index in range(5):
        collection.push(gaussian_statistics(precision, 1, [index], [0.0], [1.0], 1.0))
    value.replace(collection)
    collection.clear()
    assert value.emissions == 5 and value.emission(4).weighted_sums() == [4.0]
    value.clear()
    assert stream_statistics_content(value) == [(1, 1, [0.0], [0.0], [0.0], [0.0])] * 5
    assert value.emission(7) is None
    with pytest.raises(OverflowError):
        value.emission(-1)
    assert value.free() is None and value.free() is None
    assert value.is_closed
    with consumed():
        value.emissions  # noqa: B018


# ---- collections ------------------------------------------------------------------------

def element(kind, precision, tag):
    if kind == "Gaussian":
        return gaussian_statistics(precision, 1, [tag], [tag], [tag], tag)
    if kind == "Duration":
        return duration_statistics(precision, tag, tag, tag)
    value = make("StreamStatistics", precision)
    collection = make("GaussianStatisticsCollection", precision)
    collection.push(element("Gaussian", precision, tag))
    value.replace(collection)
    return value


def content(kind, value):
    if kind == "Gaussian":
        return gaussian_statistics_content(value)
    if kind == "Duration":
        return value.values()
    return stream_statistics_content(value)


@pytest.mark.parametrize("kind", ["Gaussian", "Stream", "Duration"])
def test_statistics_collections(kind, precision):
    name = kind + "StatisticsCollection"
    collection = make(name, precision)
    assert collection.length == 0 and collection.is_empty() and collection.get(0) is None
    first, second = element(kind, precision, 1.0), element(kind, precision, 2.0)
    collection.push(first)
    collection.push(second)
    second.clear()  # changing the pushed object leaves the copy
    assert collection.length == 2 and not collection.is_empty()
    assert content(kind, collection.get(1)) == content(kind, element(kind, precision, 2.0))
    collection.get(1).clear()
    assert content(kind, collection.get(1)) == content(kind, element(kind, precision, 2.0))

    message = ("duration statistic index out of range" if kind == "Duration"
               else "collection index out of range")
    with raises_value(message):
        collection.replace(2, first)
    with pytest.raises(TypeError, match="value"):
        collection.push(element(kind, OTHER[precision], 1.0))
    freed = element(kind, precision, 3.0)
    freed.free()
    with consumed():
        collection.push(freed)
    with consumed():
        collection.replace(0, freed)
    assert collection.length == 2
    collection.replace(0, element(kind, precision, 5.0))
    assert content(kind, collection.get(0)) == content(kind, element(kind, precision, 5.0))

    copy = collection.cloned()
    collection.clear()
    assert collection.length == 0 and not collection.is_closed and copy.length == 2
    assert collection.free() is None and collection.free() is None
    assert collection.is_closed
    with consumed():
        collection.length  # noqa: B018


def test_gaussian_collection_holds_mixed_shapes(precision):
    collection = make("GaussianStatisticsCollection", precision)
    collection.push(make("GaussianStatistics", precision, 1, 1))
    collection.push(make("GaussianStatistics", precision, 3, 2))
    assert [(collection.get(i).mixtures, collection.get(i).dimensions) for i in range(2)] == \
        [(1, 1), (3, 2)]
    empty = make("GaussianStatisticsCollection", precision)
    with raises_value("collection index out of range"):
        empty.replace(0, make("GaussianStatistics", precision, 1, 1))
    with raises_value("duration statistic index out of range"):
        make("DurationStatisticsCollection", precision).replace(0, make("DurationStatistics",
                                                                        precision))


# ---- model statistics -------------------------------------------------------------------

def two_stream_model(precision, states=5):
    return make("Model", precision, [3, 2, 2, 1, 1, 3], states)


def test_model_statistics_empty(precision):
    value = make("ModelStatistics", precision)
    assert (value.streams, value.durations) == (0, 0)
    assert value.stream(0) is None and value.duration(0) is None
    with raises_value("stream statistic index out of range"):
        value.set_stream(0, make("StreamStatistics", precision))
    with raises_value("duration statistic index out of range"):
        value.set_duration(0, make("DurationStatistics", precision))
    with pytest.raises(OverflowError):
        value.stream(-1)
    with pytest.raises(TypeError, match="index"):
        value.stream(1.0)


def test_model_statistics_from_model(precision):
    value = cls_of("ModelStatistics", precision).from_model(two_stream_model(precision))
    assert (value.streams, value.durations) == (2, 5)
    streams, durations = model_statistics_content(value)
    assert streams == [[(2, 2, [0.0] * 4, [0.0] * 4, [0.0] * 2, [0.0])] * 3,
                       [(1, 3, [0.0] * 3, [0.0] * 3, [0.0], [0.0])]]
    assert durations == [[0.0, 0.0, 0.0]] * 5
    # Each entry follows its own mixture's shape.
    bad = two_stream_model(precision)
    second = bad.stream(1)
    mixture = second.emission(0)
    mixture.replace(3, [1.0], [0.0] * 3, [1.0] * 3, [0.0] * 3)
    second.set_emission(0, mixture)
    bad.set_stream(1, second)
    assert cls_of("ModelStatistics", precision).from_model(bad).stream(1).emission(0).dimensions \
        == 3
    with pytest.raises(TypeError, match="value"):
        cls_of("ModelStatistics", precision).from_model(two_stream_model(OTHER[precision]))
    closed = two_stream_model(precision)
    closed.free()
    with consumed():
        cls_of("ModelStatistics", precision).from_model(closed)


def test_model_statistics_writers_copy(precision):
    value = cls_of("ModelStatistics", precision).from_model(two_stream_model(precision, 3))
    read = value.stream(1)
    read.set_emission(0, gaussian_statistics(precision, 3, [1.0] * 3, [1.0] * 3, [1.0], 1.0))
    assert value.stream(1).emission(0).weighted_sums() == [0.0] * 3
    given = make("StreamStatistics", precision)
    value.set_stream(0, given)
    given.replace(make("GaussianStatisticsCollection", precision))
    assert value.stream(0).emissions == 0
    with raises_value("stream statistic index out of range"):
        value.set_stream(2, given)
    with raises_value("duration statistic index out of range"):
        value.set_duration(3, make("DurationStatistics", precision))
    value.set_duration(2, duration_statistics(precision, 1.0, 2.0, 3.0))
    assert value.duration(2).values() == [1.0, 2.0, 3.0]
    assert value.stream(2) is None and value.duration(3) is None

    streams = make("StreamStatisticsCollection", precision)
    for _ in range(3):
        streams.push(make("StreamStatistics", precision))
    durations = make("DurationStatisticsCollection", precision)
    durations.push(duration_statistics(precision, 4.0, 5.0, 6.0))
    value.replace(streams, durations)
    durations.clear()
    assert (value.streams, value.durations) == (3, 1)
    assert value.duration(0).values() == [4.0, 5.0, 6.0]
    copy = value.cloned()
    value.clear()
    assert (value.streams, value.durations) == (3, 1)
    assert value.duration(0).values() == [0.0, 0.0, 0.0]
    assert copy.duration(0).values() == [4.0, 5.0, 6.0]
    assert value.free() is None and value.free() is None
    assert value.is_closed
    with consumed():
        value.streams  # noqa: B018


# ---- collect_initialization -------------------------------------------------------------

def one_dimensional_model(precision, emissions, states, components=1):
    return make("Model", precision, [emissions, components, 1], states)


def test_collect_initialization_counts(precision):
    chain = one_dimensional_model(precision, 1, 1)
    value = cls_of("ModelStatistics", precision).from_model(chain)
    value.collect_initialization(chain, observation(precision, [[[1.0], [2.0], [3.0]]]),
                                 segmentation(precision, [3], [0], [[0]]))
    assert gaussian_statistics_content(value.stream(0).emission(0)) == \
        (1, 1, [6.0], [14.0], [3.0], [3.0])
    assert value.duration(0).values() == [3.0, 9.0, 1.0]

    chain = one_dimensional_model(precision, 3, 3)
    value = cls_of("ModelStatistics", precision).from_model(chain)
    frames = observation(precision, [[[1.0], [2.0], [3.0], [4.0], [5.0]]])
    value.collect_initialization(chain, frames, segmentation(precision, [2, 2, 5], [0, 1, 2],
                                                             [[0, 1, 2]]))
    assert value.duration(1).values() == [0.0, 0.0, 1.0]
    assert value.stream(0).emission(1).state_occupancy() == [0.0]
    value.clear()
    value.collect_initialization(chain, frames, segmentation(precision, [2, 4], [0, 1], [[0, 1]]))
    assert value.stream(0).emission(1).weighted_sums() == [7.0]  # frame 4 belongs to no one
    before = model_statistics_content(value)
    with raises_value("initialization boundaries are unordered or out of range"):
        value.collect_initialization(chain, frames, segmentation(precision, [3, 2], [0, 1],
                                                                 [[0, 1]]))
    with raises_value("initialization boundaries are unordered or out of range"):
        value.collect_initialization(chain, frames, segmentation(precision, [6], [0], [[0]]))
    assert model_statistics_content(value) == before


def test_collect_initialization_failures_leave_statistics(precision):
    chain = make("Model", precision, [2, 1, 1, 1, 2, 1], 2)  # second stream: two components
    value = cls_of("ModelStatistics", precision).from_model(chain)
    frames = observation(precision, [[[1.0], [2.0]], [[3.0], [4.0]]])
    with raises_value("initialization requires single-component emissions"):
        value.collect_initialization(chain, frames, segmentation(precision, [2, 2], [0, 1],
                                                                 [[0, 1], [0, 0]]))
    chain = one_dimensional_model(precision, 2, 2)
    value = cls_of("ModelStatistics", precision).from_model(chain)
    value.collect_initialization(chain, observation(precision, [[[1.0], [2.0]]]),
                                 segmentation(precision, [1, 2], [0, 1], [[0, 1]]))
    before = model_statistics_content(value)
    with raises_value("initialization observations must be finite"):
        value.collect_initialization(chain, observation(precision, [[[1.0], [float("nan")]]]),
                                     segmentation(precision, [1, 2], [0, 1], [[0, 1]]))
    with raises_value("statistics stream or duration counts differ from the model"):
        value.collect_initialization(one_dimensional_model(precision, 2, 3),
                                     observation(precision, [[[1.0], [2.0]]]),
                                     segmentation(precision, [1, 2], [0, 1], [[0, 1]]))
    # A sum that overflows is caught by the final check of the accumulated copy.
    big = 3e38 if precision == "F32" else 1e308
    with raises_value("Gaussian statistics contain invalid values"):
        value.collect_initialization(chain, observation(precision, [[[big], [big]]]),
                                     segmentation(precision, [2, 2], [0, 1], [[0, 1]]))
    assert model_statistics_content(value) == before


def test_accumulation_argument_checks(precision):
    chain = one_dimensional_model(precision, 1, 1)
    value = cls_of("ModelStatistics", precision).from_model(chain)
    frames = observation(precision, [[[1.0]]])
    cut = segmentation(precision, [1], [0], [[0]])
    with pytest.raises(TypeError, match="model"):
        value.collect_initialization(one_dimensional_model(OTHER[precision], 1, 1), frames, cut)
    with pytest.raises(TypeError, match="segmentation"):
        value.collect_initialization(chain, frames, frames)
    freed = observation(precision, [[[1.0]]])
    freed.free()
    with consumed():
        value.collect_initialization(chain, freed, cut)
    with consumed():
        value.estimate_hsmm(chain, freed, cut, make("HsmmOptions", precision))
    with pytest.raises(TypeError, match="options"):
        value.estimate_hsmm(chain, freed, cut, make("GeometricOptions", precision))
    with pytest.raises(TypeError, match="options"):
        value.estimate_geometric(chain, frames, cut, make("HsmmOptions", precision))


def test_estimation_refuses_misshaped_statistics(precision):
    chain = one_dimensional_model(precision, 2, 2)
    frames = observation(precision, [[[1.0], [2.0], [3.0], [4.0]]])
    cut = segmentation(precision, [2, 4], [0, 1], [[0, 1]])
    options = make("HsmmOptions", precision)
    with raises_value("statistics stream or duration counts differ from the model"):
        make("ModelStatistics", precision).estimate_hsmm(chain, frames, cut, options)
    value = cls_of("ModelStatistics", precision).from_model(chain)
    value.set_stream(0, make("StreamStatistics", precision))
    before = model_statistics_content(value)
    with raises_value("statistics emission counts differ from the model"):
        value.estimate_hsmm(chain, frames, cut, options)
    with raises_value("statistics emission counts differ from the model"):
        value.estimate_geometric(chain, frames, cut, make("GeometricOptions", precision))
    assert model_statistics_content(value) == before


# ---- update -----------------------------------------------------------------------------

def options(precision, mode=0, duration_floor=None, emission_floor=None):
    value = make("UpdateOptions", precision)
    value.duration_mode = mode
    if duration_floor is not None:
        value.duration_variance_floor = duration_floor
    if emission_floor is not None:
        value.emission_variance_floor = emission_floor
    return value


def test_model_update_checks(precision):
    target = small_model(precision)
    before = model_content(target)
    statistics = cls_of("ModelStatistics", precision).from_model(target)
    with raises_value("invalid duration update mode"):
        target.update(statistics, options(precision, mode=2))
    # The mode is refused before the statistics and the floors are looked at.
    with raises_value("invalid duration update mode"):
        target.update(make("ModelStatistics", precision), options(precision, 2, -1.0))
    with raises_value("statistics stream or duration counts differ from the model"):
        target.update(make("ModelStatistics", precision), options(precision))
    with raises_value("variance floors must be finite and nonnegative"):
        target.update(statistics, options(precision, duration_floor=-1.0))
    with raises_value("variance floors must be finite and nonnegative"):
        target.update(statistics, options(precision, emission_floor=float("inf")))
    assert model_content(target) == before
    assert target.update(statistics, options(precision, 1, -0.0, -0.0)) is None
    assert model_content(target) == before  # nothing occupied: nothing re-estimated
    with pytest.raises(TypeError, match="statistics"):
        target.update(cls_of("ModelStatistics", OTHER[precision])(), options(precision))
    with pytest.raises(TypeError, match="options"):
        target.update(statistics, options(OTHER[precision]))


def test_update_closed_order(precision):
    target = small_model(precision)
    statistics = cls_of("ModelStatistics", precision).from_model(target)
    settings = options(precision)
    settings.free()
    with consumed():
        target.update(statistics, settings)
    statistics.free()
    target.free()
    with consumed():
        target.update(statistics, settings)


def test_model_update_reestimates_in_place(precision):
    chain = make("Model", precision, [2, 1, 2], 2)
    statistics = cls_of("ModelStatistics", precision).from_model(chain)
    frames = observation(precision, [[[1.0, 10.0], [3.0, 14.0], [5.0, -1.0], [7.0, -3.0],
                                      [9.0, -5.0]]])
    statistics.collect_initialization(chain, frames, segmentation(precision, [2, 5], [1, 0],
                                                                  [[0, 1]]))
    chain.update(statistics, options(precision))
    assert (chain.streams, chain.durations) == (1, 2)
    assert chain.stream(0).emission(0).means() == [2.0, 12.0]
    assert chain.stream(0).emission(0).variances() == [1.0, 4.0]
    assert chain.stream(0).emission(1).means() == [7.0, -3.0]
    assert chain.duration(0).values()[:2] == [3.0, rounded(precision, 0.05)]  # floored
    assert chain.duration(1).values()[:2] == [2.0, rounded(precision, 0.05)]


def test_stream_update(precision):
    target = stream(precision, 0.5, [gaussian(precision, [0.0], [1.0]),
                                     gaussian(precision, [5.0], [2.0])])
    before = stream_content(target)
    short = make("StreamStatistics", precision)
    with raises_value("invalid duration update mode"):
        target.update(short, options(precision, mode=7))
    with raises_value("stream statistics emission count differs"):
        target.update(short, options(precision))
    statistics = cls_of("StreamStatistics", precision).from_stream(target)
    with raises_value("variance floors must be finite and nonnegative"):
        target.update(statistics, options(precision, emission_floor=float("nan")))
    # The second mixture's statistics are invalid: the first is not changed either.
    statistics.set_emission(0, gaussian_statistics(precision, 1, [4.0], [20.0], [2.0], 2.0))
    statistics.set_emission(1, gaussian_statistics(precision, 1, [1.0], [-1.0], [1.0], 1.0))
    with raises_value("Gaussian statistics contain invalid values"):
        target.update(statistics, options(precision))
    assert stream_content(target) == before
    statistics.set_emission(1, make("GaussianStatistics", precision, 1, 1))
    assert target.update(statistics, options(precision)) is None
    assert target.weight() == [0.5]
    assert mixture_content(target.emission(0))[1:4] == ([1.0], [2.0], [6.0])
    assert mixture_content(target.emission(1)) == before[1][1]


def test_gaussian_update(precision):
    target = gaussian(precision, [1.0, 2.0, 3.0, 4.0], [1.0] * 4, floors=[0.0, 0.0, 0.0, 3.0],
                      weights=[0.5, 0.5])
    before = mixture_content(target)
    empty = make("GaussianStatistics", precision, 2, 2)
    assert target.update(empty, options(precision)) is False
    assert mixture_content(target) == before
    below = gaussian_statistics(precision, 2, [1.0] * 4, [1.0] * 4, [1.0, 1.0], 0.99e-7)
    assert target.update(below, options(precision)) is False
    with raises_value("invalid duration update mode"):
        target.update(empty, options(precision, mode=2))
    with raises_value("Gaussian statistics dimensions differ from the model"):
        target.update(make("GaussianStatistics", precision, 2, 1), options(precision))
    with raises_value("variance floors must be finite and nonnegative"):
        target.update(empty, options(precision, duration_floor=-1.0))
    assert mixture_content(target) == before
    # Component 0: mean (2, 3), variances (1, 0.001 -> emission floor 0.5); component 1 below
    # the threshold keeps its values but for nothing; weights are occupancy ratios.
    sums = [4.0, 6.0, 0.0, 0.0]
    squares = [10.0, 18.002, 0.0, 0.0]
    statistics = gaussian_statistics(precision, 2, sums, squares, [2.0, 0.0], 4.0)
    assert target.update(statistics, options(precision, emission_floor=0.5)) is True
    weights, means, variances = target.weights(), target.means(), target.variances()
    assert weights == [0.5, 0.5]
    assert means == [2.0, 3.0, 3.0, 4.0]
    assert variances[0] == 1.0 and variances[1] == 0.5 and variances[2:] == [1.0, 1.0]
    with pytest.raises(TypeError, match="statistics"):
        target.update(make("GaussianStatistics", OTHER[precision], 2, 2), options(precision))


@pytest.mark.parametrize("case", [
    # (mode, S1, S2, N, fixed mean, result, mean, variance before floors)
    (0, 10.0, 120.0, 2.0, -1, True, 5.0, 35.0),
    (0, 10.0, 120.0, 2.0, 4, True, 4.0, 36.0),
    (1, 0.25, 0.0, 1.0, -1, True, 4.0, 4.0),
    (1, 2.0, 0.0, 1.0, -1, True, 1.0, 1.0),
    (0, 10.0, 120.0, 0.0, -1, False, None, None),
    (1, 0.0, 0.0, 0.0, -1, False, None, None),
])
def test_duration_update(precision, case):
    mode, s1, s2, n, fixed, changed, mean, variance = case
    for floors in ((0.05, 0.0), (40.0, 0.0), (0.05, 50.0)):
        target = duration(precision, 7.0, 3.0, floors[1], (-1, -1, fixed))
        result = target.update(duration_statistics(precision, s1, s2, n),
                               options(precision, mode, floors[0]))
        assert result is changed
        if changed:
            expected = max(variance, rounded(precision, floors[0]), floors[1])
            assert target.values() == [mean, expected, floors[1]]
            assert target.constraints() == [-1, -1, fixed]
        else:
            assert target.values() == [7.0, 3.0, floors[1]]


def test_duration_update_failures(precision):
    target = duration(precision, 7.0, 3.0, 0.5)
    before = duration_content(target)
    nan = duration_statistics(precision, float("nan"), 0.0, 1.0)
    with raises_value("invalid duration update mode"):
        target.update(nan, options(precision, mode=2))  # before the statistics are looked at
    with raises_value("duration statistics must be finite and nonnegative"):
        target.update(nan, options(precision))
    with raises_value("duration statistics must be finite and nonnegative"):
        target.update(duration_statistics(precision, 1.0, 1.0, -1.0), options(precision))
    with raises_value("variance floors must be finite and nonnegative"):
        target.update(duration_statistics(precision, 1.0, 1.0, 1.0),
                      options(precision, emission_floor=-1.0))
    with raises_value("geometric update requires positive transition occupancy"):
        target.update(duration_statistics(precision, 0.0, 0.0, 1.0), options(precision, 1))
    big = 3e38 if precision == "F32" else 1e308
    with raises_value("duration update overflows"):
        target.update(duration_statistics(precision, big, big, 1e-6), options(precision))
    own = duration(precision, 7.0, 3.0, -1.0)
    with raises_value("duration variance floor must be finite and nonnegative"):
        own.update(duration_statistics(precision, 1.0, 1.0, 1.0), options(precision))
    assert duration_content(target) == before
    settings = options(precision)
    settings.free()
    with consumed():
        target.update(duration_statistics(precision, 1.0, 1.0, 1.0), settings)


# ---- initialisation against numpy -------------------------------------------------------

def test_initialization_matches_numpy(precision):
    """Per-state means and variances of the frames aligned to each state, and of the segment
    lengths of each duration state, as numpy computes them over the same alignment."""
    rng = np.random.default_rng(11)
    states, dims = 3, 3
    centres = np.array([[5.0, -40.0, 0.5], [-2.0, 3.0, 80.0], [12.0, 0.0, -7.0]])
    spreads = np.array([[1.0, 4.0, 0.05], [2.0, 0.5, 8.0], [1.5, 1e-3, 3.0]])
    chain = make("Model", precision, [states, 1, dims], states)
    statistics = cls_of("ModelStatistics", precision).from_model(chain)
    frames_of = [[] for _ in range(states)]
    lengths_of = [[] for _ in range(states)]
    for _ in range(25):
        order = rng.permutation(states)
        lengths = rng.integers(1, 9, size=states)
        values = np.concatenate([rng.normal(centres[s], spreads[s], size=(n, dims))
                                 for s, n in zip(order, lengths)])
        if precision == "F32":
            values = values.astype(np.float32).astype(np.float64)
        start = 0
        for s, n in zip(order, lengths):
            frames_of[s].append(values[start:start + n])
            lengths_of[s].append(n)
            start += n
        statistics.collect_initialization(
            chain, observation(precision, [values.tolist()]),
            segmentation(precision, np.cumsum(lengths).tolist(), order.tolist(),
                         [order.tolist()]))
    settings = options(precision, emission_floor=0.01, duration_floor=0.05)
    chain.update(statistics, settings)
    tolerance = 1e-9 if precision == "F64" else 1e-4
    for s in range(states):
        data = np.concatenate(frames_of[s])
        mixture = chain.stream(0).emission(s)
        assert np.allclose(mixture.means(), data.mean(axis=0), rtol=tolerance, atol=0)
        expected = np.maximum(data.var(axis=0), 0.01)
        assert np.allclose(mixture.variances(), expected, rtol=tolerance, atol=0)
        lengths = np.array(lengths_of[s], dtype=np.float64)
        mean, variance, _ = chain.duration(s).values()
        assert mean == pytest.approx(lengths.mean(), rel=tolerance)
        assert variance == pytest.approx(max(lengths.var(), rounded(precision, 0.05)),
                                         rel=tolerance)
    assert chain.stream(0).emission(2).variances()[1] == rounded(precision, 0.01)  # floored
