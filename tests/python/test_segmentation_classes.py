import math
import re

import pytest

from conftest import cls, f32

INCONSISTENT = "segmentation arrays have inconsistent lengths"
JUMP_RULE = "outgoing jumps must terminate with a single delta-1 transition"
BAD_WEIGHT = "transition weights must be finite and nonnegative"
INVALID_OCCURRENCES = "resegmentation has invalid states or boundaries"


def raises_value(message):
    return pytest.raises(ValueError, match="^" + re.escape(message) + "$")


def consumed():
    return pytest.raises(RuntimeError, match="^owner has been consumed$")


def jumps(group):
    return group.deltas(), group.probabilities()


def test_shapes_and_signatures(precision):
    Segmentation = cls("Segmentation", precision)
    assert Segmentation.__text_signature__ == "(streams, segments)"
    assert Segmentation.add_jump.__text_signature__ == "($self, state, delta, probability)"
    empty = Segmentation(0, 0)
    assert (empty.streams, empty.segments, empty.boundaries()) == (0, 0, [])
    empty.validate()
    s = Segmentation(2, 3)
    assert s.boundaries() == s.duration_states() == [0, 0, 0]
    assert s.output_states(0) == s.output_states(1) == [0, 0, 0]
    assert jumps(s.outgoing(2)) == ([1], [1.0])
    s.validate()
    # The row look-up raises where the other look-ups answer None.
    with raises_value("output stream index out of range"):
        s.output_states(2)
    assert s.outgoing(3) is None
    with raises_value("segmentation shape exceeds the legacy format"):
        Segmentation(2**31, 1)
    with raises_value("segmentation shape exceeds the legacy format"):
        Segmentation(1, 2**31)
    for bad in ((-1, 1), (1, -1)):
        with pytest.raises(OverflowError):
            Segmentation(*bad)
    with pytest.raises(OverflowError):
        s.output_states(-1)
    with pytest.raises(OverflowError):
        s.outgoing(-1)


def test_shape_alloc_fail(precision):
    # Within the legacy range but far beyond any memory: refused before allocating.
    with pytest.raises(MemoryError):
        cls("Segmentation", precision)(2**31 - 1, 2**31 - 1)


def test_array_setters(precision):
    s = cls("Segmentation", precision)(2, 3)
    s.set_boundaries([-1, 5, 3])
    assert s.boundaries() == [-1, 5, 3]
    s.set_boundaries([-(2**31), 2**31 - 1, 0])
    assert s.boundaries() == [-(2**31), 2**31 - 1, 0]
    with raises_value("boundary count differs"):
        s.set_boundaries([1, 2])
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        s.set_boundaries([2**31, 0, 0])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        s.set_boundaries("abc")
    assert s.boundaries() == [-(2**31), 2**31 - 1, 0]
    s.set_duration_states((4, 5, 6))
    assert s.duration_states() == [4, 5, 6]
    with raises_value("duration state count differs"):
        s.set_duration_states([1])
    s.set_output_states(1, [7, -8, 9])
    assert (s.output_states(0), s.output_states(1)) == ([0, 0, 0], [7, -8, 9])
    # The index is checked before the length.
    with raises_value("output stream index out of range"):
        s.set_output_states(5, [1])
    with raises_value("output state count differs"):
        s.set_output_states(0, [1, 2])
    assert s.output_states(0) == [0, 0, 0]


def test_replace_copies_everything_and_refuses_itself(precision):
    Segmentation = cls("Segmentation", precision)
    source = Segmentation(1, 2)
    source.set_boundaries([2, 4])
    source.add_jump(0, 3, 0.5)
    target = Segmentation(3, 5)
    target.replace(source)
    assert (target.streams, target.segments, target.boundaries()) == (1, 2, [2, 4])
    assert jumps(target.outgoing(0)) == ([3, 1], [0.5, 1.0])
    source.add_jump(1, -1, 0.25)
    assert jumps(target.outgoing(1)) == ([1], [1.0])
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        target.replace(target)
    source.free()
    with consumed():
        target.replace(source)
    with pytest.raises(TypeError, match="value"):
        target.replace(cls("JumpGroup", precision)([], []))
    # Conversion comes before the closed check of the receiver.
    target.close()
    with pytest.raises(TypeError):
        target.replace(cls("JumpGroup", precision)([], []))
    with consumed():
        target.replace(source)
    with consumed():
        target.boundaries()


def test_add_jump(precision):
    s = cls("Segmentation", precision)(1, 3)
    s.add_jump(0, 2, 0.5)
    assert jumps(s.outgoing(0)) == ([2, 1], [0.5, 1.0])
    s.add_jump(0, 1, 0.25)
    assert jumps(s.outgoing(0)) == ([2, 1], [0.5, 0.25])
    s.add_jump(0, 2, 0.1)
    assert s.outgoing(0).deltas() == [2, 2, 1]
    with raises_value("jump source is out of range"):
        s.add_jump(3, 1, 1.0)
    # The weight is checked before the source.
    for state in (0, 3):
        with raises_value(BAD_WEIGHT):
            s.add_jump(state, 1, -1.0)
        with raises_value(BAD_WEIGHT):
            s.add_jump(state, 1, float("nan"))
    s.add_jump(1, 1, -0.0)
    assert math.copysign(1.0, s.outgoing(1).probabilities()[0]) == -1.0
    with pytest.raises(OverflowError):
        s.add_jump(0, 2**31, 0.5)
    with pytest.raises(OverflowError):
        s.add_jump(-1, 1, 0.5)
    # Out-of-chain targets are stored and ignored by the graph.
    t = cls("Segmentation", precision)(1, 3)
    t.add_jump(0, -1, 0.5)
    t.add_jump(0, 7, 0.5)
    assert t.outgoing(0).deltas() == [-1, 7, 1]
    graph = t.build_transitions()
    assert [jumps(graph.incoming(i)) for i in range(3)] == [([-1], [1.0])] * 3


def test_add_jump_rounds_in_single_precision(precision):
    s = cls("Segmentation", precision)(1, 3)
    if precision == "F32":
        with raises_value(BAD_WEIGHT):
            s.add_jump(0, 2, 1e300)
        assert s.outgoing(0).deltas() == [1]
    else:
        s.add_jump(0, 2, 1e300)
        assert jumps(s.outgoing(0)) == ([2, 1], [1e300, 1.0])


def test_set_outgoing(precision):
    JumpGroup = cls("JumpGroup", precision)
    s = cls("Segmentation", precision)(1, 3)
    s.set_outgoing(1, JumpGroup([2, 1], [0.3, 0.7]))
    rounded = [f32(0.3), f32(0.7)] if precision == "F32" else [0.3, 0.7]
    assert jumps(s.outgoing(1)) == ([2, 1], rounded)
    for bad in (JumpGroup([2], [0.5]), JumpGroup([1, 1], [0.5, 0.5]), JumpGroup([1, 2], [0.7, 0.3]),
                JumpGroup([], [])):
        with raises_value(JUMP_RULE):
            s.set_outgoing(0, bad)
        assert jumps(s.outgoing(0)) == ([1], [1.0])
    # The index is refused before the list is looked at.
    with raises_value("jump state index out of range"):
        s.set_outgoing(9, JumpGroup([2], [0.5]))
    group = JumpGroup([-3, 1], [float("nan"), 2.0])
    s.set_outgoing(2, group)  # probabilities are not checked here
    assert group.length == 2 and not group.is_closed
    group.free()
    with consumed():
        s.set_outgoing(0, group)


def test_jump_group(precision):
    JumpGroup = cls("JumpGroup", precision)
    assert JumpGroup.__text_signature__ == "(deltas, probabilities)"
    empty = JumpGroup([], [])
    assert (empty.length, empty.deltas(), empty.probabilities()) == (0, [], [])
    with raises_value("jump deltas and probabilities differ"):
        JumpGroup([2, 1], [0.5])
    with raises_value("jump deltas and probabilities differ"):
        JumpGroup([1], [])
    # The deltas are converted before the lengths are compared.
    with pytest.raises(OverflowError):
        JumpGroup([2**31], [0.5, 0.5])
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        JumpGroup([1], "x")
    expected = 0.10000000149011612 if precision == "F32" else 0.1
    assert JumpGroup([1], [0.1]).probabilities() == [expected]
    odd = JumpGroup([5, -3], [-1.0, float("nan")])
    assert odd.deltas() == [5, -3]
    assert odd.probabilities()[0] == -1.0 and math.isnan(odd.probabilities()[1])
    copy = odd.cloned()
    odd.free()
    assert copy.deltas() == [5, -3]


def test_transition_graph(precision):
    s = cls("Segmentation", precision)(1, 3)
    graph = s.build_transitions()
    assert type(graph).__name__ == "TransitionGraph" + precision
    assert [jumps(graph.incoming(i)) for i in range(3)] == [([-1], [1.0])] * 3
    assert graph.incoming(3) is None and graph.outgoing(3) is None
    assert graph.outgoing(2).deltas() == [1]
    with pytest.raises(OverflowError):
        graph.incoming(-1)
    s.add_jump(0, 2, 0.5)
    s.add_jump(0, 1, 0.25)
    s.add_jump(1, -1, 0.125)
    graph = s.build_transitions()
    assert jumps(graph.incoming(0)) == ([1, -1], [0.125, 1.0])
    assert jumps(graph.incoming(1)) == ([-1], [0.25])
    assert jumps(graph.incoming(2)) == ([-2, -1], [0.5, 1.0])
    assert jumps(graph.outgoing(0)) == ([2, 1], [0.5, 0.25])
    copy = graph.cloned()
    before = graph.segmentation()
    taken = graph.into_segmentation()
    assert graph.is_closed and not copy.is_closed
    with consumed():
        graph.incoming(0)
    with consumed():
        graph.into_segmentation()
    assert (taken.boundaries(), jumps(taken.outgoing(0))) == (
        before.boundaries(), jumps(before.outgoing(0)))
    assert cls("Segmentation", precision)(2, 0).build_transitions().incoming(0) is None


def test_build_transitions_failures(precision):
    s = cls("Segmentation", precision)(1, 3)
    s.set_outgoing(2, cls("JumpGroup", precision)([9, 1], [float("nan"), 1.0]))
    # The weight is checked even though the jump leaves the chain.
    with raises_value(BAD_WEIGHT):
        s.build_transitions()
    assert not s.is_closed and s.outgoing(2).deltas() == [9, 1]
    with raises_value(BAD_WEIGHT):
        s.build_transitions_owned()
    assert s.is_closed
    with consumed():
        s.build_transitions_owned()
    good = cls("Segmentation", precision)(1, 2)
    graph = good.build_transitions_owned()
    assert good.is_closed and jumps(graph.incoming(1)) == ([-1], [1.0])


def test_resegment(precision):
    template = cls("Segmentation", precision)(2, 3)
    template.set_duration_states([10, 11, 12])
    template.set_output_states(0, [20, 21, 22])
    template.set_output_states(1, [30, 31, 32])
    template.add_jump(0, 2, 0.5)
    template.add_jump(2, 1, 0.5)
    result = template.resegment([0, 4, 2, 9])
    assert (result.streams, result.segments, result.boundaries()) == (2, 2, [4, 9])
    assert result.duration_states() == [10, 12]
    assert (result.output_states(0), result.output_states(1)) == ([20, 22], [30, 32])
    assert [jumps(result.outgoing(i)) for i in range(2)] == [([1], [1.0])] * 2
    repeated = template.resegment([1, 0, 1, 0, 0, 5])
    assert (repeated.boundaries(), repeated.duration_states()) == ([0, 0, 5], [11, 11, 10])
    empty = template.resegment([])
    assert (empty.streams, empty.segments, empty.output_states(1)) == (2, 0, [])
    with raises_value("state occurrences require state/end pairs"):
        template.resegment([0, 4, 2])
    for bad in ([0, 9, 1, 4], [3, 4], [0, 2147483648]):
        with raises_value(INVALID_OCCURRENCES):
            template.resegment(bad)
    with pytest.raises(OverflowError):
        template.resegment([0, -1])
    with pytest.raises(OverflowError):
        template.resegment([0, 2**32])
    assert template.boundaries() == [0, 0, 0]


def test_closed_segmentation(precision):
    s = cls("Segmentation", precision)(1, 1)
    assert s.free() is None and s.free() is None and s.close() is None
    assert s.is_closed
    for call in (lambda: s.segments, s.boundaries, s.cloned, s.validate, s.build_transitions,
                 lambda: s.outgoing(0), lambda: s.add_jump(0, 1, 1.0),
                 lambda: s.resegment([])):
        with consumed():
            call()
    with pytest.raises(OverflowError):
        s.outgoing(-1)  # conversion first


def test_copies_are_independent(precision):
    s = cls("Segmentation", precision)(1, 2)
    copy = s.cloned()
    copy.set_boundaries([1, 2])
    group = s.outgoing(0)
    assert s.boundaries() == [0, 0] and group.length == 1
    graph = s.build_transitions()
    s.add_jump(0, 1, 0.5)
    assert jumps(graph.outgoing(0)) == ([1], [1.0])
    assert jumps(graph.segmentation().outgoing(0)) == ([1], [1.0])
