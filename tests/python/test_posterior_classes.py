"""Posterior tables: the flat exchange form, its checks in order, readers and copies."""

import math

import pytest

from conftest import f32
from model_support import assert_closed, consumed, fails
from tarvek_rs import (DurationPosterior, DurationPosteriors, MixturePosteriorCollection,
                       MixturePosteriors, MixtureWeights, TransitionPosterior,
                       TransitionPosteriors)

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
TRANSITION_VALUES = ("transition occupancies require positive matching dimensions and finite "
                     "nonnegative weights")
PAIR = "transition posterior requires stay/advance values"


def durations(frames, states, presence, offsets, values):
    """A duration table whose minimums are 1 for every entry."""
    return DurationPosteriors(frames, states, presence, [1] * len(presence), offsets, values)


READERS = {DurationPosteriors: ("presence", "minimums", "offsets", "values"),
           MixturePosteriors: ("presence", "offsets", "values"),
           TransitionPosteriors: ("presence", "values")}


def encoding(table):
    return (table.frames, table.states) + tuple(getattr(table, n)() for n in READERS[type(table)])


def rebuilt(table):
    return type(table)(*encoding(table))


def test_stated_duration_table_and_copies():
    table = DurationPosteriors(1, 2, b"\x01\x00", [1, 0], [0, 2, 2], [0.25, 0.75])
    cell = table.get(0, 0)
    assert (cell.probabilities(), cell.minimum) == ([0.25, 0.75], 1)
    assert table.get(0, 1) is None and table.get(1, 0) is None and table.get(0, 2) is None
    assert encoding(table) == (1, 2, b"\x01\x00", [1, 0], [0, 2, 2], [0.25, 0.75])
    assert encoding(rebuilt(table)) == encoding(table)
    cell.set_probabilities([9.0])
    cell.minimum = 8
    assert (table.get(0, 0).probabilities(), table.get(0, 0).minimum) == ([0.25, 0.75], 1)
    copy = table.cloned()
    table.free()
    fails(None, lambda: table.get(-1, 0), error=OverflowError)  # conversion first
    assert_closed(table, "presence", "minimums", "values", "cloned", "frames", ("get", 0, 0))
    assert encoding(copy) == encoding(rebuilt(copy))
    # An absent entry's minimum is ignored and read back as 0; values are narrowed.
    table = DurationPosteriors(1, 2, [1, 0], [4294967295, 7], [0, 3, 3], [0.1, 0.2, 0.3])
    assert table.minimums() == [4294967295, 0]
    assert table.values() == [f32(0.1), f32(0.2), f32(0.3)]
    assert table.get(0, 0).probability(4294967297) == f32(0.3)
    # A present entry may own nothing.
    empty = DurationPosteriors(1, 2, [1, 0], [1, 7], [0, 0, 0], []).get(0, 0)
    assert empty.probabilities() == [] and {empty.probability(d) for d in (0, 1, 2**64 - 1)} == {0}


@pytest.mark.parametrize("make", [durations, MixturePosteriors])
def test_layout_checks_in_order(make):
    # 1 × 2 tables, entry 0 present and entry 1 absent unless stated.
    for arguments, message in [
        ((0, 2, [1, 0], [0, 2, 2], [0.5, 0.5]), DIMENSIONS),
        ((1, 0, [1, 0], [0, 2, 2], [0.5, 0.5]), DIMENSIONS),
        ((2, 2, [1, 0], [0, 2, 2], [0.5, 0.5]), DIMENSIONS),
        ((2**32, 2**32, [1, 0], [0, 2, 2], [0.5, 0.5]), DIMENSIONS),
        ((0, 2, [7, 9], [5], []), DIMENSIONS),  # before presence
        ((1, 2, [1, 2], [0, 2, 2], [0.5, 0.5]), PRESENCE),
        ((1, 2, [2, 0], [5], []), PRESENCE),  # before any offset
        ((1, 2, [1, 0], [0, 2], [0.5, 0.5]), COVER),
        ((1, 2, [1, 0], [0, 2, 2, 2], [0.5, 0.5]), COVER),
        ((1, 2, [1, 0], [1, 3, 3], [0.5, 0.5, 0.5]), COVER),
        ((1, 2, [1, 0], [0, 2, 3], [0.5, 0.5]), COVER),
        ((1, 2, [1, 0], [0, 3, 2], [0.5, 0.5]), ORDERED),
        ((1, 2, [1, 1], [0, 3, 2], [0.5, 0.5]), ORDERED),
        ((1, 2, [1, 0], [0, 2, 3], [0.5, 0.5, 0.5]), ABSENT),
        ((1, 2, [0, 1], [0, 1, 2], [0.5, 0.5]), ABSENT),
        # The first failing entry decides: entry 0 is absent with a value before entry 1 runs back.
        ((1, 3, [0, 1, 1], [0, 1, 0, 1], [0.5]), ABSENT),
    ]:
        fails(message, lambda: make(*arguments))
    # Conversion comes before every check: presence as u8, offsets as u32.
    fails(None, lambda: make(0, 2, [1, 256], [0, 2, 2], [0.5, 0.5]),
          lambda: make(0, 2, [1, 0], [0, -1, 2], [0.5, 0.5]),
          lambda: make(0, 2, [1, 0], [0, 2**32, 2], [0.5, 0.5]), error=OverflowError)
    fails("Can't extract `str` to `Vec`", lambda: make(0, 2, [1, 0], [0, 2, 2], "ab"),
          error=TypeError)


@pytest.mark.parametrize("make,message", [(durations, DURATION_VALUES),
                                          (MixturePosteriors, MIXTURE_VALUES)])
def test_value_checks(make, message):
    for accepted in (-0.0, 1.5, 1e-46):
        table = make(2, 1, [1, 1], [0, 2, 3], [0.5, accepted, 0.25])
        assert table.values() == [0.5, f32(accepted), 0.25]
    assert math.copysign(1.0, make(1, 1, [1], [0, 1], [-0.0]).values()[0]) == -1.0
    # 1e300 becomes an infinite 32-bit value, which the table refuses.
    fails(message, *[lambda v=v: make(2, 1, [1, 1], [0, 2, 3], [0.5, v, 0.25])
                     for v in (-1.0, -0.5, math.nan, math.inf, 1e300)])
    table = make(1, 3, [1, 0, 1], [0, 0, 0, 1], [0.5])
    assert table.offsets() == [0, 0, 0, 1] and encoding(rebuilt(table)) == encoding(table)


def test_duration_minimums_and_posterior():
    fails(PRESENCE, lambda: DurationPosteriors(1, 2, [1, 2], [1], [0, 2, 2], [0.5, 0.5]))
    fails(MINIMUMS, lambda: DurationPosteriors(1, 2, [1, 0], [1], [0, 1, 1], [0.5]),
          lambda: DurationPosteriors(1, 2, [1, 0], [1, 1, 1], [9], [0.5]))
    fails(None, lambda: DurationPosteriors(0, 2, [1, 0], [1, -1], [0, 2, 2], [0.5, 0.5]),
          error=OverflowError)
    posterior = DurationPosterior(3, [0.5, 0.5])
    assert [posterior.probability(d) for d in range(6)] == [0.0, 0.0, 0.0, 0.5, 0.5, 0.0]
    odd = DurationPosterior(2**64 - 1, [-1.0, math.nan])  # no checks on a single posterior
    assert odd.probability(2**64 - 1) == -1.0 and odd.probability(0) == 0.0
    odd.minimum = 0
    odd.set_probabilities([0.1, -2.0])
    assert (odd.minimum, odd.probabilities()) == (0, [f32(0.1), -2.0])
    fails(None, lambda: setattr(odd, "minimum", -1), error=OverflowError)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del odd.minimum
    odd.close()
    with consumed():
        odd.minimum = 1
    assert_closed(odd, ("probability", 0), "minimum", "probabilities", "cloned")


def test_mixture_tables_and_collection():
    table = MixturePosteriors(2, 1, [1, 1], [0, 2, 5], [0.5, 0.5, 0.2, 0.3, 0.5])
    weights = table.get(1, 0)
    assert isinstance(weights, MixtureWeights) and weights.values() == [f32(0.2), f32(0.3), 0.5]
    weights.replace([1.0])
    assert table.get(1, 0).values() == [f32(0.2), f32(0.3), 0.5]
    assert table.get(2, 0) is None and table.get(0, 1) is None
    assert encoding(rebuilt(table)) == encoding(table)
    collection = MixturePosteriorCollection()
    assert (collection.length, collection.is_empty(), collection.get(0)) == (0, True, None)
    first = MixturePosteriors(1, 1, [1], [0, 1], [0.5])
    second = MixturePosteriors(1, 2, [0, 1], [0, 0, 2], [0.25, 0.75])
    collection.push(first)
    first.free()
    assert encoding(collection.get(0)) == (1, 1, b"\x01", [0, 1], [0.5])
    assert collection.get(1) is None
    fails("collection index out of range", lambda: collection.replace(1, second))
    fails(None, lambda: collection.replace(-1, second), error=OverflowError)
    collection.replace(0, second)
    assert encoding(collection.get(0)) == encoding(second)
    copy = collection.cloned()
    collection.clear()
    assert (collection.length, collection.is_empty(), copy.length) == (0, True, 1)
    with consumed():
        collection.push(first)
    with pytest.raises(TypeError, match="value"):
        collection.push(DurationPosterior(1, []))


def test_transition_tables():
    table = TransitionPosteriors(1, 2, [1, 0], [0.75, 0.25, math.nan, -3.0])
    assert table.values() == [0.75, 0.25, 0.0, 0.0]  # the absent entry's values are ignored
    assert table.get(0, 1) is None and table.get(1, 0) is None
    assert table.get(0, 0).values() == [0.75, 0.25] and encoding(rebuilt(table)) == encoding(table)
    for stay in (-0.0, 2.5, 1e-46):
        assert TransitionPosteriors(1, 1, [1], [stay, 0.5]).values() == [f32(stay), 0.5]
    fails(TRANSITION_VALUES, lambda: TransitionPosteriors(1, 2, [1, 1], [0.75, 0.25, math.nan, 0]),
          lambda: TransitionPosteriors(1, 1, [1], [0.5, 1e300]))
    for arguments, message in [((1, 2, [1, 0], [0.5] * 3), "transition values require two "
                                "scalars per entry"),
                               ((1, 2, [1, 2], [0.5] * 3), PRESENCE),
                               ((0, 2, [1, 2], [0.5] * 3), DIMENSIONS),
                               ((1, 3, [1, 0], [0.5] * 4), DIMENSIONS)]:
        fails(message, lambda: TransitionPosteriors(*arguments))
    fails(PAIR, lambda: TransitionPosterior([0.25]), lambda: TransitionPosterior([]),
          lambda: TransitionPosterior([0.1, 0.2, 0.3]))
    pair = TransitionPosterior([0.5, 0.5])
    fails(PAIR, lambda: pair.set_values([0.25]))
    assert pair.values() == [0.5, 0.5]
    pair.set_values([-1.0, 0.1])
    assert pair.values() == [-1.0, f32(0.1)]
    pair.free()
    fails("Can't extract `str` to `Vec`", lambda: pair.set_values("ab"), error=TypeError)
    assert_closed(pair, "values", ("set_values", [0.5, 0.5]))
