"""HSMM and geometric expectations: copies of their parts, unchecked radius and slope, and their
accumulation into model statistics over the windows and bands they describe."""

import math

import pytest

from conftest import cls, other
from model_support import assert_closed, fails, make, rounded
from tarvek_rs import (DurationPosteriors, MixturePosteriorCollection, MixturePosteriors,
                       TransitionPosteriors)
from training_support import (gaussian_statistics_content, model_statistics_content,
                              observation, segmentation, wrong_class)

# Three frames x = 1, 2, 3; segments [0, 1) and [1, 3); one state per position.
STATES = [1.0, 0.0, 0.5, 0.5, 0.0, 1.0]
RADIUS = "state pruning radius must be finite and nonnegative"


def mixture_list(frames, states, values):
    """One stream, one component, every cell present with the given posteriors."""
    collection = MixturePosteriorCollection()
    collection.push(MixturePosteriors(frames, states, b"\x01" * (frames * states),
                                      list(range(frames * states + 1)), values))
    return collection


def occupancies(precision, frames, states, values):
    return make("StateOccupancies", precision, frames, states, values)


def durations():
    """Cell (0, 0): durations 1 and 2 at 0.5 each; cell (1, 1): duration 2 for sure."""
    return DurationPosteriors(3, 2, b"\x01\x00\x00\x01\x00\x00", [1, 0, 0, 2, 0, 0],
                              [0, 2, 2, 2, 3, 3, 3], [0.5, 0.5, 1.0])


def hsmm_case(precision, radius=0.0):
    chain = make("Model", precision, [2, 1, 1], 2)
    expectation = make("HsmmExpectation", precision, durations(),
                       occupancies(precision, 3, 2, STATES), mixture_list(3, 2, STATES), radius)
    return (chain, observation(precision, [[[1.0], [2.0], [3.0]]]),
            segmentation(precision, [1, 3], [0, 1], [[0, 1]]), expectation,
            cls("ModelStatistics", precision).from_model(chain))


@pytest.mark.parametrize("radius, emissions, duration_sums", [
    # Radius 0: position 0 sees frames 0-1, position 1 frames 1-2, each at its own position.
    (0.0, [(1.5, 2.0, 3.0), (1.5, 4.0, 11.0)], [[1.5, 2.5, 1.0], [2.0, 4.0, 1.0]]),
    # Radius 1: both windows cover both positions, so the boundary frame 1 counts twice.
    (1.0, [(2.0, 3.0, 5.0), (2.0, 5.0, 13.0)], [[1.5, 2.5, 1.0], [4.0, 8.0, 2.0]]),
])
def test_collect_hsmm_sums_over_windows(precision, radius, emissions, duration_sums):
    chain, frames, cut, expectation, statistics = hsmm_case(precision, radius)
    assert statistics.collect_hsmm(chain, frames, cut, expectation) is None
    for state, (occupancy, sums, squares) in enumerate(emissions):
        assert gaussian_statistics_content(statistics.stream(0).emission(state)) == \
            (1, 1, [sums], [squares], [occupancy], [occupancy])
    assert [statistics.duration(state).values() for state in range(2)] == duration_sums
    assert expectation.states().values() == STATES  # the accumulation only reads it
    statistics.clear()
    assert model_statistics_content(statistics) == model_statistics_content(
        cls("ModelStatistics", precision).from_model(chain))


def test_collect_geometric_sums_over_band(precision):
    chain = make("Model", precision, [2, 1, 1], 2)
    frames = observation(precision, [[[1.0], [2.0], [3.0], [4.0]]])
    cut = segmentation(precision, [2, 4], [0, 1], [[0, 1]])
    states = [1.0, 0.0, 1.0, 0.0, 0.0, 1.0, 0.0, 1.0]
    advances = [0.0, 0.0, 0.5, 0.25, 0.125, 1.0, 0.0, 0.0]
    transitions = TransitionPosteriors(4, 2, b"\x01" * 8,
                                       [x for a in advances for x in (1.0 - a, a)])
    expectation = make("GeometricExpectation", precision, transitions,
                       occupancies(precision, 4, 2, states), mixture_list(4, 2, states), -1.0)
    assert expectation.pruning_slope == -1.0  # stored as given, refused at use
    statistics = cls("ModelStatistics", precision).from_model(chain)
    message = "invalid transition dimensions or pruning slope"
    fails(message, lambda: statistics.collect_geometric(chain, frames, cut, expectation))
    expectation.pruning_slope = 1.0
    statistics.collect_geometric(chain, frames, cut, expectation)
    # Only the inner frames 1 and 2 count; the squared sum is never touched.
    assert [statistics.duration(state).values() for state in range(2)] == \
        [[0.625, 0.0, 1.0], [1.25, 0.0, 1.0]]
    assert [gaussian_statistics_content(statistics.stream(0).emission(s)) for s in range(2)] == \
        [(1, 1, [2.0], [4.0], [1.0], [1.0]), (1, 1, [3.0], [9.0], [1.0], [1.0])]
    before = model_statistics_content(statistics)
    expectation.set_transitions(TransitionPosteriors(3, 2, b"\x00" * 6, [0.0] * 12))
    fails(message, lambda: statistics.collect_geometric(chain, frames, cut, expectation))
    assert model_statistics_content(statistics) == before


def test_collect_hsmm_failures_leave_statistics(precision):
    chain, frames, cut, expectation, statistics = hsmm_case(precision)
    statistics.collect_hsmm(chain, frames, cut, expectation)
    before = model_statistics_content(statistics)
    big = 3e38 if precision == "F32" else 1e308
    # Radii and parts of other shapes are stored as given; the accumulation refuses them.
    for setter, value, message in [
            ("state_radius", -1.0, RADIUS), ("state_radius", math.nan, RADIUS),
            ("set_states", occupancies(precision, 2, 2, [0.0] * 4),
             "expectation dimensions or stream counts differ"),
            ("set_mixtures", mixture_list(3, 1, [1.0] * 3), "mixture posterior dimensions differ"),
            ("set_durations", DurationPosteriors(2, 2, b"\x00" * 4, [0] * 4, [0] * 5, []),
             "duration posterior dimensions differ"),
            # A posterior that overflows the sums is caught by the final check of the copy.
            ("set_states", occupancies(precision, 3, 2, [big] * 6),
             "Gaussian statistics contain invalid values")]:
        changed = hsmm_case(precision)[3]
        if setter == "state_radius":
            changed.state_radius = value
            assert math.isnan(changed.state_radius) or changed.state_radius == value
        else:
            getattr(changed, setter)(value)
        fails(message, lambda: statistics.collect_hsmm(chain, frames, cut, changed))
        assert model_statistics_content(statistics) == before


def test_collect_argument_checks(precision):
    chain, frames, cut, expectation, statistics = hsmm_case(precision)
    wrong_class("model", lambda: statistics.collect_hsmm(make("Model", other(precision), [], 0),
                                                         frames, cut, expectation))
    wrong_class("expectation", lambda: statistics.collect_geometric(chain, frames, cut,
                                                                    expectation))
    frames.free()  # every class is checked before any closed state
    wrong_class("expectation", lambda: statistics.collect_hsmm(chain, frames, cut, cut))
    fails("owner has been consumed", lambda: statistics.collect_hsmm(chain, frames, cut,
                                                                     expectation),
          error=RuntimeError)


def test_expectation_parts_are_copies(precision):
    source = occupancies(precision, 3, 2, STATES)
    built = make("HsmmExpectation", precision, durations(), source, mixture_list(3, 2, STATES),
                 0.1)
    assert built.state_radius == rounded(precision, 0.1)
    source.free()
    built.states().free()
    assert built.states().values() == STATES
    collection = mixture_list(3, 2, STATES)
    built.set_mixtures(collection)
    collection.clear()
    built.durations().free()
    assert built.mixtures().length == 1
    assert built.durations().get(0, 0).probabilities() == [0.5, 0.5]
    copy = built.cloned()
    built.state_radius = 3.0
    assert copy.state_radius == rounded(precision, 0.1)


def test_expectation_constructor_checks(precision):
    posteriors, states = DurationPosteriors(1, 1, b"\x00", [0], [0, 0], []), occupancies(
        precision, 1, 1, [1.0])
    mixtures, freed = MixturePosteriorCollection(), MixturePosteriorCollection()
    wrong_class("states", lambda: make("GeometricExpectation", precision, TransitionPosteriors(
        1, 1, b"\x00", [0.0, 0.0]), occupancies(other(precision), 1, 1, [1.0]), mixtures, 1.0))
    wrong_class("durations", lambda: make("HsmmExpectation", precision, states, states,
                                          mixtures, 1.0))
    freed.free()
    fails("owner has been consumed", lambda: make("HsmmExpectation", precision, posteriors,
                                                  states, freed, 1.0), error=RuntimeError)
    posteriors.free()  # all four arguments are converted before any closed check
    wrong_class("state_radius", lambda: make("HsmmExpectation", precision, posteriors, states,
                                             mixtures, "wide"))


@pytest.mark.parametrize("kind", ["HsmmExpectation", "GeometricExpectation"])
def test_expectation_closing(precision, kind):
    first = (DurationPosteriors(1, 1, b"\x00", [0], [0, 0], []) if kind == "HsmmExpectation"
             else TransitionPosteriors(1, 1, b"\x00", [0.0, 0.0]))
    value = make(kind, precision, first, occupancies(precision, 1, 1, [1.0]),
                 MixturePosteriorCollection(), 1.0)
    assert value.free() is None
    assert_closed(value, "cloned", "states", ("set_states", occupancies(precision, 1, 1, [1.0])))
