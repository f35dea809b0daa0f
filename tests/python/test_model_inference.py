"""Inference straight from a model: emission tables, HSMM and geometric passes, and the
occupancies and posteriors computed from their tables. References are computed here from the
model's definition with numpy (and hmmlearn for the geometric total)."""

import itertools
import math

import numpy as np
import pytest

from conftest import f32
from inference_support import (FEXP_FLOOR, chain_model, hsmm_options, log_sum, observation,
                               preparation, pruning, segmentation, table)
from model_support import (LOG_ZERO, consumed, duration, gaussian, make, model, model_content,
                           raises_value, stream)
from tarvek_rs import DurationPosteriors, MixturePosteriors, TransitionPosteriors

TEMPERATURE = "temperature must be finite and nonnegative"
UNKNOWN_PRUNING = "unknown emission pruning mode"
UNKNOWN_MODE = "unknown mixture occupancy mode"
HSMM_CALLS = ["forward_hsmm", "backward_hsmm", "viterbi_hsmm"]
GEOMETRIC_CALLS = ["forward_geometric", "backward_geometric", "viterbi_geometric"]


def other(precision):
    return "F64" if precision == "F32" else "F32"


def geometric_options(precision, temperature=1.0, slope=0.3):
    options = make("GeometricOptions", precision)
    options.temperature, options.pruning_slope = temperature, slope
    return options


def values_of(result):
    """Every number a pass result holds, for exact comparisons."""
    if hasattr(result, "occurrences"):
        return (result.occurrences(), result.log_probability(), values_of(result.scores()))
    if hasattr(result, "begin"):
        return (result.begin().values(), result.end().values())
    if hasattr(result, "boundaries"):
        return (result.states(), result.boundaries(), result.log_probability(),
                result.scores().values())
    return result.values()


def grid(table_object):
    return np.array(table_object.values()).reshape(table_object.frames, table_object.states)


def hmm_chain(precision, means, variances, duration_means, frames):
    """One stream; position s emits from its own one-component diagonal Gaussian and has its
    own duration law. The segmentation splits `frames` evenly."""
    positions, dimensions = means.shape
    mixtures = [gaussian(precision, list(means[s]), list(variances[s])) for s in range(positions)]
    laws = [duration(precision, float(m), 1.0) for m in duration_means]
    value = model(precision, [stream(precision, 1.0, mixtures)], laws)
    boundaries = [frames * (s + 1) // positions for s in range(positions)]
    return value, segmentation(precision, boundaries, range(positions), streams=1)


def observation_of(precision, frames_by_dimension):
    frames, dimensions = frames_by_dimension.shape
    value = make("Observation", precision, frames, [dimensions])
    value.set_stream(0, make("ObservationStream", precision, dimensions,
                             [float(x) for x in frames_by_dimension.ravel()]))
    return value


def fast_exp32(x):
    """The 32-bit fast exponential, from its definition: p = x · log2(e) in 32 bits, +inf from
    p >= 128, else the power-of-two approximation clamped at -126."""
    x = np.float32(x)
    if np.isnan(x):
        return math.nan
    bits = lambda value: np.array([value], dtype=np.uint32).view(np.float32)[0]  # noqa: E731
    p = x * bits(0x3fb8aa3b)
    if p >= np.float32(128):
        return math.inf
    p = max(p, np.float32(-126))
    z = np.float32(1 if p < 0 else 0) + (p - np.float32(int(p)))
    s = ((p + bits(0x42f28c51)) + bits(0x41ddd2fe) / (bits(0x409af5f8) - z)) + z * bits(0xbfbebc8d)
    return float(np.array([int(s * np.float32(8388608))], dtype=np.uint32).view(np.float32)[0])


# ---- emission tables -----------------------------------------------------------------------

def weighted_densities(mixture, frame):
    """w_k N_k(x) for each component of a diagonal mixture, from its definition."""
    weights = np.array(mixture.weights())
    means = np.array(mixture.means()).reshape(len(weights), -1)
    variances = np.array(mixture.variances()).reshape(len(weights), -1)
    return weights * np.exp(-0.5 * np.sum(np.log(2 * math.pi * variances) +
                                          (frame - means) ** 2 / variances, axis=1))


def test_emission_tables(precision):
    source = chain_model(precision)
    frames = observation(precision)
    chain = segmentation(precision)
    log = source.emission_log_probabilities(frames, chain, 0.5, pruning(precision))
    assert (log.frames, log.states) == (9, 3)
    assert min(log.values()) > -100  # every cell evaluated
    for t in range(9):
        for s in range(3):
            expected = sum(
                source.stream(k).weight()[0] * 0.5 * math.log(weighted_densities(
                    source.stream(k).emission(s), np.array(frames.frame(k, t))).sum())
                for k in range(2))
            assert log.get(t, s) == pytest.approx(expected, abs=2e-3)
    # The mixtures are scored as a prepared model scores them.
    prepared = source.prepare(preparation(precision))
    assert log.values() == prepared.emission_log_probabilities(frames, chain, 0.5,
                                                               pruning(precision)).values()

    densities = source.emission_probabilities(frames, chain, 0.5, pruning(precision))
    assert densities.values() == [fast_exp32(v) for v in log.values()]
    if precision == "F64":
        assert all(f32(value) == value for value in densities.values())

    # A window: cells outside it hold log zero, and the fast exponential's floor, not 0.
    for mode, parameter in [(1, 0.0), (2, 0.4)]:
        window = pruning(precision, mode, parameter)
        pruned = source.emission_log_probabilities(frames, chain, 1.0, window)
        outside = [i for i, v in enumerate(pruned.values()) if v == LOG_ZERO[precision]]
        assert 0 < len(outside) < 27
        linear = source.emission_probabilities(frames, chain, 1.0, window).values()
        assert {linear[i] for i in outside} == {FEXP_FLOOR}
    # Mode 0 never looks at its parameter.
    assert source.emission_log_probabilities(frames, chain, 0.5, pruning(
        precision, 0, math.nan)).values() == log.values()


@pytest.mark.parametrize("name", ["emission_log_probabilities", "emission_probabilities"])
def test_emission_checks(precision, name):
    source = chain_model(precision)
    frames = observation(precision)
    chain = segmentation(precision)
    method = getattr(source, name)
    for mode in (3, 7):
        stored = pruning(precision, mode)
        # The code is refused before the observation (of the wrong shape here) is examined.
        with raises_value(UNKNOWN_PRUNING):
            method(observation(precision, dimensions=(2,)), chain, -1.0, stored)
        assert stored.mode == mode
    for temperature in (-1.0, math.inf, math.nan):
        with raises_value(TEMPERATURE):
            method(frames, chain, temperature, pruning(precision))
    for temperature in (0.0, -0.0):
        method(frames, chain, temperature, pruning(precision))
    for mode, message in [(1, "state pruning radius must be finite and nonnegative"),
                          (2, "linear pruning slope must be finite and nonnegative")]:
        with raises_value(message):
            method(frames, chain, 1.0, pruning(precision, mode, -1.0))
    with raises_value("model, observation, and segmentation stream counts differ"):
        method(observation(precision, dimensions=(2,)), chain, 1.0, pruning(precision))
    bad_state = segmentation(precision)
    bad_state.set_output_states(1, [0, 1, 3])
    with raises_value("emission state is out of range"):
        method(frames, bad_state, 1.0, pruning(precision))
    with pytest.raises(TypeError, match="pruning"):
        method(frames, chain, 1.0, pruning(other(precision)))


# ---- signatures and argument classes before closed checks ----------------------------------

def test_text_signatures(precision):
    kind = type(chain_model(precision))
    signature = lambda name: getattr(kind, name).__text_signature__  # noqa: E731
    for name in HSMM_CALLS + GEOMETRIC_CALLS:
        assert signature(name) == "($self, segmentation, emissions, options)"
        if name in HSMM_CALLS:
            assert signature(name + "_with_graph") == "($self, graph, emissions, options)"
    tail = "emissions, forward, backward, total, options)"
    assert signature("duration_occupancies") == "($self, segmentation, " + tail
    assert signature("duration_occupancies_with_graph") == "($self, graph, " + tail
    assert signature("geometric_transition_occupancies") == "($self, segmentation, " + tail
    assert signature("hsmm_state_occupancies") == (
        "($self, segmentation, emissions, duration_occupancies, options)")


def call_arguments(precision):
    """Valid arguments of every inference member, by name."""
    source = chain_model(precision)
    frames, chain, emissions = observation(precision), segmentation(precision), table(
        precision, 9, 3)
    hsmm, geometric = hsmm_options(precision), geometric_options(precision, slope=1.0)
    occupancy = make("StateOccupancies", precision, 9, 3, [1 / 3] * 27)
    mode = make("MixtureOccupancyMode", precision, 0, 1.0)
    calls = {"emission_log_probabilities": [frames, chain, 1.0, pruning(precision)],
             "emission_probabilities": [frames, chain, 1.0, pruning(precision)],
             "mixture_occupancies": [frames, chain, occupancy, 0, 1.0, mode]}
    for name in HSMM_CALLS:
        calls[name] = [chain, emissions, hsmm]
        calls[name + "_with_graph"] = [chain.build_transitions(), emissions, hsmm]
    for name in GEOMETRIC_CALLS:
        calls[name] = [chain, emissions, geometric]
    forward, backward = (source.forward_hsmm(chain, emissions, hsmm),
                         source.backward_hsmm(chain, emissions, hsmm))
    total = forward.end().total_through_state(backward.end(), 0)
    calls["duration_occupancies"] = [chain, emissions, forward, backward, total, hsmm]
    calls["duration_occupancies_with_graph"] = [chain.build_transitions(), emissions, forward,
                                                backward, total, hsmm]
    calls["hsmm_state_occupancies"] = [chain, emissions, source.duration_occupancies(
        chain, emissions, forward, backward, total, hsmm), hsmm]
    alpha, beta = (source.forward_geometric(chain, emissions, geometric),
                   source.backward_geometric(chain, emissions, geometric))
    calls["geometric_transition_occupancies"] = [chain, emissions, alpha, beta,
                                                 beta.backward_log_probability(emissions),
                                                 geometric]
    return calls


def wrong_class(argument):
    """An argument of the other precision's class, another posterior class, or a text."""
    if isinstance(argument, (int, float)):
        return "hot"
    name = type(argument).__name__
    if name == "DurationPosteriors":
        return TransitionPosteriors(1, 1, b"\x00", [0.0, 0.0])
    stem, swapped = name[:-3], other(name[-3:])
    scores = lambda p: make("StateScores", p, 9, 3, [0.0] * 27)  # noqa: E731
    builders = {"Observation": observation, "Segmentation": segmentation,
                "TransitionGraph": lambda p: segmentation(p).build_transitions(),
                "LogEmissions": lambda p: table(p, 9, 3), "EmissionPruning": pruning,
                "HsmmOptions": hsmm_options, "GeometricOptions": geometric_options,
                "StateScores": scores, "HsmmScores": lambda p: make("HsmmScores", p, scores(p),
                                                                    scores(p)),
                "StateOccupancies": lambda p: make("StateOccupancies", p, 9, 3, [0.0] * 27),
                "MixtureOccupancyMode": lambda p: make("MixtureOccupancyMode", p, 0, 1.0)}
    return builders[stem](swapped)


@pytest.mark.parametrize("name", list(call_arguments("F32")))
def test_argument_classes_before_closed_checks(precision, name):
    signature = getattr(type(chain_model(precision)), name).__text_signature__
    names = [part.strip() for part in signature.strip("()").split(",")[1:]]
    for index in range(len(names)):
        receiver = chain_model(precision)
        arguments = call_arguments(precision)[name]
        arguments[index] = wrong_class(arguments[index])
        receiver.free()
        for position, argument in enumerate(arguments):
            if position != index and hasattr(argument, "free"):
                argument.free()
        with pytest.raises(TypeError, match=names[index]):
            getattr(receiver, name)(*arguments)

    # With every class right, the receiver's closed state, then each argument's in order.
    receiver = chain_model(precision)
    arguments = call_arguments(precision)[name]
    getattr(receiver, name)(*arguments)
    for index in range(len(arguments)):
        if hasattr(arguments[index], "free"):
            arguments = call_arguments(precision)[name]
            arguments[index].free()
            with consumed():
                getattr(receiver, name)(*arguments)
            assert not receiver.is_closed
    receiver.free()
    with consumed():
        getattr(receiver, name)(*call_arguments(precision)[name])


# ---- HSMM passes ---------------------------------------------------------------------------

def hsmm_call(receiver, name, chain, emissions, options, graph):
    if graph:
        return getattr(receiver, name + "_with_graph")(chain.build_transitions(), emissions,
                                                       options)
    return getattr(receiver, name)(chain, emissions, options)


@pytest.mark.parametrize("graph", [False, True])
@pytest.mark.parametrize("name", HSMM_CALLS)
def test_hsmm_checks(precision, name, graph):
    source = chain_model(precision)
    chain = segmentation(precision)
    before = model_content(source)
    cases = [(hsmm_options(precision, radius=-1.0), table(precision, 9, 2),
              "state pruning radius must be finite and nonnegative"),
             (hsmm_options(precision), table(precision, 9, 2),
              "emission and segmentation state counts differ"),
             (hsmm_options(precision, math.inf), table(precision, 9, 3),
              "HSMM weights and duration factor must be finite and nonnegative")]
    for options, emissions, message in cases:
        with raises_value(message):
            hsmm_call(source, name, chain, emissions, options, graph)
        assert not (source.is_closed or chain.is_closed or emissions.is_closed or
                    options.is_closed)
    for states, message in [((0, -1, 2), "negative duration state"),
                            ((0, 3, 2), "duration state is out of range")]:
        with raises_value(message):
            hsmm_call(source, name, segmentation(precision, states=states),
                      table(precision, 9, 3), hsmm_options(precision), graph)
    with raises_value("final HSMM boundary must match the frame count"):
        hsmm_call(source, name, segmentation(precision, (3, 6, 8)), table(precision, 9, 3),
                  hsmm_options(precision), graph)
    flat = chain_model(precision, laws=((3.0, 2.0), (2.0, 0.0), (4.0, 3.0)))
    with raises_value("HSMM duration requires a finite mean and positive variance"):
        hsmm_call(flat, name, chain, table(precision, 9, 3), hsmm_options(precision), graph)
    # A closed argument is refused before the core looks at anything.
    closed = hsmm_options(precision)
    closed.free()
    with consumed():
        hsmm_call(source, name, chain, table(precision, 9, 2), closed, graph)
    # Durations always come from the model, whatever the options' temperature and weight.
    hsmm_call(source, name, chain, table(precision, 9, 3), hsmm_options(precision, 0.3, 2.0),
              graph)
    assert model_content(source) == before


@pytest.mark.parametrize("name", HSMM_CALLS)
def test_segmentation_forms_rebuild_transitions(precision, name):
    source = chain_model(precision)
    chain = segmentation(precision)
    emissions = table(precision, 9, 3)
    options = hsmm_options(precision, 0.9, radius=1.5)
    graph = chain.build_transitions()
    plain = hsmm_call(source, name, chain, emissions, options, False)
    assert values_of(plain) == values_of(getattr(source, name + "_with_graph")(
        graph, emissions, options))

    # A new skip jump counts at the next call; the old graph keeps the old lists.
    chain.add_jump(0, 2, 0.25)
    skipped = hsmm_call(source, name, chain, emissions, options, False)
    assert values_of(skipped) != values_of(plain)
    assert values_of(skipped) == values_of(hsmm_call(source, name, chain, emissions, options,
                                                     True))
    assert values_of(getattr(source, name + "_with_graph")(graph, emissions, options)) == \
        values_of(plain)

    # A weight the transition builder refuses fails the segmentation forms only.
    for weight in (-0.5, math.nan):
        chain.set_outgoing(1, make("JumpGroup", precision, [1], [weight]))
        with raises_value("transition weights must be finite and nonnegative"):
            hsmm_call(source, name, chain, emissions, options, False)
        assert not chain.is_closed


def enumerate_compositions(frames, positions):
    """Every split of `frames` into `positions` segments of at least one frame."""
    for cuts in itertools.combinations(range(1, frames), positions - 1):
        edges = (0,) + cuts + (frames,)
        yield [edges[i + 1] - edges[i] for i in range(positions)]


def duration_row(law, d, temperature, weight):
    """The log score of duration d under a model's law, from its definition."""
    mean, variance, minimum = law
    if minimum >= 1 and d < minimum:
        return -1e15 if temperature == 0 else temperature * -1e15
    density = -0.5 * math.log(2 * math.pi * variance) - 0.5 * (d - mean) ** 2 / variance
    return temperature * weight * density


def chain_paths(laws, cells, temperature, weight):
    """(score, durations) of every complete path of a default-jump chain over `cells`."""
    frames, positions = len(cells), len(laws)
    paths = []
    for lengths in enumerate_compositions(frames, positions):
        score, start = 0.0, 0
        for s, d in enumerate(lengths):
            score += duration_row(laws[s], d, temperature, weight)
            score += sum(cells[t][s] for t in range(start, start + d))
            start += d
        paths.append((score, lengths))
    return paths


def censored_total(laws, cells, temperature, weight, boundaries):
    """What the backward pass counts: the last position unscored to the end, a segment that
    runs past the last frame censored there; rows as long as the default length rule gives."""
    frames, positions = len(cells), len(laws)
    lengths = [max(int(2 * (b - a) + 30), int(m + 2 * math.sqrt(v)))
               for (m, v, _), a, b in zip(laws, (0,) + tuple(boundaries), boundaries)]
    scores = []

    def walk(s, start, score):
        if s == positions - 1:
            scores.append(score + sum(cells[t][s] for t in range(start, frames)))
            return
        for d in range(1, lengths[s]):
            stop = min(start + d, frames)
            segment = score + duration_row(laws[s], d, temperature, weight) + sum(
                cells[t][s] for t in range(start, stop))
            if start + d >= frames:
                scores.append(segment)
            else:
                walk(s + 1, start + d, segment)

    walk(0, 0, 0.0)
    return log_sum(scores)


CHAINS = [  # laws (mean, variance, minimum), boundaries
    (((2.0, 1.0, -1), (3.0, 2.0, -1)), (2, 5)),
    (((2.5, 1.5, -1), (1.5, 0.5, 2)), (3, 6)),
    (((2.0, 1.0, -1), (1.0, 3.0, -1), (2.0, 0.75, 2)), (1, 3, 5)),
    (((1.5, 0.5, 1), (2.0, 1.0, -1), (1.5, 2.0, -1)), (2, 3, 4)),
]
SETTINGS = [(1.0, 1.0, 300), (0.8, 1.5, 3), (0.0, 1.0, 4), (2.0, 0.3, 0)]


def law_model(precision, laws):
    value = chain_model(precision)
    durations = make("DurationCollection", precision)
    for mean, variance, minimum in laws:
        durations.push(duration(precision, mean, variance, constraints=(minimum, -1, -1)))
    streams = make("StreamCollection", precision)
    streams.push(value.stream(0))
    streams.push(value.stream(1))
    value.replace(streams, durations)
    return value


@pytest.mark.parametrize("laws,boundaries", CHAINS)
def test_hsmm_against_enumerated_paths(precision, laws, boundaries):
    frames, positions = boundaries[-1], len(laws)
    emissions = table(precision, frames, positions,
                      lambda t, s: -0.25 * ((3 * t + s) % 4) - 0.5 - 0.07 * s * t)
    cells = grid(emissions).tolist()
    chain = segmentation(precision, boundaries, range(positions))
    source = law_model(precision, laws)
    for temperature, weight, cache in SETTINGS:
        options = hsmm_options(precision, temperature, weight, radius=float(positions))
        prepared = source.prepare(preparation(precision, temperature, weight, cache))
        paths = chain_paths([(f32(m), f32(v), n) if precision == "F32" else (m, v, n)
                             for m, v, n in laws], cells, options.temperature,
                            options.duration_weight)
        scores = [score for score, _ in paths]
        best_score, best_lengths = max(paths)
        results = {}
        for receiver in (source, prepared):
            forward = receiver.forward_hsmm(chain, emissions, options)
            total = forward.end().get(frames - 1, positions - 1)
            assert total == pytest.approx(log_sum(scores), abs=5e-3 + 1e-6 * abs(log_sum(scores)))
            path = receiver.viterbi_hsmm(chain, emissions, options)
            tolerance = 1e-9 if precision == "F64" else 1e-6 * abs(best_score)
            assert path.log_probability()[0] == pytest.approx(best_score, abs=tolerance)
            runner_up = max(score for score, lengths in paths if lengths != best_lengths)
            if best_score - runner_up > 1e-3:
                ends = np.cumsum(best_lengths).tolist()
                assert path.occurrences() == [x for s in range(positions) for x in (s, ends[s])]
            backward = receiver.backward_hsmm(chain, emissions, options)
            expected = censored_total(laws, cells, options.temperature, options.duration_weight,
                                      boundaries)
            slack = 0.03 if temperature == 0 else 0.0  # many equal terms through the log-add
            assert backward.begin().get(0, 0) + cells[0][0] == pytest.approx(
                expected, abs=5e-3 + slack + 1e-6 * abs(expected))
            for name, result in [("forward_hsmm", forward), ("viterbi_hsmm", path),
                                 ("backward_hsmm", backward)]:
                graph = getattr(receiver, name + "_with_graph")(chain.build_transitions(),
                                                                emissions, options)
                assert values_of(graph) == values_of(result)
            results[receiver is prepared] = [values_of(forward), values_of(path),
                                             values_of(backward)]
        if precision == "F64":
            # The prepared caches hold the model's own duration values bit for bit in 64 bits.
            assert results[True] == results[False]


# ---- geometric passes ----------------------------------------------------------------------

def geometric_weights(duration_means, temperature):
    p = 1.0 / np.maximum(np.asarray(duration_means, dtype=float), 1.01)
    return temperature * np.log1p(-p), temperature * np.log(p)


def hmm_forward(cells, stay, advance, maximum=False):
    combine = np.maximum if maximum else np.logaddexp
    alpha = np.full(cells.shape, -np.inf)
    alpha[0, 0] = cells[0, 0]
    for t in range(1, len(cells)):
        moved = np.full(cells.shape[1], -np.inf)
        moved[1:] = alpha[t - 1, :-1] + advance[:-1]
        alpha[t] = combine(alpha[t - 1] + stay, moved) + cells[t]
    return alpha


def hmm_backward(cells, stay, advance):
    beta = np.zeros(cells.shape)
    for t in range(len(cells) - 2, -1, -1):
        following = beta[t + 1] + cells[t + 1]
        moved = np.full(cells.shape[1], -np.inf)
        moved[:-1] = following[1:] + advance[:-1]
        beta[t] = np.logaddexp(following + stay, moved)
    return beta


def random_chain(precision, rng, positions, dimensions, frames, spread=1.0):
    means = rng.normal(0.0, spread, (positions, dimensions))
    variances = rng.uniform(0.5, 2.0, (positions, dimensions))
    duration_means = rng.uniform(0.5, 6.0, positions)
    source, chain = hmm_chain(precision, means, variances, duration_means, frames)
    data = rng.normal(0.0, 1.0, (frames, dimensions))
    frames_object = observation_of(precision, data)
    emissions = source.emission_log_probabilities(frames_object, chain, 1.0, pruning(precision))
    return source, chain, emissions, means, variances, duration_means, data


@pytest.mark.parametrize("seed", [1, 2])
def test_geometric_passes_against_plain_hmm(precision, seed):
    rng = np.random.default_rng(seed)
    source, chain, emissions, _, _, duration_means, _ = random_chain(precision, rng, 4, 3, 10)
    cells = grid(emissions)
    temperature = 0.7
    options = geometric_options(precision, temperature, 1.0)
    stay, advance = geometric_weights([source.duration(s).values()[0] for s in range(4)],
                                      temperature)
    extra = 1e-6 if precision == "F32" else 0.0

    forward = grid(source.forward_geometric(chain, emissions, options))
    reference = hmm_forward(cells, stay, advance)
    for t in range(len(cells)):
        for s in range(4):
            if np.isfinite(reference[t, s]):
                assert abs(forward[t, s] - reference[t, s]) <= 1e-3 * t + extra * abs(
                    reference[t, s])
            else:
                assert forward[t, s] < -1e14

    backward = grid(source.backward_geometric(chain, emissions, options))
    expected = hmm_backward(cells, stay, advance)
    reachable = np.isfinite(reference)  # the band covers every cell; unreachable ones differ
    assert np.allclose(backward[reachable], expected[reachable], atol=2e-2, rtol=1e-5)

    path = source.viterbi_geometric(chain, emissions, options)
    best = hmm_forward(cells, stay, advance, maximum=True)
    assert path.log_probability()[0] == pytest.approx(best[-1, -1], abs=1e-9 + extra * abs(
        best[-1, -1]) * 10)
    states = path.states()
    score = cells[0, 0] + sum((stay[a] if a == b else advance[a]) + cells[t + 1, b]
                              for t, (a, b) in enumerate(zip(states, states[1:])))
    assert states[0] == 0 and states[-1] == 3
    assert score == pytest.approx(best[-1, -1], abs=1e-4 + extra * abs(score) * 10)

    # Occupancies normalised by the backward total sum to 1 at every inner frame.
    total = source.backward_geometric(chain, emissions, options).backward_log_probability(
        emissions)
    occupancies = grid(source.forward_geometric(chain, emissions, options).geometric_occupancies(
        source.backward_geometric(chain, emissions, options), total, 1.0))
    frames = len(cells)
    for t in range(1, frames - 1):
        assert abs(occupancies[t].sum() - 1.0) <= 2e-3 + 1e-3 * frames


def test_geometric_total_against_hmmlearn():
    hmm = pytest.importorskip("hmmlearn.hmm")
    rng = np.random.default_rng(7)
    positions, dimensions, frames = 5, 3, 60
    source, chain, emissions, means, variances, duration_means, data = random_chain(
        "F64", rng, positions, dimensions, frames, spread=2.0)
    options = geometric_options("F64", 1.0, 1.0)
    total = source.backward_geometric(chain, emissions, options).backward_log_probability(
        emissions)

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


@pytest.mark.parametrize("name", GEOMETRIC_CALLS)
def test_geometric_checks(precision, name):
    source = chain_model(precision)
    chain = segmentation(precision)
    method = getattr(source, name)
    with raises_value("emission state count differs from the segmentation"):
        method(chain, table(precision, 9, 2), geometric_options(precision))
    for temperature, slope in [(-1.0, 0.3), (1.0, math.nan)]:
        with raises_value("inference temperature and pruning slope must be finite and "
                          "nonnegative"):
            method(chain, table(precision, 9, 3), geometric_options(precision, temperature, slope))
    for states in ((0, 3, 2), (0, -1, 2)):
        with raises_value("duration state is out of range"):
            method(segmentation(precision, states=states), table(precision, 9, 3),
                   geometric_options(precision))
    infinite = chain_model(precision, laws=((3.0, 2.0), (math.inf, 1.0), (4.0, 3.0)))
    with raises_value("duration mean must be finite"):
        getattr(infinite, name)(chain, table(precision, 9, 3), geometric_options(precision))
    assert not infinite.is_closed


# ---- mixture occupancies -------------------------------------------------------------------

def occupancy_mode(precision, mode, parameter):
    return make("MixtureOccupancyMode", precision, mode, parameter)


def component_posteriors(mixture, frame, occupancy, cap):
    """w_m · min(cap, occupancy · N_m(x) / Σ_k w_k N_k(x)), from the mixture's definition."""
    joint = weighted_densities(mixture, frame)
    return [w * min(cap, occupancy * j / w / joint.sum())
            for w, j in zip(mixture.weights(), joint)]


def test_mixture_occupancies(precision):
    source = chain_model(precision)
    frames, chain = observation(precision), segmentation(precision)
    weights = np.random.default_rng(3).uniform(0.2, 1.0, 27)
    occupancy = make("StateOccupancies", precision, 9, 3, [float(w) for w in weights])
    for mode, parameter, present in [(0, 0.0, 9 + 2), (0, 5.0, 27), (1, 0.4, 12)]:
        for index in range(2):
            posteriors = source.mixture_occupancies(frames, chain, occupancy, index, 1.0,
                                                    occupancy_mode(precision, mode, parameter))
            assert type(posteriors) is MixturePosteriors
            assert sum(posteriors.presence()) == present
            for t in range(9):
                for s in range(3):
                    cell = posteriors.get(t, s)
                    if cell is None:
                        continue
                    expected = component_posteriors(source.stream(index).emission(s),
                                                    np.array(frames.frame(index, t)),
                                                    occupancy.get(t, s),
                                                    math.inf if mode == 0 else 1.0)
                    assert cell.values() == pytest.approx(expected, rel=5e-3, abs=1e-6)
            assert rebuilt_readers(posteriors) == readers(posteriors)


def test_mixture_occupancy_checks(precision):
    source = chain_model(precision)
    frames, chain = observation(precision), segmentation(precision)
    occupancy = make("StateOccupancies", precision, 9, 3, [0.5] * 27)
    mode = occupancy_mode(precision, 0, 1.0)
    stored = occupancy_mode(precision, 2, 1.0)
    assert (stored.mode, stored.parameter) == (2, 1.0)
    with raises_value(UNKNOWN_MODE):  # before the observation of the wrong shape
        source.mixture_occupancies(observation(precision, dimensions=(2,)), chain, occupancy, 0,
                                   -1.0, stored)
    with pytest.raises(OverflowError):
        source.mixture_occupancies(frames, chain, occupancy, -1, 1.0, mode)
    with raises_value("mixture occupancy stream is out of range"):
        source.mixture_occupancies(frames, chain, occupancy, 2, 1.0, mode)
    for temperature in (-1.0, math.inf):
        with raises_value(TEMPERATURE):
            source.mixture_occupancies(frames, chain, occupancy, 0, temperature, mode)
    for temperature in (0.0, -0.0):
        source.mixture_occupancies(frames, chain, occupancy, 0, temperature, mode)
    for code, message in [(0, "state pruning radius must be finite and nonnegative"),
                          (1, "pruning slope must be finite and nonnegative")]:
        with raises_value(message):
            source.mixture_occupancies(frames, chain, occupancy, 0, 1.0,
                                       occupancy_mode(precision, code, math.nan))
    with raises_value("mixture occupancy dimensions or stream counts differ"):
        source.mixture_occupancies(frames, chain, make("StateOccupancies", precision, 9, 2,
                                                       [0.5] * 18), 0, 1.0, mode)
    assert not (occupancy.is_closed or mode.is_closed or stored.is_closed)


# ---- posterior tables: exchange form ---------------------------------------------------------

def readers(posteriors):
    names = {DurationPosteriors: ("presence", "minimums", "offsets", "values"),
             MixturePosteriors: ("presence", "offsets", "values"),
             TransitionPosteriors: ("presence", "values")}[type(posteriors)]
    return (posteriors.frames, posteriors.states) + tuple(getattr(posteriors, name)()
                                                          for name in names)


def rebuilt_readers(posteriors):
    """The readers of a table built again from what the readers give, read twice over."""
    parts = readers(posteriors)
    again = readers(type(posteriors)(*parts))
    assert readers(type(posteriors)(*again)) == again
    return again


# ---- HSMM posteriors -----------------------------------------------------------------------

def separated_chain(precision, seed, positions=4, length=4, dimensions=2):
    """Data drawn along the segmentation from emission means 5 standard deviations apart."""
    rng = np.random.default_rng(seed)
    means = np.array([[5.0 * s] * dimensions for s in range(positions)])
    source, chain = hmm_chain(precision, means, np.ones((positions, dimensions)),
                              [float(length)] * positions, positions * length)
    truth = np.repeat(np.arange(positions), length)
    data = means[truth] + rng.normal(0.0, 1.0, (len(truth), dimensions))
    emissions = source.emission_log_probabilities(observation_of(precision, data), chain, 1.0,
                                                  pruning(precision))
    return source, chain, emissions, truth


def hsmm_posteriors(source, chain, emissions, options):
    forward = source.forward_hsmm(chain, emissions, options)
    backward = source.backward_hsmm(chain, emissions, options)
    total = forward.end().total_through_state(backward.end(), 0)
    return forward, backward, total, source.duration_occupancies(chain, emissions, forward,
                                                                 backward, total, options)


@pytest.mark.parametrize("seed", [4, 5])
def test_duration_and_state_occupancies(precision, seed):
    source, chain, emissions, truth = separated_chain(precision, seed)
    positions, frames = emissions.states, emissions.frames
    options = hsmm_options(precision, radius=float(positions))
    forward, backward, total, durations = hsmm_posteriors(source, chain, emissions, options)
    assert type(durations) is DurationPosteriors
    assert all(f32(value) == value for value in durations.values())
    assert sum(durations.get(0, 0).probabilities()) == pytest.approx(1.0, abs=1e-2)
    presence, offsets, values = durations.presence(), durations.offsets(), durations.values()
    for s in range(1, positions - 1):
        mass = sum(sum(values[offsets[i]:offsets[i + 1]])
                   for i in range(s, len(presence), positions) if presence[i])
        assert mass == pytest.approx(1.0, abs=1e-2)
    assert rebuilt_readers(durations) == readers(durations)
    graph = source.duration_occupancies_with_graph(chain.build_transitions(), emissions, forward,
                                                   backward, total, options)
    assert readers(graph) == readers(durations)

    states = source.hsmm_state_occupancies(chain, emissions, durations, options)
    assert type(states).__name__ == "StateOccupancies" + precision
    occupancy = grid(states)
    # The censored last position has no posteriors, so it occupies no frame.
    covered = truth < positions - 1
    assert np.allclose(occupancy[covered].sum(axis=1), 1.0, atol=1e-5)
    assert (occupancy[covered].argmax(axis=1) == truth[covered]).all()
    assert not occupancy[:, -1].any()
    # The 32-bit posteriors serve both precisions; the occupancies come out in the model's.
    twin = other(precision)
    twin_source, twin_chain, twin_emissions, _ = separated_chain(twin, seed)
    crossed = twin_source.hsmm_state_occupancies(twin_chain, twin_emissions, durations,
                                                 hsmm_options(twin, radius=float(positions)))
    assert type(crossed).__name__ == "StateOccupancies" + twin
    assert np.allclose(grid(crossed), occupancy, atol=1e-5)
    assert (frames, positions) == (durations.frames, durations.states)


def test_duration_occupancy_checks(precision):
    source, chain, emissions, _ = separated_chain(precision, 6)
    options = hsmm_options(precision, radius=4.0)
    forward, backward, total, durations = hsmm_posteriors(source, chain, emissions, options)
    before = [readers(durations), values_of(forward), values_of(backward), emissions.values()]
    short_scores = make("StateScores", precision, 15, 4, [0.0] * 60)
    short = make("HsmmScores", precision, short_scores, short_scores)
    graph = chain.build_transitions()
    for name, source_argument in [("duration_occupancies", chain),
                                  ("duration_occupancies_with_graph", graph)]:
        method = getattr(source, name)
        with raises_value("duration occupancy score dimensions differ"):  # before the total
            method(source_argument, emissions, short, backward, math.nan, options)
        with raises_value("duration occupancy score dimensions differ"):
            method(source_argument, emissions, forward, short, total, options)
        for refused in (math.nan, math.inf):
            with raises_value("duration occupancy normalizer must be finite"):
                method(source_argument, emissions, forward, backward, refused, options)
        with raises_value("state pruning radius must be finite and nonnegative"):
            method(source_argument, emissions, forward, backward, total,
                   hsmm_options(precision, radius=-1.0))
        # Swapped tables of one shape pass every check and are used as given.
        swapped = method(source_argument, emissions, backward, forward, total, options)
        assert type(swapped) is DurationPosteriors and readers(swapped) != readers(durations)

    # The segmentation form builds the incoming lists on every call; the graph keeps its own.
    chain.set_outgoing(1, make("JumpGroup", precision, [1], [-1.0]))
    with raises_value("transition weights must be finite and nonnegative"):
        source.duration_occupancies(chain, emissions, forward, backward, total, options)
    assert readers(source.duration_occupancies_with_graph(
        graph, emissions, forward, backward, total, options)) == readers(durations)

    wrong = DurationPosteriors(16, 3, bytes(48), [0] * 48, [0] * 49, [])
    with raises_value("duration occupancy dimensions differ"):
        source.hsmm_state_occupancies(chain, emissions, wrong, options)
    with raises_value("HSMM weights and duration factor must be finite and nonnegative"):
        source.hsmm_state_occupancies(chain, emissions, durations,
                                      hsmm_options(precision, -1.0, radius=4.0))
    assert before == [readers(durations), values_of(forward), values_of(backward),
                      emissions.values()]
    assert not any(item.is_closed for item in (source, chain, emissions, forward, backward,
                                               durations, options, graph))


# ---- geometric transition posteriors -------------------------------------------------------

@pytest.mark.parametrize("slope", [1.0, 0.5])
def test_geometric_transition_occupancies(precision, slope):
    rng = np.random.default_rng(8)
    source, chain, emissions, _, _, duration_means, _ = random_chain(precision, rng, 4, 2, 10)
    options = geometric_options(precision, 0.8, slope)
    alpha = source.forward_geometric(chain, emissions, options)
    beta = source.backward_geometric(chain, emissions, options)
    total = beta.backward_log_probability(emissions)
    posteriors = source.geometric_transition_occupancies(chain, emissions, alpha, beta, total,
                                                         options)
    assert type(posteriors) is TransitionPosteriors
    assert rebuilt_readers(posteriors) == readers(posteriors)

    cells, a, b = grid(emissions), grid(alpha), grid(beta)
    stay, advance = geometric_weights([source.duration(s).values()[0] for s in range(4)], 0.8)
    frames, positions = cells.shape
    band = int(slope * positions)
    for t in range(frames):
        inner = 1 <= t <= frames - 2
        centre = positions * t // frames
        mass = 0.0
        for s in range(positions):
            cell = posteriors.get(t, s)
            assert (cell is not None) == (inner and max(centre - band, 0) <= s < centre + band)
            if cell is None:
                continue
            expected_stay = math.exp(min(a[t - 1, s] + stay[s] + cells[t, s] + b[t, s] - total,
                                         0.0))
            expected_advance = 1.0 if s == 0 else math.exp(min(
                a[t - 1, s - 1] + advance[s - 1] + cells[t, s] + b[t, s] - total, 0.0))
            got_stay, got_advance = cell.values()
            assert got_stay == pytest.approx(expected_stay, rel=2e-3, abs=1e-6)
            assert got_advance == pytest.approx(expected_advance, rel=2e-3, abs=1e-6)
            mass += got_stay + (got_advance if s > 0 else 0.0)
        if inner and slope >= 1.0:
            assert mass == pytest.approx(1.0, abs=5e-3)


def test_geometric_transition_occupancy_checks(precision):
    source = chain_model(precision)
    chain, emissions = segmentation(precision), table(precision, 9, 3)
    options = geometric_options(precision, 1.0, 1.0)
    alpha = source.forward_geometric(chain, emissions, options)
    beta = source.backward_geometric(chain, emissions, options)
    total = beta.backward_log_probability(emissions)
    method = source.geometric_transition_occupancies
    short = make("StateScores", precision, 8, 3, [0.0] * 24)
    both = "occupancy total must be finite and pruning slope finite and nonnegative"
    with raises_value("occupancy forward/backward dimensions differ"):
        method(chain, emissions, alpha, short, math.nan, options)
    for refused, slope in [(math.nan, 1.0), (math.inf, 1.0), (total, -1.0)]:
        with raises_value(both):
            method(chain, emissions, alpha, beta, refused, geometric_options(precision, 1.0,
                                                                             slope))
    with raises_value("transition occupancy dimensions differ"):
        method(segmentation(precision, (4, 9), (0, 1)), emissions, alpha, beta, total, options)
    with raises_value("transition occupancy dimensions differ"):
        method(chain, table(precision, 8, 3), alpha, beta, total, options)
    with raises_value(TEMPERATURE):
        method(chain, emissions, alpha, beta, total, geometric_options(precision, -1.0, 1.0))
    with raises_value("duration state is out of range"):
        method(segmentation(precision, states=(0, 5, 1)), emissions, alpha, beta, total, options)
    infinite = chain_model(precision, laws=((3.0, 2.0), (-math.inf, 1.0), (4.0, 3.0)))
    with raises_value("duration mean must be finite"):
        infinite.geometric_transition_occupancies(chain, emissions, alpha, beta, total, options)
    # Forward and backward swapped pass the checks.
    assert type(method(chain, emissions, beta, alpha, total, options)) is TransitionPosteriors
