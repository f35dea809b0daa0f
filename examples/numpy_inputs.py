"""Numpy arrays and scalars wherever the module takes a list of numbers or a number: float64
and float32 arrays are copied whole, other arrays and sequences item by item."""

import numpy as np

import tarvek_rs as t

rng = np.random.default_rng(7)
frames = np.int64(6)

# One two-dimensional stream of frames, from a float32 array.
observation = t.ObservationF32(frames, np.array([2], dtype=np.uint32))
observation.set_stream(0, t.ObservationStreamF32(2, rng.normal(size=12).astype(np.float32)))
print("frame 5:", observation.frame(0, frames - 1))

# Score tables from float64 arrays, read at numpy indices.
scores = t.StateScoresF64(frames, np.int32(2), np.linspace(-3.0, -1.0, 12))
emissions = t.LogEmissionsF64(frames, 2, np.full(12, -1.5))
print("forward total:", scores.total_log_probability(), "emission (5, 1):", emissions.get(5, 1))

# A two-segment chain from integer arrays, the first segment jumping one or two positions on.
chain = t.SegmentationF32(1, 2)
chain.set_boundaries(np.array([3, 6]))
chain.set_duration_states(np.arange(2))
chain.set_output_states(0, np.arange(2, dtype=np.int32))
chain.set_outgoing(0, t.JumpGroupF32(np.array([2, 1]), np.array([0.25, 0.75], np.float32)))
print("boundaries:", chain.boundaries(), "jumps from 0:", chain.outgoing(np.uint8(0)))

# A Gaussian from arrays, scored at a float32 frame with a numpy temperature.
mixture = t.GaussianF64(1, 2)
mixture.replace(2, np.ones(1), np.zeros(2), np.ones(2), np.full(2, 1e-3))
print("log density:", mixture.prepare().log_probability(np.zeros(2, np.float32), np.float64(1.0)))

# Scalars: numpy floats and integers for number, index and option arguments.
options = t.HsmmOptionsF64()
options.temperature = np.float32(0.5)
options.duration_extra = np.int16(2)
print("log-add f32:", t.numerical_log_add_f32(np.float32(1.0), np.float32(2.0)))
print("options:", options.temperature, options.duration_extra)
