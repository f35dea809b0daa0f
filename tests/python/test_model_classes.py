"""Models and model builders: construction, access, replacement, copies."""

import math

import pytest

from model_support import (collection, consumed, duration, fails, make, model_content, rounded,
                           small_model)

SLOTS = "slot count exceeds the legacy format"


@pytest.mark.parametrize("layouts, durations, error, message", [
    # The layout length is checked before any count, the duration count before any triple.
    ([2**31, 0, 0, 5], 2**31, ValueError,
     "stream layouts require emissions/components/dimensions triples"),
    ([1, 0, 2], 2**31, ValueError, SLOTS),
    ([0, 0, 0, 1, 0, 2], 0, ValueError, "mixture count and dimensions must be positive"),
    ([2**31, 1, 1], 0, ValueError, "emission count exceeds the legacy format"),
    ([], -1, OverflowError, None),
    ("123", 0, TypeError, "Can't extract `str` to `Vec`"),
    ([1, 2**24, 2**24], 0, MemoryError, None),
    ([1, 2**22, 2**22] * 8, 0, MemoryError, None),  # streams that pass alone, but not together
])
def test_constructor_checks_and_AllocFail(precision, layouts, durations, error, message):
    fails(message, lambda: make("Model", precision, layouts, durations), error=error)


def test_layout_fails_as_its_stream(precision):
    # The emission array is refused or the empty mixtures are, as the machine's size decides;
    # either way with the stream constructor's message.
    messages = set()
    for call in (lambda: make("Model", precision, [2**31 - 1, 0, 2], 0),
                 lambda: make("Stream", precision, 2**31 - 1, 0, 2)):
        with pytest.raises(ValueError) as error:
            call()
        messages.add(str(error.value))
    assert len(messages) == 1
    assert messages <= {"stream allocation failed", "mixture count and dimensions must be positive"}


def test_new_models(precision):
    for empty in (make("Model", precision, [], 0), make("Model", precision, [], 0).empty()):
        assert (empty.streams, empty.durations, empty.validate()) == (0, 0, None)
        assert empty.write() == bytes.fromhex("929090")
    value = make("Model", precision, [2, 3, 4, 0, 0, 0], 2)
    first = value.stream(0)
    assert (value.streams, value.durations, first.weight(), first.emissions) == (2, 2, [1.0], 2)
    for mixture in (first.emission(0), first.emission(1)):
        assert mixture.weights() == [rounded(precision, 1 / 3)] * 3
        assert mixture.means() == mixture.variances() == mixture.variance_floors() == [0.0] * 12
    assert value.stream(1).emissions == 0
    assert model_content(value)[1] == [([0.0, 0.0, 0.0], [-1, -1, -1])] * 2


def test_parts_are_copied_in_and_out(precision):
    value = make("Model", precision, [1, 1, 1], 2)
    before = model_content(value)
    assert value.stream(1) is None and value.duration(2) is None
    fails("stream index out of range", lambda: value.set_stream(1, value.stream(0)))
    fails("duration index out of range", lambda: value.set_duration(2, value.duration(0)))
    fails(None, lambda: value.stream(-1), lambda: value.set_stream(-1, value.stream(0)),
          error=OverflowError)
    assert model_content(value) == before
    part = value.stream(0)
    part.set_weight([2.0])
    assert value.stream(0).weight() == [1.0]
    value.set_stream(0, part)
    part.set_weight([3.0])
    law = duration(precision, 4.0, 2.0)
    value.set_duration(0, law)
    law.set_values([1.0, 1.0, 1.0])
    copy = value.cloned()
    copy.set_stream(0, make("Stream", precision, 0, 0, 0))
    assert value.stream(0).weight() == [2.0] and value.duration(0).values() == [4.0, 2.0, 0.0]
    # Every way of making a mixture from Python checks its shape, so `replace` can only be fed
    # well-formed streams; it accepts any durations.
    value = small_model(precision)
    durations = collection("Duration", precision, [duration(precision, math.nan, -1.0)])
    value.replace(make("StreamCollection", precision), durations)
    durations.free()
    assert (value.streams, value.durations, value.validate()) == (0, 1, None)


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


def test_builder_slots(precision):
    fails(SLOTS, lambda: make("ModelBuilder", precision, 2**31, 1),
          lambda: make("ModelBuilder", precision, 1, 2**31))
    builder = make("ModelBuilder", precision, 2, 3)
    assert (builder.streams, builder.durations, builder.stream(0), builder.stream(7)) == (
        2, 3, None, None)
    part = make("Stream", precision, 1, 1, 1)
    fails("stream index out of range", lambda: builder.set_stream(2, part))
    fails("duration index out of range", lambda: builder.clear_duration(3))
    assert slots(builder) == ([False, False], [False] * 3) and not builder.has_duration(7)
    builder.set_stream(0, part)
    part.set_weight([5.0])
    assert builder.stream(0).weight() == [1.0] and builder.stream(0) is not builder.stream(0)
    builder = filled_builder(precision, 1, 4)
    builder.resize(3, 2)
    assert slots(builder) == ([True, False, False], [True, True])
    builder.resize(1, 4)
    fails(SLOTS, lambda: builder.resize(2**31, 0))
    assert slots(builder) == ([True], [True, True, False, False])


def test_builder_build(precision):
    assert make("ModelBuilder", precision, 0, 0).build().streams == 0
    builder = make("ModelBuilder", precision, 2, 1)
    builder.set_stream(0, make("Stream", precision, 0, 0, 0))
    fails("model builder contains an unfilled stream slot", builder.build)
    assert builder.is_closed
    builder = filled_builder(precision, 2, 2)
    builder.clear_duration(1)
    fails("model builder contains an unfilled duration slot", builder.build)
    assert builder.is_closed
    # Different emission counts and a duration count matching none of them build.
    value = filled_builder(precision, 3, 5).build()
    assert [value.stream(i).emissions for i in range(3)] == [1, 2, 3] and value.durations == 5
    builder = filled_builder(precision, 1, 1)
    builder.build()
    with consumed():
        builder.has_stream(0)
