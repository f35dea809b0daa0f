"""Decoding results: geometric paths, HSMM score pairs and HSMM paths."""

import math

import numpy as np
import pytest

from conftest import other
from model_support import assert_closed, consumed, fails, make

ONE_SCALAR = "path log probability requires one scalar"
PAIRS = "occurrences require state/end pairs"
U32_RANGE = "out of range integral type conversion attempted"


def scores(precision, frames=1, states=2, start=0.0):
    return make("StateScores", precision, frames, states,
                [start + i for i in range(frames * states)])


def closed_copy(value):
    copy = value.cloned()
    copy.free()
    return copy


def test_geometric_path(precision):
    table = scores(precision)
    path = make("GeometricPath", precision, [0, 0, 1], [2, 3], [-12.5], table)
    assert (path.states(), path.boundaries(), path.log_probability()) == ([0, 0, 1], [2, 3],
                                                                          [-12.5])
    empty = make("GeometricPath", precision, [], np.array([], dtype=np.uint32), [0.0], table)
    assert (empty.states(), empty.boundaries()) == ([], [])
    path.set_states([4294967295, 7])
    path.set_log_probability([math.inf])
    assert (path.states(), path.log_probability()) == ([4294967295, 7], [math.inf])
    fails(ONE_SCALAR, lambda: make("GeometricPath", precision, [0], [1], [], table),
          lambda: make("GeometricPath", precision, [0], [1], [1.0, 2.0], table),
          lambda: path.set_log_probability([1.0, 2.0]))
    fails(U32_RANGE, lambda: make("GeometricPath", precision, [4294967296], [], [0.0], table),
          lambda: path.set_boundaries([-1]), error=OverflowError)
    assert (path.boundaries(), path.log_probability()) == ([2, 3], [math.inf])
    with pytest.raises(TypeError, match="^argument 'scores'"):
        make("GeometricPath", precision, [], [], [0.0], scores(other(precision)))
    with consumed():  # the closed table is refused before the log probability is counted
        make("GeometricPath", precision, [], [], [], closed_copy(table))
    replacement = scores(precision, 2, 1, 5.0)
    path.set_scores(replacement)
    replacement.free()
    path.scores().free()
    assert path.scores().values() == [5.0, 6.0]
    copy = path.cloned()
    copy.set_states([9])
    path.free()
    with pytest.raises(OverflowError):  # conversion before the closed check
        path.set_states([-1])
    assert_closed(path, ("set_log_probability", [1.0, 2.0]), "states", "boundaries",
                  "log_probability", "scores", "cloned", ("set_scores", table))
    assert copy.states() == [9]


def test_score_pairs(precision):
    table = scores(precision, 2, 3)
    pair = make("HsmmScores", precision, table, scores(precision, 4, 1, 10.0))
    assert (pair.begin().frames, pair.begin().states, pair.end().values()) == (
        2, 3, [10.0, 11.0, 12.0, 13.0])
    same = make("HsmmScores", precision, table, table)  # two independent copies
    same.begin().free()
    assert same.end().values() == table.values() and same.begin().states == 3
    replacement = scores(precision, 1, 1, 7.0)
    handed_out = pair.end()
    pair.set_end(replacement)
    pair.set_begin(replacement)
    replacement.free()
    assert pair.end().values() == pair.begin().values() == [7.0]
    assert handed_out.values() == [10.0, 11.0, 12.0, 13.0]
    copy = pair.cloned()
    copy.set_begin(table)
    assert pair.begin().values() == [7.0]
    wrong = scores(other(precision))
    fails(None, lambda: make("HsmmScores", precision, table, wrong),
          lambda: make("HsmmScores", precision, make("LogEmissions", precision, 1, 1, [0]), table),
          lambda: pair.set_begin(wrong), lambda: pair.set_end(wrong), error=TypeError)
    closed = closed_copy(table)
    for call in (lambda: make("HsmmScores", precision, closed, table),
                 lambda: make("HsmmScores", precision, table, closed),
                 lambda: pair.set_end(closed)):
        with consumed():
            call()
    assert pair.end().values() == [7.0]
    pair.close()
    fails(None, lambda: pair.set_begin(wrong), error=TypeError)
    assert_closed(pair, "begin", "end", "cloned", ("set_begin", table))


def hsmm_path(precision, occurrences=(0, 3, 1, 5), log_probability=(-12.5,)):
    pair = make("HsmmScores", precision, scores(precision), scores(precision, 2, 1, 4.0))
    return make("HsmmPath", precision, list(occurrences), list(log_probability), pair)


def test_hsmm_paths(precision):
    path = hsmm_path(precision)
    assert (path.occurrences(), path.log_probability()) == ([0, 3, 1, 5], [-12.5])
    assert path.scores().end().values() == [4.0, 5.0]
    assert hsmm_path(precision, (), (0.0,)).occurrences() == []
    assert hsmm_path(precision, (0, 4294967295)).occurrences() == [0, 4294967295]
    fails(ONE_SCALAR, lambda: hsmm_path(precision, (0, 3, 1), ()),  # before the pairing
          lambda: path.set_log_probability([1.0, 2.0]))
    fails(PAIRS, lambda: hsmm_path(precision, (0, 3, 1), (-5.0,)),
          lambda: path.set_occurrences([1, 2, 3]))
    fails(U32_RANGE, lambda: hsmm_path(precision, (0, -1)), error=OverflowError)
    assert (path.occurrences(), path.log_probability()) == ([0, 3, 1, 5], [-12.5])
    path.set_occurrences(np.array([0, 3, 1, 7]))
    assert path.occurrences() == [0, 3, 1, 7]
    path.set_occurrences([])
    assert path.occurrences() == []
    wrong_pair = make("HsmmScores", other(precision), scores(other(precision)),
                      scores(other(precision)))
    fails(None, lambda: make("HsmmPath", precision, [], [0.0], wrong_pair),
          lambda: path.set_scores(scores(precision)), error=TypeError)
    closed = closed_copy(path.scores())
    with consumed():
        make("HsmmPath", precision, [0, 3, 1], [], closed)
    with consumed():
        path.set_scores(closed)
    out = path.scores()
    out.set_end(scores(precision, 1, 1, 3.0))
    copy = path.cloned()
    copy.set_occurrences([2, 2])
    assert path.scores().end().values() == [4.0, 5.0] and path.occurrences() == []
    path.free()
    assert_closed(path, "occurrences", "log_probability", "scores", "cloned",
                  ("set_log_probability", [1.0, 2.0]), ("set_occurrences", [1]))
