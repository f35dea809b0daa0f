import numpy as np
import pytest

from conftest import cls
from model_support import assert_closed, collection, consumed, fails, rounded

SHAPE = "observation requires streams and a frame count fitting i32"
DIMENSIONS = "observation dimensions must be positive and fit i32"
STORAGE = "observation storage does not match dimensions"


def streams_of(observation):
    return [(s.dimensions, s.values()) for s in map(observation.stream, range(observation.streams))]


@pytest.mark.parametrize("frames, dimensions, error, message", [
    (5, [], ValueError, SHAPE),
    (2**31, [1], ValueError, SHAPE),
    (2**31, [0], ValueError, SHAPE),
    (5, [3, 0], ValueError, DIMENSIONS),
    (5, [2**31], ValueError, DIMENSIONS),
    (5, [0, 2**31], ValueError, DIMENSIONS),
    (5, [2**32], OverflowError, None),
    (-1, [1], OverflowError, None),
    (5, "12", TypeError, "Can't extract `str` to `Vec`"),
    # Passes every range check but asks for about 2^64 bytes: refused before any stream.
    (2**31 - 1, [2**31 - 1], ValueError, "observation allocation failed"),
])
def test_construction_failures_and_AllocFail(precision, frames, dimensions, error, message):
    fails(message, lambda: cls("Observation", precision)(frames, dimensions), error=error)


def test_shape_and_lookups(precision):
    o = cls("Observation", precision)(3, [2, 1])
    assert (o.frames, o.streams, o.validate()) == (3, 2, None)
    assert o.stream(0).values() == [0.0] * 6 and o.stream(1).dimensions == 1
    assert o.frame(0, 2) == [0.0, 0.0] and o.frame(1, 0) == [0.0]
    assert o.frame(0, 3) is None and o.frame(2, 0) is None and o.stream(2) is None
    fails(None, lambda: o.stream(-1), lambda: o.frame(0, -1), error=OverflowError)
    empty = cls("Observation", precision)(0, [4])
    assert empty.stream(0).values() == [] and empty.frame(0, 0) is None
    assert empty.validate() is None and empty.write()
    o.free()
    assert_closed(o, "frames", ("frame", 0, 0), ("stream", 0), "validate", "cloned", "write")


def test_set_stream_and_replace(precision):
    Stream = cls("ObservationStream", precision)
    o = cls("Observation", precision)(3, [2, 1])
    o.set_stream(0, Stream(2, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]))
    assert o.frame(0, 1) == [3.0, 4.0]
    o.set_stream(0, Stream(3, [0.0] * 9))
    assert streams_of(o)[0] == (3, [0.0] * 9)
    o.set_stream(0, Stream(2, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]))
    before = streams_of(o)
    fails(STORAGE, lambda: o.set_stream(0, Stream(2, [1.0])),
          lambda: o.set_stream(1, Stream(1, [])))
    fails(DIMENSIONS, lambda: o.set_stream(0, Stream(0, [])))
    # The index is refused before the stream is looked at.
    fails("observation stream index out of range", lambda: o.set_stream(2, Stream(7, [1.0])))
    assert streams_of(o) == before
    closed = Stream(2, [0.0] * 6)
    closed.free()
    with consumed():
        o.set_stream(0, closed)
    fails("an observation requires at least one stream",
          lambda: o.replace(4, collection("ObservationStream", precision, [])))
    fails("frame count exceeds the legacy format",
          lambda: o.replace(2**31, collection("ObservationStream", precision, [])))
    # A collection takes any stream; the mismatch surfaces when the observation uses it.
    streams = collection("ObservationStream", precision, [Stream(2, [1.0, 2.0]), Stream(1, [3.0])])
    fails(STORAGE, lambda: o.replace(2, streams))
    assert (o.frames, streams_of(o)) == (3, before)
    streams.replace(0, Stream(2, [1.0, 2.0, 3.0, 4.0]))
    streams.replace(1, Stream(1, [3.0, 4.0]))
    o.replace(2, streams)
    streams.clear()
    assert (o.frames, streams_of(o)) == (2, [(2, [1.0, 2.0, 3.0, 4.0]), (1, [3.0, 4.0])])


def test_stream_class(precision):
    Stream = cls("ObservationStream", precision)
    odd = Stream(0, [1.0, 2.0])
    assert (odd.dimensions, odd.values()) == (0, [1.0, 2.0])
    assert Stream(1, [0.1]).values() == Stream(1, np.array([0.1])).values() == [
        rounded(precision, 0.1)]
    fails("Can't extract `str` to `Vec`", lambda: Stream(1, "1.0"), error=TypeError)
    odd.replace(3, (4, 5, 6))
    copy = odd.cloned()
    odd.free()
    fails(None, lambda: odd.replace(1, "x"), error=TypeError)  # conversion first
    assert_closed(odd, ("replace", 1, [1.0]), "values", "dimensions")
    assert copy.values() == [4.0, 5.0, 6.0]
