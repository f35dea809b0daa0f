"""Cut two segmented recordings into units of two segments and save the units as byte strings.

A data set has no byte format of its own: its observations and segmentations are written
through their collections, and read back the same way.
"""

import tarvek_rs as t


def recording(frames, boundaries, states):
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


observations, segmentations = t.ObservationCollectionF32(), t.SegmentationCollectionF32()
for frames, boundaries, states in ((10, [3, 5, 9, 10], [0, 1, 2, 3]), (6, [2, 6], [4, 5])):
    observation, segmentation = recording(frames, boundaries, states)
    observations.push(observation)
    segmentations.push(segmentation)

units = t.regroup_data_f32(observations, segmentations, 2)
print("units:", units.observation_count)
for u in range(units.observation_count):
    unit = units.segmentation(u)
    print(f"  unit {u}: {units.observation(u).frames} frames, boundaries {unit.boundaries()},"
          f" duration states {unit.duration_states()}, first jumps {unit.outgoing(0).deltas()}")

observation_bytes = units.observations().write()
segmentation_bytes = units.segmentations().write()
print("written:", len(observation_bytes), "bytes of observations,",
      len(segmentation_bytes), "bytes of segmentations")

again = t.DatasetF32(t.ObservationCollectionF32.read(observation_bytes),
                     t.SegmentationCollectionF32.read(segmentation_bytes))
assert again.segmentation(1).boundaries() == units.segmentation(1).boundaries()
assert again.observation(1).frame(0, 0) == units.observation(1).frame(0, 0)
print("read back:", again.observation_count, "units")
