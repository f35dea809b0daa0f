"""Prepared models, streams, Gaussian mixtures and durations: preparation, lookups, copies,
scores, and HSMM inference and emission scoring from a prepared model."""

import math

import pytest

from conftest import f32
from inference_support import (FEXP_FLOOR, chain_model, hsmm_options, log_sum, observation,
                               preparation, pruning, segmentation, table)
from model_support import (LOG_ZERO, consumed, duration, gaussian, make, mixture_content,
                           model_content, raises_value, rounded, stream, stream_content)

DIFFER = "HSMM temperature and duration weight differ from preparation"
RADIUS = "state pruning radius must be finite and nonnegative"
BAD_EMISSIONS = "emissions require finite means, positive variances, and nonnegative finite weights"
BAD_OBSERVATION = "observation must have matching dimensions and finite values"
BAD_OPTIONS = "invalid duration preparation options"
WEIGHTS = "stream weights must be finite and nonnegative"
HSMM_CALLS = ["forward_hsmm", "backward_hsmm", "viterbi_hsmm"]


# ---- building blocks -----------------------------------------------------------------------

def prepared_chain(precision, temperature=1.0, weight=1.0):
    return chain_model(precision).prepare(preparation(precision, temperature, weight))


def call(prepared, name, source, emissions, options, graph):
    if graph:
        return getattr(prepared, name + "_with_graph")(source.build_transitions(), emissions,
                                                       options)
    return getattr(prepared, name)(source, emissions, options)


# ---- preparation from the parameter classes ------------------------------------------------

def test_model_preparation_checks(precision):
    options = preparation(precision)
    negative = chain_model(precision)
    first = negative.stream(0)
    first.set_weight([-1.0])
    negative.set_stream(0, first)
    with raises_value(WEIGHTS):
        negative.prepare(options)
    assert not negative.is_closed
    with raises_value(WEIGHTS):
        negative.prepare_owned(options)
    assert negative.is_closed

    # Zero variances of a constructed model fail before any duration is looked at.
    with raises_value(BAD_EMISSIONS):
        make("Model", precision, [2, 1, 3], 2).prepare(options)
    empty = make("Model", precision, [], 2)
    with raises_value("duration requires a finite mean and positive variance"):
        empty.prepare(options)
    assert empty.prepare_selected_durations(options, []).duration(0) is None

    valid = chain_model(precision)
    options.temperature = -1e-30
    with raises_value(BAD_OPTIONS):
        valid.prepare(options)
    options.temperature = -0.0
    valid.prepare(options)
    for field, value in [("temperature", math.nan), ("duration_weight", -1.0),
                         ("duration_cache_length", 2**31)]:
        refused = preparation(precision)
        setattr(refused, field, value)
        with raises_value(BAD_OPTIONS):
            valid.prepare(refused)


def test_selected_durations(precision):
    value = chain_model(precision)
    options = preparation(precision)
    twice = value.prepare_selected_durations(options, [0, 0])
    assert twice.duration(0) is not None and twice.duration(1) is None
    before = model_content(value)
    with raises_value("selected duration state is out of range"):
        value.prepare_selected_durations(options, [3])
    assert not value.is_closed and model_content(value) == before
    unsorted = value.prepare_selected_durations(options, [2, 0])
    assert [unsorted.duration(s) is None for s in range(4)] == [False, True, False, True]
    with raises_value("selected duration state is out of range"):
        value.prepare_owned_selected_durations(options, [0, 3])
    assert value.is_closed
    with pytest.raises(OverflowError):
        chain_model(precision).prepare_selected_durations(options, [-1])


def test_consuming_forms_close_on_closed_options(precision):
    options = preparation(precision)
    options.free()
    receivers = [(chain_model(precision), "prepare_owned"),
                 (chain_model(precision), "prepare_owned_selected_durations"),
                 (duration(precision, 3.0, 2.0), "prepare_owned")]
    for receiver, name in receivers:
        arguments = (options, [0]) if name.endswith("durations") else (options,)
        with consumed():
            getattr(receiver, name)(*arguments)
        assert receiver.is_closed
        with consumed():
            getattr(receiver, name)(*arguments)


def test_stream_and_gaussian_preparation(precision):
    fresh = make("Gaussian", precision, 2, 3)
    fresh.validate()
    with raises_value(BAD_EMISSIONS):
        fresh.prepare()
    with raises_value(BAD_EMISSIONS):
        fresh.prepare_owned()
    assert fresh.is_closed

    valid = gaussian(precision, [1.0, 2.0], [0.5, 4.0])
    assert make("Stream", precision, 0, 0, 0).prepare().emission(0) is None
    nan = stream(precision, 1.0, [valid])
    nan.set_weight([math.nan])
    nan.validate()
    with raises_value(WEIGHTS):
        nan.prepare()
    nan.set_weight([-0.0])
    nan.prepare()
    nan.set_weight([-1.0])
    with raises_value(WEIGHTS):
        nan.prepare_owned()
    assert nan.is_closed

    builder = make("StreamBuilder", precision, 1)
    builder.set_emission(0, valid)
    builder.set_weight([-4.0])
    built = builder.build()
    assert built.weight() == [-4.0]
    with raises_value(WEIGHTS):
        built.prepare()


# ---- prepared streams and Gaussian mixtures ------------------------------------------------

def test_prepared_stream(precision):
    source = chain_model(precision).stream(1)
    prepared = source.prepare()
    assert not source.is_closed
    assert prepared.emission(3) is None
    with pytest.raises(OverflowError):
        prepared.emission(-1)
    copy = prepared.parameters()
    assert stream_content(copy) == stream_content(source)
    before = prepared.emission(2).cached_log_normalizers()
    copy.set_emission(2, gaussian(precision, [0.0], [9.0]))
    assert prepared.emission(2).cached_log_normalizers() == before
    assert before == source.emission(2).prepare().cached_log_normalizers()
    clone = prepared.cloned()
    assert stream_content(prepared.into_parameters()) == stream_content(source)
    assert prepared.is_closed
    with consumed():
        prepared.parameters()
    assert stream_content(clone.parameters()) == stream_content(source)
    assert source.prepare_owned().emission(0) is not None and source.is_closed
    assert clone.free() is None and clone.free() is None


def test_prepared_gaussian_scores(precision):
    one = gaussian(precision, [1.0, -1.0], [0.5, 2.0]).prepare()
    far = [400.0, -300.0]
    assert one.log_probability(far, 1.0) == one.component_log_probability(far, 0)
    assert one.log_probability(far, 1.0) < -1e5
    assert one.log_probability([1.5, 0.0], 0.0) == 0.0
    assert one.probability([1.5, 0.0], 0.0) == 1.0
    with raises_value(BAD_OBSERVATION):
        one.log_probability([math.nan, 0.0], 0.0)
    with raises_value("temperature must be finite and nonnegative"):
        one.log_probability([1.5, 0.0], -1.0)

    two = gaussian(precision, [0.0, 0.0, 5.0, 5.0], [1.0, 1.0, 1.0, 1.0],
                   weights=[0.5, 0.5]).prepare()
    # Each far component adds the fast exponential's smallest value, never 0, and the fast
    # logarithm keeps the result finite.
    assert -88.1 < two.log_probability(far, 1.0) < -87.0
    assert two.probability(far, 1.0) == pytest.approx(FEXP_FLOOR, rel=1e-3)
    assert one.probability(far, 1.0) == FEXP_FLOOR
    assert two.component_probability(far, 1) == FEXP_FLOOR
    near = two.log_probability([0.5, -0.5], 1.0)
    expected = math.log(0.5 * math.exp(two.component_log_probability([0.5, -0.5], 0)) +
                        0.5 * math.exp(two.component_log_probability([0.5, -0.5], 1)))
    assert near == pytest.approx(expected, abs=1e-3)
    assert two.log_probability([0.5, -0.5], 2.0) == pytest.approx(2 * near, rel=1e-6)

    for frame in ([0.0, 0.0, 0.0], [0.0, math.inf], [0.0]):
        with raises_value(BAD_OBSERVATION):
            two.component_log_probability(frame, 5)  # before the component is examined
        with raises_value(BAD_OBSERVATION):
            two.component_probability(frame, 0)
    with raises_value("mixture component is out of range"):
        two.component_probability([0.0, 0.0], 2)
    with pytest.raises(OverflowError):
        two.component_log_probability([0.0, 0.0], -1)


def test_prepared_gaussian_component_density_and_copies(precision):
    # Ten dimensions of variance 1e-10: a log density of about 106 overflows the fast
    # exponential; a frame far from the mean underflows to its smallest value.
    narrow = gaussian(precision, [0.0] * 10, [1e-10] * 10).prepare()
    assert narrow.component_log_probability([0.0] * 10, 0) > 100
    assert narrow.component_probability([0.0] * 10, 0) == math.inf
    assert narrow.component_probability([1e-3] + [0.0] * 9, 0) == FEXP_FLOOR
    density = narrow.component_log_probability([1e-4] + [0.0] * 9, 0)
    assert 40 < density < 80
    assert narrow.component_probability([1e-4] + [0.0] * 9, 0) == pytest.approx(
        math.exp(density), rel=1e-4)

    source = gaussian(precision, [1.0, 2.0, 3.0, 4.0], [0.5, 1.5, 2.5, 3.5],
                      floors=[0.1, 0.0, 0.2, 0.0], weights=[0.25, 0.75])
    prepared = source.prepare()
    normalizers = prepared.cached_log_normalizers()
    assert normalizers == pytest.approx(
        [-math.log(2 * math.pi * 0.5) - math.log(2 * math.pi * 1.5),
         -math.log(2 * math.pi * 2.5) - math.log(2 * math.pi * 3.5)], rel=1e-6)
    clone = prepared.cloned()
    assert mixture_content(prepared.parameters()) == mixture_content(source)
    assert mixture_content(prepared.into_parameters()) == mixture_content(source)
    assert prepared.is_closed
    with consumed():
        prepared.cached_log_normalizers()
    assert clone.cached_log_normalizers() == normalizers
    assert source.prepare_owned().cached_log_normalizers() == normalizers and source.is_closed


# ---- prepared durations --------------------------------------------------------------------

def test_prepared_duration_curve(precision):
    law = duration(precision, 150.0, 400.0)
    prepared = law.prepare(preparation(precision))
    normalizer = prepared.log_normalizer()
    assert normalizer == pytest.approx(-0.5 * math.log(2 * math.pi * 400.0), rel=1e-6)
    cache = prepared.cached_log_probabilities()
    assert len(cache) == 300 and prepared.log_probability(299) == cache[-1]
    for d in (0, 1, 150, 299, 300, 301, 5000):
        curve = normalizer - 0.5 * (d - 150.0) ** 2 / 400.0
        assert prepared.log_probability(d) == pytest.approx(curve, rel=1e-6)
    assert prepared.probability(150) == pytest.approx(math.exp(prepared.log_probability(150)),
                                                      rel=1e-4)

    scaled = law.prepare(preparation(precision, temperature=2.0, weight=0.5))
    expected = 2.0 * 0.5 * (normalizer - 0.5 * 150.0 ** 2 / 400.0)
    assert scaled.log_probability(0) == pytest.approx(expected, rel=1e-6)
    assert scaled.log_probability(0) > LOG_ZERO[precision]

    with raises_value("duration exceeds the legacy frame range"):
        prepared.log_probability(2**31)
    with raises_value("duration exceeds the legacy frame range"):
        prepared.probability(2**31)
    assert prepared.log_probability(2**31 - 1) < -1e12
    with pytest.raises(OverflowError):
        prepared.log_probability(-1)


def test_prepared_duration_minimum(precision):
    law = duration(precision, 6.0, 2.0, constraints=(5, 7, 6))
    zero = LOG_ZERO[precision]
    for length in (3, 300):  # below the minimum: cached, and computed beyond the cache
        plain = law.prepare(preparation(precision, length=length))
        assert plain.log_probability(4) == zero
        assert plain.probability(4) == FEXP_FLOOR
        assert plain.log_probability(5) > -10  # the maximum plays no part
        assert plain.log_probability(8) > -10
        hot = law.prepare(preparation(precision, temperature=2.0, length=length))
        assert [hot.log_probability(d) for d in (0, 2, 4)] == [2 * zero] * 3
        cold = law.prepare(preparation(precision, temperature=0.0, length=length))
        assert [cold.log_probability(d) for d in (0, 4, 5, 40)] == [zero, zero, 0.0, 0.0]
        assert [cold.probability(d) for d in (4, 5)] == [FEXP_FLOOR, 1.0]
    if precision == "F32":
        assert zero == -999999986991104.0 and 2 * zero == -1999999973982208.0


def test_prepared_duration_copies(precision):
    law = duration(precision, 3.0, 2.0, 0.5, (2, 9, 4))
    options = preparation(precision, temperature=0.1, length=10)
    prepared = law.prepare(options)
    read = prepared.options()
    assert (read.duration_cache_length, read.temperature) == (10, rounded(precision, 0.1))
    assert len(prepared.cached_log_probabilities()) == 10
    read.duration_cache_length = 3
    assert prepared.options().duration_cache_length == 10
    clone = prepared.cloned()
    assert prepared.parameters().values() == law.values()
    back = prepared.into_parameters()
    assert (back.values(), back.constraints()) == (law.values(), law.constraints())
    assert prepared.is_closed
    with consumed():
        prepared.log_normalizer()
    with consumed():
        prepared.log_probability(1)
    assert clone.cached_log_probabilities() == law.prepare(options).cached_log_probabilities()
    owned = law.prepare_owned(options)
    assert law.is_closed and owned.log_probability(12) == clone.log_probability(12)


# ---- prepared models: lookups and copies ---------------------------------------------------

def test_prepared_model_lookups(precision):
    source = chain_model(precision)
    options = preparation(precision, temperature=0.1)
    prepared = source.prepare_selected_durations(options, [0, 2])
    assert prepared.options().temperature == rounded(precision, 0.1)
    assert prepared.options().duration_cache_length == 300
    assert prepared.duration(1) is None and prepared.duration(3) is None
    assert (prepared.duration(2).cached_log_probabilities() ==
            source.duration(2).prepare(options).cached_log_probabilities())
    assert prepared.duration(2).parameters().values() == source.duration(2).values()
    assert prepared.emission(2, 0) is None and prepared.emission(0, 3) is None
    emission = prepared.emission(0, 1)
    assert mixture_content(emission.parameters()) == mixture_content(source.stream(0).emission(1))
    assert (emission.cached_log_normalizers() ==
            source.stream(0).emission(1).prepare().cached_log_normalizers())
    for lookup in (lambda: prepared.duration(-1), lambda: prepared.emission(-1, 0),
                   lambda: prepared.emission(0, 2**64)):
        with pytest.raises(OverflowError):
            lookup()
    parts = [prepared, prepared.emission(0, 0), prepared.duration(0),
             source.stream(0).prepare()]
    for part in parts:
        with pytest.raises(TypeError, match="cannot create"):
            type(part)()
        assert type(part).__doc__ in (None, "")


def test_prepared_model_copies(precision):
    source = chain_model(precision)
    prepared = source.prepare_selected_durations(preparation(precision), [1])
    clone = prepared.cloned()
    copy = prepared.parameters()
    copy.set_duration(1, duration(precision, 50.0, 1.0))
    assert (prepared.duration(1).cached_log_probabilities() ==
            clone.duration(1).cached_log_probabilities())
    assert clone.duration(0) is None
    back = prepared.into_parameters()
    assert back.duration(1).values() == source.duration(1).values()
    assert prepared.is_closed
    with consumed():
        prepared.into_parameters()
    with consumed():
        prepared.options()
    assert prepared.free() is None and prepared.free() is None
    assert clone.into_parameters().stream(1).weight() == [0.5]


# ---- prepared models: HSMM inference -------------------------------------------------------

@pytest.mark.parametrize("graph", [False, True])
@pytest.mark.parametrize("name", HSMM_CALLS)
def test_hsmm_check_order(precision, name, graph):
    prepared = prepared_chain(precision, temperature=0.5)
    chain = segmentation(precision)
    wrong_count = table(precision, 9, 2)
    cases = [
        (hsmm_options(precision, 0.75, radius=math.nan), wrong_count, RADIUS),
        (hsmm_options(precision, 0.75, radius=-1.0), wrong_count, RADIUS),
        (hsmm_options(precision, 0.75), wrong_count, DIFFER),
        (hsmm_options(precision, 0.5, weight=2.0), wrong_count, DIFFER),
        (hsmm_options(precision, math.nan), wrong_count, DIFFER),
        (hsmm_options(precision, 0.5), wrong_count,
         "emission and segmentation state counts differ"),
    ]
    for options, emissions, message in cases:
        with raises_value(message):
            call(prepared, name, chain, emissions, options, graph)
    factor = hsmm_options(precision, 0.5)
    factor.duration_extra_factor = -1.0
    with raises_value("HSMM weights and duration factor must be finite and nonnegative"):
        call(prepared, name, chain, table(precision, 9, 3), factor, graph)
    misplaced = [((3, 2, 9), "HSMM boundaries must be ordered within the observation"),
                 ((3, 6, 8), "final HSMM boundary must match the frame count")]
    for boundaries, message in misplaced:
        with raises_value(message):
            call(prepared, name, segmentation(precision, boundaries), table(precision, 9, 3),
                 hsmm_options(precision, 0.5), graph)
    with raises_value("duration state is out of range"):
        call(prepared, name, segmentation(precision, states=(0, 3, 2)), table(precision, 9, 3),
             hsmm_options(precision, 0.5), graph)
    selected = chain_model(precision).prepare_selected_durations(preparation(precision), [0, 2])
    with raises_value("prepared duration state is out of range"):
        call(selected, name, chain, table(precision, 9, 3), hsmm_options(precision), graph)
    # A 32-bit 0.1 on both sides agrees in each precision.
    rounded_pair = prepared_chain(precision, temperature=0.1)
    call(rounded_pair, name, chain, table(precision, 9, 3), hsmm_options(precision, 0.1), graph)


@pytest.mark.parametrize("name", HSMM_CALLS)
def test_hsmm_argument_checks(precision, name):
    prepared = prepared_chain(precision)
    chain = segmentation(precision)
    options = hsmm_options(precision)
    options.free()
    with consumed():
        getattr(prepared, name)(chain, table(precision, 9, 3), options)
    with pytest.raises(TypeError, match="emissions"):
        getattr(prepared, name)(chain, make("StateScores", precision, 9, 3, [0.0] * 27),
                                hsmm_options(precision))
    other = "F64" if precision == "F32" else "F32"
    with pytest.raises(TypeError, match="segmentation"):
        getattr(prepared, name)(segmentation(other), table(precision, 9, 3), options)
    prepared.free()
    with pytest.raises(TypeError, match="emissions"):
        getattr(prepared, name)(chain, None, options)
    with consumed():
        getattr(prepared, name)(chain, table(precision, 9, 3), hsmm_options(precision))


def test_hsmm_against_enumerated_paths(precision):
    """Two positions over five frames: every split of the frames, scored from the prepared
    durations and the table."""
    laws = ((2.0, 1.0), (3.0, 2.0))
    prepared = chain_model(precision, laws=laws).prepare(preparation(precision, 0.8, 1.25, 4))
    chain = segmentation(precision, (2, 5), (0, 1))
    emissions = table(precision, 5, 2, lambda t, s: -0.25 * ((3 * t + s) % 4) - 0.5 - 0.07 * s * t)
    cell = [[emissions.get(t, s) for s in range(2)] for t in range(5)]
    law = [prepared.duration(s) for s in range(2)]
    options = hsmm_options(precision, 0.8, 1.25)

    def emitted(s, start, stop):
        return sum(cell[t][s] for t in range(start, stop))

    splits = [law[0].log_probability(d) + emitted(0, 0, d) + law[1].log_probability(5 - d) +
              emitted(1, d, 5) for d in range(1, 5)]
    forward = prepared.forward_hsmm(chain, emissions, options)
    assert forward.end().get(4, 1) == pytest.approx(log_sum(splits), abs=5e-3)
    path = prepared.viterbi_hsmm(chain, emissions, options)
    best = max(range(4), key=lambda i: splits[i])
    assert path.occurrences() == [0, best + 1, 1, 5]
    assert path.log_probability()[0] == pytest.approx(splits[best], rel=1e-5)
    assert path.scores().end().values() == prepared.viterbi_hsmm_with_graph(
        chain.build_transitions(), emissions, options).scores().end().values()

    # Backward: the last position is not scored; a first segment of d >= 5 frames is censored.
    length = 2 * 2 + 30  # row length of the first position: durations 1 .. 33
    censored = [law[0].log_probability(d) + emitted(0, 0, min(d, 5)) +
                (emitted(1, d, 5) if d < 5 else 0.0) for d in range(1, length)]
    backward = prepared.backward_hsmm(chain, emissions, options)
    assert backward.begin().get(0, 0) + cell[0][0] == pytest.approx(log_sum(censored), abs=5e-3)


@pytest.mark.parametrize("name", HSMM_CALLS)
def test_graph_form_equals_segmentation_form(precision, name):
    prepared = prepared_chain(precision, 0.9)
    chain = segmentation(precision)
    chain.add_jump(0, 2, 0.25)
    emissions = table(precision, 9, 3)
    options = hsmm_options(precision, 0.9, radius=1.5)
    plain = call(prepared, name, chain, emissions, options, False)
    graph = call(prepared, name, chain, emissions, options, True)
    if name == "viterbi_hsmm":
        assert (plain.occurrences(), plain.log_probability()) == (graph.occurrences(),
                                                                  graph.log_probability())
        plain, graph = plain.scores(), graph.scores()
    assert plain.begin().values() == graph.begin().values()
    assert plain.end().values() == graph.end().values()


# ---- prepared models: emission scoring -----------------------------------------------------

def test_emission_tables(precision):
    source = chain_model(precision)
    prepared = source.prepare(preparation(precision))
    frames = observation(precision)
    chain = segmentation(precision)
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
    if precision == "F64":
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
    frames = observation(precision)
    for mode in (3, 7):
        # The code is refused before the observation (of the wrong shape here) is examined.
        with raises_value("unknown emission pruning mode"):
            prepared.emission_log_probabilities(observation(precision, dimensions=(2,)),
                                                segmentation(precision), 1.0,
                                                pruning(precision, mode))
        with raises_value("unknown emission pruning mode"):
            prepared.emission_probabilities(frames, segmentation(precision), -1.0,
                                            pruning(precision, mode))
    with raises_value("model, observation, and segmentation stream counts differ"):
        prepared.emission_log_probabilities(observation(precision, dimensions=(2,)),
                                            segmentation(precision), 1.0, pruning(precision))
    misplaced = [((3, 2, 9), "segment boundaries must be ordered within the observation"),
                 ((3, 6, 8), "final segment boundary must match the frame count")]
    for boundaries, message in misplaced:
        unordered = segmentation(precision, boundaries)
        for mode in (0, 2):
            prepared.emission_log_probabilities(frames, unordered, 1.0,
                                                pruning(precision, mode, 0.5))
        with raises_value(message):
            prepared.emission_log_probabilities(frames, unordered, 1.0, pruning(precision, 1, 1.0))
    chain = segmentation(precision)
    for mode, message in [(1, RADIUS), (2, "linear pruning slope must be finite and nonnegative")]:
        with raises_value(message):
            prepared.emission_log_probabilities(frames, chain, 1.0,
                                                pruning(precision, mode, math.nan))
    for temperature in (-1.0, math.nan):
        with raises_value("temperature must be finite and nonnegative"):
            prepared.emission_probabilities(frames, chain, temperature, pruning(precision))
    prepared.emission_log_probabilities(frames, chain, -0.0, pruning(precision))
    if precision == "F32":
        with raises_value("temperature must be finite and nonnegative"):
            prepared.emission_log_probabilities(frames, chain, 1e39, pruning(precision))
    else:
        prepared.emission_log_probabilities(frames, chain, 1e39, pruning(precision))
    bad_state = segmentation(precision)
    bad_state.set_output_states(1, [0, 1, 3])
    with raises_value("emission state is out of range"):
        prepared.emission_log_probabilities(frames, bad_state, 1.0, pruning(precision))

    closed = pruning(precision)
    closed.free()
    with consumed():
        prepared.emission_log_probabilities(frames, chain, 1.0, closed)
    with pytest.raises(TypeError, match="temperature"):
        prepared.emission_log_probabilities(frames, chain, "hot", closed)
