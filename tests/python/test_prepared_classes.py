"""Prepared models, streams, Gaussian mixtures and durations: preparation, lookups, copies,
scores, and HSMM inference and emission scoring from a prepared model."""

import math

import pytest

from conftest import f32, other
from inference_support import (FEXP_FLOOR, chain_model, hsmm_options, log_sum, observation,
                               preparation, pruning, segmentation, table)
from model_support import (LOG_ZERO, assert_closed, consumed, duration, fails, gaussian, make,
                           mixture_content, model_content, options, rounded, stream,
                           stream_content)

DIFFER = "HSMM temperature and duration weight differ from preparation"
RADIUS = "state pruning radius must be finite and nonnegative"
BAD_EMISSIONS = "emissions require finite means, positive variances, and nonnegative finite weights"
BAD_OBSERVATION = "observation must have matching dimensions and finite values"
BAD_OPTIONS = "invalid duration preparation options"
WEIGHTS = "stream weights must be finite and nonnegative"
TEMPERATURE = "temperature must be finite and nonnegative"
LEGACY_FRAMES = "duration exceeds the legacy frame range"
HSMM_CALLS = ["forward_hsmm", "backward_hsmm", "viterbi_hsmm"]



def prepared_chain(precision, temperature=1.0, weight=1.0):
    return chain_model(precision).prepare(preparation(precision, temperature, weight))


def call(prepared, name, source, emissions, hsmm, graph):
    if graph:
        return getattr(prepared, name + "_with_graph")(source.build_transitions(), emissions, hsmm)
    return getattr(prepared, name)(source, emissions, hsmm)


def test_model_preparation(precision):
    settings = preparation(precision)
    negative = chain_model(precision)
    first = negative.stream(0)
    first.set_weight([-1.0])
    negative.set_stream(0, first)
    fails(WEIGHTS, lambda: negative.prepare(settings))
    assert not negative.is_closed
    fails(WEIGHTS, lambda: negative.prepare_owned(settings))
    assert negative.is_closed
    valid = chain_model(precision)
    valid.prepare(preparation(precision, temperature=-0.0))
    for field, value in [("temperature", -1e-30), ("temperature", math.nan),
                         ("duration_weight", -1.0), ("duration_cache_length", 2**31)]:
        fails(BAD_OPTIONS, lambda: valid.prepare(options("PreparationOptions", precision,
                                                         **{field: value})))
    before = model_content(valid)
    fails("selected duration state is out of range",
          lambda: valid.prepare_selected_durations(settings, [3]))
    assert not valid.is_closed and model_content(valid) == before
    fails("selected duration state is out of range",
          lambda: valid.prepare_owned_selected_durations(settings, [0, 3]))
    assert valid.is_closed
    settings.free()  # consuming forms close their receiver even on a closed argument
    for receiver in (chain_model(precision), duration(precision, 3.0, 2.0)):
        with consumed():
            receiver.prepare_owned(settings)
        assert receiver.is_closed


def test_stream_and_gaussian_preparation(precision):
    fresh = make("Gaussian", precision, 2, 3)
    assert fresh.validate() is None
    fails(BAD_EMISSIONS, fresh.prepare, fresh.prepare_owned)
    assert fresh.is_closed
    assert make("Stream", precision, 0, 0, 0).prepare().emission(0) is None
    weighted = stream(precision, 1.0, [gaussian(precision, [1.0, 2.0], [0.5, 4.0])])
    weighted.set_weight([math.nan])
    assert weighted.validate() is None
    fails(WEIGHTS, weighted.prepare)
    weighted.set_weight([-0.0])
    weighted.prepare()
    builder = make("StreamBuilder", precision, 1)
    builder.set_emission(0, weighted.emission(0))
    builder.set_weight([-4.0])
    built = builder.build()
    fails(WEIGHTS, built.prepare, built.prepare_owned)
    assert built.is_closed


def test_prepared_stream(precision):
    source = chain_model(precision).stream(1)
    prepared = source.prepare()
    assert not source.is_closed and prepared.emission(3) is None
    fails(None, lambda: prepared.emission(-1), error=OverflowError)
    copy = prepared.parameters()
    before = prepared.emission(2).cached_log_normalizers()
    copy.set_emission(2, gaussian(precision, [0.0], [9.0]))
    assert prepared.emission(2).cached_log_normalizers() == before
    assert stream_content(prepared.into_parameters()) == stream_content(source)
    assert_closed(prepared, "parameters", ("emission", 0), "cloned")


def test_prepared_gaussian(precision):
    one = gaussian(precision, [1.0, -1.0], [0.5, 2.0]).prepare()
    far = [400.0, -300.0]
    assert one.log_probability(far, 1.0) == one.component_log_probability(far, 0) < -1e5
    assert one.log_probability([1.5, 0.0], 0.0) == 0.0 and one.probability([1.5, 0.0], 0.0) == 1
    fails(BAD_OBSERVATION, lambda: one.log_probability([math.nan, 0.0], 0.0))
    fails(TEMPERATURE, lambda: one.log_probability([1.5, 0.0], -1.0))
    assert one.probability(far, 1.0) == FEXP_FLOOR
    two = gaussian(precision, [0.0, 0.0, 5.0, 5.0], [1.0] * 4, weights=[0.5, 0.5]).prepare()
    # Each far component adds the fast exponential's smallest value, never 0, and the fast
    # logarithm keeps the result finite.
    assert -88.1 < two.log_probability(far, 1.0) < -87.0
    assert two.probability(far, 1.0) == pytest.approx(FEXP_FLOOR, rel=1e-3)
    assert two.component_probability(far, 1) == FEXP_FLOOR
    for frame in ([0.0, 0.0, 0.0], [0.0, math.inf], [0.0]):  # before the component is examined
        fails(BAD_OBSERVATION, lambda: two.component_log_probability(frame, 5),
              lambda: two.component_probability(frame, 0))
    fails("mixture component is out of range", lambda: two.component_probability([0.0, 0.0], 2))
    fails(None, lambda: two.component_log_probability([0.0, 0.0], -1), error=OverflowError)
    # Ten dimensions of variance 1e-10: a log density of about 106 overflows the fast
    # exponential; a frame far from the mean underflows to its smallest value.
    narrow = gaussian(precision, [0.0] * 10, [1e-10] * 10).prepare()
    assert narrow.component_log_probability([0.0] * 10, 0) > 100
    assert narrow.component_probability([0.0] * 10, 0) == math.inf
    assert narrow.component_probability([1e-3] + [0.0] * 9, 0) == FEXP_FLOOR
    source = gaussian(precision, [1.0, 2.0, 3.0, 4.0], [0.5, 1.5, 2.5, 3.5],
                      floors=[0.1, 0.0, 0.2, 0.0], weights=[0.25, 0.75])
    prepared = source.prepare()
    assert prepared.cached_log_normalizers() == pytest.approx(
        [-math.log(2 * math.pi * 0.5) - math.log(2 * math.pi * 1.5),
         -math.log(2 * math.pi * 2.5) - math.log(2 * math.pi * 3.5)], rel=1e-6)
    assert mixture_content(prepared.into_parameters()) == mixture_content(source)
    assert_closed(prepared, "cached_log_normalizers", "parameters")


def test_prepared_duration_curve(precision):
    law = duration(precision, 150.0, 400.0)
    prepared = law.prepare(preparation(precision))
    normalizer = prepared.log_normalizer()
    assert normalizer == pytest.approx(-0.5 * math.log(2 * math.pi * 400.0), rel=1e-6)
    cache = prepared.cached_log_probabilities()
    assert len(cache) == 300 and prepared.log_probability(299) == cache[-1]
    for d in (0, 1, 150, 299, 300, 5000):
        curve = normalizer - 0.5 * (d - 150.0) ** 2 / 400.0
        assert prepared.log_probability(d) == pytest.approx(curve, rel=1e-6)
    scaled = law.prepare(preparation(precision, temperature=2.0, weight=0.5))
    expected = 2.0 * 0.5 * (normalizer - 0.5 * 150.0 ** 2 / 400.0)
    assert scaled.log_probability(0) == pytest.approx(expected, rel=1e-6)
    fails(LEGACY_FRAMES, lambda: prepared.log_probability(2**31),
          lambda: prepared.probability(2**31))
    assert prepared.log_probability(2**31 - 1) < -1e12
    fails(None, lambda: prepared.log_probability(-1), error=OverflowError)
    back = prepared.into_parameters()
    assert (back.values(), back.constraints()) == (law.values(), law.constraints())
    assert_closed(prepared, "log_normalizer", ("log_probability", 1), "parameters")


def test_prepared_duration_minimum(precision):
    law = duration(precision, 6.0, 2.0, constraints=(5, 7, 6))
    zero = LOG_ZERO[precision]
    assert zero == {"F32": -999999986991104.0, "F64": -1e15}[precision]
    for length in (3, 300):  # below the minimum: cached, and computed beyond the cache
        plain = law.prepare(preparation(precision, length=length))
        assert plain.log_probability(4) == zero and plain.probability(4) == FEXP_FLOOR
        assert plain.log_probability(5) > -10 and plain.log_probability(8) > -10  # no maximum
        hot = law.prepare(preparation(precision, temperature=2.0, length=length))
        assert [hot.log_probability(d) for d in (0, 2, 4)] == [2 * zero] * 3
        cold = law.prepare(preparation(precision, temperature=0.0, length=length))
        assert [cold.log_probability(d) for d in (0, 4, 5, 40)] == [zero, zero, 0.0, 0.0]
        assert [cold.probability(d) for d in (4, 5)] == [FEXP_FLOOR, 1.0]
    prepared = law.prepare(preparation(precision, temperature=0.1, length=10))
    read = prepared.options()
    assert (read.duration_cache_length, read.temperature) == (10, rounded(precision, 0.1))
    assert len(prepared.cached_log_probabilities()) == 10
    read.duration_cache_length = 3
    assert prepared.options().duration_cache_length == 10


def test_prepared_model_lookups_and_copies(precision):
    source = chain_model(precision)
    settings = preparation(precision, temperature=0.1)
    prepared = source.prepare_selected_durations(settings, [0, 2])
    assert prepared.options().temperature == rounded(precision, 0.1)
    assert prepared.options().duration_cache_length == 300
    assert prepared.duration(1) is None and prepared.duration(3) is None
    assert (prepared.duration(2).cached_log_probabilities() ==
            source.duration(2).prepare(settings).cached_log_probabilities())
    assert prepared.emission(2, 0) is None and prepared.emission(0, 3) is None
    emission = prepared.emission(0, 1)
    assert mixture_content(emission.parameters()) == mixture_content(source.stream(0).emission(1))
    assert (emission.cached_log_normalizers() ==
            source.stream(0).emission(1).prepare().cached_log_normalizers())
    fails(None, lambda: prepared.duration(-1), lambda: prepared.emission(-1, 0),
          lambda: prepared.emission(0, 2**64), error=OverflowError)
    clone = prepared.cloned()
    prepared.parameters().set_duration(2, duration(precision, 50.0, 1.0))
    assert (prepared.duration(2).cached_log_probabilities() ==
            clone.duration(2).cached_log_probabilities())
    assert model_content(prepared.into_parameters()) == model_content(source)
    assert_closed(prepared, "into_parameters", "options", "parameters", ("duration", 0))


@pytest.mark.parametrize("graph", [False, True])
@pytest.mark.parametrize("name", HSMM_CALLS)
def test_hsmm_check_order(precision, name, graph):
    prepared = prepared_chain(precision, temperature=0.5)
    chain, emissions, wrong_count = segmentation(precision), table(precision, 9, 3), table(
        precision, 9, 2)
    factor = hsmm_options(precision, 0.5)
    factor.duration_extra_factor = -1.0
    cases = [
        (chain, wrong_count, hsmm_options(precision, 0.75, radius=math.nan), RADIUS),
        (chain, wrong_count, hsmm_options(precision, 0.75, radius=-1.0), RADIUS),
        (chain, wrong_count, hsmm_options(precision, 0.75), DIFFER),
        (chain, wrong_count, hsmm_options(precision, 0.5, weight=2.0), DIFFER),
        (chain, wrong_count, hsmm_options(precision, math.nan), DIFFER),
        (chain, wrong_count, hsmm_options(precision, 0.5),
         "emission and segmentation state counts differ"),
        (chain, emissions, factor,
         "HSMM weights and duration factor must be finite and nonnegative"),
        (segmentation(precision, (3, 2, 9)), emissions, hsmm_options(precision, 0.5),
         "HSMM boundaries must be ordered within the observation"),
        (segmentation(precision, (3, 6, 8)), emissions, hsmm_options(precision, 0.5),
         "final HSMM boundary must match the frame count"),
        (segmentation(precision, states=(0, 3, 2)), emissions, hsmm_options(precision, 0.5),
         "duration state is out of range"),
    ]
    for source, scores, hsmm, message in cases:
        fails(message, lambda: call(prepared, name, source, scores, hsmm, graph))
    selected = chain_model(precision).prepare_selected_durations(preparation(precision), [0, 2])
    fails("prepared duration state is out of range",
          lambda: call(selected, name, chain, emissions, hsmm_options(precision), graph))
    # A 32-bit 0.1 on both sides agrees in each precision.
    call(prepared_chain(precision, temperature=0.1), name, chain, emissions,
         hsmm_options(precision, 0.1), graph)


@pytest.mark.parametrize("name", HSMM_CALLS)
def test_hsmm_argument_checks(precision, name):
    prepared, chain, emissions = prepared_chain(precision), segmentation(precision), table(
        precision, 9, 3)
    closed = hsmm_options(precision)
    closed.free()
    method = getattr(prepared, name)
    with consumed():
        method(chain, emissions, closed)
    with pytest.raises(TypeError, match="emissions"):
        method(chain, make("StateScores", precision, 9, 3, [0.0] * 27), hsmm_options(precision))
    with pytest.raises(TypeError, match="segmentation"):
        method(segmentation(other(precision)), emissions, closed)


def test_hsmm_against_enumerated_paths(precision):
    """Two positions over five frames: every split of the frames, scored from the prepared
    durations and the table."""
    prepared = chain_model(precision, laws=((2.0, 1.0), (3.0, 2.0))).prepare(
        preparation(precision, 0.8, 1.25, 4))
    chain = segmentation(precision, (2, 5), (0, 1))
    emissions = table(precision, 5, 2, lambda t, s: -0.25 * ((3 * t + s) % 4) - 0.5 - 0.07 * s * t)
    cell = [[emissions.get(t, s) for s in range(2)] for t in range(5)]
    law = [prepared.duration(s) for s in range(2)]
    hsmm = hsmm_options(precision, 0.8, 1.25)

    def emitted(s, start, stop):
        return sum(cell[t][s] for t in range(start, stop))

    splits = [law[0].log_probability(d) + emitted(0, 0, d) + law[1].log_probability(5 - d) +
              emitted(1, d, 5) for d in range(1, 5)]
    forward = prepared.forward_hsmm(chain, emissions, hsmm)
    assert forward.end().get(4, 1) == pytest.approx(log_sum(splits), abs=5e-3)
    path = prepared.viterbi_hsmm(chain, emissions, hsmm)
    best = max(range(4), key=lambda i: splits[i])
    assert path.occurrences() == [0, best + 1, 1, 5]
    assert path.log_probability()[0] == pytest.approx(splits[best], rel=1e-5)
    # Backward: the last position is not scored; a first segment of d >= 5 frames is censored.
    length = 2 * 2 + 30  # row length of the first position: durations 1 .. 33
    censored = [law[0].log_probability(d) + emitted(0, 0, min(d, 5)) +
                (emitted(1, d, 5) if d < 5 else 0.0) for d in range(1, length)]
    backward = prepared.backward_hsmm(chain, emissions, hsmm)
    assert backward.begin().get(0, 0) + cell[0][0] == pytest.approx(log_sum(censored), abs=5e-3)


@pytest.mark.parametrize("name", HSMM_CALLS)
def test_graph_form_equals_segmentation_form(precision, name):
    prepared = prepared_chain(precision, 0.9)
    chain = segmentation(precision)
    chain.add_jump(0, 2, 0.25)
    emissions, hsmm = table(precision, 9, 3), hsmm_options(precision, 0.9, radius=1.5)
    plain = call(prepared, name, chain, emissions, hsmm, False)
    graph = call(prepared, name, chain, emissions, hsmm, True)
    if name == "viterbi_hsmm":
        assert (plain.occurrences(), plain.log_probability()) == (graph.occurrences(),
                                                                  graph.log_probability())
        plain, graph = plain.scores(), graph.scores()
    assert plain.begin().values() == graph.begin().values()
    assert plain.end().values() == graph.end().values()


def test_emission_tables(precision):
    source = chain_model(precision)
    prepared = source.prepare(preparation(precision))
    frames, chain = observation(precision), segmentation(precision)
    log = prepared.emission_log_probabilities(frames, chain, 0.5, pruning(precision))
    assert (log.frames, log.states) == (9, 3)
    for t in (0, 4, 8):
        for s in range(3):
            expected = sum(
                source.stream(k).weight()[0] *
                prepared.emission(k, s).log_probability(frames.frame(k, t), 0.5) for k in range(2))
            assert log.get(t, s) == pytest.approx(expected, rel=1e-6)
    densities = prepared.emission_probabilities(frames, chain, 0.5, pruning(precision))
    assert densities.values() == log.probabilities().values()
    assert all(f32(value) == value for value in densities.values())
    # Radius 0: cells outside each segment's window stay log zero; temperature 0 scores 0.
    cold = prepared.emission_probabilities(frames, chain, 0.0, pruning(precision, 1, 0.0))
    assert cold.get(0, 0) == 1.0 and cold.get(0, 2) == FEXP_FLOOR
    pruned = prepared.emission_log_probabilities(frames, chain, 1.0, pruning(precision, 1, 0.0))
    assert pruned.get(0, 2) == LOG_ZERO[precision]
    # Mode 0 never looks at its parameter.
    assert prepared.emission_log_probabilities(frames, chain, 0.5, pruning(
        precision, 0, math.nan)).values() == log.values()


def test_emission_checks(precision):
    prepared = prepared_chain(precision)
    frames, chain = observation(precision), segmentation(precision)
    one_stream = observation(precision, dimensions=(2,))
    scores, densities = prepared.emission_log_probabilities, prepared.emission_probabilities
    for mode in (3, 7):  # the code is refused before the observation is examined
        fails("unknown emission pruning mode",
              lambda: scores(one_stream, chain, 1.0, pruning(precision, mode)),
              lambda: densities(frames, chain, -1.0, pruning(precision, mode)))
    fails("model, observation, and segmentation stream counts differ",
          lambda: scores(one_stream, chain, 1.0, pruning(precision)))
    for boundaries, message in [
            ((3, 2, 9), "segment boundaries must be ordered within the observation"),
            ((3, 6, 8), "final segment boundary must match the frame count")]:
        misplaced = segmentation(precision, boundaries)
        for mode in (0, 2):
            scores(frames, misplaced, 1.0, pruning(precision, mode, 0.5))
        fails(message, lambda: scores(frames, misplaced, 1.0, pruning(precision, 1, 1.0)))
    fails(RADIUS, lambda: scores(frames, chain, 1.0, pruning(precision, 1, math.nan)))
    fails("linear pruning slope must be finite and nonnegative",
          lambda: scores(frames, chain, 1.0, pruning(precision, 2, math.nan)))
    fails(TEMPERATURE, lambda: densities(frames, chain, -1.0, pruning(precision)),
          lambda: densities(frames, chain, math.nan, pruning(precision)))
    scores(frames, chain, -0.0, pruning(precision))
    if precision == "F32":  # 1e39 becomes an infinity in 32 bits
        fails(TEMPERATURE, lambda: scores(frames, chain, 1e39, pruning(precision)))
    else:
        scores(frames, chain, 1e39, pruning(precision))
    bad_state = segmentation(precision)
    bad_state.set_output_states(1, [0, 1, 3])
    fails("emission state is out of range",
          lambda: scores(frames, bad_state, 1.0, pruning(precision)))
