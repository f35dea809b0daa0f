"""What the Python benchmarks share: best-of-N timing and the builders of chain models,
segmentations and observations through the module's classes."""

import time

import tarvek_rs


def classes(precision):
    """The module's class of a name in one precision: classes("F32")("Model") is ModelF32."""
    return lambda name: getattr(tarvek_rs, name + precision)


def best_of(repeats, action):
    """The fastest of `repeats` calls in seconds of this thread's processor time (which, on a
    core shared with other processes, leaves out the time they take), with the last call's
    result."""
    times = []
    for _ in range(repeats):
        start = time.thread_time()
        result = action()
        times.append(time.thread_time() - start)
    return min(times), result


def chain_model(cls, components, dimensions, mixtures, durations):
    """A model whose stream k holds the mixtures mixtures[k][s] = (means, variances), each
    component-major with equal weights and zero floors, and whose duration s has the
    (mean, variance) durations[s]."""
    states = len(durations)
    model = cls("Model")([states, components, dimensions] * len(mixtures), states)
    cells = components * dimensions
    for k, stream_mixtures in enumerate(mixtures):
        stream = model.stream(k)
        for s, (means, variances) in enumerate(stream_mixtures):
            mixture = cls("Gaussian")(components, dimensions)
            mixture.replace(dimensions, [1.0 / components] * components, means, variances,
                            [0.0] * cells)
            stream.set_emission(s, mixture)
        model.set_stream(k, stream)
    for s, (mean, variance) in enumerate(durations):
        law = cls("Duration")()
        law.set_values([mean, variance, 0.0])
        model.set_duration(s, law)
    return model


def random_chain_model(cls, rng, states, streams, components, dimensions, frames):
    """A chain model of normal means, variances uniform in [0.5, 2], and durations of mean
    frames / states and twice that variance."""
    cells = components * dimensions
    mixtures = [[([rng.gauss(0.0, 1.0) for _ in range(cells)],
                  [rng.uniform(0.5, 2.0) for _ in range(cells)]) for _ in range(states)]
                for _ in range(streams)]
    length = frames // states
    return chain_model(cls, components, dimensions, mixtures,
                       [(float(length), float(length * 2))] * states)


def chain_segmentation(cls, streams, states, frames):
    """Equal segments: position s ends at frame (s + 1) * (frames // states), with duration
    state s and output state s in every stream."""
    length = frames // states
    segmentation = cls("Segmentation")(streams, states)
    segmentation.set_boundaries([length * (s + 1) for s in range(states)])
    segmentation.set_duration_states(list(range(states)))
    for k in range(streams):
        segmentation.set_output_states(k, list(range(states)))
    return segmentation


def observation_from(cls, frames, dimensions, stream_values):
    """An observation of one stream per flat, frame-major value list."""
    result = cls("Observation")(frames, [dimensions] * len(stream_values))
    for k, values in enumerate(stream_values):
        result.set_stream(k, cls("ObservationStream")(dimensions, values))
    return result


def random_observation(cls, rng, frames, streams, dimensions):
    """Values drawn from a normal of deviation 1.2, stream by stream."""
    return observation_from(cls, frames, dimensions,
                       [[rng.gauss(0.0, 1.2) for _ in range(frames * dimensions)]
                        for _ in range(streams)])


def hsmm_options(cls, radius):
    options = cls("HsmmOptions")()
    options.state_radius = radius
    return options


def geometric_inputs(cls, dtype, frames, positions=50, slope=0.2):
    """A chain of `positions` geometric states with varied durations, its segmentation over
    `frames` frames, a score table of random values in [-8, 0) made in place as an array of
    the table's precision (which the table copies whole), and geometric options; the array is
    returned too, for callers that must keep it alive."""
    import numpy as np

    model = cls("Model")([positions, 1, 1], positions)
    for s in range(positions):
        law = cls("Duration")()
        law.set_values([2.0 + 0.1 * (s % 40), 1.0, 0.0])
        model.set_duration(s, law)
    segmentation = chain_segmentation(cls, 1, positions, frames)
    scores = np.random.default_rng(7).random(frames * positions, dtype)
    scores *= -8.0
    emissions = cls("LogEmissions")(frames, positions, scores)
    options = cls("GeometricOptions")()
    options.temperature, options.pruning_slope = 1.0, slope
    return model, segmentation, emissions, options, scores
