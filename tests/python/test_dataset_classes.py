import re

import pytest

import tarvek_rs
from conftest import cls

COUNTS = "regrouping requires a positive unit size and matching sample counts"
UNORDERED = "regrouping boundaries are unordered or out of range"
FINAL = "regrouping final boundary must match frame count"
UNFILLED = "sample set contains an unfilled slot"


def raises_value(message):
    return pytest.raises(ValueError, match="^" + re.escape(message) + "$")


def consumed():
    return pytest.raises(RuntimeError, match="^owner has been consumed$")


def regroup_function(precision):
    return getattr(tarvek_rs, "regroup_data_" + precision.lower())


def observation(precision, frames, dimensions=(2, 1)):
    """Frame t of stream r holds 100 * r + 10 * t + j in dimension j."""
    o = cls("Observation", precision)(frames, list(dimensions))
    Stream = cls("ObservationStream", precision)
    for r, d in enumerate(dimensions):
        values = [float(100 * r + 10 * t + j) for t in range(frames) for j in range(d)]
        o.set_stream(r, Stream(d, values))
    return o


def segmentation(precision, boundaries, streams=2):
    n = len(boundaries)
    s = cls("Segmentation", precision)(streams, n)
    s.set_boundaries(boundaries)
    s.set_duration_states([10 + i for i in range(n)])
    for r in range(streams):
        s.set_output_states(r, [100 * (r + 1) + i for i in range(n)])
    for i in range(n):
        s.add_jump(i, 2, 0.5)
        s.add_jump(i, 1, 0.25)
    return s


def collections(precision, observations, segmentations):
    o, s = cls("ObservationCollection", precision)(), cls("SegmentationCollection", precision)()
    for x in observations:
        o.push(x)
    for x in segmentations:
        s.push(x)
    return o, s


def regroup(precision, observations, segmentations, k):
    return regroup_function(precision)(*collections(precision, observations, segmentations), k)


def units(data):
    """Each unit as (frames, stream values, boundaries, duration states, output rows, jumps)."""
    result = []
    for u in range(data.observation_count):
        o, s = data.observation(u), data.segmentation(u)
        result.append((
            o.frames, [o.stream(r).values() for r in range(o.streams)], s.boundaries(),
            s.duration_states(), [s.output_states(r) for r in range(s.streams)],
            [(s.outgoing(i).deltas(), s.outgoing(i).probabilities()) for i in range(s.segments)],
        ))
    return result


def expected_unit(frames, first_frame, boundaries, first_segment):
    n = len(boundaries)
    times = range(first_frame, first_frame + frames)
    values = [[float(10 * t + j) for t in times for j in range(2)],
              [float(100 + 10 * t) for t in times]]
    segments = range(first_segment, first_segment + n)
    rows = [[100 + i for i in segments], [200 + i for i in segments]]
    return (frames, values, boundaries, [10 + i for i in segments], rows, [([1], [1.0])] * n)


def test_regrouping_examples(precision):
    sample = (observation(precision, 10), segmentation(precision, [3, 5, 9, 10]))
    pairs = regroup(precision, [sample[0]], [sample[1]], 2)
    assert (pairs.observation_count, pairs.segmentation_count) == (2, 2)
    assert units(pairs) == [expected_unit(5, 0, [3, 5], 0), expected_unit(5, 5, [4, 5], 2)]
    triples = regroup(precision, [sample[0]], [sample[1]], 3)
    assert units(triples) == [expected_unit(9, 0, [3, 5, 9], 0), expected_unit(1, 9, [1], 3)]
    # A unit size past the segment count keeps the sample whole but resets its jumps.
    whole = regroup(precision, [sample[0]], [sample[1]], 4)
    assert units(whole) == units(regroup(precision, [sample[0]], [sample[1]], 2**64 - 1))
    assert units(whole) == [expected_unit(10, 0, [3, 5, 9, 10], 0)]
    # The inputs are untouched.
    assert sample[1].outgoing(0).deltas() == [2, 1] and sample[0].frames == 10


def test_regrouping_several_samples_and_empty_units(precision):
    samples = [
        (observation(precision, 0), segmentation(precision, [])),  # no unit
        (observation(precision, 3), segmentation(precision, [0, 0, 3])),
    ]
    data = regroup(precision, *zip(*samples), 2)
    assert units(data) == [expected_unit(0, 0, [0, 0], 0), expected_unit(3, 0, [3], 2)]
    empty = regroup(precision, [], [], 1)
    assert (empty.observation_count, empty.segmentation_count) == (0, 0)


def test_regrouping_failures(precision):
    good = (observation(precision, 4), segmentation(precision, [2, 4]))
    cases = [
        ([], [], 0, COUNTS),
        ([good[0]], [good[1]], 0, COUNTS),
        ([good[0], good[0]], [good[1]], 1, COUNTS),
        ([observation(precision, 2)], [segmentation(precision, [])], 1, FINAL),
        ([good[0]], [segmentation(precision, [2, 3])], 1, FINAL),
        ([good[0]], [segmentation(precision, [3, 2, 4])], 1, UNORDERED),
        ([good[0]], [segmentation(precision, [2, 5])], 1, UNORDERED),
        ([good[0]], [segmentation(precision, [-1, 4])], 1, UNORDERED),
        ([good[0]], [segmentation(precision, [2, 4], streams=1)], 1,
         "regrouping stream counts differ"),
        # Every sample is checked before anything is built: a valid first sample gives nothing.
        ([good[0], good[0]], [good[1], segmentation(precision, [4, 3])], 1, UNORDERED),
        # Samples are checked in order: the first failing sample wins.
        ([good[0], good[0]], [segmentation(precision, [5, 4]), segmentation(precision, [4], 1)],
         1, UNORDERED),
    ]
    for observations, segmentations, k, message in cases:
        with raises_value(message):
            regroup(precision, observations, segmentations, k)
        data = cls("Dataset", precision)(*collections(precision, observations, segmentations))
        with raises_value(message):
            data.regroup(k)


def test_regroup_function_arguments(precision):
    regroup_data = regroup_function(precision)
    assert regroup_data.__text_signature__ == "(observations, segmentations, segments_per_unit)"
    o, s = collections(precision, [], [])
    with pytest.raises(OverflowError):
        regroup_data(o, s, -1)
    other = "F64" if precision == "F32" else "F32"
    with pytest.raises(TypeError, match="segmentations"):
        regroup_data(o, cls("SegmentationCollection", other)(), 1)
    data = regroup_data(segmentations=s, observations=o, segments_per_unit=1)
    assert type(data).__name__ == "Dataset" + precision
    # Conversion of every argument comes before the closed checks, which run in order.
    s.free()
    with pytest.raises(OverflowError):
        regroup_data(o, s, -1)
    o.free()
    with consumed():
        regroup_data(o, s, 1)


def test_dataset_storage(precision):
    Dataset = cls("Dataset", precision)
    assert Dataset.__text_signature__ == "(observations, segmentations)"
    obs = [observation(precision, 2), observation(precision, 3)]
    segs = [segmentation(precision, [2]), segmentation(precision, [1, 3]),
            segmentation(precision, [5])]
    o, s = collections(precision, obs, segs)
    data = Dataset(o, s)
    o.clear()
    assert (data.observation_count, data.segmentation_count) == (2, 3)
    assert data.observation(2) is None and data.segmentation(3) is None
    assert data.segmentation(5) is None
    with pytest.raises(OverflowError):
        data.observation(-1)
    with raises_value("observation sample index out of range"):
        data.set_observation(2, obs[0])
    data.set_segmentation(2, segs[0])
    assert data.segmentation(2).boundaries() == [2]
    with raises_value("segmentation sample index out of range"):
        data.set_segmentation(3, segs[0])
    with raises_value(COUNTS):
        data.regroup(1)
    # Objects handed in or out are copies.
    segs[0].set_boundaries([9])
    data.segmentation(0).set_boundaries([7])
    data.observations().clear()
    assert data.segmentation(0).boundaries() == [2] and data.observations().length == 2
    data.set_observation(1, obs[0])
    assert data.observation(1).frames == 2
    copy = data.cloned()
    data.replace(*collections(precision, [obs[1]], []))
    assert (data.observation_count, data.segmentation_count) == (1, 0)
    assert (copy.observation_count, copy.segmentations().length) == (2, 3)
    closed = observation(precision, 1)
    closed.free()
    with consumed():
        data.set_observation(0, closed)
    data.free()
    for call in (lambda: data.observation_count, data.observations, lambda: data.regroup(1),
                 lambda: data.replace(*collections(precision, [], []))):
        with consumed():
            call()


def builder_sample(kind, precision, seed):
    if kind == "Observation":
        return observation(precision, seed, (1,))
    return segmentation(precision, [seed])


def sample_key(kind, sample):
    return sample.frames if kind == "Observation" else sample.boundaries()


@pytest.fixture(params=["Observation", "Segmentation"])
def kind(request):
    return request.param


def test_set_builder_slots(kind, precision):
    Builder = cls(kind + "SetBuilder", precision)
    assert Builder.__text_signature__ == "(samples)"
    empty = Builder(0)
    assert empty.length == 0
    built = empty.build()
    assert type(built).__name__ == kind + "Collection" + precision and built.length == 0
    for bad in (2**31, 2**40):
        with raises_value("sample count exceeds the legacy format"):
            Builder(bad)
    with pytest.raises(OverflowError):
        Builder(-1)
    b = Builder(3)
    assert (b.length, b.has(3), b.get(3), b.has(0), b.get(0)) == (3, False, None, False, None)
    for call in (lambda: b.set(3, builder_sample(kind, precision, 1)), lambda: b.clear(3)):
        with raises_value("sample slot index out of range"):
            call()
    b.clear(1)  # an empty slot in range
    sample = builder_sample(kind, precision, 1)
    b.set(0, sample)
    b.set(1, builder_sample(kind, precision, 2))
    b.set(2, builder_sample(kind, precision, 3))
    assert b.has(2)
    b.resize(2)
    b.resize(3)
    assert [b.has(i) for i in range(3)] == [True, True, False]
    with raises_value("sample count exceeds the legacy format"):
        b.resize(2**31)
    assert b.length == 3
    copy = b.cloned()
    with raises_value(UNFILLED):
        b.build()
    assert b.is_closed
    with consumed():
        b.length
    with consumed():
        b.build()
    assert [copy.has(i) for i in range(3)] == [True, True, False]
    copy.set(2, builder_sample(kind, precision, 4))
    result = copy.build()
    assert [sample_key(kind, result.get(i)) for i in range(3)] == [
        sample_key(kind, builder_sample(kind, precision, s)) for s in (1, 2, 4)]


def test_set_builder_copies_and_checks(precision):
    b = cls("ObservationSetBuilder", precision)(2)
    o = observation(precision, 2, (1,))
    b.set(0, o)
    o.set_stream(0, cls("ObservationStream", precision)(1, [5.0, 6.0]))
    b.get(0).set_stream(0, cls("ObservationStream", precision)(1, [7.0, 8.0]))
    assert b.get(0).frame(0, 1) == [10.0]
    with raises_value(UNFILLED):  # slot 1 is empty; slot 0 comes first and passes
        b.build()
    holes = cls("SegmentationSetBuilder", precision)(3)
    holes.set(0, segmentation(precision, [1]))
    holes.set(2, segmentation(precision, [1]))
    with raises_value(UNFILLED):
        holes.build()
    # Boundaries are not examined when building.
    s = cls("SegmentationSetBuilder", precision)(1)
    s.set(0, segmentation(precision, [5, 3, 1]))
    assert s.build().get(0).boundaries() == [5, 3, 1]
    closed = observation(precision, 1, (1,))
    closed.free()
    b2 = cls("ObservationSetBuilder", precision)(1)
    with consumed():
        b2.set(0, closed)
    # With a closed receiver, conversion still comes first.
    b2.free()
    with pytest.raises(TypeError):
        b2.set(0, segmentation(precision, [1]))
