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
