import msgpack
import pytest

from conftest import cls, f32, other
from model_support import assert_closed, fails

BUDGET = "model exceeds the array-entry decoding limit"
TRAILING = "trailing data after object"
JUMP_RULE = "outgoing jumps must terminate with a single delta-1 transition"


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


def decode_segmentations(data, as_set):
    unpacker = msgpack.Unpacker()
    unpacker.feed(data)
    count = unpacker.read_array_header() if as_set else 1
    records = [read_segmentation_record(unpacker) for _ in range(count)]
    with pytest.raises(msgpack.OutOfData):
        unpacker.unpack()
    return records if as_set else records[0]


def segmentation_structure(s):
    return (s.boundaries(), s.duration_states(), [s.output_states(r) for r in range(s.streams)],
            [[(d, f32(p)) for d, p in zip(s.outgoing(i).deltas(), s.outgoing(i).probabilities())]
             for i in range(s.segments)])


def observation_structure(o):
    return [o.frames, [o.stream(r).dimensions for r in range(o.streams)],
            [[f32(v) for v in o.stream(r).values()] for r in range(o.streams)]]


def sample(kind, precision):
    if kind == "Observation":
        o = cls("Observation", precision)(3, [2, 1])
        o.set_stream(0, cls("ObservationStream", precision)(2, [0.1, -2.0, 3.5, 1e-3, 0.0, 7.25]))
        o.set_stream(1, cls("ObservationStream", precision)(1, [1.0, -0.5, 1e30]))
        return o
    s = cls("Segmentation", precision)(2, 3)
    s.set_boundaries([-1, 5, 2**31 - 1])
    s.set_duration_states([0, -(2**31), 7])
    s.set_output_states(0, [1, 2, 3])
    s.set_output_states(1, [300, 70000, -5])
    for state, delta, probability in ((0, 2, 0.3), (0, 1, 0.25), (1, -1, 0.125), (2, -7, 0.0)):
        s.add_jump(state, delta, probability)
    return s


def structure(kind):
    return observation_structure if kind == "Observation" else segmentation_structure


def decode(kind, data, as_set=False):
    return decode_segmentations(data, as_set) if kind == "Segmentation" else msgpack.unpackb(data)


@pytest.mark.parametrize("kind", ["Observation", "Segmentation"])
def test_records_decode_and_round_trip(kind, precision):
    value, Class = sample(kind, precision), cls(kind, precision)
    data = value.write()
    assert decode(kind, data) == structure(kind)(value)
    # Values travel as 32-bit floats, also from and into the 64-bit class.
    for reader in (Class, cls(kind, other(precision))):
        assert structure(kind)(reader.read(data)) == structure(kind)(value)
        assert reader.read(data).write() == data
    for form in (bytearray(data), list(data)):
        assert Class.read(form).write() == data
    fails("Can't extract `str` to `Vec`", lambda: Class.read("abc"), error=TypeError)
    fails(TRAILING, lambda: Class.read(data + b"\x00"))
    decoded = Class.read_prefix(data + b"xyz")
    assert type(decoded).__name__ == "Decoded" + kind + precision
    assert decoded.position == len(data)
    first, second = decoded.parameters(), decoded.parameters()
    first.free()
    assert second.write() == decoded.parameters().write() == data
    assert decoded.into_parameters().write() == data
    assert_closed(decoded, "position", "parameters", "into_parameters")


def test_documented_bytes_budgets_and_invalid_records(precision):
    Observation, Segmentation = cls("Observation", precision), cls("Segmentation", precision)
    worked = Observation(2, [1])
    worked.set_stream(0, cls("ObservationStream", precision)(1, [0.5, 1.5]))
    assert worked.write() == bytes.fromhex("93 02 91 01 91 92 ca 3f000000 ca 3fc00000")
    assert Observation(0, [1]).write() == bytes.fromhex("93 00 91 01 91 90")
    data = Observation(2, [3]).write()  # arrays of 3, 1, 1 and 6 entries
    assert Observation.read_with_limits(data, 11).frames == 2
    assert Observation.read_prefix_with_limits(data, 11).position == len(data)
    fails(BUDGET, lambda: Observation.read_with_limits(data, 10),
          lambda: Observation.read_prefix_with_limits(data, 0))
    segmentation = Segmentation(1, 1)
    segmentation.set_boundaries([3])
    data = segmentation.write()
    assert data == bytes.fromhex("93 91 03 91 00 91 91 00 91 91 01 ca 3f800000")
    assert Segmentation(0, 0).write() == bytes.fromhex("93 90 90 90 90")
    assert Segmentation.read_with_limits(data, 10).boundaries() == [3]
    fails("jump data exceeds the decoding limit", lambda: Segmentation.read_with_limits(data, 9))
    fails(BUDGET, lambda: Segmentation.read_with_limits(data, 8),
          lambda: Segmentation.read_with_limits(data, 0))
    for data, message in [
        ("93 02 90 90", "an observation requires at least one stream"),
        ("93 ff 91 01 91 90", "negative array dimension"),
        ("93 02 91 01 91 93 ca 3f000000 ca 3f000000 ca 3f000000",
         "expected array length 2, found 3"),
    ]:
        fails(message, lambda: Observation.read(bytes.fromhex(data)))
    for data, message in [
        ("93 91 03 91 00 91 91 00 91 91 02 ca 3f800000", JUMP_RULE),  # a list ending with 2
        ("94 90 90 90 90", "expected array length 3, found 4"),
    ]:
        fails(message, lambda: Segmentation.read(bytes.fromhex(data)))


@pytest.mark.parametrize("kind", ["Observation", "Segmentation"])
def test_sets(kind, precision):
    Collection = cls(kind + "Collection", precision)
    assert Collection().write() == b"\x90"
    assert Collection.read(b"\x90").length == Collection.read_with_limits(b"\x90", 0).length == 0
    decoded = Collection.read_prefix(b"\x90\x01\x02")
    assert type(decoded).__name__ == "Decoded" + kind + "Set" + precision
    assert (decoded.position, decoded.samples().length, decoded.into_samples().length) == (1, 0, 0)
    assert_closed(decoded, "samples", "into_samples", "position")
    c = Collection()
    c.push(sample(kind, precision))
    c.push(cls(kind, precision)(2, [3]) if kind == "Observation" else cls(kind, precision)(1, 0))
    data = c.write()
    assert decode(kind, data, as_set=True) == [decode(kind, c.get(i).write()) for i in range(2)]
    for reader in (Collection, cls(kind + "Collection", other(precision))):
        assert reader.read(data).write() == data
    fails(TRAILING, lambda: Collection.read(data + b"\x90"))
    decoded = Collection.read_prefix_with_limits(data + b"\x00", 2**24)
    assert decoded.position == len(data)
    decoded.samples().clear()
    samples = decoded.into_samples()
    assert [samples.get(i).write() for i in range(2)] == [c.get(i).write() for i in range(2)]


def test_set_budget(precision):
    one = cls("ObservationCollection", precision)()
    one.push(cls("Observation", precision)(2, [3]))  # 1 header for the set, 11 for the sample
    assert cls("ObservationCollection", precision).read_with_limits(one.write(), 12).length == 1
    fails(BUDGET, lambda: cls("ObservationCollection", precision).read_with_limits(one.write(), 11))
