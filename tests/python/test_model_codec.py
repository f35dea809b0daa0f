"""Byte strings of models, streams, mixtures and durations, checked with an independent
MessagePack implementation, and the decoded objects of the prefix readers."""

import math

import msgpack
import pytest

import tarvek_rs
from conftest import f32
from model_support import (consumed, duration, duration_content, gaussian, make, model_content,
                           mixture_content, raises_value, small_model, stream, stream_content)

BUDGET = "model exceeds the array-entry decoding limit"
TRAILING = "trailing data after object"
ENCODING = "invalid model encoding"
HISTORICAL = "historical schema cannot represent nonzero variance floors"


# ---- the documented structure, built from the getters -----------------------------------


def mixture_structure(mixture, historical=False):
    entries = []
    for mean, variance, floor in zip(mixture.means(), mixture.variances(),
                                     mixture.variance_floors()):
        entries += [f32(mean), f32(variance)] + ([] if historical else [f32(floor)])
    return [mixture.mixtures, mixture.dimensions, [f32(w) for w in mixture.weights()], entries]


def stream_structure(value, historical=False):
    return [f32(value.weight()[0]),
            [mixture_structure(value.emission(i), historical) for i in range(value.emissions)]]


def duration_structure(value):
    mean, variance, floor = value.values()
    return [f32(mean), f32(variance), *value.constraints(), f32(floor)]


def model_structure(value, historical=False):
    return [[stream_structure(value.stream(i), historical) for i in range(value.streams)],
            [duration_structure(value.duration(i)) for i in range(value.durations)]]


def samples(precision):
    """(class name, object, structure function, content function) of every record kind."""
    value = small_model(precision)
    return [
        ("Model", value, model_structure, model_content),
        ("Stream", value.stream(0), stream_structure, stream_content),
        ("Gaussian", value.stream(0).emission(1), mixture_structure, mixture_content),
        ("Duration", value.duration(0), lambda d, *_: duration_structure(d), duration_content),
    ]


def narrowed(content):
    """Every float of a nested content rounded to 32 bits, as the byte form stores it."""
    if isinstance(content, (list, tuple)):
        return type(content)(narrowed(item) for item in content)
    return f32(content) if isinstance(content, float) else content


def reading_class(name, precision):
    return getattr(tarvek_rs, name + precision)


# ---- byte layout ------------------------------------------------------------------------


def test_documented_bytes(precision):
    mixture = gaussian(precision, [0.0], [1.0])
    assert mixture.write().hex() == "94010191ca3f80000093ca00000000ca3f800000ca00000000"
    assert mixture.write_with_encoding(1).hex() == "94010191ca3f80000092ca00000000ca3f800000"
    law = duration(precision, 5.0, 2.0)
    assert law.write().hex() == "96ca40a00000ca40000000ffffffca00000000"
    value = make("Model", precision, [], 0)
    assert value.write() == bytes.fromhex("929090")
    one = stream(precision, 1.0, [mixture])
    value = make("ModelBuilder", precision, 1, 1)
    value.set_stream(0, one)
    value.set_duration(0, law)
    value = value.build()
    written = value.write()
    assert written == bytes.fromhex("929192ca3f80000091") + mixture.write() + b"\x91" + law.write()
    assert len(written) == 54
    reader = reading_class("Model", precision)
    assert model_content(reader.read_with_limits(written, 21)) == model_content(value)
    with raises_value(BUDGET):
        reader.read_with_limits(written, 20)
    assert duration(precision, 1.0, 1.0, 0.0, (3, 10, -1)).write()[11:14] == b"\x03\x0a\xff"


def test_msgpack_reads_our_bytes(precision):
    for name, value, structure, _ in samples(precision):
        assert msgpack.unpackb(value.write()) == structure(value), name
        if name != "Duration":
            assert msgpack.unpackb(value.write_with_encoding(0)) == structure(value)


def test_historical_schema(precision):
    value = small_model(precision)
    with raises_value(HISTORICAL):
        value.write_with_encoding(1)  # the first stream has a floor of 0.01
    floors_cleared = stream(precision, 2.0, [gaussian(precision, [1.0, 2.0], [3.0, 4.0],
                                                      floors=[0.0, -0.0])])
    value.set_stream(0, floors_cleared)
    written = value.write_with_encoding(1)
    assert msgpack.unpackb(written) == model_structure(value, historical=True)
    assert model_content(reading_class("Model", precision).read(written)) == narrowed(
        model_content(value))
    for name in ("Stream", "Gaussian"):
        part = floors_cleared if name == "Stream" else floors_cleared.emission(0)
        structure = stream_structure if name == "Stream" else mixture_structure
        assert msgpack.unpackb(part.write_with_encoding(1)) == structure(part, True)
        bad = gaussian(precision, [1.0], [1.0], floors=[0.001])
        bad_part = stream(precision, 1.0, [bad]) if name == "Stream" else bad
        with raises_value(HISTORICAL):
            bad_part.write_with_encoding(1)
        nan_floor = gaussian(precision, [1.0], [1.0], floors=[math.nan])
        with raises_value(HISTORICAL):
            (stream(precision, 1.0, [nan_floor]) if name == "Stream" else nan_floor
             ).write_with_encoding(1)


def test_encoding_code_is_checked_first(precision):
    for name, value, _, _ in samples(precision):
        if name == "Duration":
            assert not hasattr(value, "write_with_encoding")
            continue
        for code in (2, 2**32 - 1):
            with raises_value(ENCODING):
                value.write_with_encoding(code)
        with pytest.raises(OverflowError):
            value.write_with_encoding(2**32)
        with pytest.raises(OverflowError):
            value.write_with_encoding(-1)


def test_msgpack_bytes_read_back(precision):
    for name, value, structure, content in samples(precision):
        packed = msgpack.packb(structure(value), use_single_float=True)
        assert content(reading_class(name, precision).read(packed)) == narrowed(content(value))


def test_round_trip_and_cross_precision(precision):
    other = "F64" if precision == "F32" else "F32"
    value = small_model(precision)
    huge = make("Duration", precision)
    huge.set_values([0.1, 1e-50, 1e300])  # narrowed: 0.1 rounds, 1e-50 to 0, 1e300 to inf
    value.set_duration(1, huge)
    for name, part, _, content in samples(precision):
        back = reading_class(name, precision).read(part.write())
        assert content(back) == narrowed(content(part))
        assert content(reading_class(name, other).read(part.write())) == narrowed(content(part))
    back = reading_class("Model", precision).read(value.write())
    assert back.duration(1).values() == [f32(0.1), 0.0, math.inf]


def test_values_are_not_checked(precision):
    odd = gaussian(precision, [math.nan], [-1.0], weights=[-2.0])
    back = reading_class("Gaussian", precision).read(odd.write())
    assert math.isnan(back.means()[0]) and back.variances() == [-1.0]
    law = duration(precision, math.nan, 0.0)
    assert math.isnan(reading_class("Duration", precision).read(law.write()).values()[0])


def test_readers_accept_byte_sequences(precision):
    for name, value, _, content in samples(precision):
        reader = reading_class(name, precision)
        written = value.write()
        expected = content(reader.read(written))
        assert content(reader.read(bytearray(written))) == expected
        assert content(reader.read(list(written))) == expected
        with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
            reader.read(written.decode("latin-1"))
        with pytest.raises(OverflowError):
            reader.read([256])
        with raises_value(TRAILING):
            reader.read(written + b"\x00")
        with raises_value(BUDGET):
            reader.read_with_limits(written, 0)
        with raises_value(BUDGET):
            reader.read_prefix_with_limits(written, 0)
        with raises_value("failed to read MessagePack marker"):
            reader.read(b"")
        with pytest.raises(OverflowError):
            reader.read_with_limits(written, -1)
        decoded = reader.read_prefix(written + b"\x00")
        assert decoded.position == len(written)
        assert content(decoded.parameters()) == expected


def test_duration_budget(precision):
    written = duration(precision, 4.0, 2.0).write()
    reader = reading_class("Duration", precision)
    with raises_value(BUDGET):
        reader.read_with_limits(written, 5)
    assert reader.read_with_limits(written, 6).values() == [4.0, 2.0, 0.0]
    with raises_value("expected array length 6, found 5"):
        reader.read(b"\x95" + written[1:-5])


def test_f64_values_come_back_rounded():
    value = make("Duration", "F64")
    value.set_values([0.1, 2.0, 0.0])
    assert tarvek_rs.DurationF64.read(value.write()).values() == [f32(0.1), 2.0, 0.0]
    mixture = gaussian("F64", [0.1], [0.3])
    back = tarvek_rs.GaussianF64.read(mixture.write())
    assert back.means() == [f32(0.1)] and back.variances() == [f32(0.3)]


# ---- decoded objects --------------------------------------------------------------------


def test_prefix_reads_one_after_another(precision):
    first = gaussian(precision, [1.0, 2.0], [1.0, 1.0])
    second = gaussian(precision, [3.0], [4.0])
    data = first.write() + second.write()
    reader = reading_class("Gaussian", precision)
    decoded = reader.read_prefix(data)
    assert type(decoded).__name__ == "DecodedGaussian" + precision
    assert decoded.position == len(first.write())
    copy = decoded.parameters()
    copy.replace(1, [1.0], [9.0], [9.0], [0.0])
    assert mixture_content(decoded.parameters()) == mixture_content(first)
    following = reader.read_prefix_with_limits(data[decoded.position:], 100)
    assert following.position == len(second.write())
    assert mixture_content(following.into_parameters()) == mixture_content(second)


def test_decoded_objects(precision):
    for name, value, _, content in samples(precision):
        decoded = reading_class(name, precision).read_prefix(value.write())
        assert type(decoded).__name__ == "Decoded" + name + precision
        with pytest.raises(TypeError):
            type(decoded)()
        one, two = decoded.parameters(), decoded.parameters()
        assert type(one) is reading_class(name, precision)
        assert content(one) == content(two) == narrowed(content(value))
        one.free()
        assert content(two) == content(decoded.parameters())
        taken = decoded.into_parameters()
        assert decoded.is_closed and not taken.is_closed
        assert content(taken) == content(two)
        for member in (lambda: decoded.position, decoded.parameters, decoded.into_parameters):
            with consumed():
                member()
        assert decoded.free() is None


def test_writers_of_closed_objects(precision):
    for name, value, _, _ in samples(precision):
        value.free()
        with consumed():
            value.write()
        if name != "Duration":
            with pytest.raises(OverflowError):
                value.write_with_encoding(-1)  # conversion before the closed check
            with consumed():
                value.write_with_encoding(2)
