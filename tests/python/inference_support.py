"""Building blocks of the inference tests: a three-position chain model over two streams, its
segmentation and observation, option and pruning objects, and log-emission tables."""

import math

import numpy as np

from model_support import duration, gaussian, make, model, options, stream

FEXP_FLOOR = 1.1755177525066417e-38  # the fast exponential of log zero, never 0


def chain_model(precision, streams=None, laws=((3.0, 2.0), (2.0, 1.0), (4.0, 3.0))):
    """Two streams of three emission states (two 2-d components; one 1-d component), one
    duration law per (mean, variance[, minimum duration])."""
    if streams is None:
        first = [gaussian(precision, [0.1 * s, -0.2, 1.0, 0.5 * s], [1.0, 2.0, 0.5, 1.5],
                          weights=[0.3, 0.7]) for s in range(3)]
        second = [gaussian(precision, [s - 1.0], [0.75]) for s in range(3)]
        streams = [stream(precision, 1.0, first), stream(precision, 0.5, second)]
    return model(precision, streams, [duration(precision, law[0], law[1],
                                               constraints=((*law[2:], -1)[0], -1, -1))
                                      for law in laws])


def segmentation(precision, boundaries=(3, 6, 9), states=(0, 1, 2), streams=2):
    value = make("Segmentation", precision, streams, len(boundaries))
    value.set_boundaries(list(boundaries))
    value.set_duration_states(list(states))
    for index in range(streams):
        value.set_output_states(index, list(range(len(boundaries))))
    return value


def observation(precision, frames=9, dimensions=(2, 1)):
    value = make("Observation", precision, frames, list(dimensions))
    for index, d in enumerate(dimensions):
        values = [math.sin(0.7 * i + index) for i in range(frames * d)]
        value.set_stream(index, make("ObservationStream", precision, d, values))
    return value


def data_observation(precision, data):
    """One stream holding the rows of the array `data` as frames."""
    value = make("Observation", precision, data.shape[0], [data.shape[1]])
    value.set_stream(0, make("ObservationStream", precision, data.shape[1], data.ravel().tolist()))
    return value


def pruning(precision, mode=0, parameter=0.0):
    return make("EmissionPruning", precision, mode, parameter)


def preparation(precision, temperature=1.0, weight=1.0, length=300):
    return options("PreparationOptions", precision, temperature=temperature,
                   duration_weight=weight, duration_cache_length=length)


def hsmm_options(precision, temperature=1.0, weight=1.0, radius=5.0):
    return options("HsmmOptions", precision, temperature=temperature, duration_weight=weight,
                   state_radius=radius)


def geometric_options(precision, temperature=1.0, slope=0.3):
    return options("GeometricOptions", precision, temperature=temperature, pruning_slope=slope)


def table(precision, frames, states, value=lambda t, s: -0.3 * ((t + 2 * s) % 5) - 1.0):
    return make("LogEmissions", precision, frames, states,
                [value(t, s) for t in range(frames) for s in range(states)])


def grid(table_object):
    return np.array(table_object.values()).reshape(table_object.frames, table_object.states)


def log_sum(values):
    top = max(values)
    return top + math.log(sum(math.exp(v - top) for v in values))
