"""Cut two segmented recordings into units of two segments and save the units as byte strings.

A data set has no byte format of its own: its observations and segmentations are written
through their collections, and read back the same way.
"""

import tarvek_rs as t


def recording(
    frames: int, boundaries: list[int], states: list[int]
) -> tuple[t.ObservationF32, t.SegmentationF32]:
    """One observation (a 2-dimensional stream and a 1-dimensional one) and its segmentation."""
    observation = t.ObservationF32(frames, [2, 1])
    observation.set_stream(0, t.ObservationStreamF32(2, [float(i) for i in range(2 * frames)]))
    observation.set_stream(1, t.ObservationStreamF32(1, [0.5 * i for i in range(frames)]))
    segmentation = t.SegmentationF32(2, len(boundaries))
    segmentation.set_boundaries(boundaries)
    segmentation.set_duration_states(states)
    segmentation.set_output_states(0, states)
    segmentation.set_output_states(1, states)
    segmentation.add_jump(0, 2, 0.25)  # a skip; units keep only the step to the next segment
    return observation, segmentation


def sample(data: t.DatasetF32, index: int) -> tuple[t.ObservationF32, t.SegmentationF32]:
    """Observation and segmentation `index` of a data set that holds them."""
    observation, segmentation = data.observation(index), data.segmentation(index)
    assert observation is not None and segmentation is not None
    return observation, segmentation


observations, segmentations = t.ObservationCollectionF32(), t.SegmentationCollectionF32()
for frames, boundaries, states in ((10, [3, 5, 9, 10], [0, 1, 2, 3]), (6, [2, 6], [4, 5])):
    observation, segmentation = recording(frames, boundaries, states)
    observations.push(observation)
    segmentations.push(segmentation)

units = t.regroup_data_f32(observations, segmentations, 2)
print("units:", units.observation_count)
for u in range(units.observation_count):
    unit_observation, unit = sample(units, u)
    first_jumps = unit.outgoing(0)
    assert first_jumps is not None
    print(f"  unit {u}: {unit_observation.frames} frames, boundaries {unit.boundaries()},"
          f" duration states {unit.duration_states()}, first jumps {first_jumps.deltas()}")

observation_bytes = units.observations().write()
segmentation_bytes = units.segmentations().write()
print("written:", len(observation_bytes), "bytes of observations,",
      len(segmentation_bytes), "bytes of segmentations")

again = t.DatasetF32(t.ObservationCollectionF32.read(observation_bytes),
                     t.SegmentationCollectionF32.read(segmentation_bytes))
observation_again, segmentation_again = sample(again, 1)
observation_before, segmentation_before = sample(units, 1)
assert segmentation_again.boundaries() == segmentation_before.boundaries()
assert observation_again.frame(0, 0) == observation_before.frame(0, 0)
print("read back:", again.observation_count, "units")
