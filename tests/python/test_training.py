"""Expectation-maximisation from Python: whole-data-set rounds of `estimate_hsmm` and `update`
against the supervised estimates of the true alignments, and one-utterance estimation as a
transaction inside a training loop."""

import numpy as np
import pytest

from conftest import cls, f32
from model_support import (collection, duration, fails, gaussian, make, model, options,
                           stream)
from training_support import (duration_statistics, gaussian_statistics,
                              model_statistics_content, observation, segmentation)

# Three real states, then a one-frame end marker with emission and duration states of its own
# (the last chain position never receives posteriors).
MEANS = np.array([[0.0, 0.0], [6.0, -2.0], [-1.0, 7.0], [100.0, 100.0]])
VARIANCES = np.array([[1.0, 0.5], [0.8, 1.2], [1.5, 1.0], [1.0, 1.0]])
DURATIONS = [(4.0, 1.0), (6.0, 2.0), (8.0, 1.5), (1.0, 0.5)]
END = 3


def utterances(precision, count=60):
    """(observation, segmentation) pairs: the real states in a random order, then the end
    marker; durations rounded from their Gaussians (at least one frame)."""
    rng = np.random.default_rng(20240601)
    data = []
    for _ in range(count):
        states = rng.permutation(3).tolist() + [END]
        lengths = [max(1, round(rng.normal(DURATIONS[s][0], np.sqrt(DURATIONS[s][1]))))
                   for s in states[:END]] + [1]
        frames = np.concatenate([rng.normal(MEANS[s], np.sqrt(VARIANCES[s]), size=(n, 2))
                                 for s, n in zip(states, lengths)])
        data.append((observation(precision, [frames.tolist()]),
                     segmentation(precision, np.cumsum(lengths).tolist(), states, [states])))
    return data


def starting_model(precision):
    """The real states moved by half a standard deviation, variances x 1.5, duration means
    +-1.5."""
    shift = np.array([0.5, 0.5, 0.5, 0.0])[:, None]
    scale = np.array([1.5, 1.5, 1.5, 1.0])[:, None]
    mixtures = [gaussian(precision, list(m), list(v)) for m, v in
                zip(MEANS + shift * np.sqrt(VARIANCES), VARIANCES * scale)]
    laws = [duration(precision, m + shift, v) for (m, v), shift in zip(DURATIONS,
                                                                       (1.5, -1.5, 1.5, 0.0))]
    return model(precision, [stream(precision, 1.0, mixtures)], laws)


def test_em_approaches_supervised_estimates(precision):
    data, settings = utterances(precision), make("UpdateOptions", precision)
    supervised = starting_model(precision)
    statistics = cls("ModelStatistics", precision).from_model(supervised)
    for frames, cut in data:
        statistics.collect_initialization(supervised, frames, cut)
    supervised.update(statistics, settings)

    trained, totals = starting_model(precision), []
    hsmm = options("HsmmOptions", precision, state_radius=4.0)
    for _ in range(8):
        statistics = cls("ModelStatistics", precision).from_model(trained)
        totals.append(sum(statistics.estimate_hsmm(trained, frames, cut, hsmm)
                          for frames, cut in data))
        trained.update(statistics, settings)

    assert all(now >= before - 1e-3 * abs(before) for before, now in zip(totals, totals[1:]))
    assert totals[-1] > totals[0]
    for state in range(END):
        means = [m.stream(0).emission(state).means() for m in (trained, supervised)]
        assert np.all(np.abs(np.subtract(*means)) <= 0.15), (state, means)
        assert abs(trained.duration(state).values()[0] -
                   supervised.duration(state).values()[0]) <= 1.0
    # The end marker never receives posteriors: its states keep their starting values.
    assert trained.stream(0).emission(END).means() == MEANS[END].tolist()
    assert trained.duration(END).values()[:2] == list(DURATIONS[END])


def test_failed_utterance_leaves_statistics_for_the_next(precision):
    data = utterances(precision, 3)
    trained = starting_model(precision)
    statistics = cls("ModelStatistics", precision).from_model(trained)
    hsmm = make("HsmmOptions", precision)
    statistics.estimate_hsmm(trained, *data[0], hsmm)
    before = model_statistics_content(statistics)
    broken = data[1][1].cloned()
    broken.set_duration_states([0, 1, 2, 7])
    fails("duration state is out of range",  # found by the forward pass
          lambda: statistics.estimate_hsmm(trained, data[1][0], broken, hsmm))
    fails("state pruning radius must be finite and nonnegative",
          lambda: statistics.estimate_hsmm(trained, *data[1], options(
              "HsmmOptions", precision, state_radius=float("nan"))))
    assert model_statistics_content(statistics) == before
    total = statistics.estimate_hsmm(trained, *data[2], hsmm)
    assert model_statistics_content(statistics) != before
    assert precision == "F64" or f32(total) == total  # the 32-bit total, widened exactly


def test_geometric_round(precision):
    data, trained = utterances(precision, 10), starting_model(precision)
    geometric = options("GeometricOptions", precision, pruning_slope=1.0)
    statistics = cls("ModelStatistics", precision).from_model(trained)
    assert np.isfinite(sum(statistics.estimate_geometric(trained, frames, cut, geometric)
                           for frames, cut in data))
    assert all(statistics.duration(state).occupancy > 0 for state in range(END))
    trained.update(statistics, options("UpdateOptions", precision, duration_mode=1))
    for state in range(END):
        mean, variance, _ = trained.duration(state).values()
        assert mean >= 1.0 and variance == mean
    geometric.pruning_slope = -1.0
    fails("linear pruning slope must be finite and nonnegative",
          lambda: statistics.estimate_geometric(trained, *data[0], geometric))


SCORABLE = "emissions require finite means, positive variances, and nonnegative finite weights"
STATISTICS = "Gaussian statistics contain invalid values"


def broken_mixture(precision, trained):
    """The model's stream with its unused last state's variance made negative."""
    changed = trained.stream(0)
    changed.set_emission(END + 1, gaussian(precision, [0.0, 0.0], [-1.0, 1.0]))
    return changed


def broken_sums(precision, statistics):
    """The statistics' stream with the unused last state's sums made infinite."""
    changed = statistics.stream(0)
    changed.set_emission(END + 1, gaussian_statistics(
        precision, 2, [float("inf"), 0.0], [0.0, 0.0], [0.0], 0.0))
    return changed


def zero_variance_update(precision, trained):
    """Updates the model from sums that give the unused last state a variance of 0."""
    sums = cls("ModelStatistics", precision).from_model(trained)
    changed = sums.stream(0)
    changed.set_emission(END + 1, gaussian_statistics(
        precision, 2, [1.0, 1.0], [1.0, 1.0], [1.0], 1.0))
    sums.set_stream(0, changed)
    trained.update(sums, options("UpdateOptions", precision, emission_variance_floor=0.0))


# Every writer of a model's mixtures and of the statistics' values. A model's durations are
# checked on every call, and `clear` and the accumulations write only values that pass.
@pytest.mark.parametrize("change, message", [
    (lambda p, m, s: m.set_stream(0, broken_mixture(p, m)), SCORABLE),
    (lambda p, m, s: m.replace(
        collection("Stream", p, [broken_mixture(p, m)]),
        collection("Duration", p, [m.duration(i) for i in range(m.durations)])), SCORABLE),
    (lambda p, m, s: zero_variance_update(p, m), SCORABLE),
    (lambda p, m, s: s.set_stream(0, broken_sums(p, s)), STATISTICS),
    (lambda p, m, s: s.set_duration(END + 1, duration_statistics(p, 0.0, 0.0, -1.0)),
     "duration statistics must be finite and nonnegative"),
    (lambda p, m, s: s.replace(
        collection("StreamStatistics", p, [broken_sums(p, s)]),
        collection("DurationStatistics", p, [s.duration(i) for i in range(s.durations)])),
     STATISTICS),
], ids=["model.set_stream", "model.replace", "model.update", "statistics.set_stream",
        "statistics.set_duration", "statistics.replace"])
def test_a_change_after_a_successful_call_is_checked_again(precision, change, message):
    """Checks of the whole model and statistics that passed are remembered only until either
    changes: a state the utterance does not name, broken after a successful call, fails the
    next one."""
    data = utterances(precision, 2)
    start = starting_model(precision)
    first = start.stream(0)
    mixtures = [first.emission(i) for i in range(first.emissions)]
    laws = [start.duration(i) for i in range(start.durations)]
    trained = model(precision, [stream(precision, 1.0, mixtures + [mixtures[0]])],
                    laws + [laws[0]])
    statistics = cls("ModelStatistics", precision).from_model(trained)
    hsmm = make("HsmmOptions", precision)
    statistics.estimate_hsmm(trained, *data[0], hsmm)
    change(precision, trained, statistics)
    fails(message, lambda: statistics.estimate_hsmm(trained, *data[1], hsmm))
