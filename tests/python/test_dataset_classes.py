import pytest

import tarvek_rs
from conftest import cls
from model_support import assert_closed, collection, consumed, fails

COUNTS = "regrouping requires a positive unit size and matching sample counts"
UNORDERED = "regrouping boundaries are unordered or out of range"
FINAL = "regrouping final boundary must match frame count"
UNFILLED = "sample set contains an unfilled slot"
SAMPLE_COUNT = "sample count exceeds the legacy format"


def regroup_function(precision):
    return getattr(tarvek_rs, "regroup_data_" + precision.lower())


def observation(precision, frames, dimensions=(2, 1)):
    """Frame t of stream r holds 100 * r + 10 * t + j in dimension j."""
    o = cls("Observation", precision)(frames, list(dimensions))
    for r, d in enumerate(dimensions):
        values = [float(100 * r + 10 * t + j) for t in range(frames) for j in range(d)]
        o.set_stream(r, cls("ObservationStream", precision)(d, values))
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
    return (collection("Observation", precision, observations),
            collection("Segmentation", precision, segmentations))


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
    sample = ([observation(precision, 10)], [segmentation(precision, [3, 5, 9, 10])])
    assert units(regroup(precision, *sample, 2)) == [expected_unit(5, 0, [3, 5], 0),
                                                     expected_unit(5, 5, [4, 5], 2)]
    assert units(regroup(precision, *sample, 3)) == [expected_unit(9, 0, [3, 5, 9], 0),
                                                     expected_unit(1, 9, [1], 3)]
    # A unit size past the segment count keeps the sample whole but resets its jumps.
    for k in (4, 2**64 - 1):
        assert units(regroup(precision, *sample, k)) == [expected_unit(10, 0, [3, 5, 9, 10], 0)]
    assert sample[1][0].outgoing(0).deltas() == [2, 1]  # the inputs are untouched
    # A sample without segments or frames gives no unit; empty segments give a 0-frame unit.
    samples = ([observation(precision, 0), observation(precision, 3)],
               [segmentation(precision, []), segmentation(precision, [0, 0, 3])])
    assert units(regroup(precision, *samples, 2)) == [expected_unit(0, 0, [0, 0], 0),
                                                      expected_unit(3, 0, [3], 2)]
    empty = regroup(precision, [], [], 1)
    assert (empty.observation_count, empty.segmentation_count) == (0, 0)


def test_regrouping_failures(precision):
    good = (observation(precision, 4), segmentation(precision, [2, 4]))
    for observations, segmentations, k, message in [
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
    ]:
        data = cls("Dataset", precision)(*collections(precision, observations, segmentations))
        fails(message, lambda: regroup(precision, observations, segmentations, k),
              lambda: data.regroup(k))
    fails(None, lambda: regroup(precision, [], [], -1), error=OverflowError)


def test_dataset_storage(precision):
    observations = [observation(precision, 2), observation(precision, 3)]
    segmentations = [segmentation(precision, [2]), segmentation(precision, [1, 3]),
                     segmentation(precision, [5])]
    o, s = collections(precision, observations, segmentations)
    data = cls("Dataset", precision)(o, s)
    o.clear()
    assert (data.observation_count, data.segmentation_count) == (2, 3)
    assert data.observation(2) is None and data.segmentation(3) is None
    assert data.segmentation(5) is None
    fails("observation sample index out of range", lambda: data.set_observation(2, observations[0]))
    data.set_segmentation(2, segmentations[0])
    fails("segmentation sample index out of range",
          lambda: data.set_segmentation(3, segmentations[0]))
    fails(COUNTS, lambda: data.regroup(1))
    # Objects handed in or out are copies.
    segmentations[0].set_boundaries([9])
    data.segmentation(0).set_boundaries([7])
    data.observations().clear()
    assert data.segmentation(2).boundaries() == [2] and data.observations().length == 2
    copy = data.cloned()
    data.replace(*collections(precision, [observations[1]], []))
    assert (data.observation_count, data.segmentation_count, copy.observation_count) == (1, 0, 2)
    data.free()
    assert_closed(data, "observation_count", "observations", ("regroup", 1),
                  ("replace", *collections(precision, [], [])))


def builder_sample(kind, precision, seed):
    if kind == "Observation":
        return observation(precision, seed, (1,))
    return segmentation(precision, [seed])


@pytest.mark.parametrize("kind", ["Observation", "Segmentation"])
def test_set_builders(kind, precision):
    Builder = cls(kind + "SetBuilder", precision)
    assert Builder(0).length == 0 and Builder(0).build().length == 0
    fails(SAMPLE_COUNT, lambda: Builder(2**31))
    b = Builder(3)
    assert (b.length, b.has(3), b.get(3), b.get(9), b.has(0)) == (3, False, None, None, False)
    fails("sample slot index out of range", lambda: b.set(3, builder_sample(kind, precision, 1)),
          lambda: b.clear(3))
    b.clear(1)  # an empty slot in range
    for index, seed in enumerate((1, 2, 3)):
        b.set(index, builder_sample(kind, precision, seed))
    b.resize(2)
    b.resize(3)
    fails(SAMPLE_COUNT, lambda: b.resize(2**31))
    assert [b.has(i) for i in range(3)] == [True, True, False]
    copy = b.cloned()
    fails(UNFILLED, b.build)
    assert_closed(b, "length", "build")
    copy.set(2, builder_sample(kind, precision, 4))
    result = copy.build()
    assert [result.get(i).write() for i in range(3)] == [
        builder_sample(kind, precision, s).write() for s in (1, 2, 4)]


def test_set_builder_copies_and_checks(precision):
    b = cls("ObservationSetBuilder", precision)(2)
    o = observation(precision, 2, (1,))
    b.set(0, o)
    o.set_stream(0, cls("ObservationStream", precision)(1, [5.0, 6.0]))
    b.get(0).set_stream(0, cls("ObservationStream", precision)(1, [7.0, 8.0]))
    assert b.get(0).frame(0, 1) == [10.0]
    holes = cls("SegmentationSetBuilder", precision)(3)
    holes.set(0, segmentation(precision, [1]))
    holes.set(2, segmentation(precision, [1]))
    fails(UNFILLED, holes.build)
    s = cls("SegmentationSetBuilder", precision)(1)
    s.set(0, segmentation(precision, [5, 3, 1]))  # boundaries are not examined when building
    assert s.build().get(0).boundaries() == [5, 3, 1]
    closed = observation(precision, 1, (1,))
    closed.free()
    with consumed():
        b.set(0, closed)
    b.free()
    with pytest.raises(TypeError):  # with a closed receiver, conversion still comes first
        b.set(0, segmentation(precision, [1]))
