"""Statistics classes and their collections, the accumulation of segmented utterances, and the
`update` members that read them."""

import math

import numpy as np
import pytest

from conftest import cls, other
from model_support import (assert_closed, collection, consumed, duration, duration_content, fails,
                           gaussian, make, mixture_content, model_content, options, rounded,
                           small_model, stream, stream_content)
from training_support import (duration_statistics, gaussian_statistics,
                              gaussian_statistics_content, model_statistics_content,
                              observation, segmentation, stream_statistics_content, wrong_class)

POSITIVE = "mixture count and dimensions must be positive"
COUNTS = "statistics stream or duration counts differ from the model"
FLOORS = "variance floors must be finite and nonnegative"
MODE = "invalid duration update mode"
INVALID = "Gaussian statistics contain invalid values"
BOUNDARIES = "initialization boundaries are unordered or out of range"


def zeros(mixtures, dimensions):
    """The content of fresh Gaussian statistics of this shape."""
    size = mixtures * dimensions
    return mixtures, dimensions, [0.0] * size, [0.0] * size, [0.0] * mixtures, [0.0]


def big(precision):
    """A value whose sums overflow the precision."""
    return 3e38 if precision == "F32" else 1e308


# ---- the statistics classes and collections ---------------------------------------------------

def test_gaussian_statistics(precision):
    assert gaussian_statistics_content(make("GaussianStatistics", precision, 2, 3)) == zeros(2, 3)
    fails(POSITIVE, lambda: make("GaussianStatistics", precision, 0, 3),
          lambda: make("GaussianStatistics", precision, 2, 0))
    fails("dimensions exceed the legacy format",
          lambda: make("GaussianStatistics", precision, 2**31, 1))
    from_gaussian = cls("GaussianStatistics", precision).from_gaussian
    mixture = make("Gaussian", precision, 4, 2)
    assert gaussian_statistics_content(from_gaussian(mixture)) == zeros(4, 2)
    wrong_class("value", lambda: from_gaussian(make("Gaussian", other(precision), 1, 1)))
    mixture.free()
    fails("owner has been consumed", lambda: from_gaussian(mixture), error=RuntimeError)

    value = gaussian_statistics(precision, 1, [1.5], [2.5], [3.5], 4.5)
    before = gaussian_statistics_content(value)
    fails("state occupancy requires one scalar",  # before any shape check
          lambda: value.replace(3, [1.0], [], [], []),
          lambda: value.replace(3, [1.0] * 6, [1.0] * 6, [1.0, 1.0], [1.0, 2.0]))
    fails("Gaussian statistic shapes differ",
          lambda: value.replace(3, [0.0] * 5, [0.0] * 6, [1.0, 1.0], [1.0]),
          lambda: value.replace(3, [0.0] * 6, [0.0] * 7, [1.0, 1.0], [1.0]))
    fails(POSITIVE, lambda: value.replace(0, [], [], [1.0], [1.0]),
          lambda: value.replace(2, [0.0] * 2, [0.0] * 2, [], [1.0]))
    assert gaussian_statistics_content(value) == before
    # Any values are stored as given; clear keeps the shape.
    sums = [0.1, -0.2, 0.3, 0.4, 0.5, 0.6]
    value.replace(2, sums, [math.nan] * 6, [-1.0, 0.7, 2.0], [-3.0])
    content = gaussian_statistics_content(value)
    assert content[:3] == (3, 2, [rounded(precision, x) for x in sums])
    assert all(math.isnan(x) for x in content[3])
    assert content[4:] == ([-1.0, rounded(precision, 0.7), 2.0], [-3.0])
    value.clear()
    assert gaussian_statistics_content(value) == zeros(3, 2)
    assert value.free() is None
    assert_closed(value, "weighted_sums", "mixtures")


def test_gaussian_statistics_size_checks_AllocFail(precision):
    # 2^30 x 2^30 entries: past the address-space limit in F64, past the allocation cap in F32.
    fails("parameter allocation exceeds addressable memory" if precision == "F64"
          else "statistics allocation failed",
          lambda: make("GaussianStatistics", precision, 2**30, 2**30))
    fails("statistics allocation failed", lambda: make("GaussianStatistics", precision, 2**25,
                                                       2**25))


def test_duration_statistics(precision):
    value = make("DurationStatistics", precision)
    assert value.values() == [0.0, 0.0, 0.0]
    value.set_values([1.5, 2.25, 3.0])
    assert (value.value_sum, value.squared_sum, value.occupancy) == (1.5, 2.25, 3.0)
    fails("duration statistics require three values",
          *[lambda bad=bad: value.set_values(bad) for bad in ([1.0, 2.0], [1.0] * 4, [])])
    assert value.values() == [1.5, 2.25, 3.0]
    value.value_sum, value.occupancy = 0.1, -2.0
    assert (value.value_sum, value.occupancy) == (rounded(precision, 0.1), -2.0)
    value.occupancy = math.nan
    assert math.isnan(value.occupancy)
    copy = value.cloned()
    copy.value_sum = 9.0
    value.clear()
    assert value.values() == [0.0, 0.0, 0.0] and copy.value_sum == 9.0
    assert value.free() is None
    assert_closed(value, "occupancy")
    with consumed():
        value.occupancy = 1.0


def test_stream_statistics(precision):
    empty = make("StreamStatistics", precision)
    assert empty.emissions == 0 and empty.emission(0) is None
    fails("emission statistic index out of range",
          lambda: empty.set_emission(0, make("GaussianStatistics", precision, 1, 1)))
    wrong_class("value", lambda: empty.set_emission(0, make("GaussianStatistics",
                                                            other(precision), 1, 1)))
    from_stream = cls("StreamStatistics", precision).from_stream
    assert stream_statistics_content(from_stream(make("Stream", precision, 3, 2, 4))) == [
        zeros(2, 4)] * 3
    wrong_class("value", lambda: from_stream(make("Stream", other(precision), 0, 0, 0)))
    closed = make("Stream", precision, 1, 1, 1)
    closed.free()
    fails("owner has been consumed", lambda: from_stream(closed), error=RuntimeError)

    value = from_stream(make("Stream", precision, 2, 1, 1))
    wide = gaussian_statistics(precision, 2, [1.0] * 6, [2.0] * 6, [3.0] * 3, 4.0)
    value.set_emission(1, wide)  # another shape is stored as given
    wide.clear()
    value.emission(1).clear()  # neither the given nor the read object is the stored one
    assert gaussian_statistics_content(value.emission(1)) == (
        3, 2, [1.0] * 6, [2.0] * 6, [3.0] * 3, [4.0])
    entries = make("GaussianStatisticsCollection", precision)
    value.replace(entries)
    assert value.emissions == 0
    for index in range(5):
        entries.push(gaussian_statistics(precision, 1, [index], [0.0], [1.0], 1.0))
    value.replace(entries)
    entries.clear()
    assert value.emissions == 5 and value.emission(4).weighted_sums() == [4.0]
    value.clear()
    assert stream_statistics_content(value) == [zeros(1, 1)] * 5 and value.emission(7) is None
    assert value.free() is None
    assert_closed(value, "emissions")


def element(kind, precision, tag):
    if kind == "Gaussian":
        return gaussian_statistics(precision, 1, [tag], [tag], [tag], tag)
    if kind == "Duration":
        return duration_statistics(precision, tag, tag, tag)
    value = make("StreamStatistics", precision)
    value.replace(collection("GaussianStatistics", precision, [element("Gaussian", precision,
                                                                       tag)]))
    return value


CONTENT = {"Gaussian": gaussian_statistics_content, "Duration": lambda value: value.values(),
           "Stream": stream_statistics_content}


@pytest.mark.parametrize("kind", ["Gaussian", "Stream", "Duration"])
def test_statistics_collections(kind, precision):
    tagged = lambda tag: CONTENT[kind](element(kind, precision, tag))  # noqa: E731
    value = make(kind + "StatisticsCollection", precision)
    assert value.length == 0 and value.is_empty() and value.get(0) is None
    message = ("duration statistic index out of range" if kind == "Duration"
               else "collection index out of range")
    fails(message, lambda: value.replace(0, element(kind, precision, 1.0)))
    first, second = element(kind, precision, 1.0), element(kind, precision, 2.0)
    value.push(first)
    value.push(second)
    second.clear()
    value.get(1).clear()  # neither the pushed nor the read object is the stored one
    assert value.length == 2 and not value.is_empty() and CONTENT[kind](value.get(1)) == tagged(2.0)
    fails(message, lambda: value.replace(2, first))
    wrong_class("value", lambda: value.push(element(kind, other(precision), 1.0)))
    first.free()
    fails("owner has been consumed", lambda: value.push(first), lambda: value.replace(0, first),
          error=RuntimeError)
    value.replace(0, element(kind, precision, 5.0))
    assert [CONTENT[kind](value.get(i)) for i in range(2)] == [tagged(5.0), tagged(2.0)]
    if kind == "Gaussian":  # entries of different shapes stand side by side
        value.push(make("GaussianStatistics", precision, 3, 2))
        assert (value.get(2).mixtures, value.get(2).dimensions) == (3, 2)
    copy = value.cloned()
    value.clear()
    assert value.length == 0 and not value.is_closed and copy.length >= 2
    assert value.free() is None
    assert_closed(value, "length")


def test_model_statistics(precision):
    empty = make("ModelStatistics", precision)
    assert (empty.streams, empty.durations, empty.stream(0), empty.duration(0)) == (0, 0, None,
                                                                                    None)
    fails("stream statistic index out of range",
          lambda: empty.set_stream(0, make("StreamStatistics", precision)))
    fails("duration statistic index out of range",
          lambda: empty.set_duration(0, make("DurationStatistics", precision)))
    fails(None, lambda: empty.stream(-1), error=OverflowError)
    wrong_class("index", lambda: empty.stream(1.0))

    from_model = cls("ModelStatistics", precision).from_model
    layout = make("Model", precision, [3, 2, 2, 1, 1, 3], 5)  # two streams
    # Each entry follows its own mixture's shape.
    second = layout.stream(1)
    second.set_emission(0, gaussian(precision, [0.0] * 2, [1.0] * 2))
    layout.set_stream(1, second)
    value = from_model(layout)
    assert model_statistics_content(value) == ([[zeros(2, 2)] * 3, [zeros(1, 2)]],
                                               [[0.0] * 3] * 5)
    wrong_class("value", lambda: from_model(make("Model", other(precision), [], 0)))
    layout.free()
    fails("owner has been consumed", lambda: from_model(layout), error=RuntimeError)

    # Readers and writers copy.
    read = value.stream(1)
    read.set_emission(0, gaussian_statistics(precision, 2, [1.0] * 2, [1.0] * 2, [1.0], 1.0))
    value.set_stream(0, read)
    read.replace(make("GaussianStatisticsCollection", precision))
    assert value.stream(1).emission(0).weighted_sums() == [0.0] * 2
    assert value.stream(0).emissions == 1 and value.stream(0).emission(0).weighted_sums() == [
        1.0] * 2
    fails("stream statistic index out of range", lambda: value.set_stream(2, read))
    fails("duration statistic index out of range",
          lambda: value.set_duration(5, make("DurationStatistics", precision)))
    value.set_duration(2, duration_statistics(precision, 1.0, 2.0, 3.0))
    assert value.duration(2).values() == [1.0, 2.0, 3.0]
    assert value.stream(2) is None and value.duration(5) is None
    value.replace(collection("StreamStatistics", precision,
                             [make("StreamStatistics", precision)] * 3),
                  collection("DurationStatistics", precision,
                             [duration_statistics(precision, 4.0, 5.0, 6.0)]))
    copy = value.cloned()
    value.clear()
    assert (value.streams, value.durations) == (3, 1)
    assert (value.duration(0).values(), copy.duration(0).values()) == ([0.0] * 3, [4.0, 5.0, 6.0])
    assert value.free() is None
    assert_closed(value, "streams")


# ---- accumulation -------------------------------------------------------------------------

def line(precision, emissions, states, components=1):
    """A model of one one-dimensional stream."""
    return make("Model", precision, [emissions, components, 1], states)


def frames_of(precision, *values):
    return observation(precision, [[[v] for v in values]])


def test_collect_initialization_edges(precision):
    chain = line(precision, 3, 3)
    value = cls("ModelStatistics", precision).from_model(chain)
    frames = frames_of(precision, 1.0, 2.0, 3.0, 4.0, 5.0)
    value.collect_initialization(chain, frames, segmentation(precision, [2, 2, 5], [0, 1, 2],
                                                             [[0, 1, 2]]))
    assert value.duration(1).values() == [0.0, 0.0, 1.0]  # an empty segment is still counted
    assert value.stream(0).emission(1).state_occupancy() == [0.0]
    value.clear()
    value.collect_initialization(chain, frames, segmentation(precision, [2, 4], [0, 1], [[0, 1]]))
    assert value.stream(0).emission(1).weighted_sums() == [7.0]  # frame 4 belongs to no one


def test_accumulation_failures_leave_statistics(precision):
    """Every refused accumulation leaves the statistics bit for bit as they were."""
    chain = line(precision, 2, 2)
    value = cls("ModelStatistics", precision).from_model(chain)
    cut = segmentation(precision, [1, 2], [0, 1], [[0, 1]])
    value.collect_initialization(chain, frames_of(precision, 1.0, 2.0), cut)
    before = model_statistics_content(value)
    two_streams = make("Model", precision, [2, 1, 1, 1, 2, 1], 2)  # the second has 2 components
    collect = lambda *args: lambda: value.collect_initialization(*args)  # noqa: E731
    fails(BOUNDARIES, collect(chain, frames_of(precision, 1.0, 2.0),
                              segmentation(precision, [2, 1], [0, 1], [[0, 1]])),
          collect(chain, frames_of(precision, 1.0, 2.0), segmentation(precision, [3], [0], [[0]])))
    fails("initialization requires single-component emissions",
          lambda: cls("ModelStatistics", precision).from_model(two_streams).collect_initialization(
              two_streams, observation(precision, [[[1.0], [2.0]], [[3.0], [4.0]]]),
              segmentation(precision, [2, 2], [0, 1], [[0, 1], [0, 0]])))
    fails("initialization observations must be finite",
          collect(chain, frames_of(precision, 1.0, math.nan), cut))
    fails(COUNTS, collect(line(precision, 2, 3), frames_of(precision, 1.0, 2.0), cut))
    # A sum that overflows is caught by the final check of the accumulated copy.
    fails(INVALID, collect(chain, frames_of(precision, big(precision), big(precision)),
                           segmentation(precision, [2, 2], [0, 1], [[0, 1]])))
    fails(COUNTS, lambda: make("ModelStatistics", precision).estimate_hsmm(
        chain, frames_of(precision, 1.0, 2.0), cut, make("HsmmOptions", precision)))
    value.set_stream(0, make("StreamStatistics", precision))  # stored; refused at use
    before = model_statistics_content(value)
    fails("statistics emission counts differ from the model",
          lambda: value.estimate_hsmm(chain, frames_of(precision, 1.0, 2.0), cut,
                                      make("HsmmOptions", precision)),
          lambda: value.estimate_geometric(chain, frames_of(precision, 1.0, 2.0), cut,
                                           make("GeometricOptions", precision)))
    assert model_statistics_content(value) == before


def test_initialization_matches_numpy(precision):
    """Per-state means and variances of the frames aligned to each state, and of the segment
    lengths of each duration state, as numpy computes them over the same alignment."""
    rng = np.random.default_rng(11)
    states, dims = 3, 3
    centres = np.array([[5.0, -40.0, 0.5], [-2.0, 3.0, 80.0], [12.0, 0.0, -7.0]])
    spreads = np.array([[1.0, 4.0, 0.05], [2.0, 0.5, 8.0], [1.5, 1e-3, 3.0]])
    chain = make("Model", precision, [states, 1, dims], states)
    statistics = cls("ModelStatistics", precision).from_model(chain)
    frames_by_state, lengths_by_state = [[] for _ in range(states)], [[] for _ in range(states)]
    for _ in range(25):
        order, lengths = rng.permutation(states), rng.integers(1, 9, size=states)
        values = np.concatenate([rng.normal(centres[s], spreads[s], size=(n, dims))
                                 for s, n in zip(order, lengths)])
        if precision == "F32":
            values = values.astype(np.float32).astype(np.float64)
        laws = (order + 1) % states  # duration states apart from the emission states
        for s, law, n, start in zip(order, laws, lengths, np.cumsum(lengths) - lengths):
            frames_by_state[s].append(values[start:start + n])
            lengths_by_state[law].append(n)
        statistics.collect_initialization(
            chain, observation(precision, [values.tolist()]),
            segmentation(precision, np.cumsum(lengths).tolist(), laws.tolist(), [order.tolist()]))
    chain.update(statistics, options("UpdateOptions", precision, emission_variance_floor=0.01,
                                     duration_variance_floor=0.05))
    assert (chain.streams, chain.durations) == (1, states)
    tolerance = 1e-9 if precision == "F64" else 1e-4
    for s in range(states):
        data, mixture = np.concatenate(frames_by_state[s]), chain.stream(0).emission(s)
        assert np.allclose(mixture.means(), data.mean(axis=0), rtol=tolerance, atol=0)
        assert np.allclose(mixture.variances(), np.maximum(data.var(axis=0), 0.01),
                           rtol=tolerance, atol=0)
        lengths = np.array(lengths_by_state[s], dtype=np.float64)
        mean, variance, _ = chain.duration(s).values()
        assert mean == pytest.approx(lengths.mean(), rel=tolerance)
        assert variance == pytest.approx(max(lengths.var(), rounded(precision, 0.05)),
                                         rel=tolerance)
    assert chain.stream(0).emission(2).variances()[1] == rounded(precision, 0.01)  # floored


# ---- update -------------------------------------------------------------------------------

def two_mixtures(precision):
    return stream(precision, 0.5, [gaussian(precision, [0.0], [1.0]),
                                   gaussian(precision, [5.0], [2.0])])


def split_mixture(precision):
    return gaussian(precision, [1.0, 2.0, 3.0, 4.0], [1.0] * 4, floors=[0.0, 0.0, 0.0, 3.0],
                    weights=[0.5, 0.5])


def fresh(precision, receiver):
    """Empty statistics shaped for `receiver`."""
    kind = type(receiver).__name__[:-3]
    return getattr(cls(kind + "Statistics", precision), "from_" + kind.lower())(receiver)


def invalid_second(precision, receiver):
    value = fresh(precision, receiver)
    value.set_emission(0, gaussian_statistics(precision, 1, [4.0], [20.0], [2.0], 2.0))
    value.set_emission(1, gaussian_statistics(precision, 1, [1.0], [-1.0], [1.0], 1.0))
    return value


def sums(*values):
    return lambda precision, receiver: duration_statistics(precision, *values)


def empty(kind, *shape):
    return lambda precision, receiver: make(kind + "Statistics", precision, *shape)


def law(precision, floor=0.5):
    return duration(precision, 7.0, 3.0, floor)


CONTENTS = {"Model": model_content, "Stream": stream_content, "Gaussian": mixture_content,
            "Duration": duration_content}
BAD_SUMS = "duration statistics must be finite and nonnegative"
UPDATE_REFUSALS = [  # receiver, statistics, update options, message: the first check that fails
    (small_model, empty("Model"), dict(duration_mode=2, duration_variance_floor=-1.0), MODE),
    (small_model, empty("Model"), {}, COUNTS),
    (small_model, fresh, dict(duration_variance_floor=-1.0), FLOORS),
    (small_model, fresh, dict(emission_variance_floor=math.inf), FLOORS),
    (two_mixtures, empty("Stream"), dict(duration_mode=7), MODE),
    (two_mixtures, empty("Stream"), {}, "stream statistics emission count differs"),
    (two_mixtures, fresh, dict(emission_variance_floor=math.nan), FLOORS),
    (two_mixtures, invalid_second, {}, INVALID),  # the valid first mixture is not changed either
    (split_mixture, fresh, dict(duration_mode=2), MODE),
    (split_mixture, empty("Gaussian", 2, 1), {},
     "Gaussian statistics dimensions differ from the model"),
    (split_mixture, fresh, dict(duration_variance_floor=-1.0), FLOORS),
    (law, sums(math.nan, 0.0, 1.0), dict(duration_mode=2), MODE),  # before the statistics
    (law, sums(math.nan, 0.0, 1.0), {}, BAD_SUMS),
    (law, sums(1.0, 1.0, -1.0), {}, BAD_SUMS),
    (law, sums(1.0, 1.0, 1.0), dict(emission_variance_floor=-1.0), FLOORS),
    (law, sums(0.0, 0.0, 1.0), dict(duration_mode=1),
     "geometric update requires positive transition occupancy"),
    (law, lambda p, r: duration_statistics(p, big(p), big(p), 1e-6), {},
     "duration update overflows"),
    (lambda p: law(p, -1.0), sums(1.0, 1.0, 1.0), {},
     "duration variance floor must be finite and nonnegative"),
]


@pytest.mark.parametrize("receiver,statistics,settings,message", UPDATE_REFUSALS)
def test_update_refusals(precision, receiver, statistics, settings, message):
    target = receiver(precision)
    content = CONTENTS[type(target).__name__[:-3]]
    before = content(target)
    fails(message, lambda: target.update(statistics(precision, target),
                                         options("UpdateOptions", precision, **settings)))
    assert content(target) == before and not target.is_closed


def test_update_results(precision):
    target = small_model(precision)
    before = model_content(target)
    # Nothing occupied: nothing re-estimated; floors of -0.0 are accepted.
    assert target.update(fresh(precision, target), options(
        "UpdateOptions", precision, duration_mode=1, duration_variance_floor=-0.0,
        emission_variance_floor=-0.0)) is None
    assert model_content(target) == before

    target = two_mixtures(precision)
    before = stream_content(target)
    statistics = fresh(precision, target)
    statistics.set_emission(0, gaussian_statistics(precision, 1, [4.0], [20.0], [2.0], 2.0))
    assert target.update(statistics, make("UpdateOptions", precision)) is None
    assert target.weight() == [0.5]
    assert mixture_content(target.emission(0))[1:4] == ([1.0], [2.0], [6.0])
    assert mixture_content(target.emission(1)) == before[1][1]  # unoccupied: unchanged

    mixture = split_mixture(precision)
    before = mixture_content(mixture)
    settings = make("UpdateOptions", precision)
    assert mixture.update(fresh(precision, mixture), settings) is False
    below = gaussian_statistics(precision, 2, [1.0] * 4, [1.0] * 4, [1.0, 1.0], 0.99e-7)
    assert mixture.update(below, settings) is False and mixture_content(mixture) == before
    # Component 0: mean (2, 3), variances (1, 0.001 -> emission floor 0.5); component 1 is
    # unoccupied and keeps its values; weights are occupancy ratios.
    occupied = gaussian_statistics(precision, 2, [4.0, 6.0, 0.0, 0.0], [10.0, 18.002, 0.0, 0.0],
                                   [2.0, 0.0], 4.0)
    assert mixture.update(occupied, options("UpdateOptions", precision,
                                            emission_variance_floor=0.5)) is True
    assert (mixture.weights(), mixture.means(), mixture.variances()) == (
        [0.5, 0.5], [2.0, 3.0, 3.0, 4.0], [1.0, 0.5, 1.0, 1.0])


@pytest.mark.parametrize("mode,s1,s2,n,fixed,changed,mean,variance", [
    (0, 10.0, 120.0, 2.0, -1, True, 5.0, 35.0),
    (0, 10.0, 120.0, 2.0, 4, True, 4.0, 36.0),
    (1, 0.25, 0.0, 1.0, -1, True, 4.0, 4.0),
    (1, 2.0, 0.0, 1.0, -1, True, 1.0, 1.0),  # the mean never falls below 1
    (0, 10.0, 120.0, 0.0, -1, False, None, None),
    (1, 0.0, 0.0, 0.0, -1, False, None, None),
])
def test_duration_update(precision, mode, s1, s2, n, fixed, changed, mean, variance):
    """Mean and variance before the floors: the options' floor F and the duration's own."""
    for floor, own in ((0.05, 0.0), (40.0, 0.0), (0.05, 50.0)):
        target = duration(precision, 7.0, 3.0, own, (-1, -1, fixed))
        assert target.update(duration_statistics(precision, s1, s2, n), options(
            "UpdateOptions", precision, duration_mode=mode,
            duration_variance_floor=floor)) is changed
        expected = ([mean, max(variance, rounded(precision, floor), own), own] if changed
                    else [7.0, 3.0, own])
        assert duration_content(target) == (expected, [-1, -1, fixed])
