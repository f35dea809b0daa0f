"""Models and model builders: construction, access, replacement, validation, copies."""

import math

import pytest

import tarvek_rs

from model_support import (consumed, duration, duration_content, make, model_content,
                           raises_value, rounded, small_model, stream_content)

TRIPLES = "stream layouts require emissions/components/dimensions triples"
SLOTS = "slot count exceeds the legacy format"


def test_constructor_checks_in_order(precision):
    with raises_value(TRIPLES):
        make("Model", precision, [2**31, 0, 0, 5], 2**31)  # before any count is looked at
    with raises_value(SLOTS):
        make("Model", precision, [1, 0, 2], 2**31)  # before any layout triple is tried
    with raises_value("mixture count and dimensions must be positive"):
        make("Model", precision, [0, 0, 0, 1, 0, 2], 0)
    with raises_value("emission count exceeds the legacy format"):
        make("Model", precision, [2**31, 1, 1], 0)
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        make("Model", precision, [2**32, 1, 1], 0)
    with pytest.raises(OverflowError):
        make("Model", precision, [], -1)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        make("Model", precision, "123", 0)


def test_empty_model(precision):
    for empty in (make("Model", precision, [], 0), getattr(make("Model", precision, [], 0),
                                                           "empty")()):
        assert (empty.streams, empty.durations) == (0, 0)
        assert empty.validate() is None
    model = make("Model", precision, [0, 0, 0], 1)
    assert model.streams == 1 and model.stream(0).emissions == 0 and model.stream(1) is None


def test_new_model_defaults(precision):
    model = make("Model", precision, [2, 3, 4], 2)
    assert (model.streams, model.durations) == (1, 2)
    first = model.stream(0)
    assert first.weight() == [1.0] and first.emissions == 2
    for index in range(2):
        mixture = first.emission(index)
        assert mixture.weights() == [rounded(precision, 1 / 3)] * 3
        assert mixture.means() == mixture.variances() == mixture.variance_floors() == [0.0] * 12
    assert duration_content(model.duration(1)) == ([0.0, 0.0, 0.0], [-1, -1, -1])


def test_index_readers_and_writers(precision):
    model = make("Model", precision, [1, 1, 1], 2)
    assert model.stream(1) is None and model.duration(2) is None
    before = model_content(model)
    with raises_value("stream index out of range"):
        model.set_stream(1, make("Stream", precision, 0, 0, 0))
    with raises_value("duration index out of range"):
        model.set_duration(2, make("Duration", precision))
    for call in (lambda: model.stream(-1), lambda: model.duration(-1),
                 lambda: model.set_stream(-1, make("Stream", precision, 0, 0, 0))):
        with pytest.raises(OverflowError):
            call()
    assert model_content(model) == before


def test_parts_are_copied_in_and_out(precision):
    model = make("Model", precision, [1, 1, 1], 1)
    part = model.stream(0)
    part.set_weight([2.0])
    assert model.stream(0).weight() == [1.0]
    model.set_stream(0, part)
    part.set_weight([3.0])
    part.free()
    assert model.stream(0).weight() == [2.0]
    law = duration(precision, 4.0, 2.0)
    model.set_duration(0, law)
    law.set_values([1.0, 1.0, 1.0])
    assert model.duration(0).values() == [4.0, 2.0, 0.0]


def test_replace_copies_and_checks_no_duration(precision):
    # Every way Python has of making a mixture checks its shape, so the shape check of
    # `replace` and `validate` cannot fail from here; what it lets through is tested.
    model = small_model(precision)
    streams = make("StreamCollection", precision)
    durations = make("DurationCollection", precision)
    streams.push(make("Stream", precision, 1, 1, 2))
    streams.push(make("Stream", precision, 0, 0, 0))
    durations.push(duration(precision, math.nan, -1.0))
    assert model.replace(streams, durations) is None
    assert (model.streams, model.durations) == (2, 1)
    assert math.isnan(model.duration(0).values()[0])
    assert model.validate() is None
    streams.clear()  # the model holds copies
    durations.free()
    assert model.streams == 2 and model.durations == 1 and not streams.is_closed


def test_argument_classes_and_closed_order(precision):
    other = "F64" if precision == "F32" else "F32"
    model = make("Model", precision, [], 1)
    with pytest.raises(TypeError, match="value"):
        model.set_duration(0, make("Duration", other))
    with pytest.raises(TypeError, match="streams"):
        model.replace(make("DurationCollection", precision), make("DurationCollection",
                                                                  precision))
    closed_law = make("Duration", precision)
    closed_law.close()
    with consumed():
        model.set_duration(0, closed_law)
    model.free()
    # Conversion comes before the receiver's closed check.
    with pytest.raises(TypeError):
        model.set_duration(0, make("Stream", precision, 0, 0, 0))
    with consumed():
        model.set_duration(0, closed_law)


def test_cloned_is_independent(precision):
    model = small_model(precision)
    copy = model.cloned()
    assert model_content(copy) == model_content(model)
    copy.set_stream(0, make("Stream", precision, 0, 0, 0))
    assert model.stream(0).emissions == 2


def test_model_AllocFail(precision):
    with pytest.raises(MemoryError):
        make("Model", precision, [1, 2**24, 2**24], 0)
    # Streams that would each pass still cannot be allocated together.
    with pytest.raises(MemoryError):
        make("Model", precision, [1, 2**22, 2**22] * 8, 0)


# ---- builders ---------------------------------------------------------------------------


def filled_builder(precision, streams, durations):
    builder = make("ModelBuilder", precision, streams, durations)
    for index in range(streams):
        builder.set_stream(index, make("Stream", precision, index + 1, 1, index + 1))
    for index in range(durations):
        builder.set_duration(index, duration(precision, index + 1.0, 1.0))
    return builder


def slots(builder):
    return ([builder.has_stream(i) for i in range(builder.streams)],
            [builder.has_duration(i) for i in range(builder.durations)])


def test_builder_construction(precision):
    assert make("ModelBuilder", precision, 0, 0).build().streams == 0
    for counts in ((2**31, 1), (1, 2**31)):
        with raises_value(SLOTS):
            make("ModelBuilder", precision, *counts)
    builder = make("ModelBuilder", precision, 2, 3)
    assert (builder.streams, builder.durations) == (2, 3)
    assert not builder.has_stream(0) and builder.stream(0) is None and builder.stream(7) is None
    assert not builder.has_duration(7) and builder.duration(0) is None
    with pytest.raises(OverflowError):
        builder.has_stream(-1)


def test_builder_slot_writers(precision):
    builder = make("ModelBuilder", precision, 2, 3)
    part = make("Stream", precision, 1, 1, 1)
    with raises_value("stream index out of range"):
        builder.set_stream(2, part)
    with raises_value("duration index out of range"):
        builder.clear_duration(3)
    with raises_value("duration index out of range"):
        builder.set_duration(3, make("Duration", precision))
    with raises_value("stream index out of range"):
        builder.clear_stream(2)
    assert slots(builder) == ([False, False], [False] * 3)
    builder.set_stream(0, part)
    part.set_weight([5.0])
    assert builder.stream(0).weight() == [1.0]
    assert stream_content(builder.stream(0)) == stream_content(builder.stream(0))
    assert builder.stream(0) is not builder.stream(0)
    builder.clear_stream(0)
    builder.clear_stream(0)
    assert slots(builder) == ([False, False], [False] * 3)


def test_builder_resize(precision):
    builder = filled_builder(precision, 1, 4)
    builder.resize(3, 2)
    assert slots(builder) == ([True, False, False], [True, True])
    builder.resize(1, 4)
    assert slots(builder) == ([True], [True, True, False, False])
    assert builder.duration(1).values() == [2.0, 1.0, 0.0]
    with raises_value(SLOTS):
        builder.resize(2**31, 0)
    with raises_value(SLOTS):
        builder.resize(0, 2**31)
    assert slots(builder) == ([True], [True, True, False, False])


def test_builder_build(precision):
    builder = make("ModelBuilder", precision, 2, 1)
    builder.set_stream(0, make("Stream", precision, 0, 0, 0))
    with raises_value("model builder contains an unfilled stream slot"):
        builder.build()
    assert builder.is_closed
    builder = filled_builder(precision, 2, 2)
    builder.clear_duration(1)
    with raises_value("model builder contains an unfilled duration slot"):
        builder.build()
    assert builder.is_closed
    # Different emission counts and a duration count matching none of them build.
    builder = filled_builder(precision, 3, 5)
    copy = builder.cloned()
    model = builder.build()
    assert [model.stream(i).emissions for i in range(3)] == [1, 2, 3]
    assert model.durations == 5 and model.duration(4).values() == [5.0, 1.0, 0.0]
    with consumed():
        builder.has_stream(0)
    assert copy.has_stream(2) and copy.build().streams == 3


SIGNATURES = {
    "Model": "(layouts, durations)", "ModelBuilder": "(streams, durations)",
    "Stream": "(emissions, components, dimensions)", "StreamBuilder": "(emissions)",
    "Gaussian": "(mixtures, dimensions)", "Duration": "()", "StreamCollection": "()",
    "GaussianCollection": "()", "DurationCollection": "()",
}


def test_signatures_and_keywords(precision):
    for name, signature in SIGNATURES.items():
        assert getattr(tarvek_rs, name + precision).__text_signature__ == signature
    assert tarvek_rs.MixtureWeights.__text_signature__ == "(values)"
    model_class = getattr(tarvek_rs, "Model" + precision)
    assert model_class.stream.__text_signature__ == "($self, index)"
    assert model_class.read_with_limits.__text_signature__ == "(bytes, max_array_entries)"
    assert model_class.write_with_encoding.__text_signature__ == "($self, code)"
    model = model_class(layouts=[1, 1, 1], durations=1)
    model.set_stream(value=make("Stream", precision, 0, 0, 0), index=0)
    assert model.stream(index=0).emissions == 0
    with pytest.raises(TypeError):
        model.stream(0, index=0)
    with pytest.raises(TypeError):
        model.stream(position=0)
    with pytest.raises(TypeError):
        model.set_stream(0)
    decoded = model_class.read_prefix_with_limits(bytes=model.write(), max_array_entries=100)
    assert decoded.into_parameters().streams == 1
