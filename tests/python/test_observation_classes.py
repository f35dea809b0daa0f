import re

import numpy as np
import pytest

from conftest import cls, f32

SHAPE = "observation requires streams and a frame count fitting i32"
DIMENSIONS = "observation dimensions must be positive and fit i32"
STORAGE = "observation storage does not match dimensions"


def raises_value(message):
    return pytest.raises(ValueError, match="^" + re.escape(message) + "$")


def consumed():
    return pytest.raises(RuntimeError, match="^owner has been consumed$")


def streams_of(observation):
    return [(s.dimensions, s.values()) for s in map(observation.stream, range(observation.streams))]


def test_shape_and_lookups(precision):
    Observation = cls("Observation", precision)
    assert Observation.__text_signature__ == "(frames, dimensions)"
    o = Observation(3, [2, 1])
    assert (o.frames, o.streams) == (3, 2)
    assert o.stream(0).values() == [0.0] * 6 and o.stream(1).dimensions == 1
    assert o.frame(0, 2) == [0.0, 0.0] and o.frame(1, 0) == [0.0]
    assert o.frame(0, 3) is None and o.frame(2, 0) is None and o.stream(2) is None
    for call in (lambda: o.stream(-1), lambda: o.frame(-1, 0), lambda: o.frame(0, -1)):
        with pytest.raises(OverflowError):
            call()
    o.validate()
    empty = Observation(0, [4])
    assert empty.stream(0).values() == [] and empty.frame(0, 0) is None
    empty.validate()


def test_construction_failures(precision):
    Observation = cls("Observation", precision)
    for frames, dimensions in ((5, []), (2**31, [1]), (2**31, [0])):
        with raises_value(SHAPE):
            Observation(frames, dimensions)
    for dimensions in ([3, 0], [2**31], [0, 2**31]):
        with raises_value(DIMENSIONS):
            Observation(5, dimensions)
    for frames, dimensions in ((5, [2**32]), (-1, [1]), (5, [-1])):
        with pytest.raises(OverflowError):
            Observation(frames, dimensions)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        Observation(5, "12")


def test_shape_alloc_fail(precision):
    # Passes every range check but asks for about 2^64 bytes: refused before any stream.
    with raises_value("observation allocation failed"):
        cls("Observation", precision)(2**31 - 1, [2**31 - 1])


def test_set_stream(precision):
    Stream = cls("ObservationStream", precision)
    o = cls("Observation", precision)(3, [2])
    o.set_stream(0, Stream(2, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]))
    assert o.frame(0, 1) == [3.0, 4.0]
    o.set_stream(0, Stream(3, [0.0] * 9))
    assert streams_of(o) == [(3, [0.0] * 9)]
    o.set_stream(0, Stream(2, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]))
    for bad, message in ((Stream(2, [1.0]), STORAGE), (Stream(0, []), DIMENSIONS),
                         (Stream(2**31, []), DIMENSIONS)):
        with raises_value(message):
            o.set_stream(0, bad)
        assert streams_of(o) == [(2, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0])]
    # The index is refused before the stream is looked at.
    with raises_value("observation stream index out of range"):
        o.set_stream(1, Stream(7, [1.0]))
    with pytest.raises(TypeError, match="value"):
        o.set_stream(0, cls("ObservationStreamCollection", precision)())
    s = Stream(2, [0.0] * 6)
    s.free()
    with consumed():
        o.set_stream(0, s)


def test_set_stream_keeps_the_other_streams(precision):
    Stream = cls("ObservationStream", precision)
    o = cls("Observation", precision)(2, [1, 2, 1])
    o.set_stream(1, Stream(1, [5.0, 6.0]))
    assert streams_of(o) == [(1, [0.0, 0.0]), (1, [5.0, 6.0]), (1, [0.0, 0.0])]
    with raises_value(STORAGE):
        o.set_stream(2, Stream(1, [1.0]))
    assert streams_of(o) == [(1, [0.0, 0.0]), (1, [5.0, 6.0]), (1, [0.0, 0.0])]


def test_replace(precision):
    Stream = cls("ObservationStream", precision)
    Streams = cls("ObservationStreamCollection", precision)
    o = cls("Observation", precision)(3, [1])
    empty = Streams()
    with raises_value("an observation requires at least one stream"):
        o.replace(4, empty)
    with raises_value("frame count exceeds the legacy format"):
        o.replace(2**31, empty)
    c = Streams()
    c.push(Stream(2, [1.0, 2.0]))
    c.push(Stream(1, [3.0, 4.0]))  # mismatched: 2 frames need 4 values in the first stream
    with raises_value(STORAGE):
        o.replace(2, c)
    assert (o.frames, streams_of(o)) == (3, [(1, [0.0] * 3)])
    c.replace(0, Stream(2, [1.0, 2.0, 3.0, 4.0]))
    o.replace(2, c)
    c.clear()
    assert (o.frames, streams_of(o)) == (2, [(2, [1.0, 2.0, 3.0, 4.0]), (1, [3.0, 4.0])])
    assert o.frame(0, 1) == [3.0, 4.0] and o.frame(1, 1) == [4.0]
    c.free()
    with consumed():
        o.replace(2, c)


def test_stream_class(precision):
    Stream = cls("ObservationStream", precision)
    assert Stream.__text_signature__ == "(dimensions, values)"
    odd = Stream(0, [1.0, 2.0])
    assert (odd.dimensions, odd.values()) == (0, [1.0, 2.0])
    expected = f32(0.1) if precision == "F32" else 0.1
    assert Stream(1, [0.1]).values() == [expected]
    assert Stream(1, np.array([0.1])).values() == [expected]
    assert Stream(1, np.array([0.1], dtype=np.float32)).values() == [f32(0.1)]
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        Stream(1, "1.0")
    with pytest.raises(OverflowError):
        Stream(-1, [])
    odd.replace(3, (4, 5, 6))
    assert (odd.dimensions, odd.values()) == (3, [4.0, 5.0, 6.0])
    copy = odd.cloned()
    odd.free()
    # Both arguments are converted before the closed receiver is reported.
    with pytest.raises(TypeError):
        odd.replace(1, "x")
    with consumed():
        odd.replace(1, [1.0])
    assert copy.values() == [4.0, 5.0, 6.0]


def test_copies_are_independent(precision):
    o = cls("Observation", precision)(2, [1])
    stream = o.stream(0)
    stream.replace(1, [7.0, 8.0])
    assert o.frame(0, 0) == [0.0]
    copy = o.cloned()
    o.set_stream(0, stream)
    stream.replace(1, [9.0, 9.0])
    assert (o.frame(0, 1), copy.frame(0, 1)) == ([8.0], [0.0])


def test_closed_observation(precision):
    o = cls("Observation", precision)(1, [1])
    assert o.close() is None and o.free() is None and o.is_closed
    for call in (lambda: o.frames, lambda: o.frame(0, 0), lambda: o.stream(0), o.validate,
                 o.cloned):
        with consumed():
            call()


def test_stream_collection(precision):
    Stream = cls("ObservationStream", precision)
    c = cls("ObservationStreamCollection", precision)()
    assert (c.length, c.is_empty(), c.get(0)) == (0, True, None)
    c.push(Stream(5, [1.0]))  # never checked here
    assert (c.length, c.get(0).dimensions, c.get(0).values()) == (1, 5, [1.0])
