"""The parameter collections, and the closing rules every model class shares."""

import pytest

import tarvek_rs
from conftest import other
from model_support import (assert_closed, consumed, duration, duration_content, fails, gaussian,
                           make, mixture_content, stream_content)

KINDS = {
    "Stream": (lambda p, i: make("Stream", p, i + 1, 1, 1), stream_content,
               lambda element: element.set_weight([9.0])),
    "Gaussian": (lambda p, i: gaussian(p, [float(i)], [1.0]), mixture_content,
                 lambda element: element.replace(1, [1.0], [9.0], [1.0], [0.0])),
    "Duration": (lambda p, i: duration(p, float(i), 1.0), duration_content,
                 lambda element: element.set_values([9.0, 9.0, 9.0])),
}


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_collections(kind, precision):
    element, content, change = KINDS[kind]
    items = make(kind + "Collection", precision)
    assert (items.length, items.is_empty(), items.get(0)) == (0, True, None)
    first, second = element(precision, 0), element(precision, 1)
    items.push(first)
    items.push(second)
    assert content(items.get(1)) == content(second) and items.get(2) is None
    fails("collection index out of range", lambda: items.replace(2, first))
    fails(None, lambda: items.get(-1), lambda: items.replace(-1, first), error=OverflowError)
    items.replace(1, first)
    assert items.length == 2 and content(items.get(1)) == content(first)
    expected = content(first)  # elements are copies in and out
    change(first)
    change(items.get(0))
    items.push(second)
    items.push(second)
    change(second)
    assert content(items.get(0)) == expected
    assert content(items.get(2)) == content(items.get(3)) != content(second)
    closed = element(precision, 1)
    closed.free()
    for call in (lambda: items.push(closed), lambda: items.replace(0, closed)):
        with consumed():
            call()
    with pytest.raises(TypeError, match="value"):
        items.push(element(other(precision), 0))
    copy = items.cloned()
    copy.push(element(precision, 5))
    assert (items.length, copy.length, content(copy.get(2))) == (4, 5, content(items.get(2)))
    items.clear()
    assert (items.length, items.is_closed) == (0, False)


def closing_cases(p):
    """Per class: an open object, members that must refuse once it is closed, and a call with an
    argument that fails conversion (reported before the closed receiver)."""
    law, closed_law, mixture = make("Duration", p), make("Duration", p), make("Gaussian", p, 1, 1)
    closed_law.close()  # a closed receiver is reported before a closed argument
    return {
        "Model": (make("Model", p, [1, 1, 1], 1),
                  ["streams", "durations", ("stream", 0), ("duration", 0), "validate", "cloned",
                   "write", ("write_with_encoding", 0), ("set_duration", 0, closed_law)],
                  lambda v: v.set_duration(0, mixture)),
        "ModelBuilder": (make("ModelBuilder", p, 1, 1),
                         ["streams", ("has_stream", 0), ("stream", 0), "build", "cloned",
                          ("resize", 1, 1)], lambda v: v.set_duration(0, mixture)),
        "Stream": (make("Stream", p, 1, 1, 1),
                   ["emissions", "weight", ("emission", 0), "validate", "cloned", "write",
                    ("set_emission", 0, mixture)], lambda v: v.set_emission(0, law)),
        "StreamBuilder": (make("StreamBuilder", p, 1),
                          ["emissions", "weight", ("has_emission", 0), "build", "cloned"],
                          lambda v: v.set_emission(0, law)),
        "Gaussian": (make("Gaussian", p, 1, 1),
                     ["mixtures", "dimensions", "weights", "means", "variances", "variance_floors",
                      "validate", "cloned", "write", ("increase_mixtures", 1, 0.5)],
                     lambda v: v.increase_mixtures(-1, 0.5)),
        "Duration": (make("Duration", p),
                     ["values", "constraints", "cloned", "write", ("set_values", [1, 2, 3]),
                      ("log_probability", 1.0, 1.0)], lambda v: v.set_values(None)),
        "StreamCollection": (make("StreamCollection", p),
                             ["length", "is_empty", "clear", "cloned", ("get", 0)],
                             lambda v: v.push(make("Stream", other(p), 0, 0, 0))),
        "MixtureWeights": (tarvek_rs.MixtureWeights([1.0]),
                           ["values", "cloned", ("replace", [1.0])],
                           lambda v: v.replace("not numbers")),
    }


@pytest.mark.parametrize("name", sorted(closing_cases("F32")))
@pytest.mark.parametrize("closing", ["free", "close"])
def test_closed_objects(name, closing, precision):
    value, members, wrong_argument = closing_cases(precision)[name]
    assert value.is_closed is False
    assert getattr(value, closing)() is None and getattr(value, closing)() is None
    with pytest.raises((TypeError, OverflowError)):
        wrong_argument(value)
    assert_closed(value, *members)
