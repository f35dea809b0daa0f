"""HSMM and geometric expectations: copies of their parts, unchecked radius and slope, and
their accumulation into model statistics over the windows and bands they describe."""

import math

import pytest

import tarvek_rs
from tarvek_rs import (DurationPosteriors, MixturePosteriorCollection, MixturePosteriors,
                       TransitionPosteriors)
from model_support import consumed, make, raises_value
from training_support import (gaussian_statistics_content, model_statistics_content,
                              observation, segmentation)

OTHER = {"F32": "F64", "F64": "F32"}


def cls(name, precision):
    return getattr(tarvek_rs, name + precision)


def mixture_list(frames, states, values):
    """One stream, one component, every cell present with the given posteriors."""
    collection = MixturePosteriorCollection()
    collection.push(MixturePosteriors(frames, states, b"\x01" * (frames * states),
                                      list(range(frames * states + 1)), values))
    return collection


def occupancies(precision, frames, states, values):
    return make("StateOccupancies", precision, frames, states, values)


# Three frames x = 1, 2, 3; segments [0, 1) and [1, 3); one state per position.
STATES = [1.0, 0.0, 0.5, 0.5, 0.0, 1.0]


def hsmm_case(precision, radius):
    chain = make("Model", precision, [2, 1, 1], 2)
    frames = observation(precision, [[[1.0], [2.0], [3.0]]])
    cut = segmentation(precision, [1, 3], [0, 1], [[0, 1]])
    # Cell (0, 0): durations 1 and 2 at 0.5 each; cell (1, 1): duration 2 for sure.
    durations = DurationPosteriors(3, 2, b"\x01\x00\x00\x01\x00\x00", [1, 0, 0, 2, 0, 0],
                                   [0, 2, 2, 2, 3, 3, 3], [0.5, 0.5, 1.0])
    expectation = make("HsmmExpectation", precision, durations,
                       occupancies(precision, 3, 2, STATES), mixture_list(3, 2, STATES), radius)
    return chain, frames, cut, expectation


@pytest.mark.parametrize("radius, emissions, durations", [
    # Radius 0: position 0 sees frames 0-1, position 1 frames 1-2, each at its own position.
    (0.0, [(1.5, 2.0, 3.0), (1.5, 4.0, 11.0)], [[1.5, 2.5, 1.0], [2.0, 4.0, 1.0]]),
    # Radius 1: both windows cover both positions, so the boundary frame 1 counts twice.
    (1.0, [(2.0, 3.0, 5.0), (2.0, 5.0, 13.0)], [[1.5, 2.5, 1.0], [4.0, 8.0, 2.0]]),
])
def test_collect_hsmm_sums_over_windows(precision, radius, emissions, durations):
    chain, frames, cut, expectation = hsmm_case(precision, radius)
    statistics = cls("ModelStatistics", precision).from_model(chain)
    assert statistics.collect_hsmm(chain, frames, cut, expectation) is None
    for state, (occupancy, sums, squares) in enumerate(emissions):
        assert gaussian_statistics_content(statistics.stream(0).emission(state)) == \
            (1, 1, [sums], [squares], [occupancy], [occupancy])
    assert [statistics.duration(state).values() for state in range(2)] == durations
    statistics.clear()
    assert model_statistics_content(statistics) == \
        model_statistics_content(cls("ModelStatistics", precision).from_model(chain))


def test_collect_geometric_sums_over_band(precision):
    chain = make("Model", precision, [2, 1, 1], 2)
    frames = observation(precision, [[[1.0], [2.0], [3.0], [4.0]]])
    cut = segmentation(precision, [2, 4], [0, 1], [[0, 1]])
    states = [1.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 1.0]
    advances = [0.0, 0.0, 0.5, 0.25, 0.125, 1.0, 0.0, 0.0]
    transitions = TransitionPosteriors(4, 2, b"\x01" * 8,
                                       [x for a in advances for x in (1.0 - a, a)])
    expectation = make("GeometricExpectation", precision, transitions,
                       occupancies(precision, 4, 2, states), mixture_list(4, 2, states), 1.0)
    statistics = cls("ModelStatistics", precision).from_model(chain)
    statistics.collect_geometric(chain, frames, cut, expectation)
    # Only the inner frames 1 and 2 count; the squared sum is never touched.
    assert [statistics.duration(state).values() for state in range(2)] == \
        [[0.625, 0.0, 1.0], [1.25, 0.0, 1.0]]
    assert gaussian_statistics_content(statistics.stream(0).emission(0)) == \
        (1, 1, [2.0], [4.0], [1.0], [1.0])
    assert gaussian_statistics_content(statistics.stream(0).emission(1)) == \
        (1, 1, [3.0], [9.0], [1.0], [1.0])
    before = model_statistics_content(statistics)
    expectation.pruning_slope = -1.0
    with raises_value("invalid transition dimensions or pruning slope"):
        statistics.collect_geometric(chain, frames, cut, expectation)
    expectation.pruning_slope = 1.0
    expectation.set_transitions(TransitionPosteriors(3, 2, b"\x00" * 6, [0.0] * 12))
    with raises_value("invalid transition dimensions or pruning slope"):
        statistics.collect_geometric(chain, frames, cut, expectation)
    assert model_statistics_content(statistics) == before


def test_collect_hsmm_failures_leave_statistics(precision):
    chain, frames, cut, expectation = hsmm_case(precision, 0.0)
    statistics = cls("ModelStatistics", precision).from_model(chain)
    statistics.collect_hsmm(chain, frames, cut, expectation)
    before = model_statistics_content(statistics)
    for radius in (-1.0, float("nan")):
        expectation.state_radius = radius
        with raises_value("state pruning radius must be finite and nonnegative"):
            statistics.collect_hsmm(chain, frames, cut, expectation)
    expectation.state_radius = 0.0
    # Parts of other shapes are stored; the accumulation refuses them.
    expectation.set_states(occupancies(precision, 2, 2, [0.0] * 4))
    with raises_value("expectation dimensions or stream counts differ"):
        statistics.collect_hsmm(chain, frames, cut, expectation)
    expectation.set_states(occupancies(precision, 3, 2, STATES))
    expectation.set_mixtures(mixture_list(3, 1, [1.0] * 3))
    with raises_value("mixture posterior dimensions differ"):
        statistics.collect_hsmm(chain, frames, cut, expectation)
    expectation.set_mixtures(mixture_list(3, 2, STATES))
    expectation.set_durations(DurationPosteriors(2, 2, b"\x00" * 4, [0] * 4, [0] * 5, []))
    with raises_value("duration posterior dimensions differ"):
        statistics.collect_hsmm(chain, frames, cut, expectation)
    # A posterior that overflows the sums is caught by the final check of the copy.
    big = 3e38 if precision == "F32" else 1e308
    expectation.set_durations(hsmm_case(precision, 0.0)[3].durations())
    expectation.set_states(occupancies(precision, 3, 2, [big] * 6))
    with raises_value("Gaussian statistics contain invalid values"):
        statistics.collect_hsmm(chain, frames, cut, expectation)
    assert model_statistics_content(statistics) == before


def test_collect_argument_checks(precision):
    chain, frames, cut, expectation = hsmm_case(precision, 0.0)
    statistics = cls("ModelStatistics", precision).from_model(chain)
    with pytest.raises(TypeError, match="model"):
        statistics.collect_hsmm(make("Model", OTHER[precision], [], 0), frames, cut, expectation)
    with pytest.raises(TypeError, match="expectation"):
        statistics.collect_geometric(chain, frames, cut, expectation)
    frames.free()
    with pytest.raises(TypeError, match="expectation"):  # every class check comes first
        statistics.collect_hsmm(chain, frames, cut, cut)
    with consumed():
        statistics.collect_hsmm(chain, frames, cut, expectation)


def test_expectation_parts_are_copies(precision):
    chain, frames, cut, expectation = hsmm_case(precision, 0.0)
    source = occupancies(precision, 3, 2, STATES)
    built = make("HsmmExpectation", precision, expectation.durations(), source,
                 expectation.mixtures(), 0.0)
    source.free()
    read = built.states()
    read.free()
    assert built.states().values() == STATES
    collection = mixture_list(3, 2, STATES)
    built.set_mixtures(collection)
    collection.clear()
    assert built.mixtures().length == 1
    durations = built.durations()
    durations.free()
    assert built.durations().get(0, 0).probabilities() == [0.5, 0.5]
    copy = built.cloned()
    built.state_radius = 3.0
    assert copy.state_radius == 0.0
    statistics = cls("ModelStatistics", precision).from_model(chain)
    statistics.collect_hsmm(chain, frames, cut, copy)
    assert copy.states().values() == STATES  # the accumulation only reads it


def test_radius_and_slope_are_stored_unchecked(precision):
    _, _, _, expectation = hsmm_case(precision, 0.1)
    assert expectation.state_radius == (0.10000000149011612 if precision == "F32" else 0.1)
    for value in (-1.0, float("inf")):
        expectation.state_radius = value
        assert expectation.state_radius == value
    expectation.state_radius = float("nan")
    assert math.isnan(expectation.state_radius)
    with pytest.raises(TypeError, match="value"):
        expectation.state_radius = "wide"
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del expectation.state_radius
    geometric = make("GeometricExpectation", precision,
                     TransitionPosteriors(1, 1, b"\x00", [0.0, 0.0]),
                     occupancies(precision, 1, 1, [1.0]), MixturePosteriorCollection(), -2.5)
    assert geometric.pruning_slope == -2.5
    assert geometric.transitions().frames == 1 and geometric.mixtures().length == 0


def test_expectation_constructor_checks(precision):
    durations = DurationPosteriors(1, 1, b"\x00", [0], [0, 0], [])
    states = occupancies(precision, 1, 1, [1.0])
    mixtures = MixturePosteriorCollection()
    with pytest.raises(TypeError, match="states"):
        make("GeometricExpectation", precision, TransitionPosteriors(1, 1, b"\x00", [0.0, 0.0]),
             occupancies(OTHER[precision], 1, 1, [1.0]), mixtures, 1.0)
    with pytest.raises(TypeError, match="durations"):
        make("HsmmExpectation", precision, states, states, mixtures, 1.0)
    freed = MixturePosteriorCollection()
    freed.free()
    with consumed():
        make("HsmmExpectation", precision, durations, states, freed, 1.0)
    durations.free()
    with pytest.raises(TypeError, match="state_radius"):  # converted before any closed check
        make("HsmmExpectation", precision, durations, states, mixtures, "wide")
    with consumed():
        make("HsmmExpectation", precision, durations, states, mixtures, 1.0)


@pytest.mark.parametrize("kind", ["HsmmExpectation", "GeometricExpectation"])
def test_expectation_closing(precision, kind):
    first = (DurationPosteriors(1, 1, b"\x00", [0], [0, 0], []) if kind == "HsmmExpectation"
             else TransitionPosteriors(1, 1, b"\x00", [0.0, 0.0]))
    value = make(kind, precision, first, occupancies(precision, 1, 1, [1.0]),
                 MixturePosteriorCollection(), 1.0)
    assert value.free() is None and value.free() is None
    assert value.is_closed
    with consumed():
        value.cloned()
    with consumed():
        value.set_states(occupancies(precision, 1, 1, [1.0]))
    with consumed():
        value.states()
