"""Inference straight from a model: emission tables, HSMM and geometric passes, occupancies and
posteriors, against references computed here from the model's definition (numpy, enumeration of
paths, hmmlearn for the geometric total)."""

import itertools
import math

import numpy as np
import pytest

from conftest import f32, other
from inference_support import (FEXP_FLOOR, chain_model, data_observation, geometric_options, grid,
                               hsmm_options, log_sum, observation, preparation, pruning,
                               segmentation, table)
from model_support import (LOG_ZERO, consumed, duration, fails, gaussian, make, model,
                           model_content, rounded, stream)
from tarvek_rs import DurationPosteriors, MixturePosteriors, TransitionPosteriors

TEMPERATURE = "temperature must be finite and nonnegative"
TOTAL_OR_SLOPE = "occupancy total must be finite and pruning slope finite and nonnegative"
SCORE_SHAPE = "duration occupancy score dimensions differ"
HSMM_CALLS = ["forward_hsmm", "backward_hsmm", "viterbi_hsmm"]
GEOMETRIC_CALLS = ["forward_geometric", "backward_geometric", "viterbi_geometric"]
EMISSION = ["emission_log_probabilities", "emission_probabilities"]
MIXTURE = ["mixture_occupancies"]
HSMM = HSMM_CALLS + [name + "_with_graph" for name in HSMM_CALLS]
DURATIONS = ["duration_occupancies", "duration_occupancies_with_graph"]
STATES, TRANSITIONS = ["hsmm_state_occupancies"], ["geometric_transition_occupancies"]
MEMBERS = EMISSION + MIXTURE + HSMM + GEOMETRIC_CALLS + DURATIONS + STATES + TRANSITIONS


def parameters(precision, name):
    signature = getattr(type(chain_model(precision)), name).__text_signature__
    assert signature.startswith("($self, ")
    return signature[8:-1].split(", ")


def values_of(result):
    """Every number a pass result holds, for exact comparisons."""
    if hasattr(result, "occurrences"):
        return result.occurrences(), result.log_probability(), values_of(result.scores())
    if hasattr(result, "begin"):
        return result.begin().values(), result.end().values()
    return result.values()


def readers(posteriors):
    names = {DurationPosteriors: ("presence", "minimums", "offsets", "values"),
             MixturePosteriors: ("presence", "offsets", "values"),
             TransitionPosteriors: ("presence", "values")}[type(posteriors)]
    return (posteriors.frames, posteriors.states, *(getattr(posteriors, n)() for n in names))


def rebuilt_readers(posteriors):
    """The readers of a table built again from what the readers give, read twice over."""
    again = readers(type(posteriors)(*readers(posteriors)))
    assert readers(type(posteriors)(*again)) == again
    return again


def hsmm_call(receiver, name, chain, emissions, options, graph):
    if graph:
        return getattr(receiver, name + "_with_graph")(chain.build_transitions(), emissions,
                                                       options)
    return getattr(receiver, name)(chain, emissions, options)


def hsmm_posteriors(source, chain, emissions, options):
    forward = source.forward_hsmm(chain, emissions, options)
    backward = source.backward_hsmm(chain, emissions, options)
    total = forward.end().total_through_state(backward.end(), 0)
    return forward, backward, total, source.duration_occupancies(chain, emissions, forward,
                                                                 backward, total, options)


def hmm_chain(precision, means, variances, duration_means, data):
    """One stream; position s emits from its own one-component diagonal Gaussian and has its
    own duration law; the segmentation splits the frames of `data` evenly. Returns the model,
    segmentation and log-emission table of `data`."""
    positions, frames = len(means), len(data)
    mixtures = [gaussian(precision, list(m), list(v)) for m, v in zip(means, variances)]
    value = model(precision, [stream(precision, 1.0, mixtures)],
                  [duration(precision, float(m), 1.0) for m in duration_means])
    chain = segmentation(precision, [frames * (s + 1) // positions for s in range(positions)],
                         range(positions), streams=1)
    return value, chain, value.emission_log_probabilities(data_observation(precision, data),
                                                          chain, 1.0, pruning(precision))


def random_chain(precision, rng, positions, dimensions, frames, spread=1.0):
    means = rng.normal(0.0, spread, (positions, dimensions))
    variances = rng.uniform(0.5, 2.0, (positions, dimensions))
    duration_means = rng.uniform(0.5, 6.0, positions)
    duration_means[0] = 1.05  # just above the floor of 1.01 frames
    data = rng.normal(0.0, 1.0, (frames, dimensions))
    return (*hmm_chain(precision, means, variances, duration_means, data), means, variances,
            duration_means, data)


def weighted_densities(mixture, frame):
    """w_k N_k(x) for each component of a diagonal mixture."""
    weights = np.array(mixture.weights())
    means, variances = (np.array(v).reshape(len(weights), -1)
                        for v in (mixture.means(), mixture.variances()))
    return weights * np.exp(-0.5 * np.sum(np.log(2 * math.pi * variances) +
                                          (frame - means) ** 2 / variances, axis=1))


# ---- emission tables and mixture occupancies ---------------------------------------------

def test_emission_tables(precision):
    source, frames, chain = chain_model(precision), observation(precision), segmentation(precision)
    scores = lambda name, temperature, *mode: getattr(source, name)(  # noqa: E731
        frames, chain, temperature, pruning(precision, *mode)).values()
    log = scores("emission_log_probabilities", 0.5)
    expected = [sum(source.stream(k).weight()[0] * 0.5 * math.log(weighted_densities(
        source.stream(k).emission(s), np.array(frames.frame(k, t))).sum()) for k in range(2))
        for t in range(9) for s in range(3)]
    assert log == pytest.approx(expected, abs=2e-3)  # every cell evaluated
    assert log == source.prepare(preparation(precision)).emission_log_probabilities(
        frames, chain, 0.5, pruning(precision)).values()
    densities = scores("emission_probabilities", 0.5)
    # The 32-bit fast exponential of the log table, widened in F64.
    assert densities == make("LogEmissions", precision, 9, 3, log).probabilities().values()
    assert all(f32(v) == v for v in densities) and np.allclose(densities, np.exp(log), rtol=1e-3)
    for mode, parameter in [(1, 0.0), (2, 0.4)]:  # cells outside a window: log zero, not 0
        log_window = scores("emission_log_probabilities", 1.0, mode, parameter)
        outside = [v == LOG_ZERO[precision] for v in log_window]
        assert 0 < sum(outside) < 27
        linear = scores("emission_probabilities", 1.0, mode, parameter)
        assert {v for v, out in zip(linear, outside) if out} == {FEXP_FLOOR}
    assert scores("emission_log_probabilities", 0.5, 0, math.nan) == log  # mode 0 ignores it


def test_mixture_occupancies(precision):
    source, frames, chain = chain_model(precision), observation(precision), segmentation(precision)
    weights = np.random.default_rng(3).uniform(0.2, 1.0, 27)
    occupancy = make("StateOccupancies", precision, 9, 3, weights.tolist())
    for (mode, parameter, present), index in itertools.product(
            [(0, 0.0, 9 + 2), (0, 5.0, 27), (1, 0.4, 12)], range(2)):
        posteriors = source.mixture_occupancies(frames, chain, occupancy, index, 1.0, make(
            "MixtureOccupancyMode", precision, mode, parameter))
        assert type(posteriors) is MixturePosteriors and sum(posteriors.presence()) == present
        for t, s in itertools.product(range(9), range(3)):
            if (cell := posteriors.get(t, s)) is not None:
                # w_m min(cap, occupancy N_m(x) / sum_k w_k N_k(x))
                mixture = source.stream(index).emission(s)
                joint = weighted_densities(mixture, np.array(frames.frame(index, t)))
                cap = math.inf if mode == 0 else 1.0
                expected = [w * min(cap, occupancy.get(t, s) * j / w / joint.sum())
                            for w, j in zip(mixture.weights(), joint)]
                assert cell.values() == pytest.approx(expected, rel=5e-3, abs=1e-6)
        assert rebuilt_readers(posteriors) == readers(posteriors)


# ---- HSMM passes ---------------------------------------------------------------------------

def duration_row(law, d, temperature, weight):
    """The log score of d frames under (mean, variance, minimum duration)."""
    mean, variance, minimum = law
    if minimum >= 1 and d < minimum:
        return -1e15 if temperature == 0 else temperature * -1e15
    return temperature * weight * (-0.5 * math.log(2 * math.pi * variance) -
                                   0.5 * (d - mean) ** 2 / variance)


def chain_paths(laws, cells, temperature, weight, rows=None):
    """(score, durations) of every path of a default-jump chain over `cells`. Without `rows`
    the paths end exactly at the last frame. With them (each position's duration row length)
    they are what the backward pass counts: the last position unscored to the end, a segment
    that runs past the last frame censored there."""
    frames, last = len(cells), len(laws) - 1
    emitted = lambda s, a, b: sum(cells[t][s] for t in range(a, min(b, frames)))  # noqa: E731

    def walk(s, start):
        if s == last:
            d = frames - start
            yield emitted(s, start, frames) + (0.0 if rows else duration_row(
                laws[s], d, temperature, weight)), [d]
            return
        for d in range(1, rows[s] if rows else frames - start - last + s + 1):
            here = duration_row(laws[s], d, temperature, weight) + emitted(s, start, start + d)
            if start + d >= frames:
                yield here, [d]
            else:
                yield from ((here + score, [d] + rest) for score, rest in walk(s + 1, start + d))
    return list(walk(0, 0))


CHAINS = [  # laws (mean, variance, minimum), boundaries
    (((2.0, 1.0, -1), (3.0, 2.0, -1)), (2, 5)),
    (((2.5, 1.5, -1), (1.5, 0.5, 2)), (3, 6)),
    (((2.0, 1.0, -1), (1.0, 3.0, -1), (2.0, 0.75, 2)), (1, 3, 5)),
    (((1.5, 0.5, 1), (2.0, 1.0, -1), (1.5, 2.0, -1)), (2, 3, 4)),
]
SETTINGS = [(1.0, 1.0, 300), (0.8, 1.5, 3), (0.0, 1.0, 4), (2.0, 0.3, 0)]  # T, weight, cache


@pytest.mark.parametrize("laws,boundaries", CHAINS)
def test_hsmm_against_enumerated_paths(precision, laws, boundaries):
    frames, positions = boundaries[-1], len(laws)
    emissions = table(precision, frames, positions,
                      lambda t, s: -0.25 * ((3 * t + s) % 4) - 0.5 - 0.07 * s * t)
    cells, chain = grid(emissions).tolist(), segmentation(precision, boundaries, range(positions))
    source = chain_model(precision, laws=laws)
    stored = [(rounded(precision, m), rounded(precision, v), n) for m, v, n in laws]
    for temperature, weight, cache in SETTINGS:
        options = hsmm_options(precision, temperature, weight, radius=float(positions))
        factors = options.temperature, options.duration_weight
        paths = chain_paths(stored, cells, *factors)
        total = log_sum([score for score, _ in paths])
        best, best_lengths = max(paths)
        runner_up = max(score for score, lengths in paths if lengths != best_lengths)
        censored = log_sum([score for score, _ in chain_paths(stored, cells, *factors, [
            max(int(2 * (b - a) + 30), int(m + 2 * math.sqrt(v)))  # the default row lengths
            for (m, v, _), a, b in zip(stored, (0, *boundaries), boundaries)])])
        results = []
        for receiver in (source, source.prepare(preparation(precision, temperature, weight,
                                                            cache))):
            forward, backward, path = (getattr(receiver, n)(chain, emissions, options)
                                       for n in HSMM_CALLS)
            assert forward.end().get(frames - 1, positions - 1) == pytest.approx(
                total, abs=5e-3 + 1e-6 * abs(total))
            assert path.log_probability()[0] == pytest.approx(
                best, abs=1e-9 if precision == "F64" else 1e-6 * abs(best))
            if best - runner_up > 1e-3:
                ends = np.cumsum(best_lengths).tolist()
                assert path.occurrences() == [x for s in range(positions) for x in (s, ends[s])]
            slack = 0.03 if temperature == 0 else 0.0  # many equal terms through the log-add
            assert backward.begin().get(0, 0) + cells[0][0] == pytest.approx(
                censored, abs=5e-3 + slack + 1e-6 * abs(censored))
            results.append([values_of(r) for r in (forward, backward, path)])
            assert results[-1] == [values_of(hsmm_call(receiver, n, chain, emissions, options,
                                                       True)) for n in HSMM_CALLS]
        if precision == "F64":  # the prepared caches hold the model's duration values exactly
            assert results[0] == results[1]


# ---- geometric passes ----------------------------------------------------------------------

def geometric_weights(duration_means, temperature):
    p = 1.0 / np.maximum(np.asarray(duration_means, dtype=float), 1.01)
    return temperature * np.log1p(-p), temperature * np.log(p)


def hmm_forward(cells, stay, advance, combine=np.logaddexp):
    alpha = np.full(cells.shape, -np.inf)
    alpha[0, 0] = cells[0, 0]
    for t in range(1, len(cells)):
        moved = np.concatenate([[-np.inf], alpha[t - 1, :-1] + advance[:-1]])
        alpha[t] = combine(alpha[t - 1] + stay, moved) + cells[t]
    return alpha


def hmm_backward(cells, stay, advance):
    beta = np.zeros(cells.shape)
    for t in range(len(cells) - 2, -1, -1):
        following = beta[t + 1] + cells[t + 1]
        beta[t] = np.logaddexp(following + stay, np.append(following[1:] + advance[:-1],
                                                           -np.inf))
    return beta


@pytest.mark.parametrize("seed", [1, 2])
def test_geometric_passes_against_plain_hmm(precision, seed):
    source, chain, emissions, *_ = random_chain(precision, np.random.default_rng(seed), 4, 3, 10)
    cells, options = grid(emissions), geometric_options(precision, 0.7, 1.0)
    stay, advance = geometric_weights([source.duration(s).values()[0] for s in range(4)], 0.7)
    extra = 1e-6 if precision == "F32" else 0.0
    alpha, beta = (getattr(source, n)(chain, emissions, options) for n in GEOMETRIC_CALLS[:2])
    a, b = hmm_forward(cells, stay, advance), hmm_backward(cells, stay, advance)
    reachable = np.isfinite(a)  # the band covers every cell; unreachable ones differ
    got, want = grid(alpha)[reachable], a[reachable]
    assert (np.abs(got - want) <= 1e-3 * np.nonzero(reachable)[0] + extra * np.abs(want)).all()
    assert (grid(alpha)[~reachable] < -1e14).all()
    assert np.allclose(grid(beta)[reachable], b[reachable], atol=2e-2, rtol=1e-5)

    best = hmm_forward(cells, stay, advance, np.maximum)[-1, -1]
    path = source.viterbi_geometric(chain, emissions, options)
    assert path.log_probability()[0] == pytest.approx(best, abs=1e-9 + 10 * extra * abs(best))
    states = path.states()
    score = cells[0, 0] + sum((stay[i] if i == j else advance[i]) + cells[t + 1, j]
                              for t, (i, j) in enumerate(zip(states, states[1:])))
    assert (states[0], states[-1]) == (0, 3)
    assert score == pytest.approx(best, abs=1e-4 + 10 * extra * abs(score))

    # Occupancies normalised by the backward total sum to 1 at every inner frame.
    total = beta.backward_log_probability(emissions)
    occupancies = grid(alpha.geometric_occupancies(beta, total, 1.0))
    frames, positions = cells.shape
    assert (np.abs(occupancies[1:-1].sum(axis=1) - 1.0) <= 2e-3 + 1e-3 * frames).all()
    posteriors = source.geometric_transition_occupancies(chain, emissions, alpha, beta, total,
                                                         options)
    assert type(posteriors) is TransitionPosteriors
    assert rebuilt_readers(posteriors) == readers(posteriors)
    for t, s in itertools.product(range(frames), range(positions)):
        cell = posteriors.get(t, s)
        assert (cell is None) == (t in (0, frames - 1))
        if cell is not None:
            # P(stay in s at t), P(advance into s at t) (1 for the first position), from the
            # exact tables; the passes' fast log-add allows 1e-3 per frame.
            after = cells[t, s] + b[t, s] - b[0, 0] - cells[0, 0]
            expected = [np.exp(a[t - 1, s] + stay[s] + after), 1.0 if s == 0 else
                        np.exp(a[t - 1, s - 1] + advance[s - 1] + after)]
            assert cell.values() == pytest.approx(expected, rel=1e-2, abs=1e-6)
    # A narrower band leaves out the cells far from the segmentation's diagonal.
    narrow = geometric_options(precision, 0.7, 0.5)
    present = source.geometric_transition_occupancies(chain, emissions, *(
        getattr(source, n)(chain, emissions, narrow) for n in GEOMETRIC_CALLS[:2]), total,
        narrow).presence()
    centre = lambda t: t * positions // frames  # noqa: E731
    assert list(present) == [int(0 < t < frames - 1 and max(centre(t) - 2, 0) <= s < centre(t) + 2)
                             for t in range(frames) for s in range(positions)]


def test_geometric_total_against_hmmlearn():
    hmm = pytest.importorskip("hmmlearn.hmm")
    positions, dimensions, frames = 5, 3, 60
    source, chain, emissions, means, variances, duration_means, data = random_chain(
        "F64", np.random.default_rng(7), positions, dimensions, frames, spread=2.0)
    total = source.backward_geometric(chain, emissions, geometric_options(
        "F64", 1.0, 1.0)).backward_log_probability(emissions)
    # The chain plus an absorbing sink whose mean lies far from all data.
    reference = hmm.GaussianHMM(n_components=positions + 1, covariance_type="diag",
                                init_params="", params="")
    reference.startprob_ = np.eye(positions + 1)[0]
    transitions = np.zeros((positions + 1, positions + 1))
    for s in range(positions):
        p = 1.0 / max(duration_means[s], 1.01)
        transitions[s, s], transitions[s, s + 1] = 1.0 - p, p
    transitions[positions, positions] = 1.0
    reference.transmat_ = transitions
    reference.means_ = np.vstack([means, np.full(dimensions, np.abs(data).max() + 1e3)])
    reference.covars_ = np.vstack([variances, np.ones(dimensions)])
    assert total == pytest.approx(reference.score(data), abs=1e-3 * (frames - 1))


# ---- duration, state and transition occupancies --------------------------------------------

def separated_chain(precision, seed, positions=4, length=4, dimensions=2):
    """Data drawn along the segmentation from emission means 5 standard deviations apart."""
    means = np.array([[5.0 * s] * dimensions for s in range(positions)])
    truth = np.repeat(np.arange(positions), length)
    data = means[truth] + np.random.default_rng(seed).normal(0.0, 1.0, means[truth].shape)
    return (*hmm_chain(precision, means, np.ones_like(means), [float(length)] * positions,
                       data), truth)


@pytest.mark.parametrize("seed", [4, 5])
def test_duration_and_state_occupancies(precision, seed):
    source, chain, emissions, truth = separated_chain(precision, seed)
    positions = emissions.states
    options = hsmm_options(precision, radius=float(positions))
    forward, backward, total, durations = hsmm_posteriors(source, chain, emissions, options)
    assert type(durations) is DurationPosteriors and all(f32(v) == v for v in durations.values())
    assert (durations.frames, durations.states) == (emissions.frames, positions)
    assert sum(durations.get(0, 0).probabilities()) == pytest.approx(1.0, abs=1e-2)
    presence, offsets, values = durations.presence(), durations.offsets(), durations.values()
    for s in range(1, positions - 1):  # each inner position: one segment in all
        assert sum(sum(values[offsets[i]:offsets[i + 1]])
                   for i in range(s, len(presence), positions) if presence[i]) == pytest.approx(
            1.0, abs=1e-2)
    assert rebuilt_readers(durations) == readers(durations)
    assert readers(source.duration_occupancies_with_graph(
        chain.build_transitions(), emissions, forward, backward, total, options)) == readers(
        durations)

    occupancy = source.hsmm_state_occupancies(chain, emissions, durations, options)
    assert type(occupancy).__name__ == "StateOccupancies" + precision
    # The censored last position has no posteriors, so it occupies no frame.
    covered, cells = truth < positions - 1, grid(occupancy)
    assert np.allclose(cells[covered].sum(axis=1), 1.0, atol=1e-5)
    assert (cells[covered].argmax(axis=1) == truth[covered]).all() and not cells[:, -1].any()
    # The 32-bit posteriors serve both precisions; the occupancies come out in the model's.
    twin_source, twin_chain, twin_emissions, _ = separated_chain(other(precision), seed)
    crossed = twin_source.hsmm_state_occupancies(twin_chain, twin_emissions, durations,
                                                 hsmm_options(other(precision),
                                                              radius=float(positions)))
    assert type(crossed).__name__ == "StateOccupancies" + other(precision)
    assert np.allclose(grid(crossed), cells, atol=1e-5)


# ---- argument classes, closed arguments and refused values -------------------------------

def call_arguments(precision, name):
    """Valid arguments of the inference member `name`, by parameter name (its signature's)."""
    source, chain, emissions = chain_model(precision), segmentation(precision), table(precision,
                                                                                      9, 3)
    options = hsmm_options(precision)
    forward, backward, total, durations = hsmm_posteriors(source, chain, emissions, options)
    if "geometric" in name:
        options = geometric_options(precision, slope=1.0)
        forward, backward = (getattr(source, n)(chain, emissions, options)
                             for n in GEOMETRIC_CALLS[:2])
        total = backward.backward_log_probability(emissions)
    named = dict(observation=observation(precision), segmentation=chain, temperature=1.0,
                 graph=chain.build_transitions(), pruning=pruning(precision), stream_index=0,
                 occupancy=make("StateOccupancies", precision, 9, 3, [1 / 3] * 27),
                 mode=make("MixtureOccupancyMode", precision, 0, 1.0), emissions=emissions,
                 options=options, forward=forward, backward=backward, total=total,
                 duration_occupancies=durations)
    return {parameter: named[parameter] for parameter in parameters(precision, name)}


@pytest.mark.parametrize("name", MEMBERS)
def test_argument_classes_before_closed_checks(precision, name):
    names = parameters(precision, name)
    method = lambda receiver: getattr(receiver, name)  # noqa: E731
    valid = lambda: list(call_arguments(precision, name).values())  # noqa: E731
    # A wrong class (the other precision's, another posterior class, a text) is named even
    # when the receiver and every other argument are closed.
    for index, parameter in enumerate(names):
        receiver, arguments = chain_model(precision), valid()
        wrong = list(call_arguments(other(precision), name).values())[index]
        arguments[index] = ("hot" if isinstance(wrong, (int, float)) else
                            TransitionPosteriors(1, 1, b"\x00", [0.0, 0.0])
                            if type(wrong) is DurationPosteriors else wrong)
        for item in [receiver] + arguments[:index] + arguments[index + 1:]:
            if hasattr(item, "free"):
                item.free()
        with pytest.raises(TypeError, match=f"argument '{parameter}'"):
            method(receiver)(*arguments)
    # With every class right: a closed argument, then a closed receiver.
    receiver = chain_model(precision)
    method(receiver)(*valid())
    for index in range(len(names)):
        if hasattr((arguments := valid())[index], "free"):
            arguments[index].free()
            with consumed():
                method(receiver)(*arguments)
            assert not receiver.is_closed
    receiver.free()
    with consumed():
        method(receiver)(*valid())


def refused_jump(precision):
    value = segmentation(precision)
    value.set_outgoing(1, make("JumpGroup", precision, [1], [-0.5]))
    return value


def short_scores(precision):
    scores = make("StateScores", precision, 8, 3, [0.0] * 24)
    return make("HsmmScores", precision, scores, scores)


REFUSALS = [  # message (None: accepted), members, changed arguments; the first check that fails
    ("unknown emission pruning mode", EMISSION, lambda p, a: dict(  # refused at use, first
        observation=observation(p, dimensions=(2,)), temperature=-1.0, pruning=pruning(p, 3))),
    ("unknown mixture occupancy mode", MIXTURE, lambda p, a: dict(
        observation=observation(p, dimensions=(2,)), temperature=-1.0,
        mode=make("MixtureOccupancyMode", p, 2, 1.0))),
    *[(TEMPERATURE, EMISSION + MIXTURE, lambda p, a, t=t: dict(temperature=t))
      for t in (-1.0, math.inf, math.nan)],
    *[(None, EMISSION + MIXTURE, lambda p, a, t=t: dict(temperature=t)) for t in (0.0, -0.0)],
    (OverflowError, MIXTURE, lambda p, a: dict(stream_index=-1)),
    ("mixture occupancy stream is out of range", MIXTURE, lambda p, a: dict(stream_index=2)),
    ("emission and segmentation state counts differ", HSMM,
     lambda p, a: dict(emissions=table(p, 9, 2))),
    ("emission state count differs from the segmentation", GEOMETRIC_CALLS,
     lambda p, a: dict(emissions=table(p, 9, 2))),
    ("HSMM weights and duration factor must be finite and nonnegative", HSMM + STATES,
     lambda p, a: dict(options=hsmm_options(p, math.inf))),
    ("inference temperature and pruning slope must be finite and nonnegative", GEOMETRIC_CALLS,
     lambda p, a: dict(options=geometric_options(p, -1.0))),
    ("duration mean must be finite", GEOMETRIC_CALLS + TRANSITIONS, lambda p, a: dict(
        receiver=chain_model(p, laws=((3.0, 2.0), (math.inf, 1.0), (4.0, 3.0))))),
    # The segmentation forms build the transitions on every call; a graph exists only for
    # jump lists the builder accepted.
    ("transition weights must be finite and nonnegative", HSMM_CALLS + DURATIONS[:1],
     lambda p, a: dict(segmentation=refused_jump(p))),
    (SCORE_SHAPE, DURATIONS, lambda p, a: dict(forward=short_scores(p), total=math.nan)),
    (SCORE_SHAPE, DURATIONS, lambda p, a: dict(backward=short_scores(p))),
    *[("duration occupancy normalizer must be finite", DURATIONS,
       lambda p, a, t=t: dict(total=t)) for t in (math.nan, math.inf)],
    ("occupancy forward/backward dimensions differ", TRANSITIONS, lambda p, a: dict(
        backward=make("StateScores", p, 8, 3, [0.0] * 24), total=math.nan)),
    *[(TOTAL_OR_SLOPE, TRANSITIONS, lambda p, a, t=t: dict(total=t))
      for t in (math.nan, math.inf)],
    (TOTAL_OR_SLOPE, TRANSITIONS, lambda p, a: dict(options=geometric_options(p, 1.0, -1.0))),
    ("duration occupancy dimensions differ", STATES, lambda p, a: dict(
        duration_occupancies=DurationPosteriors(8, 3, bytes(24), [0] * 24, [0] * 25, []))),
    # Forward and backward swapped pass every check.
    (None, DURATIONS + TRANSITIONS, lambda p, a: dict(forward=a["backward"],
                                                      backward=a["forward"])),
]


def state_of(arguments):
    return [values_of(v) for v in arguments if hasattr(v, "values") or hasattr(v, "begin")]


@pytest.mark.parametrize("message,names,changes", REFUSALS)
def test_refusals(precision, message, names, changes):
    """Each refusal leaves the model and every argument open and unchanged."""
    for name in names:
        arguments = call_arguments(precision, name)
        changed = {**arguments, **changes(precision, arguments)}
        receiver = changed.pop("receiver", chain_model(precision))
        if "graph" in changed and "segmentation" in changed:
            changed["graph"] = changed.pop("segmentation").build_transitions()
        before = model_content(receiver), state_of(changed.values())
        call = lambda: getattr(receiver, name)(**changed)  # noqa: E731
        if message is None:
            call()
        elif isinstance(message, type):
            fails(None, call, error=message)
        else:
            fails(message, call)
        assert (model_content(receiver), state_of(changed.values())) == before
        assert not any(getattr(v, "is_closed", False) for v in (receiver, *changed.values()))


@pytest.mark.parametrize("name", HSMM_CALLS)
def test_segmentation_forms_see_new_jumps(precision, name):
    source, chain, emissions = chain_model(precision), segmentation(precision), table(precision,
                                                                                      9, 3)
    options = hsmm_options(precision, 0.9, radius=1.5)
    plain = values_of(hsmm_call(source, name, chain, emissions, options, False))
    chain.add_jump(0, 2, 0.25)
    skipped = values_of(hsmm_call(source, name, chain, emissions, options, False))
    assert skipped != plain
    assert skipped == values_of(hsmm_call(source, name, chain, emissions, options, True))
