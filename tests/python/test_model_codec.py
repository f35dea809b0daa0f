"""Byte strings of models, streams, mixtures and durations, checked with an independent
MessagePack implementation, and the decoded objects of the prefix readers."""

import math

import msgpack
import pytest

from conftest import cls, f32, other
from model_support import (assert_closed, duration, duration_content, fails, gaussian, make,
                           mixture_content, model_content, small_model, stream, stream_content)

BUDGET = "model exceeds the array-entry decoding limit"
HISTORICAL = "historical schema cannot represent nonzero variance floors"
KINDS = ["Model", "Stream", "Gaussian", "Duration"]


# The documented structure, built from the getters.
def mixture_structure(mixture, historical=False):
    entries = []
    for mean, variance, floor in zip(mixture.means(), mixture.variances(),
                                     mixture.variance_floors()):
        entries += [f32(mean), f32(variance)] + ([] if historical else [f32(floor)])
    return [mixture.mixtures, mixture.dimensions, [f32(w) for w in mixture.weights()], entries]


def stream_structure(value, historical=False):
    return [f32(value.weight()[0]),
            [mixture_structure(value.emission(i), historical) for i in range(value.emissions)]]


def duration_structure(value, historical=False):
    mean, variance, floor = value.values()
    return [f32(mean), f32(variance), *value.constraints(), f32(floor)]


def model_structure(value, historical=False):
    return [[stream_structure(value.stream(i), historical) for i in range(value.streams)],
            [duration_structure(value.duration(i)) for i in range(value.durations)]]


def sample(kind, precision):
    """An object of `kind` with distinct values, its structure function and content function."""
    value = small_model(precision)
    return {"Model": (value, model_structure, model_content),
            "Stream": (value.stream(0), stream_structure, stream_content),
            "Gaussian": (value.stream(0).emission(1), mixture_structure, mixture_content),
            "Duration": (value.duration(0), duration_structure, duration_content)}[kind]


def narrowed(content):
    """Every float of a nested content rounded to 32 bits, as the byte form stores it."""
    if isinstance(content, (list, tuple)):
        return type(content)(narrowed(item) for item in content)
    return f32(content) if isinstance(content, float) else content


def test_documented_bytes(precision):
    mixture = gaussian(precision, [0.0], [1.0])
    assert mixture.write().hex() == "94010191ca3f80000093ca00000000ca3f800000ca00000000"
    assert mixture.write_with_encoding(1).hex() == "94010191ca3f80000092ca00000000ca3f800000"
    law = duration(precision, 5.0, 2.0)
    assert law.write().hex() == "96ca40a00000ca40000000ffffffca00000000"
    assert duration(precision, 1.0, 1.0, 0.0, (3, 10, -1)).write()[11:14] == b"\x03\x0a\xff"
    builder = make("ModelBuilder", precision, 1, 1)
    builder.set_stream(0, stream(precision, 1.0, [mixture]))
    builder.set_duration(0, law)
    value = builder.build()
    written = value.write()
    assert written == bytes.fromhex("929192ca3f80000091") + mixture.write() + b"\x91" + law.write()
    assert len(written) == 54
    assert model_content(cls("Model", precision).read_with_limits(written, 21)) == model_content(
        value)
    fails(BUDGET, lambda: cls("Model", precision).read_with_limits(written, 20))


@pytest.mark.parametrize("kind", KINDS)
def test_msgpack_reads_our_bytes_and_we_read_msgpack(kind, precision):
    value, structure, content = sample(kind, precision)
    written = value.write()
    assert msgpack.unpackb(written) == structure(value)
    if kind != "Duration":
        assert value.write_with_encoding(0) == written
    packed = msgpack.packb(structure(value), use_single_float=True)
    expected = narrowed(content(value))
    assert content(cls(kind, precision).read(packed)) == expected
    # Round trip, also into the other precision.
    assert content(cls(kind, precision).read(written)) == expected
    assert content(cls(kind, other(precision)).read(written)) == expected


@pytest.mark.parametrize("kind", KINDS)
def test_readers_and_decoded_objects(kind, precision):
    value, _, content = sample(kind, precision)
    reader, written = cls(kind, precision), value.write()
    expected = content(reader.read(written))
    assert content(reader.read(bytearray(written))) == content(reader.read(list(written))) == (
        expected)
    for call, error, message in [
        (lambda: reader.read(written.decode("latin-1")), TypeError, "Can't extract `str` to `Vec`"),
        (lambda: reader.read([256]), OverflowError, None),
        (lambda: reader.read(written + b"\x00"), ValueError, "trailing data after object"),
        (lambda: reader.read_with_limits(written, 0), ValueError, BUDGET),
        (lambda: reader.read_prefix_with_limits(written, 0), ValueError, BUDGET),
    ]:
        fails(message, call, error=error)
    decoded = reader.read_prefix(written + b"\x00")
    assert type(decoded).__name__ == "Decoded" + kind + precision
    assert decoded.position == len(written)
    one, two = decoded.parameters(), decoded.parameters()
    assert type(one) is reader and content(one) == content(two) == expected
    one.free()
    assert content(two) == content(decoded.parameters())
    taken = decoded.into_parameters()
    assert decoded.is_closed and content(taken) == expected
    assert_closed(decoded, "position", "parameters", "into_parameters")


def test_encoding_codes_and_historical_schema(precision):
    value = small_model(precision)
    assert not hasattr(value.duration(0), "write_with_encoding")
    parts = [value, value.stream(0), value.stream(0).emission(0)]
    for part in parts:
        fails("invalid model encoding", lambda: part.write_with_encoding(2))
        fails(None, lambda: part.write_with_encoding(-1), error=OverflowError)
        fails(HISTORICAL, lambda: part.write_with_encoding(1))  # the floor 0.01 of stream 0
    for floor in (0.001, math.nan):
        bad = gaussian(precision, [1.0], [1.0], floors=[floor])
        fails(HISTORICAL, lambda: bad.write_with_encoding(1),
              lambda: stream(precision, 1.0, [bad]).write_with_encoding(1))
    cleared = stream(precision, 2.0, [gaussian(precision, [1.0, 2.0], [3.0, 4.0],
                                               floors=[0.0, -0.0])])
    value.set_stream(0, cleared)
    for part, structure in ((value, model_structure), (cleared, stream_structure),
                            (cleared.emission(0), mixture_structure)):
        assert msgpack.unpackb(part.write_with_encoding(1)) == structure(part, True)
    back = cls("Model", precision).read(value.write_with_encoding(1))
    assert model_content(back) == narrowed(model_content(value))


def test_values_are_stored_narrowed_and_unchecked(precision):
    law = make("Duration", precision)
    law.set_values([0.1, 1e-50, 1e300])  # 0.1 rounds, 1e-50 to 0, 1e300 to inf
    assert cls("Duration", precision).read(law.write()).values() == [f32(0.1), 0.0, math.inf]
    mixture = gaussian(precision, [0.1], [0.3])
    back = cls("Gaussian", precision).read(mixture.write())
    assert back.means() == [f32(0.1)] and back.variances() == [f32(0.3)]
    odd = cls("Gaussian", precision).read(gaussian(precision, [math.nan], [-1.0],
                                                   weights=[-2.0]).write())
    assert math.isnan(odd.means()[0]) and odd.variances() == [-1.0]
    written = duration(precision, 4.0, 2.0).write()
    fails(BUDGET, lambda: cls("Duration", precision).read_with_limits(written, 5))
    assert cls("Duration", precision).read_with_limits(written, 6).values() == [4.0, 2.0, 0.0]


def test_prefix_reads_one_after_another(precision):
    first = gaussian(precision, [1.0, 2.0], [1.0, 1.0])
    second = gaussian(precision, [3.0], [4.0])
    data = first.write() + second.write()
    decoded = cls("Gaussian", precision).read_prefix(data)
    assert decoded.position == len(first.write())
    decoded.parameters().replace(1, [1.0], [9.0], [9.0], [0.0])  # a copy: nothing else changes
    assert mixture_content(decoded.parameters()) == mixture_content(first)
    following = cls("Gaussian", precision).read_prefix_with_limits(data[decoded.position:], 100)
    assert following.position == len(second.write())
    assert mixture_content(following.into_parameters()) == mixture_content(second)
