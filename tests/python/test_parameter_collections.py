"""The parameter collections, and the closing rules every model class shares."""

import pytest

import tarvek_rs
from model_support import (consumed, duration, duration_content, gaussian, make, mixture_content,
                           raises_value, stream_content)

KINDS = {
    "Stream": (lambda p, i: make("Stream", p, i + 1, 1, 1), stream_content,
               lambda element: element.set_weight([9.0])),
    "Gaussian": (lambda p, i: gaussian(p, [float(i)], [1.0]), mixture_content,
                 lambda element: element.replace(1, [1.0], [9.0], [1.0], [0.0])),
    "Duration": (lambda p, i: duration(p, float(i), 1.0), duration_content,
                 lambda element: element.set_values([9.0, 9.0, 9.0])),
}


@pytest.fixture(params=sorted(KINDS))
def kind(request):
    return request.param


def test_push_get_replace(kind, precision):
    element, content, change = KINDS[kind]
    items = make(kind + "Collection", precision)
    assert (items.length, items.is_empty(), items.get(0)) == (0, True, None)
    first, second = element(precision, 0), element(precision, 1)
    items.push(first)
    items.push(second)
    assert content(items.get(1)) == content(second) and items.get(2) is None
    with raises_value("collection index out of range"):
        items.replace(2, first)
    with pytest.raises(OverflowError):
        items.get(-1)
    with pytest.raises(OverflowError):
        items.replace(-1, first)
    items.replace(1, first)
    assert items.length == 2 and content(items.get(1)) == content(first)
    # Elements are copies in and out.
    expected = content(first)
    change(first)
    change(items.get(0))
    assert content(items.get(0)) == expected
    items.push(second)
    items.push(second)
    change(second)
    assert content(items.get(2)) == content(items.get(3)) != content(second)


def test_clear_clone_and_close(kind, precision):
    element = KINDS[kind][0]
    items = make(kind + "Collection", precision)
    for index in range(3):
        items.push(element(precision, index))
    copy = items.cloned()
    copy.push(element(precision, 5))
    assert (items.length, copy.length) == (3, 4)
    assert KINDS[kind][1](copy.get(2)) == KINDS[kind][1](items.get(2))
    items.clear()
    assert (items.length, items.is_closed) == (0, False)
    items.free()
    for call in (lambda: items.length, items.is_empty, items.clear, items.cloned,
                 lambda: items.get(0), lambda: items.push(element(precision, 0))):
        with consumed():
            call()
    other = "F64" if precision == "F32" else "F32"
    with pytest.raises(TypeError, match="value"):
        items.push(element(other, 0))  # conversion before the closed check


def test_push_of_a_closed_element(kind, precision):
    element = KINDS[kind][0]
    items = make(kind + "Collection", precision)
    items.push(element(precision, 0))
    closed = element(precision, 1)
    closed.free()
    with consumed():
        items.push(closed)
    with consumed():
        items.replace(0, closed)
    assert items.length == 1
    with pytest.raises(TypeError):
        items.push(items)


CLOSABLE = {
    "Model": lambda p: make("Model", p, [1, 1, 1], 1),
    "ModelBuilder": lambda p: make("ModelBuilder", p, 1, 1),
    "Stream": lambda p: make("Stream", p, 1, 1, 1),
    "StreamBuilder": lambda p: make("StreamBuilder", p, 1),
    "Gaussian": lambda p: make("Gaussian", p, 1, 1),
    "Duration": lambda p: make("Duration", p),
    "StreamCollection": lambda p: make("StreamCollection", p),
    "MixtureWeights": lambda p: tarvek_rs.MixtureWeights([1.0]),
}


@pytest.mark.parametrize("name", sorted(CLOSABLE))
def test_free_and_close(name, precision):
    for closing in ("free", "close"):
        value = CLOSABLE[name](precision)
        assert value.is_closed is False
        assert getattr(value, closing)() is None
        assert getattr(value, closing)() is None
        assert value.free() is None and value.close() is None
        assert value.is_closed is True
        with consumed():
            value.cloned()
