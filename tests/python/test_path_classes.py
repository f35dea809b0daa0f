"""Decoding results: geometric paths, HSMM score pairs and HSMM paths."""

import math

import numpy as np
import pytest

from model_support import consumed, make, raises_value

ONE_SCALAR = "path log probability requires one scalar"
U32_RANGE = "out of range integral type conversion attempted"


def scores(precision, frames=1, states=2, start=0.0):
    return make("StateScores", precision, frames, states,
                [start + i for i in range(frames * states)])


def other(precision):
    return "F64" if precision == "F32" else "F32"


def geometric_path(precision, states=(0, 0, 1), boundaries=(2, 3), log_probability=(-12.5,)):
    return make("GeometricPath", precision, list(states), list(boundaries),
                list(log_probability), scores(precision))


def test_geometric_path_parts(precision):
    path = geometric_path(precision)
    assert (path.states(), path.boundaries(), path.log_probability()) == ([0, 0, 1], [2, 3],
                                                                          [-12.5])
    assert path.scores().values() == [0.0, 1.0]
    empty = make("GeometricPath", precision, [], np.array([], dtype=np.uint32), [0.0],
                 scores(precision))
    assert (empty.states(), empty.boundaries()) == ([], [])
    path.set_states([4294967295, 7])
    path.set_boundaries(np.array([5], dtype=np.int64))
    path.set_log_probability([math.inf])
    assert (path.states(), path.boundaries(), path.log_probability()) == ([4294967295, 7], [5],
                                                                          [math.inf])


def test_geometric_path_checks(precision):
    table = scores(precision)
    for bad in ([], [1.0, 2.0]):
        with raises_value(ONE_SCALAR):
            make("GeometricPath", precision, [0], [1], bad, table)
    path = geometric_path(precision)
    with raises_value(ONE_SCALAR):
        path.set_log_probability([1.0, 2.0])
    assert path.log_probability() == [-12.5]
    for bad in (4294967296, -1):
        with pytest.raises(OverflowError, match=U32_RANGE):
            make("GeometricPath", precision, [bad], [], [0.0], table)
        with pytest.raises(OverflowError, match=U32_RANGE):
            path.set_boundaries([bad])
    assert path.boundaries() == [2, 3]
    with pytest.raises(TypeError, match="^argument 'states': Can't extract `str` to `Vec`$"):
        make("GeometricPath", precision, "0", [], [], table)
    with pytest.raises(TypeError, match="^argument 'scores'"):
        make("GeometricPath", precision, [], [], [0.0], scores(other(precision)))
    with pytest.raises(TypeError, match="^argument 'value'"):
        path.set_scores(make("LogEmissions", precision, 1, 1, [0.0]))
    table.free()
    with consumed():  # the closed table is refused before the log probability is counted
        make("GeometricPath", precision, [], [], [], table)
    with consumed():
        path.set_scores(table)


def test_geometric_path_copies(precision):
    table = scores(precision)
    path = make("GeometricPath", precision, [0], [1], [0.0], table)
    replacement = scores(precision, 2, 1, 5.0)
    path.set_scores(replacement)
    replacement.free()
    table.free()
    out = path.scores()
    assert (out.frames, out.values()) == (2, [5.0, 6.0])
    out.free()
    assert path.scores().values() == [5.0, 6.0]
    copy = path.cloned()
    copy.set_states([9])
    copy.set_scores(scores(precision))
    assert path.states() == [0] and path.scores().frames == 2
    path.free()
    assert path.is_closed and path.free() is None and copy.states() == [9]
    with consumed():
        path.set_log_probability([1.0, 2.0])
    for reader in ("states", "boundaries", "log_probability", "scores", "cloned"):
        with consumed():
            getattr(path, reader)()
    with consumed():
        path.set_states([])
    with pytest.raises(OverflowError):  # conversion before the closed check
        path.set_states([-1])


def test_score_pairs_hold_independent_copies(precision):
    table = scores(precision, 2, 3)
    pair = make("HsmmScores", precision, table, scores(precision, 4, 1, 10.0))
    assert type(pair).__text_signature__ == "(begin, end)"
    assert (pair.begin().frames, pair.begin().states, pair.end().values()) == (
        2, 3, [10.0, 11.0, 12.0, 13.0])
    same = type(pair)(begin=table, end=table)
    begin = same.begin()
    begin.free()
    assert same.end().values() == table.values() and same.begin().states == 3
    replacement = scores(precision, 1, 1, 7.0)
    handed_out = pair.end()
    pair.set_end(replacement)
    pair.set_begin(replacement)
    replacement.free()
    assert pair.end().values() == [7.0] and pair.begin().values() == [7.0]
    assert handed_out.values() == [10.0, 11.0, 12.0, 13.0]
    copy = pair.cloned()
    copy.set_begin(table)
    assert pair.begin().values() == [7.0] and copy.begin().frames == 2


def test_score_pair_checks(precision):
    table = scores(precision)
    wrong = scores(other(precision))
    with pytest.raises(TypeError, match="^argument 'end'"):
        make("HsmmScores", precision, table, wrong)
    with pytest.raises(TypeError, match="^argument 'begin'"):
        make("HsmmScores", precision, make("LogEmissions", precision, 1, 1, [0.0]), table)
    pair = make("HsmmScores", precision, table, table)
    for setter in (pair.set_begin, pair.set_end):
        with pytest.raises(TypeError, match="^argument 'value'"):
            setter(wrong)
    closed = table.cloned()
    closed.free()
    for arguments in ((closed, table), (table, closed)):
        with consumed():
            make("HsmmScores", precision, *arguments)
    with consumed():
        pair.set_end(closed)
    assert pair.end().values() == [0.0, 1.0]
    pair.close()
    for reader in ("begin", "end", "cloned"):
        with consumed():
            getattr(pair, reader)()
    with consumed():
        pair.set_begin(table)
    with pytest.raises(TypeError):
        pair.set_begin(wrong)


def hsmm_path(precision, occurrences=(0, 3, 1, 5), log_probability=(-12.5,)):
    pair = make("HsmmScores", precision, scores(precision), scores(precision, 2, 1, 4.0))
    return make("HsmmPath", precision, list(occurrences), list(log_probability), pair)


def test_hsmm_path_parts(precision):
    path = hsmm_path(precision)
    assert (path.occurrences(), path.log_probability()) == ([0, 3, 1, 5], [-12.5])
    assert (path.scores().begin().values(), path.scores().end().values()) == ([0.0, 1.0],
                                                                              [4.0, 5.0])
    assert hsmm_path(precision, (), (0.0,)).occurrences() == []
    assert hsmm_path(precision, (0, 4294967295)).occurrences() == [0, 4294967295]
    path.set_occurrences(np.array([0, 3, 1, 7]))
    assert path.occurrences() == [0, 3, 1, 7]
    path.set_occurrences([])
    assert path.occurrences() == []
    path.set_log_probability([math.nan])
    assert math.isnan(path.log_probability()[0])


def test_hsmm_path_checks(precision):
    with raises_value(ONE_SCALAR):  # the log probability is checked before the pairing
        hsmm_path(precision, (0, 3, 1), ())
    with raises_value("occurrences require state/end pairs"):
        hsmm_path(precision, (0, 3, 1), (-5.0,))
    with pytest.raises(OverflowError, match=U32_RANGE):
        hsmm_path(precision, (0, -1))
    path = hsmm_path(precision)
    with raises_value("occurrences require state/end pairs"):
        path.set_occurrences([1, 2, 3])
    with raises_value(ONE_SCALAR):
        path.set_log_probability([1.0, 2.0])
    assert (path.occurrences(), path.log_probability()) == ([0, 3, 1, 5], [-12.5])
    table = scores(precision)
    wrong_pair = make("HsmmScores", other(precision), scores(other(precision)),
                      scores(other(precision)))
    with pytest.raises(TypeError, match="^argument 'scores'"):
        make("HsmmPath", precision, [], [0.0], wrong_pair)
    with pytest.raises(TypeError, match="^argument 'value'"):
        path.set_scores(table)
    closed = make("HsmmScores", precision, table, table)
    closed.free()
    with consumed():
        make("HsmmPath", precision, [0, 3, 1], [], closed)
    with consumed():
        path.set_scores(closed)


def test_hsmm_path_copies_and_closing(precision):
    path = hsmm_path(precision)
    pair = make("HsmmScores", precision, scores(precision, 1, 1, 9.0), scores(precision))
    path.set_scores(pair)
    pair.set_begin(scores(precision))
    pair.free()
    out = path.scores()
    assert out.begin().values() == [9.0]
    out.set_end(scores(precision, 1, 1, 3.0))
    assert path.scores().end().values() == [0.0, 1.0]
    copy = path.cloned()
    copy.set_occurrences([2, 2])
    assert path.occurrences() == [0, 3, 1, 5]
    path.free()
    assert path.is_closed and path.free() is None and copy.occurrences() == [2, 2]
    for reader in ("occurrences", "log_probability", "scores", "cloned"):
        with consumed():
            getattr(path, reader)()
    with consumed():
        path.set_log_probability([1.0, 2.0])
    with consumed():
        path.set_occurrences([1])
