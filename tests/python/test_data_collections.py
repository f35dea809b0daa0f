import pytest

from conftest import cls, other
from model_support import assert_closed, consumed, fails


def stream(precision, seed):
    return cls("ObservationStream", precision)(1, [float(seed)])


def observation(precision, seed):
    o = cls("Observation", precision)(1, [1])
    o.set_stream(0, stream(precision, seed))
    return o


def segmentation(precision, seed):
    s = cls("Segmentation", precision)(1, 1)
    s.set_boundaries([seed])
    return s


# Per collection: its element factory, a reader of an element's content, and a change to it.
KINDS = {
    "ObservationStreamCollection": (stream, lambda x: x.values(),
                                    lambda x, p: x.replace(1, [-1.0])),
    "ObservationCollection": (observation, lambda x: x.frame(0, 0),
                              lambda x, p: x.set_stream(0, stream(p, -1))),
    "SegmentationCollection": (segmentation, lambda x: x.boundaries(),
                               lambda x, p: x.set_boundaries([-1])),
}


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_collections(kind, precision):
    make, read, change = KINDS[kind]
    c = cls(kind, precision)()
    assert (c.length, c.is_empty(), c.get(0)) == (0, True, None)
    first, second = make(precision, 1), make(precision, 2)
    c.push(first)
    c.push(second)
    change(first, precision)  # stored and returned elements are copies
    change(c.get(0), precision)
    assert [read(c.get(i)) for i in range(2)] == [read(make(precision, 1)), read(second)]
    fails("collection index out of range", lambda: c.replace(2, first), lambda: c.replace(5, first))
    c.replace(1, first)
    assert (c.length, read(c.get(1)), c.get(2)) == (2, read(first), None)
    fails(None, lambda: c.get(-1), error=OverflowError)
    with pytest.raises(TypeError, match="value"):
        c.push(make(other(precision), 1))
    closed = make(precision, 2)
    closed.free()
    for call in (lambda: c.push(closed), lambda: c.replace(7, closed)):  # before the index
        with consumed():
            call()
    copy = c.cloned()
    c.clear()
    assert (c.length, c.is_closed, copy.length) == (0, False, 2)
    c.push(second)
    c.free()
    assert_closed(c, "length", "is_empty", "clear", "cloned", ("get", 0), ("push", second))
