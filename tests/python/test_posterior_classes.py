"""Posterior tables: the flat exchange form, its checks in order, readers and copies."""

import math

import pytest

from tarvek_rs import (DurationPosterior, DurationPosteriors, MixturePosteriorCollection,
                       MixturePosteriors, MixtureWeights, TransitionPosterior,
                       TransitionPosteriors)
from conftest import f32
from model_support import consumed, raises_value

DIMENSIONS = "posterior dimensions must be positive and match presence entries"
PRESENCE = "posterior presence entries must be zero or one"
MINIMUMS = "duration minimum count differs from entries"
COVER = "posterior offsets must cover every entry and the complete values"
ORDERED = "posterior offsets must be ordered within values"
ABSENT = "absent posterior entries cannot contain values"
DURATION_VALUES = ("duration occupancies require positive matching dimensions, representable "
                   "durations and finite nonnegative weights")
MIXTURE_VALUES = ("mixture occupancies require positive matching dimensions and finite "
                  "nonnegative weights")
TRANSITION_COUNT = "transition values require two scalars per entry"
TRANSITION_VALUES = ("transition occupancies require positive matching dimensions and finite "
                     "nonnegative weights")
PAIR = "transition posterior requires stay/advance values"


def durations(frames, states, presence, offsets, values, minimums=None):
    minimums = [1] * len(presence) if minimums is None else minimums
    return DurationPosteriors(frames, states, presence, minimums, offsets, values)


def mixtures(frames, states, presence, offsets, values, minimums=None):
    return MixturePosteriors(frames, states, presence, offsets, values)


# The same layout checks in both offset tables; the duration table gets minimums of the right count.
OFFSET_TABLES = [durations, mixtures]


def rebuilt(table):
    if isinstance(table, DurationPosteriors):
        return DurationPosteriors(table.frames, table.states, table.presence(), table.minimums(),
                                  table.offsets(), table.values())
    if isinstance(table, MixturePosteriors):
        return MixturePosteriors(table.frames, table.states, table.presence(), table.offsets(),
                                 table.values())
    return TransitionPosteriors(table.frames, table.states, table.presence(), table.values())


def readers(table):
    names = {DurationPosteriors: ("presence", "minimums", "offsets", "values"),
             MixturePosteriors: ("presence", "offsets", "values"),
             TransitionPosteriors: ("presence", "values")}[type(table)]
    return (table.frames, table.states) + tuple(getattr(table, name)() for name in names)


def test_duration_table_reads_back_and_rebuilds():
    table = DurationPosteriors(1, 2, b"\x01\x00", [1, 0], [0, 2, 2], [0.25, 0.75])
    cell = table.get(0, 0)
    assert (cell.probabilities(), cell.minimum) == ([0.25, 0.75], 1)
    assert table.get(0, 1) is None and table.get(1, 0) is None and table.get(0, 2) is None
    assert readers(table) == (1, 2, b"\x01\x00", [1, 0], [0, 2, 2], [0.25, 0.75])
    assert readers(rebuilt(table)) == readers(table)
    # An absent cell's minimum is ignored and read back as 0; the narrowed value is what is kept.
    table = DurationPosteriors(1, 2, [1, 0], [4294967295, 7], [0, 3, 3], [0.1, 0.2, 0.3])
    assert table.minimums() == [4294967295, 0]
    assert table.values() == [f32(0.1), f32(0.2), f32(0.3)]
    assert table.get(0, 0).probability(4294967297) == f32(0.3)


def test_copies_are_independent():
    table = DurationPosteriors(2, 1, bytearray([1, 1]), [2, 3], [0, 1, 2], [0.5, 1.0])
    cell = table.get(1, 0)
    cell.set_probabilities([9.0])
    cell.minimum = 8
    assert (table.get(1, 0).probabilities(), table.get(1, 0).minimum) == ([1.0], 3)
    copy = table.cloned()
    table.free()
    assert table.is_closed and readers(copy) == (2, 1, b"\x01\x01", [2, 3], [0, 1, 2], [0.5, 1.0])
    weights = MixturePosteriors(1, 1, [1], [0, 2], [0.25, 0.75])
    handed_out = weights.get(0, 0)
    assert isinstance(handed_out, MixtureWeights)
    handed_out.replace([1.0])
    assert weights.get(0, 0).values() == [0.25, 0.75]


@pytest.mark.parametrize("make", OFFSET_TABLES)
def test_layout_checks_in_order(make):
    # 1 × 2 tables, cell 0 present and cell 1 absent unless stated.
    cases = [
        ((0, 2, [1, 0], [0, 2, 2], [0.5, 0.5]), DIMENSIONS),
        ((1, 0, [1, 0], [0, 2, 2], [0.5, 0.5]), DIMENSIONS),
        ((2, 2, [1, 0], [0, 2, 2], [0.5, 0.5]), DIMENSIONS),
        ((2**32, 2**32, [1, 0], [0, 2, 2], [0.5, 0.5]), DIMENSIONS),
        ((1, 2, [1, 2], [0, 2, 2], [0.5, 0.5]), PRESENCE),
        ((1, 2, [1, 0], [0, 2], [0.5, 0.5]), COVER),
        ((1, 2, [1, 0], [0, 2, 2, 2], [0.5, 0.5]), COVER),
        ((1, 2, [1, 0], [1, 2, 2], [0.5, 0.5]), COVER),
        ((1, 2, [1, 0], [0, 2, 3], [0.5, 0.5]), COVER),
        ((1, 2, [1, 0], [0, 3, 2], [0.5, 0.5]), ORDERED),
        ((1, 2, [1, 1], [0, 3, 2], [0.5, 0.5]), ORDERED),
        ((1, 2, [1, 0], [0, 2, 3], [0.5, 0.5, 0.5]), ABSENT),
        ((1, 2, [0, 1], [0, 1, 2], [0.5, 0.5]), ABSENT),
        # The first failing cell decides: cell 0 is absent with a value before cell 1 runs back.
        ((1, 3, [0, 1, 1], [0, 1, 0, 1], [0.5]), ABSENT),
    ]
    for arguments, message in cases:
        with raises_value(message):
            make(*arguments)
    # Dimensions are checked before presence, presence before any offset.
    with raises_value(DIMENSIONS):
        make(0, 2, [7, 9], [5], [])
    with raises_value(PRESENCE):
        make(1, 2, [2, 0], [5], [])


@pytest.mark.parametrize("make,message", [(durations, DURATION_VALUES), (mixtures, MIXTURE_VALUES)])
def test_value_checks(make, message):
    for accepted in (-0.0, 1.5, 1e-46):
        table = make(2, 1, [1, 1], [0, 2, 3], [0.5, accepted, 0.25])
        assert table.values() == [0.5, f32(accepted), 0.25]
    assert math.copysign(1.0, make(1, 1, [1], [0, 1], [-0.0]).values()[0]) == -1.0
    # 1e300 becomes an infinite 32-bit value, which the table refuses.
    for refused in (-1.0, -0.5, math.nan, math.inf, 1e300):
        with raises_value(message):
            make(2, 1, [1, 1], [0, 2, 3], [0.5, refused, 0.25])
    # A present cell may own nothing; an absent cell's values are never looked at (it has none).
    table = make(1, 3, [1, 0, 1], [0, 0, 0, 1], [0.5])
    assert table.offsets() == [0, 0, 0, 1] and readers(rebuilt(table)) == readers(table)


def test_duration_minimum_count_follows_presence_scan():
    with raises_value(PRESENCE):
        DurationPosteriors(1, 2, [1, 2], [1], [0, 2, 2], [0.5, 0.5])
    with raises_value(MINIMUMS):
        DurationPosteriors(1, 2, [1, 0], [1], [0, 1, 1], [0.5])
    with raises_value(MINIMUMS):
        DurationPosteriors(1, 2, [1, 0], [1, 1, 1], [9], [0.5])


def test_empty_present_duration_cell():
    table = DurationPosteriors(1, 2, [1, 0], [1, 7], [0, 0, 0], [])
    cell = table.get(0, 0)
    assert cell.probabilities() == [] and table.get(0, 1) is None
    assert all(cell.probability(duration) == 0.0 for duration in (0, 1, 2, 2**64 - 1))


@pytest.mark.parametrize("make", OFFSET_TABLES)
def test_conversion_comes_first(make):
    with pytest.raises(OverflowError):
        make(0, 2, [1, 256], [0, 2, 2], [0.5, 0.5])
    with pytest.raises(OverflowError):
        make(0, 2, [1, 0], [0, -1, 2], [0.5, 0.5])
    with pytest.raises(OverflowError):
        make(0, 2, [1, 0], [0, 2**32, 2], [0.5, 0.5])
    with pytest.raises(OverflowError):
        make(-1, 2, [1, 0], [0, 2, 2], [0.5, 0.5])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        make(0, 2, [1, 0], [0, 2, 2], "ab")
    with pytest.raises(OverflowError):
        DurationPosteriors(0, 2, [1, 0], [1, -1], [0, 2, 2], [0.5, 0.5])


def test_duration_posterior():
    posterior = DurationPosterior(3, [0.5, 0.5])
    assert [posterior.probability(d) for d in range(6)] == [0.0, 0.0, 0.0, 0.5, 0.5, 0.0]
    assert DurationPosterior.__text_signature__ == "(minimum, probabilities)"
    # No checks on a single posterior.
    odd = DurationPosterior(2**64 - 1, [-1.0, math.nan])
    assert odd.probability(2**64 - 1) == -1.0 and odd.probability(0) == 0.0
    odd.minimum = 0
    odd.set_probabilities([0.1, -2.0])
    assert (odd.minimum, odd.probabilities()) == (0, [f32(0.1), -2.0])
    copy = odd.cloned()
    odd.close()
    assert copy.probabilities() == [f32(0.1), -2.0]
    with consumed():
        odd.probability(0)
    with consumed():
        odd.minimum
    with consumed():
        odd.minimum = 1
    with pytest.raises(OverflowError):
        copy.minimum = -1
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del copy.minimum


def test_mixture_table_and_weights():
    table = MixturePosteriors(2, 1, [1, 1], [0, 2, 5], [0.5, 0.5, 0.2, 0.3, 0.5])
    assert table.get(1, 0).values() == [f32(0.2), f32(0.3), 0.5]
    assert table.get(2, 0) is None and table.get(0, 1) is None
    assert readers(table) == (2, 1, b"\x01\x01", [0, 2, 5], [0.5, 0.5, f32(0.2), f32(0.3), 0.5])
    assert readers(rebuilt(table)) == readers(table)
    with raises_value(COVER):
        MixturePosteriors(2, 1, [1, 1], [0, 5], [0.5, 0.5, 0.2, 0.3, 0.5])


def test_mixture_collection():
    collection = MixturePosteriorCollection()
    assert (collection.length, collection.is_empty()) == (0, True)
    first = MixturePosteriors(1, 1, [1], [0, 1], [0.5])
    second = MixturePosteriors(1, 2, [0, 1], [0, 0, 2], [0.25, 0.75])
    collection.push(first)
    first.free()
    assert readers(collection.get(0)) == (1, 1, b"\x01", [0, 1], [0.5])
    assert collection.get(1) is None and collection.length == 1
    with raises_value("collection index out of range"):
        collection.replace(1, second)
    collection.replace(0, second)
    assert readers(collection.get(0)) == readers(second)
    copy = collection.cloned()
    collection.clear()
    assert (collection.length, collection.is_empty(), copy.length) == (0, True, 1)
    with consumed():
        collection.push(first)
    with pytest.raises(TypeError, match="value"):
        collection.push(DurationPosterior(1, []))
    with pytest.raises(OverflowError):
        collection.replace(-1, second)


def test_transition_table():
    table = TransitionPosteriors(1, 2, [1, 0], [0.75, 0.25, math.nan, -3.0])
    assert table.values() == [0.75, 0.25, 0.0, 0.0]
    assert table.get(0, 1) is None and table.get(1, 0) is None
    assert table.get(0, 0).values() == [0.75, 0.25]
    assert readers(rebuilt(table)) == readers(table) == (1, 2, b"\x01\x00", table.values())
    with raises_value(TRANSITION_VALUES):
        TransitionPosteriors(1, 2, [1, 1], [0.75, 0.25, math.nan, -3.0])
    for stay in (-0.0, 2.5, 1e-46):
        assert TransitionPosteriors(1, 1, [1], [stay, 0.5]).values() == [f32(stay), 0.5]
    with raises_value(TRANSITION_VALUES):
        TransitionPosteriors(1, 1, [1], [0.5, 1e300])
    for arguments, message in [((1, 2, [1, 0], [0.5] * 3), TRANSITION_COUNT),
                               ((1, 2, [1, 0], [0.5] * 5), TRANSITION_COUNT),
                               ((1, 2, [1, 2], [0.5] * 3), PRESENCE),
                               ((0, 2, [1, 2], [0.5] * 3), DIMENSIONS),
                               ((1, 3, [1, 0], [0.5] * 4), DIMENSIONS)]:
        with raises_value(message):
            TransitionPosteriors(*arguments)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        TransitionPosteriors(0, 2, "ab", [0.5] * 4)


def test_transition_posterior():
    for values in ([0.25], [], [0.1, 0.2, 0.3]):
        with raises_value(PAIR):
            TransitionPosterior(values)
    pair = TransitionPosterior([0.5, 0.5])
    assert pair.values() == [0.5, 0.5]
    with raises_value(PAIR):
        pair.set_values([0.25])
    assert pair.values() == [0.5, 0.5]
    pair.set_values([-1.0, 0.1])
    assert pair.values() == [-1.0, f32(0.1)]
    pair.free()
    pair.free()
    assert pair.is_closed
    with consumed():
        pair.values()
    with consumed():
        pair.set_values([0.5, 0.5])
    # The argument is converted before the closed receiver is reported.
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        pair.set_values("ab")


@pytest.mark.parametrize("table", [
    lambda: DurationPosteriors(1, 1, [1], [1], [0, 1], [0.5]),
    lambda: MixturePosteriors(1, 1, [1], [0, 1], [0.5]),
    lambda: TransitionPosteriors(1, 1, [1], [0.5, 0.5]),
])
def test_closed_tables(table):
    table = table()
    table.close()
    for member in ("presence", "values", "cloned"):
        with consumed():
            getattr(table, member)()
    with consumed():
        table.frames
    with consumed():
        table.get(0, 0)
    with pytest.raises(OverflowError):
        table.get(-1, 0)
