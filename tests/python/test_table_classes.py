"""Frames × states tables: construction checks, readers, reductions and densities."""

import math

import numpy as np
import pytest

import tarvek_rs
from model_support import LOG_ZERO, consumed, make, raises_value, rounded

SCORES = "state score table requires positive matching dimensions"
OCCUPANCIES = "occupancies require positive matching dimensions and finite nonnegative values"
EMISSIONS = "log emission table requires positive matching dimensions and finite values"
MISMATCH = "forward/backward dimensions or state index do not match"
CONSTRUCTIBLE = {"StateScores": SCORES, "StateOccupancies": OCCUPANCIES,
                 "LogEmissions": EMISSIONS}


def log_add(precision, a, b):
    """ln(e^a + e^b) through the live log-add coefficient table, as the tables compute it."""
    table = make("NumericalTable", precision, 0)
    if math.isnan(a) or math.isnan(b):
        return math.nan
    high, low = max(a, b), min(a, b)
    difference = rounded(precision, high - low)
    if not math.isfinite(difference) or difference > 6.91:
        return high
    return rounded(precision, high + table.get(int(difference / 0.001)))


def all_tables(precision):
    """One open object of each table class."""
    emissions = make("LogEmissions", precision, 1, 2, [0.0, -1.0])
    return [make("StateScores", precision, 1, 2, [0.5, 2.0]),
            make("StateOccupancies", precision, 1, 2, [0.5, 2.0]), emissions,
            emissions.probabilities()]


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_shape_checks(name, precision):
    cls = getattr(tarvek_rs, name + precision)
    table = cls(2, 3, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0])
    assert (table.frames, table.states, table.values()) == (2, 3, [0.0, 1.0, 2.0, 3.0, 4.0, 5.0])
    assert cls.__text_signature__ == "(frames, states, values)"
    for frames, states, count in ((2, 3, 5), (2, 3, 7), (0, 3, 0), (2, 0, 0), (0, 0, 0),
                                  (2**32, 2**32, 0), (2**63, 4, 0)):
        with raises_value(CONSTRUCTIBLE[name]):
            cls(frames, states, [0.0] * count)
    with pytest.raises(OverflowError):
        cls(-1, 1, [0.0])
    with pytest.raises(TypeError, match="^argument 'values': Can't extract `str` to `Vec`$"):
        cls(-1 + 2, 1, "0")
    with pytest.raises(TypeError, match="^argument 'states'"):  # before any table check
        cls(0, "1", [])


def test_value_checks(precision):
    scores = make("StateScores", precision, 1, 3, [math.nan, math.inf, -math.inf])
    assert math.isnan(scores.get(0, 0)) and scores.values()[1:] == [math.inf, -math.inf]
    occupancies = make("StateOccupancies", precision, 1, 3, [-0.0, 0.0, 2.5])
    assert math.copysign(1, occupancies.get(0, 0)) == -1.0
    for bad in (-1e-30, -1.4e-45, math.nan, math.inf, -math.inf):
        with raises_value(OCCUPANCIES):
            make("StateOccupancies", precision, 1, 1, [bad])
    for bad in (math.nan, math.inf, -math.inf):
        with raises_value(EMISSIONS):
            make("LogEmissions", precision, 1, 1, [bad])
    accepted = make("LogEmissions", precision, 1, 2, [-1e15, -0.0])
    assert accepted.get(0, 0) == LOG_ZERO[precision]


def test_f32_rounding_and_f32_negative_subnormal():
    assert make("StateScores", "F32", 1, 1, [0.1]).values() == [0.10000000149011612]
    # -1e-46 rounds to -0.0 in 32 bits, which occupancies accept; it stays refused in 64 bits.
    assert make("StateOccupancies", "F32", 1, 1, [-1e-46]).values() == [-0.0]
    with raises_value(OCCUPANCIES):
        make("StateOccupancies", "F64", 1, 1, [-1e-46])
    with raises_value(EMISSIONS):  # beyond the 32-bit range: an infinity once stored
        make("LogEmissions", "F32", 1, 1, [1e39])


def test_inputs_accept_any_sequence(precision):
    for values in ([1, 2], (1.0, 2.0), range(1, 3), np.array([1.0, 2.0]),
                   np.array([1.0, 2.0], dtype=np.float32), np.array([1, 2], dtype=np.int64)):
        assert make("StateScores", precision, 2, 1, values).values() == [1.0, 2.0]
    assert make("StateScores", precision, np.uint64(2), np.int32(1), [1, 2]).frames == 2


@pytest.mark.parametrize("index", range(4))
def test_readers_copies_and_closing(index, precision):
    table = all_tables(precision)[index]
    values = table.values()
    assert table.get(0, 1) == values[1] and type(table.get(0, 1)) is float
    assert table.get(1, 0) is None and table.get(0, 2) is None and table.get(2**64 - 1, 0) is None
    with pytest.raises(OverflowError):
        table.get(-1, 0)
    values.append(9.0)
    assert len(table.values()) == 2
    copy = table.cloned()
    assert type(copy) is type(table) and copy.values() == table.values()
    assert table.free() is None and table.is_closed and table.free() is None
    assert table.close() is None and not copy.is_closed and copy.frames == 1
    with consumed():
        table.get(5, 5)
    for member in ("frames", "states"):
        with consumed():
            getattr(table, member)
    for member in ("values", "cloned"):
        with consumed():
            getattr(table, member)()
    with pytest.raises(OverflowError):  # conversion comes before the closed check
        table.get(-1, 0)


def test_constructor_copies_its_input(precision):
    source = np.array([1.0, 2.0])
    table = make("StateScores", precision, 1, 2, source)
    source[0] = 7.0
    assert table.values() == [1.0, 2.0]


def test_density_class_has_no_constructor(precision):
    cls = getattr(tarvek_rs, "EmissionDensities" + precision)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(1, 1, [0.0])


def test_stated_densities(precision):
    emissions = make("LogEmissions", precision, 2, 2, [0, -1, -1e15, -3])
    densities = emissions.probabilities()
    assert type(densities).__name__ == "EmissionDensities" + precision
    assert (densities.frames, densities.states) == (2, 2)
    assert densities.values() == [1.0, 0.36787986755371094, 1.1755177525066417e-38,
                                  0.04978609085083008]
    assert emissions.values() == [0.0, -1.0, LOG_ZERO[precision], -3.0]
    assert make("LogEmissions", precision, 1, 3, [1, 100, 88.8]).probabilities().values() == [
        2.718292236328125, math.inf, math.inf]
    emissions.free()
    assert densities.get(0, 0) == 1.0
    with consumed():
        emissions.probabilities()


def test_wide_log_values_become_infinite_densities():
    densities = make("LogEmissions", "F64", 1, 2, [1e300, 0.5]).probabilities()
    assert densities.values()[0] == math.inf
    # 64-bit densities carry 32-bit precision.
    assert densities.values()[1] == make("LogEmissions", "F32", 1, 1, [0.5]).probabilities().get(0, 0)


def test_total_log_probability(precision):
    for value in (-3.0, 0.0, 1e6, -1e15 + 100):
        table = make("StateScores", precision, 1, 1, [value])
        assert table.total_log_probability() == log_add(precision, LOG_ZERO[precision],
                                                        rounded(precision, value))
    table = make("StateScores", precision, 2, 3, [math.nan] * 3 + [-2.0, -1.5, -40.0])
    expected = LOG_ZERO[precision]
    for value in (-2.0, -1.5, -40.0):
        expected = log_add(precision, expected, value)
    assert table.total_log_probability() == expected
    assert make("StateScores", precision, 1, 1, [-1e15]).total_log_probability() < -9e14


def test_total_through_state(precision):
    forward = make("StateScores", precision, 1, 2, [-1, -2])
    backward = make("StateScores", precision, 1, 2, [-3, -4])
    assert forward.total_through_state(backward, 1) == -6.0
    assert forward.total_through_state(state=0, backward=backward) == -4.0
    forward = make("StateScores", precision, 3, 2, [0.1, -7, -0.7, -3, -1.3, -2.5])
    backward = make("StateScores", precision, 3, 2, [-2.2, math.nan, -1.1, -9, 0.3, -1])
    expected = LOG_ZERO[precision]
    for t in range(3):
        through = rounded(precision, forward.get(t, 0) + backward.get(t, 0))
        expected = log_add(precision, expected, through)
    assert forward.total_through_state(backward, 0) == expected
    for other, state in ((backward, 2), (make("StateScores", precision, 1, 2, [0, 0]), 0),
                         (make("StateScores", precision, 3, 1, [0, 0, 0]), 0),
                         (make("StateScores", precision, 2, 2, [0] * 4), 5)):
        with raises_value(MISMATCH):
            forward.total_through_state(other, state)


def test_backward_log_probability(precision):
    backward = make("StateScores", precision, 2, 2, [-1.25, math.nan, math.nan, math.nan])
    emissions = make("LogEmissions", precision, 2, 2, [-0.5, 3.0, 1e10, -1e15])
    assert backward.backward_log_probability(emissions) == -1.75
    for shape in ((1, 4), (4, 1)):
        with raises_value("backward and emission dimensions do not match"):
            backward.backward_log_probability(make("LogEmissions", precision, *shape, [0] * 4))


def test_geometric_occupancies(precision):
    forward = make("StateScores", precision, 3, 1, [0.0, -0.5, 0.0])
    backward = make("StateScores", precision, 3, 1, [0.0, -0.5, 0.0])
    occupancies = forward.geometric_occupancies(backward, 0.0, 1.0)
    assert type(occupancies).__name__ == "StateOccupancies" + precision
    # Inner frames only, from the exponential coefficient table: e^-1 is entry 500.
    exponential = make("NumericalTable", precision, 1)
    assert occupancies.values() == [0.0, exponential.get(500), 0.0]
    assert forward.geometric_occupancies(backward, -2.0, 1.0).values() == [0.0, 1.0, 0.0]
    # A slope of -0.0 is accepted; its band of half-width 0 holds no cell.
    assert forward.geometric_occupancies(backward, 0.0, -0.0).values() == [0.0, 0.0, 0.0]


def test_geometric_occupancy_checks(precision):
    forward = make("StateScores", precision, 3, 1, [0.0, -0.5, 0.0])
    other_shape = make("StateScores", precision, 1, 3, [0.0, -0.5, 0.0])
    invalid = "occupancy total must be finite and pruning slope finite and nonnegative"
    for total, slope in ((0.0, -1.0), (0.0, math.nan), (math.inf, 0.3), (-math.inf, 0.3),
                         (math.nan, 0.3), (0.0, math.inf), (0.0, -1.4e-45)):
        with raises_value(invalid):
            forward.geometric_occupancies(forward, total, slope)
        with raises_value("occupancy forward/backward dimensions differ"):
            forward.geometric_occupancies(other_shape, total, slope)
    with pytest.raises(TypeError, match="^argument 'total'"):
        forward.geometric_occupancies(forward, "0", 0.3)
    closed = forward.cloned()
    closed.free()
    with consumed():
        forward.geometric_occupancies(closed, 0.0, 0.3)
    with consumed():
        closed.geometric_occupancies(forward, math.nan, 0.3)


def test_reduction_argument_classes_and_closed_order(precision):
    other = "F64" if precision == "F32" else "F32"
    forward = make("StateScores", precision, 1, 1, [0.0])
    emissions = make("LogEmissions", precision, 1, 1, [0.0])
    with pytest.raises(TypeError, match="^argument 'backward'"):
        forward.total_through_state(make("StateScores", other, 1, 1, [0.0]), 0)
    with pytest.raises(TypeError, match="^argument 'backward'"):
        forward.total_through_state(emissions, 0)
    with pytest.raises(TypeError, match="^argument 'emissions'"):
        forward.backward_log_probability(forward)
    closed = forward.cloned()
    closed.free()
    with consumed():
        forward.total_through_state(closed, 0)
    with consumed():  # the receiver is checked first, before the state
        closed.total_through_state(forward, 9)
    with pytest.raises(TypeError):  # conversion precedes the closed check
        closed.total_through_state(emissions, 0)
    with consumed():
        closed.total_log_probability()
    with consumed():
        forward.backward_log_probability(closed_emissions(emissions))


def closed_emissions(emissions):
    copy = emissions.cloned()
    copy.close()
    return copy
