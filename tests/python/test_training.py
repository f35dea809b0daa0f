"""Expectation-maximisation from Python: whole-data-set rounds of `estimate_hsmm` and `update`
compared with the supervised estimates of the true alignments, and the one-utterance
estimation as a transaction inside a training loop."""

import struct

import numpy as np
import tarvek_rs
from model_support import make, raises_value
from training_support import model_statistics_content, observation, segmentation

# Three real states, each with its own emission and duration state, and a one-frame end
# marker with states of its own (the last chain position never receives posteriors).
MEANS = np.array([[0.0, 0.0], [6.0, -2.0], [-1.0, 7.0]])
VARIANCES = np.array([[1.0, 0.5], [0.8, 1.2], [1.5, 1.0]])
DURATION_MEANS = [4.0, 6.0, 8.0]
DURATION_VARIANCES = [1.0, 2.0, 1.5]
END_MEAN, END_VARIANCE = [100.0, 100.0], [1.0, 1.0]
END_DURATION = (1.0, 0.5)
END = 3
UTTERANCES = 60
ROUNDS = 8


def utterances(precision, seed=20240601):
    """(observation, segmentation, order) triples: a random order of the real states, then the
    end marker; durations rounded from their Gaussians (at least one frame)."""
    rng = np.random.default_rng(seed)
    data = []
    for _ in range(UTTERANCES):
        order = rng.permutation(3).tolist()
        lengths = [max(1, round(rng.normal(DURATION_MEANS[s], np.sqrt(DURATION_VARIANCES[s]))))
                   for s in order]
        frames = [rng.normal(MEANS[s], np.sqrt(VARIANCES[s]), size=(n, 2))
                  for s, n in zip(order, lengths)]
        frames.append(rng.normal(END_MEAN, np.sqrt(END_VARIANCE), size=(1, 2)))
        states = order + [END]
        data.append((observation(precision, [np.concatenate(frames).tolist()]),
                     segmentation(precision, np.cumsum(lengths + [1]).tolist(), states,
                                  [states])))
    return data


def build_model(precision, means, variances, durations):
    model = make("Model", precision, [4, 1, 2], 4)
    stream = model.stream(0)
    for state in range(4):
        mixture = make("Gaussian", precision, 1, 2)
        mixture.replace(2, [1.0], list(means[state]), list(variances[state]), [0.0, 0.0])
        stream.set_emission(state, mixture)
        law = make("Duration", precision)
        law.set_values([durations[state][0], durations[state][1], 0.0])
        model.set_duration(state, law)
    model.set_stream(0, stream)
    return model


def starting_model(precision):
    means = np.vstack([MEANS + 0.5 * np.sqrt(VARIANCES), [END_MEAN]])
    variances = np.vstack([VARIANCES * 1.5, [END_VARIANCE]])
    shifted = [m + shift for m, shift in zip(DURATION_MEANS, (1.5, -1.5, 1.5))]
    durations = list(zip(shifted, DURATION_VARIANCES)) + [END_DURATION]
    return build_model(precision, means, variances, durations)


def statistics_class(precision):
    return getattr(tarvek_rs, "ModelStatistics" + precision)


def test_em_approaches_supervised_estimates(precision):
    data = utterances(precision)
    settings = make("UpdateOptions", precision)

    supervised = starting_model(precision)
    statistics = statistics_class(precision).from_model(supervised)
    for frames, cut in data:
        statistics.collect_initialization(supervised, frames, cut)
    supervised.update(statistics, settings)

    model = starting_model(precision)
    options = make("HsmmOptions", precision)
    options.state_radius = 4.0
    totals = []
    for _ in range(ROUNDS):
        statistics = statistics_class(precision).from_model(model)
        totals.append(sum(statistics.estimate_hsmm(model, frames, cut, options)
                          for frames, cut in data))
        model.update(statistics, settings)

    for previous, current in zip(totals, totals[1:]):
        assert current >= previous - 1e-3 * abs(previous)
    assert totals[-1] > totals[0]
    for state in range(3):
        trained = np.array(model.stream(0).emission(state).means())
        expected = np.array(supervised.stream(0).emission(state).means())
        assert np.all(np.abs(trained - expected) <= 0.15), (state, trained, expected)
        assert abs(model.duration(state).values()[0] - supervised.duration(state).values()[0]) \
            <= 1.0
    # The end marker never receives posteriors: its states keep their starting values.
    assert model.stream(0).emission(END).means() == END_MEAN
    assert model.duration(END).values()[:2] == list(END_DURATION)


def test_failed_utterance_leaves_statistics_for_the_next(precision):
    data = utterances(precision)[:3]
    model = starting_model(precision)
    statistics = statistics_class(precision).from_model(model)
    options = make("HsmmOptions", precision)
    statistics.estimate_hsmm(model, *data[0], options)
    before = model_statistics_content(statistics)
    broken = data[1][1].cloned()
    broken.set_duration_states([0, 1, 2, 7])
    with raises_value("duration state is out of range"):  # found by the forward pass
        statistics.estimate_hsmm(model, data[1][0], broken, options)
    options.state_radius = float("nan")
    with raises_value("state pruning radius must be finite and nonnegative"):
        statistics.estimate_hsmm(model, *data[1], options)
    assert model_statistics_content(statistics) == before
    options.state_radius = 5.0
    total = statistics.estimate_hsmm(model, *data[2], options)
    assert model_statistics_content(statistics) != before
    if precision == "F32":  # the 32-bit total, widened exactly
        assert struct.unpack("f", struct.pack("f", total))[0] == total


def test_geometric_rounds(precision):
    data = utterances(precision)[:10]
    model = starting_model(precision)
    settings = make("UpdateOptions", precision)
    settings.duration_mode = 1
    options = make("GeometricOptions", precision)
    options.pruning_slope = 1.0
    statistics = statistics_class(precision).from_model(model)
    total = sum(statistics.estimate_geometric(model, frames, cut, options)
                for frames, cut in data)
    assert np.isfinite(total)
    occupancy = [statistics.duration(state).occupancy for state in range(4)]
    assert all(value > 0 for value in occupancy[:3])
    model.update(statistics, settings)
    for state in range(3):
        mean, variance, _ = model.duration(state).values()
        assert mean >= 1.0 and variance == mean
    options.pruning_slope = -1.0
    with raises_value("linear pruning slope must be finite and nonnegative"):
        statistics.estimate_geometric(model, *data[0], options)
