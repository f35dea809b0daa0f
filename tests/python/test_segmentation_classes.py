import math

import pytest

from conftest import cls
from model_support import assert_closed, consumed, fails, rounded

JUMP_RULE = "outgoing jumps must terminate with a single delta-1 transition"
BAD_WEIGHT = "transition weights must be finite and nonnegative"
OUTPUT_INDEX = "output stream index out of range"
LEGACY_SHAPE = "segmentation shape exceeds the legacy format"


def jumps(group):
    return group.deltas(), group.probabilities()


def chain(precision, segments=3, streams=1):
    return cls("Segmentation", precision)(streams, segments)


def test_shape_arrays_and_AllocFail(precision):
    empty = chain(precision, 0, 0)
    assert (empty.streams, empty.segments, empty.boundaries(), empty.validate()) == (0, 0, [], None)
    assert empty.write() and empty.build_transitions().incoming(0) is None
    s = chain(precision, 3, 2)
    assert s.boundaries() == s.duration_states() == s.output_states(0) == s.output_states(1) == [
        0, 0, 0]
    assert s.validate() is None and jumps(s.outgoing(2)) == ([1], [1.0]) and s.outgoing(3) is None
    # The row look-up raises where the other look-ups answer None; the index comes first.
    fails(OUTPUT_INDEX, lambda: s.output_states(2), lambda: s.set_output_states(5, [1]))
    fails(LEGACY_SHAPE, lambda: chain(precision, 1, 2**31), lambda: chain(precision, 2**31, 1))
    fails(None, lambda: chain(precision, 1, -1), lambda: s.output_states(-1),
          lambda: s.outgoing(-1), error=OverflowError)
    # Within the legacy range but far beyond any memory: refused before allocating.
    fails(None, lambda: chain(precision, 2**31 - 1, 2**31 - 1), error=MemoryError)
    s.set_boundaries([-1, 5, 3])  # order is checked only where it matters
    fails("boundary count differs", lambda: s.set_boundaries([1, 2]))
    assert s.boundaries() == [-1, 5, 3]
    s.set_duration_states((4, 5, 6))
    fails("duration state count differs", lambda: s.set_duration_states([1]))
    s.set_output_states(1, [7, -8, 9])
    fails("output state count differs", lambda: s.set_output_states(0, [1, 2]))
    assert (s.duration_states(), s.output_states(0), s.output_states(1)) == (
        [4, 5, 6], [0, 0, 0], [7, -8, 9])


def test_replace_copies_jumps_and_refuses_itself(precision):
    source = chain(precision, 2)
    source.set_boundaries([2, 4])
    source.add_jump(0, 3, 0.5)
    target = chain(precision, 5, 3)
    target.replace(source)
    source.add_jump(1, -1, 0.25)
    assert (target.streams, target.segments, target.boundaries()) == (1, 2, [2, 4])
    assert jumps(target.outgoing(0)) == ([3, 1], [0.5, 1.0])
    assert jumps(target.outgoing(1)) == ([1], [1.0])
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        target.replace(target)
    source.free()
    with consumed():
        target.replace(source)


def test_add_jump(precision):
    s = chain(precision)
    s.add_jump(0, 2, 0.5)
    assert jumps(s.outgoing(0)) == ([2, 1], [0.5, 1.0])
    s.add_jump(0, 1, 0.25)
    assert jumps(s.outgoing(0)) == ([2, 1], [0.5, 0.25])
    s.add_jump(0, 2, 0.1)
    assert s.outgoing(0).deltas() == [2, 2, 1]
    fails("jump source is out of range", lambda: s.add_jump(3, 1, 1.0))
    # The weight is checked before the source; 1e300 is an infinity in 32 bits.
    fails(BAD_WEIGHT, lambda: s.add_jump(0, 1, -1.0), lambda: s.add_jump(3, 1, -1.0),
          lambda: s.add_jump(0, 1, math.nan))
    s.add_jump(1, 1, -0.0)
    assert math.copysign(1.0, s.outgoing(1).probabilities()[0]) == -1.0
    if precision == "F32":
        fails(BAD_WEIGHT, lambda: s.add_jump(2, 2, 1e300))
    else:
        s.add_jump(2, 2, 1e300)
        assert jumps(s.outgoing(2)) == ([2, 1], [1e300, 1.0])
    fails(None, lambda: s.add_jump(0, 2**31, 0.5), error=OverflowError)
    # Out-of-chain targets are stored and skipped by the graph.
    t = chain(precision)
    t.add_jump(0, -1, 0.5)
    t.add_jump(0, 7, 0.5)
    assert t.outgoing(0).deltas() == [-1, 7, 1]
    assert [jumps(t.build_transitions().incoming(i)) for i in range(3)] == [([-1], [1.0])] * 3


def test_set_outgoing_and_jump_groups(precision):
    JumpGroup = cls("JumpGroup", precision)
    s = chain(precision)
    s.set_outgoing(1, JumpGroup([2, 1], [0.3, 0.7]))
    assert jumps(s.outgoing(1)) == ([2, 1], [rounded(precision, 0.3), rounded(precision, 0.7)])
    fails(JUMP_RULE, *[lambda g=g: s.set_outgoing(0, JumpGroup(*g)) for g in [
        ([2], [0.5]), ([1, 1], [0.5, 0.5]), ([1, 2], [0.7, 0.3]), ([], [])]])
    assert jumps(s.outgoing(0)) == ([1], [1.0])
    # The index is refused before the list is looked at.
    fails("jump state index out of range", lambda: s.set_outgoing(9, JumpGroup([2], [0.5])))
    s.set_outgoing(2, JumpGroup([-3, 1], [math.nan, 2.0]))  # probabilities unchecked here
    assert (JumpGroup([], []).length, JumpGroup([], []).deltas()) == (0, [])
    fails("jump deltas and probabilities differ", lambda: JumpGroup([2, 1], [0.5]),
          lambda: JumpGroup([1], []))
    # The deltas are converted before the lengths are compared.
    fails(None, lambda: JumpGroup([2**31], [0.5, 0.5]), error=OverflowError)
    assert JumpGroup([1], [0.1]).probabilities() == [rounded(precision, 0.1)]
    odd = JumpGroup([5, -3], [-1.0, math.nan])
    assert odd.deltas() == [5, -3] and odd.probabilities()[0] == -1.0
    assert math.isnan(odd.probabilities()[1])


def test_transition_graph(precision):
    s = chain(precision)
    graph = s.build_transitions()
    assert [jumps(graph.incoming(i)) for i in range(3)] == [([-1], [1.0])] * 3
    assert graph.incoming(3) is None and graph.outgoing(3) is None
    assert graph.outgoing(2).deltas() == [1]
    s.add_jump(0, 2, 0.5)
    s.add_jump(0, 1, 0.25)
    s.add_jump(1, -1, 0.125)
    graph = s.build_transitions()
    assert jumps(graph.incoming(0)) == ([1, -1], [0.125, 1.0])
    assert jumps(graph.incoming(1)) == ([-1], [0.25])
    assert jumps(graph.incoming(2)) == ([-2, -1], [0.5, 1.0])
    before = graph.segmentation()
    taken = graph.into_segmentation()
    assert_closed(graph, ("incoming", 0), "into_segmentation")
    assert taken.write() == before.write()
    s.set_outgoing(2, cls("JumpGroup", precision)([9, 1], [math.nan, 1.0]))
    # The weight is checked even though the jump leaves the chain.
    fails(BAD_WEIGHT, s.build_transitions)
    assert not s.is_closed
    fails(BAD_WEIGHT, s.build_transitions_owned)
    assert s.is_closed


def test_resegment(precision):
    template = chain(precision, 3, 2)
    template.set_duration_states([10, 11, 12])
    template.set_output_states(0, [20, 21, 22])
    template.set_output_states(1, [30, 31, 32])
    template.add_jump(0, 2, 0.5)
    result = template.resegment([0, 4, 2, 9])
    assert (result.streams, result.segments, result.boundaries()) == (2, 2, [4, 9])
    assert result.duration_states() == [10, 12]
    assert (result.output_states(0), result.output_states(1)) == ([20, 22], [30, 32])
    assert [jumps(result.outgoing(i)) for i in range(2)] == [([1], [1.0])] * 2
    repeated = template.resegment([1, 0, 1, 0, 0, 5])
    assert (repeated.boundaries(), repeated.duration_states()) == ([0, 0, 5], [11, 11, 10])
    empty = template.resegment([])
    assert (empty.streams, empty.segments, empty.output_states(1)) == (2, 0, [])
    fails("state occurrences require state/end pairs", lambda: template.resegment([0, 4, 2]))
    fails("resegmentation has invalid states or boundaries",
          *[lambda o=o: template.resegment(o) for o in ([0, 9, 1, 4], [3, 4], [0, 2**31])])
    fails(None, lambda: template.resegment([0, -1]), error=OverflowError)
    assert template.boundaries() == [0, 0, 0]
    template.free()
    assert_closed(template, "segments", "boundaries", "cloned", "validate", "build_transitions",
                  ("outgoing", 0), ("add_jump", 0, 1, 1.0), ("resegment", []))
