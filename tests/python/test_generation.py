"""Generation from Python random sources, generated observations and the sampling functions."""

import gc
import math
import random
import sys
import threading
import weakref

import pytest

import tarvek_rs
from conftest import f32
from model_support import consumed, duration, gaussian, make, model, raises_value, stream

NORMAL_DRAW = "normal sampling requires radial in (0,1] and angular in [0,1]"
MIXTURE_DRAW = "mixture sampling requires weights and a uniform draw in [0,1]"
NOT_A_NUMBER = "uniform callback must return a number"
NOT_A_WORD = "random word callback must return a u32 integer"
EXHAUSTED = "uniform draw sequence exhausted"
OLD_BOUNDARIES = [1, 2, 3]


def fn(name, precision):
    return getattr(tarvek_rs, name + "_" + precision.lower())


def two_state_model(precision):
    """One stream of two dimensions: emission 0 a two-component mixture, emission 1 a single
    Gaussian; duration states with means 3 and 5."""
    mixture = gaussian(precision, [0.5, -1.0, 2.0, 3.0], [1.0, 0.5, 2.0, 0.25],
                       weights=[0.25, 0.75])
    single = gaussian(precision, [-2.0, 1.5], [0.5, 1.5])
    return model(precision, [stream(precision, 1.0, [mixture, single])],
                 [duration(precision, 3.0, 1.0), duration(precision, 5.0, 2.0)])


def three_segments(precision):
    sequence = make("Segmentation", precision, 1, 3)
    sequence.set_duration_states([0, 1, 0])
    sequence.set_output_states(0, [0, 1, 0])
    sequence.set_boundaries(OLD_BOUNDARIES)
    return sequence


def generation(precision):
    return make("Generation", precision, two_state_model(precision), three_segments(precision))


def constant(value):
    return lambda: value


def seeded_words(seed):
    source = random.Random(seed)
    return lambda: source.getrandbits(32)


class Counting:
    """A callback that returns `value` and raises `error` on call number `fail_at`."""

    def __init__(self, value, fail_at=None, error=None):
        self.value, self.fail_at, self.error, self.calls = value, fail_at, error, 0

    def __call__(self):
        self.calls += 1
        if self.calls == self.fail_at:
            raise self.error
        return self.value


def expected_draws(observation, segments):
    per_frame = sum(1 + 2 * observation.stream(j).dimensions for j in range(observation.streams))
    return 2 * segments + observation.frames * per_frame


def frame_values(observation):
    stream = observation.stream(0)
    values, d = stream.values(), stream.dimensions
    return [values[t * d:(t + 1) * d] for t in range(observation.frames)]


# ---- successful generation: counts, rewritten boundaries, edge values ----------------------

def test_seeded_word_generation_counts_and_boundaries(precision):
    gen = generation(precision)
    result = gen.generate_with_random_words(seeded_words(7))
    observation = result.observation()
    assert result.draws_used == expected_draws(observation, 3)
    assert result.random_words_used == result.draws_used * (1 if precision == "F32" else 2)
    ends = gen.sequence().boundaries()
    assert ends[-1] == observation.frames and ends == sorted(ends) and ends[0] >= 1
    assert gen.sequence().duration_states() == [0, 1, 0]
    # A second generation starts afresh from the rewritten sequence.
    again = gen.generate_with_uniform(seeded_uniforms(3))
    assert again.random_words_used == 0
    assert again.draws_used == expected_draws(again.observation(), 3)


def seeded_uniforms(seed):
    source = random.Random(seed)
    return lambda: 1.0 - source.random()  # in (0, 1]


def test_all_ones_give_means_and_last_components(precision):
    # Radius zero: every sample is its mean; every component choice falls back to the last.
    for gen, run in ((generation(precision), lambda g: g.generate_with_uniform(constant(1.0))),
                     (generation(precision),
                      lambda g: g.generate_with_random_words(constant(4294967295))),
                     (generation(precision), lambda g: g.generate_with_uniform(constant(True)))):
        observation = run(gen).observation()
        assert gen.sequence().boundaries() == [3, 8, 11]
        frames = frame_values(observation)
        assert frames == [[2.0, 3.0]] * 3 + [[-2.0, 1.5]] * 5 + [[2.0, 3.0]] * 3


def test_float_protocol_and_integers_are_accepted(precision):
    class Quarter:
        def __float__(self):
            return 0.25

    plain = generation(precision).generate_with_uniform(constant(0.25)).observation()
    converted = generation(precision).generate_with_uniform(constant(Quarter())).observation()
    assert frame_values(plain) == frame_values(converted)
    by_int = generation(precision).generate_with_uniform(constant(1)).observation()
    assert frame_values(by_int)[0] == [2.0, 3.0]
    for word in (7.0, True, -0.0, 3.0):
        assert generation(precision).generate_with_random_words(constant(word)).draws_used > 0


def test_generation_matches_step_by_step_sampling(precision):
    # The documented draw order, rebuilt with the module's own sampling steps.
    rounded = f32 if precision == "F32" else float
    rng = random.Random(11)
    values = [rounded(1.0 - rng.random()) for _ in range(400)]
    sequence = three_segments(precision)
    result = two_state_model(precision).generate_with_uniform_values(sequence, values)
    sample, choose = fn("gaussian_sample", precision), fn("choose_component", precision)
    draws = iter(values)
    ends, end = [], 0
    for mean, variance in ((3.0, 1.0), (5.0, 2.0), (3.0, 1.0)):
        z = sample(mean, variance, next(draws), next(draws))
        end += int(math.floor(max(z, 1.0) + 0.5))
        ends.append(end)
    assert sequence.boundaries() == ends
    mixtures = {0: ([0.25, 0.75], [[0.5, -1.0], [2.0, 3.0]], [[1.0, 0.5], [2.0, 0.25]]),
                1: ([1.0], [[-2.0, 1.5]], [[0.5, 1.5]])}
    expected, start = [], 0
    for emission, stop in zip([0, 1, 0], ends):
        weights, means, variances = mixtures[emission]
        for _ in range(start, stop):
            k = choose(weights, next(draws))
            expected.append([sample(means[k][e], variances[k][e], next(draws), next(draws))
                             for e in range(2)])
        start = stop
    assert frame_values(result.observation()) == expected
    assert result.draws_used == len(values) - len(list(draws))
    assert result.random_words_used == 0


# ---- failures: the latch, precedence, and the stored sequence ------------------------------

@pytest.mark.parametrize("mode, fail_at", [("uniform", 3), ("words", 3), ("uniform", 5)])
def test_callback_raising_stops_the_calls(precision, mode, fail_at):
    gen = generation(precision)
    error = KeyError("raised")
    callback = Counting(1.0 if mode == "uniform" else 4294967295, fail_at=fail_at, error=error)
    run = gen.generate_with_uniform if mode == "uniform" else gen.generate_with_random_words
    with pytest.raises(KeyError) as caught:
        run(callback)
    assert caught.value is error and callback.calls == fail_at
    assert gen.sequence().boundaries() == OLD_BOUNDARIES
    # A fresh draw state on the next call.
    assert run(Counting(callback.value)).draws_used == 2 * 3 + 11 * 5


@pytest.mark.parametrize("bad", ["0.5", None, object()])
def test_uniform_results_that_are_not_numbers(precision, bad):
    gen = generation(precision)
    callback = Counting(bad)
    with raises_value(NOT_A_NUMBER):
        gen.generate_with_uniform(callback)
    assert callback.calls == 1 and gen.sequence().boundaries() == OLD_BOUNDARIES


@pytest.mark.parametrize("bad", [-1, 4294967296, 2.5, math.nan, math.inf, 10**400, "7", None])
def test_refused_random_words(precision, bad):
    gen = generation(precision)
    callback = Counting(bad)
    with raises_value(NOT_A_WORD):
        gen.generate_with_random_words(callback)
    assert callback.calls == 1 and gen.sequence().boundaries() == OLD_BOUNDARIES
    with raises_value(NOT_A_WORD):
        fn("uniform_sample", precision)(callback)
    assert callback.calls == 2  # the 64-bit form makes no second call after a failure


def test_core_failures_and_rounding_to_zero(precision):
    gen = generation(precision)
    with raises_value(NORMAL_DRAW):  # radial draws must be positive
        gen.generate_with_uniform(constant(0.0))
    with raises_value(NORMAL_DRAW):  # no range check in the source: the routine refuses 2.0
        gen.generate_with_uniform(constant(2.0))
    assert gen.sequence().boundaries() == OLD_BOUNDARIES
    # 1e-50 is a valid radial in 64 bits but rounds to 0.0 in 32 bits.
    first = iter([1e-50])
    tiny_first = lambda: next(first, 0.5)  # noqa: E731
    if precision == "F32":
        with raises_value(NORMAL_DRAW):
            gen.generate_with_uniform(tiny_first)
    else:
        assert gen.generate_with_uniform(tiny_first).draws_used > 0


def test_mismatched_model_and_sequence(precision):
    sequence = make("Segmentation", precision, 2, 1)  # two streams, the model has one
    gen = make("Generation", precision, two_state_model(precision), sequence)
    with raises_value("generation requires nonempty matching stream and state sequences"):
        gen.generate_with_uniform(constant(0.5))
    assert gen.sequence().streams == 2 and gen.sequence().boundaries() == [0]
    assert gen.model().streams == 1


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_while_converting_results_propagate(precision, interrupt):
    class Stubborn:
        def __init__(self, error):
            self.error = error

        def __float__(self):
            raise self.error

        def __index__(self):
            raise self.error

    gen = generation(precision)
    with pytest.raises(interrupt):
        gen.generate_with_uniform(constant(Stubborn(interrupt())))
    with pytest.raises(interrupt):
        gen.generate_with_random_words(constant(Stubborn(interrupt())))
    with pytest.raises(interrupt):
        fn("uniform_sample", precision)(constant(Stubborn(interrupt())))
    # Ordinary exceptions of the conversion are replaced by the message.
    with raises_value(NOT_A_NUMBER):
        gen.generate_with_uniform(constant(Stubborn(ArithmeticError())))
    with raises_value(NOT_A_WORD):
        gen.generate_with_random_words(constant(Stubborn(ArithmeticError())))
    assert gen.sequence().boundaries() == OLD_BOUNDARIES


def test_uniform_values_from_the_model(precision):
    m = two_state_model(precision)
    sequence = three_segments(precision)
    with raises_value(EXHAUSTED):
        m.generate_with_uniform_values(sequence, [])
    with raises_value(EXHAUSTED):
        m.generate_with_uniform_values(sequence, [0.5, 0.5, 0.5])
    assert sequence.boundaries() == OLD_BOUNDARIES
    result = m.generate_with_uniform_values(sequence, [1.0] * 1000)
    assert (result.draws_used, result.random_words_used) == (2 * 3 + 11 * 5, 0)
    assert sequence.boundaries() == [3, 8, 11]
    sequence.free()
    with consumed():
        m.generate_with_uniform_values(sequence, [])
    with pytest.raises(TypeError, match="sequence"):
        m.generate_with_uniform_values(m, [])


def test_latched_exceptions_and_callbacks_are_released(precision):
    class Failure(Exception):
        pass

    gen, alive = generation(precision), []
    for run in (gen.generate_with_uniform, gen.generate_with_random_words,
                fn("uniform_sample", precision)):
        for fail_at in (1, 2, None):
            error = Failure()
            callback = Counting(1, fail_at=fail_at, error=error)
            alive += [weakref.ref(error), weakref.ref(callback)]
            try:
                run(callback)
            except Failure:
                pass
            del error, callback
    gc.collect()  # a raised exception and its callback refer to each other
    assert not any(ref() for ref in alive)


# ---- object life cycle, borrows and threads -------------------------------------------------

def test_construction_copies_and_closed_arguments(precision):
    m, sequence = two_state_model(precision), three_segments(precision)
    gen = make("Generation", precision, m, sequence)
    assert type(gen).__text_signature__ == "(model, sequence)"
    sequence.set_boundaries([5, 6, 7])
    assert gen.sequence().boundaries() == OLD_BOUNDARIES  # a deep copy was stored
    copy = gen.cloned()
    gen.set_sequence(sequence)
    assert copy.sequence().boundaries() == OLD_BOUNDARIES
    assert gen.sequence().boundaries() == [5, 6, 7]
    gen.set_model(make("Model", precision, [], 0))
    assert gen.model().streams == 0 and copy.model().streams == 1
    with pytest.raises(TypeError, match="model"):
        make("Generation", precision, sequence, m)
    sequence.close()
    with consumed():
        make("Generation", precision, m, sequence)
    gen.free()
    assert gen.is_closed
    with consumed():  # the closed check comes before the callback is looked at
        gen.generate_with_uniform(42)
    with pytest.raises(TypeError, match="^callback must be callable$"):
        copy.generate_with_random_words(42)
    with pytest.raises(TypeError, match="^callback must be callable$"):
        fn("uniform_sample", precision)(42)


def test_generated_observation_members(precision):
    result = generation(precision).generate_with_uniform(constant(1.0))
    assert type(result).__name__ == "GeneratedObservation" + precision
    with pytest.raises(TypeError):
        type(result)()
    copy = result.cloned()
    first = result.into_observation()
    assert result.is_closed and first.frames == 11
    with consumed():
        result.into_observation()
    with consumed():
        result.draws_used  # noqa: B018
    assert (copy.draws_used, copy.random_words_used) == (61, 0)
    assert frame_values(copy.observation()) == frame_values(first)


def test_reentrant_callbacks_meet_the_borrow(precision):
    gen = generation(precision)

    def reenter():
        gen.model()
        return 0.5

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        gen.generate_with_uniform(reenter)
    seen = []

    def tolerant():
        for use in (gen.sequence, gen.cloned, gen.free, lambda: gen.is_closed):
            try:
                use()
            except RuntimeError as error:
                seen.append(str(error))
        return 1.0

    assert gen.generate_with_uniform(tolerant).draws_used == 61
    assert set(seen) == {"Already borrowed", "Already mutably borrowed"}
    assert seen.count("Already mutably borrowed") == 61  # is_closed, once per draw
    assert not gen.is_closed and gen.sequence().boundaries() == [3, 8, 11]


def run_in_thread(call):
    outcome = {}

    def body():
        try:
            outcome["result"] = call()
        except BaseException as error:  # noqa: BLE001 - the fault is a BaseException
            outcome["error"] = error

    worker = threading.Thread(target=body)
    worker.start()
    worker.join()
    return outcome


def test_objects_are_bound_to_their_thread(precision):
    gen = generation(precision)
    result = gen.generate_with_uniform(constant(1.0))
    for obj, use, stem in ((gen, lambda: gen.model(), "generation"),
                           (gen, lambda: gen.is_closed, "generation"),
                           (gen, lambda: gen.free(), "generation"),
                           (result, lambda: result.draws_used, "generatedobservation"),
                           (result, lambda: result.observation(), "generatedobservation")):
        error = run_in_thread(use)["error"]
        name = type(obj).__name__
        assert isinstance(error, BaseException) and not isinstance(error, Exception)
        assert str(error) == (f"_tarvek_rs::binding_{stem}{precision.lower()}::{name} "
                              "is unsendable, but sent to another thread")
    assert not gen.is_closed and result.draws_used == 61
    # Other classes are not bound, and the module functions are not either.
    assert run_in_thread(lambda: fn("uniform_sample", precision)(constant(0)))["result"] > 0


def test_release_on_another_thread_is_reported(precision, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report))
    holder = [generation(precision)]
    assert run_in_thread(holder.clear) == {"result": None}  # the last reference goes there
    assert len(reports) == 1 and isinstance(reports[0].exc_value, RuntimeError)
    assert str(reports[0].exc_value) == (
        f"_tarvek_rs::binding_generation{precision.lower()}::Generation{precision} "
        "is unsendable, but is being dropped on another thread")
    owned = [generation(precision)]
    del owned[0]  # on its own thread: no report
    assert len(reports) == 1


# ---- sampling functions ---------------------------------------------------------------------

def test_gaussian_sample(precision):
    sample = fn("gaussian_sample", precision)
    for angular in (0.0, 0.3, 0.5, 1.0):
        assert sample(0.0, 1.0, 1.0, angular) == 0.0
        assert sample(2.5, 0.0, 0.125, angular) == 2.5
    assert sample(0.0, 1.0, 0.5, 0.0) == pytest.approx(math.sqrt(-2 * math.log(0.5)), rel=1e-3)
    assert sample(0.0, 1.0, 0.5, 1.0) == pytest.approx(math.sqrt(-2 * math.log(0.5)), rel=1e-3)
    assert sample(0.0, 1.0, 5e-324 if precision == "F64" else 1e-45, 0.25) is not None
    for radial, angular in ((0.0, 0.5), (-0.0, 0.5), (1.5, 0.5), (0.5, -0.1), (0.5, 1.01),
                            (math.nan, 0.5)):
        with raises_value(NORMAL_DRAW):
            sample(0.0, 1.0, radial, angular)
    assert sample(1.0, -0.0, 0.5, 0.5) == 1.0
    for mean, variance in ((math.inf, 1.0), (0.0, -1.0), (0.0, math.nan)):
        with raises_value("sampling parameters must be finite with nonnegative variance"):
            sample(mean, variance, 0.5, 0.5)
    if precision == "F64":
        with raises_value("sampling parameters must be finite with nonnegative variance"):
            sample(0.0, -1e-300, 0.5, 0.5)
        with raises_value("normal sample overflows"):
            sample(0.0, 1e308, 1e-300, 0.0)
    else:
        assert sample(0.0, -1e-300, 0.5, 0.5) == 0.0  # -1e-300 rounds to -0.0
        # Arguments are 32-bit, so the radius stays far below the range: never overflows.
        assert math.isfinite(sample(3e38, 3e38, 1e-45, 0.0))
    with pytest.raises(TypeError, match="angular"):
        sample(0.0, 1.0, 0.5, "x")


def test_choose_component(precision):
    choose = fn("choose_component", precision)
    assert choose([0.5, 0.5], 0.5) == 1 and choose([0.5, 0.5], 0.0) == 0
    assert choose([0.2, 0.2], 0.9) == 1
    assert choose([0.0, 0.0, 0.0], 0.0) == 2
    assert choose([0.0, 0.3, 0.7], 0.0) == 1
    assert choose([-0.0, 1.0], 1.0) == 1
    for weights, uniform in (([], 0.5), ([1.0], 1.5), ([1.0], -0.1), ([-1.0, 2.0], 0.5),
                             ([math.nan], 0.5), ([1.0], math.nan)):
        with raises_value(MIXTURE_DRAW):
            choose(weights, uniform)
    with pytest.raises(TypeError, match="weights"):
        choose("0.5", 0.5)
    with pytest.raises(TypeError, match="uniform"):
        choose([1.0], None)


def test_uniform_sample_from_words(precision):
    uniform = fn("uniform_sample", precision)
    smallest = 2.0**-24 if precision == "F32" else 2.0**-53
    for word in (0, -0.0, False):
        assert uniform(constant(word)) == smallest
    three = 2.0**-24 if precision == "F32" else (((3 << 32 | 3) >> 11) + 1) * 2.0**-53
    assert uniform(constant(3.0)) == three
    assert uniform(constant(4294967295)) == 1.0
    words = iter([0x12345678, 0x9ABCDEF0])
    if precision == "F32":
        assert uniform(lambda: next(words)) == ((0x12345678 >> 8) + 1) * 2.0**-24
    else:
        high_low = 0x9ABCDEF0 << 32 | 0x12345678
        assert uniform(lambda: next(words)) == ((high_low >> 11) + 1) * 2.0**-53
    with pytest.raises(ZeroDivisionError):
        uniform(lambda: 1 / 0)


# ---- statistics of many generated utterances -------------------------------------------------

def rounded_duration_moments(mean, variance):
    """Mean and variance of round(max(z, 1)), halves away from zero, for z ~ N(mean, variance)."""
    sd = math.sqrt(variance)
    cdf = lambda x: 0.5 * (1.0 + math.erf((x - mean) / (sd * math.sqrt(2.0))))  # noqa: E731
    first = second = 0.0
    for k in range(1, int(mean + 20 * sd) + 2):
        p = cdf(k + 0.5) - (cdf(k - 0.5) if k > 1 else 0.0)
        first += k * p
        second += k * k * p
    return first, second - first * first


def test_generated_statistics_agree_with_the_model(precision):
    weights, means, variances = [0.3, 0.7], [-1.0, 2.0], [0.5, 1.0]
    mixture = gaussian(precision, means, variances, weights=weights, dimensions=1)
    m = model(precision, [stream(precision, 1.0, [mixture])],
              [duration(precision, 3.5, 2.0), duration(precision, 1.2, 1.5)])
    sequence = make("Segmentation", precision, 1, 2)
    sequence.set_duration_states([0, 1])
    gen = make("Generation", precision, m, sequence)
    words = seeded_words(2024)
    durations, values = ([], []), []
    for _ in range(1500):
        values.extend(gen.generate_with_random_words(words).observation().stream(0).values())
        ends = gen.sequence().boundaries()
        durations[0].append(ends[0])
        durations[1].append(ends[1] - ends[0])

    mix_mean = sum(w * mu for w, mu in zip(weights, means))
    mix_var = sum(w * (v + mu * mu) for w, mu, v in zip(weights, means, variances)) - mix_mean**2
    empirical = sum(values) / len(values)
    assert abs(empirical - mix_mean) < 4 * math.sqrt(mix_var / len(values))
    for state, (mean, variance) in enumerate(((3.5, 2.0), (1.2, 1.5))):
        expected, spread = rounded_duration_moments(mean, variance)
        sample = durations[state]
        assert abs(sum(sample) / len(sample) - expected) < 4 * math.sqrt(spread / len(sample))
