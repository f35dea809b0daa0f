"""Helpers shared by the statistics and training tests: utterances built from plain lists, and
the content of statistics objects as plain lists for exact comparisons."""

import pytest

from model_support import make


def observation(precision, streams):
    """`streams`: per stream, a list of frames (each a list of values)."""
    frames = len(streams[0])
    dimensions = [len(stream[0]) for stream in streams]
    value = make("Observation", precision, frames, dimensions)
    for index, stream in enumerate(streams):
        flat = [x for frame in stream for x in frame]
        value.set_stream(index, make("ObservationStream", precision, dimensions[index], flat))
    return value


def segmentation(precision, boundaries, duration_states, output_states):
    """`output_states`: one list of emission states per stream."""
    value = make("Segmentation", precision, len(output_states), len(boundaries))
    value.set_boundaries(list(boundaries))
    value.set_duration_states(list(duration_states))
    for stream, states in enumerate(output_states):
        value.set_output_states(stream, list(states))
    return value


def gaussian_statistics_content(value):
    return (value.mixtures, value.dimensions, value.weighted_sums(),
            value.weighted_squared_sums(), value.component_occupancies(),
            value.state_occupancy())


def stream_statistics_content(value):
    return [gaussian_statistics_content(value.emission(i)) for i in range(value.emissions)]


def model_statistics_content(value):
    return ([stream_statistics_content(value.stream(i)) for i in range(value.streams)],
            [value.duration(i).values() for i in range(value.durations)])


def gaussian_statistics(precision, dimensions, sums, squared_sums, occupancies, state):
    value = make("GaussianStatistics", precision, 1, 1)
    value.replace(dimensions, sums, squared_sums, occupancies, [state])
    return value


def duration_statistics(precision, value_sum, squared_sum, occupancy):
    value = make("DurationStatistics", precision)
    value.set_values([value_sum, squared_sum, occupancy])
    return value


def wrong_class(parameter, *calls):
    """Each call raises TypeError naming the argument `parameter`."""
    for call in calls:
        with pytest.raises(TypeError, match=f"argument '{parameter}'"):
            call()
