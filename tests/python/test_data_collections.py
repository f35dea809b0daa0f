import re

import pytest

from conftest import cls


def raises_value(message):
    return pytest.raises(ValueError, match="^" + re.escape(message) + "$")


def consumed():
    return pytest.raises(RuntimeError, match="^owner has been consumed$")


# For each collection: its element factory (two distinguishable values), a reader of the
# element's content, and a change made to an element after it was stored.
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


KINDS = {
    "ObservationStreamCollection": (
        stream, lambda x: x.values(), lambda x, p: x.replace(1, [-1.0])),
    "ObservationCollection": (
        observation, lambda x: x.frame(0, 0), lambda x, p: x.set_stream(0, stream(p, -1))),
    "SegmentationCollection": (
        segmentation, lambda x: x.boundaries(), lambda x, p: x.set_boundaries([-1])),
}


@pytest.fixture(params=sorted(KINDS))
def kind(request):
    return request.param


def test_list_surface(kind, precision):
    make, read, change = KINDS[kind]
    Collection = cls(kind, precision)
    assert Collection.__text_signature__ == "()"
    c = Collection()
    assert (c.length, c.is_empty(), c.get(0)) == (0, True, None)
    first, second = make(precision, 1), make(precision, 2)
    c.push(first)
    c.push(second)
    assert (c.length, c.is_empty()) == (2, False)
    assert [read(c.get(i)) for i in range(2)] == [read(first), read(second)]
    # Stored and returned elements are copies.
    change(first, precision)
    change(c.get(0), precision)
    assert read(c.get(0)) == read(make(precision, 1))
    for index in (2, 5):
        with raises_value("collection index out of range"):
            c.replace(index, first)
    c.replace(1, first)
    assert (c.length, read(c.get(1)), c.get(2)) == (2, read(first), None)
    for call in (lambda: c.get(-1), lambda: c.replace(-1, first)):
        with pytest.raises(OverflowError):
            call()
    copy = c.cloned()
    c.clear()
    assert (c.length, c.is_closed, copy.length) == (0, False, 2)
    c.push(second)
    assert c.length == 1


def test_wrong_and_closed_elements(kind, precision):
    make, read, _ = KINDS[kind]
    c = cls(kind, precision)()
    c.push(make(precision, 1))
    other = "F64" if precision == "F32" else "F32"
    with pytest.raises(TypeError, match="value"):
        c.push(make(other, 1))
    closed = make(precision, 2)
    closed.free()
    with consumed():
        c.push(closed)
    # The closed element is reported before the index.
    with consumed():
        c.replace(7, closed)
    assert c.length == 1 and read(c.get(0)) == read(make(precision, 1))
    c.free()
    assert c.is_closed
    for call in (lambda: c.length, c.is_empty, c.clear, c.cloned, lambda: c.get(0),
                 lambda: c.push(make(precision, 1))):
        with consumed():
            call()
