import re

import msgpack
import pytest

from conftest import cls, f32

BUDGET = "model exceeds the array-entry decoding limit"
TRAILING = "trailing data after object"


def raises_value(message):
    return pytest.raises(ValueError, match="^" + re.escape(message) + "$")


def consumed():
    return pytest.raises(RuntimeError, match="^owner has been consumed$")


def other(precision):
    return "F64" if precision == "F32" else "F32"


# ---- independent readers of our bytes ---------------------------------------------------


def read_segmentation_record(unpacker):
    """One segmentation record: a header announcing 3 items, then 4 items, and jump lists
    whose headers count jumps rather than items."""
    assert unpacker.read_array_header() == 3

    def integers():
        return [unpacker.unpack() for _ in range(unpacker.read_array_header())]

    boundaries, duration_states = integers(), integers()
    rows = [integers() for _ in range(unpacker.read_array_header())]
    outgoing = []
    for _ in range(unpacker.read_array_header()):
        count = unpacker.read_array_header()
        outgoing.append([(unpacker.unpack(), unpacker.unpack()) for _ in range(count)])
    return boundaries, duration_states, rows, outgoing


def unpacker_of(data):
    unpacker = msgpack.Unpacker()
    unpacker.feed(data)
    return unpacker


def assert_exhausted(unpacker):
    with pytest.raises(msgpack.OutOfData):
        unpacker.unpack()


def decode_segmentation(data):
    unpacker = unpacker_of(data)
    record = read_segmentation_record(unpacker)
    assert_exhausted(unpacker)
    return record


def decode_segmentation_set(data):
    unpacker = unpacker_of(data)
    records = [read_segmentation_record(unpacker) for _ in range(unpacker.read_array_header())]
    assert_exhausted(unpacker)
    return records


def segmentation_content(s):
    return (s.boundaries(), s.duration_states(), [s.output_states(r) for r in range(s.streams)],
            [list(zip(s.outgoing(i).deltas(), s.outgoing(i).probabilities()))
             for i in range(s.segments)])


def observation_content(o):
    return [o.frames, [o.stream(r).dimensions for r in range(o.streams)],
            [o.stream(r).values() for r in range(o.streams)]]


# ---- sample values ------------------------------------------------------------------------


def sample_observation(precision):
    o = cls("Observation", precision)(3, [2, 1])
    Stream = cls("ObservationStream", precision)
    o.set_stream(0, Stream(2, [0.1, -2.0, 3.5, 1e-3, 0.0, 7.25]))
    o.set_stream(1, Stream(1, [1.0, -0.5, 1e30]))
    return o


def sample_segmentation(precision):
    s = cls("Segmentation", precision)(2, 3)
    s.set_boundaries([-1, 5, 2**31 - 1])
    s.set_duration_states([0, -(2**31), 7])
    s.set_output_states(0, [1, 2, 3])
    s.set_output_states(1, [300, 70000, -5])
    s.add_jump(0, 2, 0.3)
    s.add_jump(0, 1, 0.25)
    s.add_jump(1, -1, 0.125)
    s.add_jump(2, -7, 0.0)
    return s


# ---- single records -----------------------------------------------------------------------


def test_observation_bytes_and_round_trip(precision):
    Observation = cls("Observation", precision)
    o = sample_observation(precision)
    data = o.write()
    expected = [3, [2, 1], [[f32(v) for v in o.stream(0).values()],
                            [f32(v) for v in o.stream(1).values()]]]
    assert msgpack.unpackb(data) == expected
    assert observation_content(Observation.read(data)) == expected
    # Values travel as 32-bit floats, also from the 64-bit class.
    assert Observation.read(data).stream(0).values()[0] == f32(0.1)
    assert observation_content(cls("Observation", other(precision)).read(data)) == expected
    worked = Observation(2, [1])
    worked.set_stream(0, cls("ObservationStream", precision)(1, [0.5, 1.5]))
    assert worked.write() == bytes.fromhex("93 02 91 01 91 92 ca 3f000000 ca 3fc00000")
    assert Observation(0, [1]).write() == bytes.fromhex("93 00 91 01 91 90")


def test_segmentation_bytes_and_round_trip(precision):
    Segmentation = cls("Segmentation", precision)
    s = sample_segmentation(precision)
    data = s.write()
    content = segmentation_content(s)
    assert decode_segmentation(data) == (
        content[0], content[1], content[2],
        [[(d, f32(p)) for d, p in jumps] for jumps in content[3]])
    assert segmentation_content(Segmentation.read(data)) == segmentation_content(
        cls("Segmentation", other(precision)).read(data))
    assert Segmentation.read(data).write() == data
    worked = Segmentation(1, 1)
    worked.set_boundaries([3])
    assert worked.write() == bytes.fromhex("93 91 03 91 00 91 91 00 91 91 01 ca 3f800000")
    assert Segmentation(0, 0).write() == bytes.fromhex("93 90 90 90 90")
    minus_one = Segmentation(0, 1)
    minus_one.set_boundaries([-1])
    assert minus_one.write()[2] == 0xFF


def test_budgets(precision):
    Observation, Segmentation = cls("Observation", precision), cls("Segmentation", precision)
    data = Observation(2, [3]).write()  # arrays of 3, 1, 1 and 6 entries
    assert Observation.read_with_limits(data, 11).frames == 2
    assert Observation.read_prefix_with_limits(data, 11).position == len(data)
    for read in (Observation.read_with_limits, Observation.read_prefix_with_limits):
        with raises_value(BUDGET):
            read(data, 10)
        with raises_value(BUDGET):
            read(data, 0)
    worked = Segmentation(1, 1)
    worked.set_boundaries([3])
    data = worked.write()
    assert Segmentation.read_with_limits(data, 10).boundaries() == [3]
    with raises_value("jump data exceeds the decoding limit"):
        Segmentation.read_with_limits(data, 9)
    for budget in (8, 0):
        with raises_value(BUDGET):
            Segmentation.read_with_limits(data, budget)
    with pytest.raises(OverflowError):
        Segmentation.read_with_limits(data, -1)
    assert Segmentation.read_with_limits(data, 2**64 - 1).segments == 1


@pytest.mark.parametrize("kind", ["Observation", "Segmentation"])
def test_readers_and_decoded_objects(kind, precision):
    Class = cls(kind, precision)
    value = sample_observation(precision) if kind == "Observation" else sample_segmentation(
        precision)
    content = observation_content if kind == "Observation" else segmentation_content
    data = value.write()
    assert Class.read.__text_signature__ == "(bytes)"
    for form in (data, bytearray(data), list(data)):
        assert Class.read(form).write() == data
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        Class.read("abc")
    with raises_value(TRAILING):
        Class.read(data + b"\x00")
    decoded = Class.read_prefix(data + b"xyz")
    assert type(decoded).__name__ == "Decoded" + kind + precision
    assert decoded.position == len(data)
    first, second = decoded.parameters(), decoded.parameters()
    assert first.write() == data
    if kind == "Observation":
        first.set_stream(1, cls("ObservationStream", precision)(1, [9.0, 9.0, 9.0]))
    else:
        first.set_boundaries([9, 9, 9])
    assert second.write() == data and decoded.parameters().write() == data
    taken = decoded.into_parameters()
    assert decoded.is_closed and content(taken) == content(Class.read(data))
    for call in (lambda: decoded.position, decoded.parameters, decoded.into_parameters):
        with consumed():
            call()
    assert decoded.free() is None
    value.free()
    with consumed():
        value.write()


def test_invalid_records(precision):
    Observation, Segmentation = cls("Observation", precision), cls("Segmentation", precision)
    with raises_value("an observation requires at least one stream"):
        Observation.read(bytes.fromhex("93 02 90 90"))
    with raises_value("negative array dimension"):
        Observation.read(bytes.fromhex("93 ff 91 01 91 90"))
    with raises_value("expected array length 2, found 3"):
        Observation.read(bytes.fromhex("93 02 91 01 91 93 ca 3f000000 ca 3f000000 ca 3f000000"))
    # A jump list ending with delta 2.
    with raises_value("outgoing jumps must terminate with a single delta-1 transition"):
        Segmentation.read(bytes.fromhex("93 91 03 91 00 91 91 00 91 91 02 ca 3f800000"))
    with raises_value("expected array length 3, found 4"):
        Segmentation.read(bytes.fromhex("94 90 90 90 90"))


# ---- sets ----------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["Observation", "Segmentation"])
def test_empty_sets(kind, precision):
    Collection = cls(kind + "Collection", precision)
    assert Collection().write() == b"\x90"
    assert Collection.read(b"\x90").length == 0
    assert Collection.read_with_limits(b"\x90", 0).length == 0
    decoded = Collection.read_prefix(b"\x90\x01\x02")
    assert type(decoded).__name__ == "Decoded" + kind + "Set" + precision
    assert decoded.position == 1 and decoded.samples().length == 0
    assert decoded.into_samples().length == 0 and decoded.is_closed
    with consumed():
        decoded.samples()


def test_observation_sets(precision):
    Collection = cls("ObservationCollection", precision)
    c = Collection()
    c.push(sample_observation(precision))
    c.push(cls("Observation", precision)(2, [3]))
    data = c.write()
    assert msgpack.unpackb(data) == [msgpack.unpackb(c.get(i).write()) for i in range(2)]
    back = Collection.read(data)
    assert [back.get(i).write() for i in range(2)] == [c.get(i).write() for i in range(2)]
    with raises_value(TRAILING):
        Collection.read(data + b"\x90")
    one = Collection()
    one.push(cls("Observation", precision)(2, [3]))
    assert Collection.read_with_limits(one.write(), 12).length == 1
    for budget in (11, 0):
        with raises_value(BUDGET):
            Collection.read_with_limits(one.write(), budget)
    decoded = Collection.read_prefix(data + b"\x00")
    assert decoded.position == len(data)
    copy = decoded.samples()
    copy.clear()
    assert decoded.samples().length == 2
    assert cls("ObservationCollection", other(precision)).read(data).write() == data


def test_segmentation_sets(precision):
    Collection = cls("SegmentationCollection", precision)
    c = Collection()
    c.push(sample_segmentation(precision))
    c.push(cls("Segmentation", precision)(1, 0))
    data = c.write()
    assert decode_segmentation_set(data) == [decode_segmentation(c.get(i).write())
                                             for i in range(2)]
    crossed = cls("SegmentationCollection", other(precision)).read(data)
    assert crossed.write() == data and Collection.read(crossed.write()).write() == data
    with raises_value(TRAILING):
        Collection.read(data + b"\x00")
    decoded = Collection.read_prefix_with_limits(data + b"\x00", 2**24)
    assert decoded.position == len(data)
    samples = decoded.into_samples()
    assert [samples.get(i).write() for i in range(2)] == [c.get(i).write() for i in range(2)]
    assert samples.get(0).outgoing(0).probabilities() == [f32(0.3), 0.25]
    c.free()
    with consumed():
        c.write()
