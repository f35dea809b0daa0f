"""Frames × states tables: construction checks, readers, reductions and densities."""

import math

import numpy as np
import pytest

import tarvek_rs
from conftest import cls
from model_support import LOG_ZERO, assert_closed, consumed, fails, make, rounded

SCORES = "state score table requires positive matching dimensions"
OCCUPANCIES = "occupancies require positive matching dimensions and finite nonnegative values"
EMISSIONS = "log emission table requires positive matching dimensions and finite values"
MISMATCH = "forward/backward dimensions or state index do not match"
SLOPE = "occupancy total must be finite and pruning slope finite and nonnegative"
CONSTRUCTIBLE = {"StateScores": SCORES, "StateOccupancies": OCCUPANCIES,
                 "LogEmissions": EMISSIONS}


def log_add(precision, a, b):
    return getattr(tarvek_rs, "numerical_log_add_" + precision.lower())(a, b)


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_shape_checks(name, precision):
    table = cls(name, precision)(2, 3, np.array([0.0, 1.0, 2.0, 3.0, 4.0, 5.0]))
    assert (table.frames, table.states, table.values()) == (2, 3, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0])
    for frames, states, count in ((2, 3, 5), (2, 3, 7), (0, 3, 0), (2, 0, 0), (0, 0, 0),
                                  (2**32, 2**32, 0), (2**63, 4, 0)):
        fails(CONSTRUCTIBLE[name], lambda: cls(name, precision)(frames, states, [0.0] * count))
    fails(None, lambda: cls(name, precision)(-1, 1, [0.0]), error=OverflowError)
    fails("Can't extract `str` to `Vec`", lambda: cls(name, precision)(1, 1, "0"), error=TypeError)


def test_value_checks(precision):
    scores = make("StateScores", precision, 1, 3, [math.nan, math.inf, -math.inf])
    assert math.isnan(scores.get(0, 0)) and scores.values()[1:] == [math.inf, -math.inf]
    occupancies = make("StateOccupancies", precision, 1, 3, [-0.0, 0.0, 2.5])
    assert math.copysign(1, occupancies.get(0, 0)) == -1.0
    fails(OCCUPANCIES, *[lambda v=v: make("StateOccupancies", precision, 1, 1, [v])
                         for v in (-1e-30, -1.4e-45, math.nan, math.inf, -math.inf)])
    fails(EMISSIONS, *[lambda v=v: make("LogEmissions", precision, 1, 1, [v])
                       for v in (math.nan, math.inf, -math.inf)])
    assert make("LogEmissions", precision, 1, 2, [-1e15, -0.0]).get(0, 0) == LOG_ZERO[precision]
    # -1e-46 rounds to -0.0 in 32 bits, which occupancies accept; 1e39 rounds to infinity.
    if precision == "F32":
        assert make("StateOccupancies", "F32", 1, 1, [-1e-46]).values() == [-0.0]
        fails(EMISSIONS, lambda: make("LogEmissions", "F32", 1, 1, [1e39]))
    else:
        fails(OCCUPANCIES, lambda: make("StateOccupancies", "F64", 1, 1, [-1e-46]))


@pytest.mark.parametrize("name", ["StateScores", "StateOccupancies", "LogEmissions",
                                  "EmissionDensities"])
def test_readers_copies_and_closing(name, precision):
    source = make("LogEmissions" if name == "EmissionDensities" else name, precision, 1, 2,
                  [0.5, 0.0])
    table = source.probabilities() if name == "EmissionDensities" else source
    values = table.values()
    assert table.get(0, 1) == values[1] and type(table.get(0, 1)) is float
    assert table.get(1, 0) is None and table.get(0, 2) is None and table.get(2**64 - 1, 0) is None
    fails(None, lambda: table.get(-1, 0), error=OverflowError)
    copy = table.cloned()
    assert type(copy) is type(table) and copy.values() == values
    table.free()
    fails(None, lambda: table.get(-1, 0), error=OverflowError)  # conversion comes first
    assert_closed(table, ("get", 5, 5), "frames", "states", "values", "cloned")
    assert copy.frames == 1


def test_densities(precision):
    emissions = make("LogEmissions", precision, 2, 2, [0, -1, -1e15, -3])
    densities = emissions.probabilities()
    assert type(densities).__name__ == "EmissionDensities" + precision
    assert (densities.frames, densities.states) == (2, 2)
    assert densities.values() == [1.0, 0.36787986755371094, 1.1755177525066417e-38,
                                  0.04978609085083008]
    assert make("LogEmissions", precision, 1, 3, [1, 100, 89]).probabilities().values() == [
        2.718292236328125, math.inf, math.inf]
    emissions.free()
    assert densities.get(0, 0) == 1.0
    fails(None, lambda: cls("EmissionDensities", precision)(1, 1, [0.0]), error=TypeError)
    # 64-bit densities carry 32-bit precision; 1e300 is an infinity once narrowed.
    wide = make("LogEmissions", "F64", 1, 2, [1e300, 0.5]).probabilities().values()
    assert wide == [math.inf, make("LogEmissions", "F32", 1, 1, [0.5]).probabilities().get(0, 0)]


def test_totals(precision):
    for value in (-3.0, 0.0, 1e6, -1e15 + 100):
        table = make("StateScores", precision, 1, 1, [value])
        assert table.total_log_probability() == rounded(precision, value)
    table = make("StateScores", precision, 2, 3, [math.nan] * 3 + [-2.0, -1.5, -40.0])
    expected = LOG_ZERO[precision]
    for value in (-2.0, -1.5, -40.0):
        expected = log_add(precision, expected, value)
    assert table.total_log_probability() == expected
    forward = make("StateScores", precision, 1, 2, [-1, -2])
    assert forward.total_through_state(make("StateScores", precision, 1, 2, [-3, -4]), 1) == -6.0
    forward = make("StateScores", precision, 3, 2, [0.1, -7, -0.7, -3, -1.3, -2.5])
    backward = make("StateScores", precision, 3, 2, [-2.2, math.nan, -1.1, -9, 0.3, -1])
    expected = LOG_ZERO[precision]
    for t in range(3):
        expected = log_add(precision, expected, forward.get(t, 0) + backward.get(t, 0))
    assert forward.total_through_state(backward, 0) == expected
    # The shapes are compared before the state.
    for other, state in ((backward, 2), (make("StateScores", precision, 1, 2, [0, 0]), 0),
                         (make("StateScores", precision, 3, 1, [0, 0, 0]), 0),
                         (make("StateScores", precision, 2, 2, [0] * 4), 5)):
        fails(MISMATCH, lambda: forward.total_through_state(other, state))
    backward = make("StateScores", precision, 2, 2, [-1.25, math.nan, math.nan, math.nan])
    emissions = make("LogEmissions", precision, 2, 2, [-0.5, 3.0, 1e10, -1e15])
    assert backward.backward_log_probability(emissions) == -1.75
    for shape in ((1, 4), (4, 1)):
        wrong = make("LogEmissions", precision, *shape, [0] * 4)
        fails("backward and emission dimensions do not match",
              lambda: backward.backward_log_probability(wrong))


def test_geometric_occupancies(precision):
    forward = make("StateScores", precision, 3, 1, [0.0, -0.5, 0.0])
    occupancies = forward.geometric_occupancies(forward, 0.0, 1.0)
    assert type(occupancies).__name__ == "StateOccupancies" + precision
    # Inner frames only, from the exponential coefficient table: e^-1 is entry 500.
    e = make("NumericalTable", precision, 1).get(500)
    assert occupancies.values() == [0.0, e, 0.0]
    assert forward.geometric_occupancies(forward, -2.0, 1.0).values() == [0.0, 1.0, 0.0]
    # A slope of -0.0 is accepted; its band of half-width 0 holds no cell.
    assert forward.geometric_occupancies(forward, 0.0, -0.0).values() == [0.0, 0.0, 0.0]
    other_shape = make("StateScores", precision, 1, 3, [0.0, -0.5, 0.0])
    for total, slope in ((0.0, -1.0), (0.0, math.nan), (math.inf, 0.3), (-math.inf, 0.3),
                         (math.nan, 0.3), (0.0, math.inf), (0.0, -1.4e-45)):
        fails(SLOPE, lambda: forward.geometric_occupancies(forward, total, slope))
        fails("occupancy forward/backward dimensions differ",  # the shape comes first
              lambda: forward.geometric_occupancies(other_shape, total, slope))
    closed = forward.cloned()
    closed.free()
    with consumed():
        forward.geometric_occupancies(closed, 0.0, 0.3)
    with pytest.raises(TypeError, match="^argument 'backward'"):
        forward.total_through_state(make("LogEmissions", precision, 3, 1, [0.0] * 3), 0)
    with consumed():  # the receiver is checked before the state
        closed.total_through_state(forward, 9)
