"""Generation from Python random sources, generated observations and the sampling functions."""

import math
import random
import sys
import threading

import pytest

import tarvek_rs
from conftest import f32
from model_support import assert_closed, consumed, duration, fails, gaussian, make, model, stream

NORMAL_DRAW = "normal sampling requires radial in (0,1] and angular in [0,1]"
MIXTURE_DRAW = "mixture sampling requires weights and a uniform draw in [0,1]"
NOT_A_NUMBER = "uniform callback must return a number"
NOT_A_WORD = "random word callback must return a u32 integer"
EXHAUSTED = "uniform draw sequence exhausted"
SAMPLING = "sampling parameters must be finite with nonnegative variance"
OLD_BOUNDARIES = [1, 2, 3]
ALL_DRAWS = 2 * 3 + 11 * 5  # three segments, 11 frames of one 2-dimensional stream


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


def frame_values(observation):
    values, d = observation.stream(0).values(), observation.stream(0).dimensions
    return [values[t * d:(t + 1) * d] for t in range(observation.frames)]


def test_seeded_generation_counts_and_boundaries(precision):
    gen = generation(precision)
    result = gen.generate_with_random_words(seeded_words(7))
    observation = result.observation()
    dimensions = observation.stream(0).dimensions
    assert result.draws_used == 2 * 3 + observation.frames * (1 + 2 * dimensions)
    assert result.random_words_used == result.draws_used * (1 if precision == "F32" else 2)
    ends = gen.sequence().boundaries()
    assert ends[-1] == observation.frames and ends == sorted(ends) and ends[0] >= 1
    source = random.Random(3)  # a second generation starts afresh from the rewritten sequence
    again = gen.generate_with_uniform(lambda: 1.0 - source.random())
    assert again.random_words_used == 0
    assert again.draws_used == 2 * 3 + again.observation().frames * (1 + 2 * dimensions)


def test_draws_of_one_give_means_and_last_components(precision):
    class Quarter:
        def __float__(self):
            return 0.25

    # Radius zero: every sample is its mean; every component choice falls back to the last.
    for run in (lambda g: g.generate_with_uniform(constant(1.0)),
                lambda g: g.generate_with_uniform(constant(1)),
                lambda g: g.generate_with_uniform(constant(True)),
                lambda g: g.generate_with_random_words(constant(4294967295))):
        gen = generation(precision)
        assert frame_values(run(gen).observation()) == (
            [[2.0, 3.0]] * 3 + [[-2.0, 1.5]] * 5 + [[2.0, 3.0]] * 3)
        assert gen.sequence().boundaries() == [3, 8, 11]
    quarter = generation(precision).generate_with_uniform(constant(Quarter())).observation()
    plain = generation(precision).generate_with_uniform(constant(0.25)).observation()
    assert frame_values(plain) == frame_values(quarter)
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
        end += int(math.floor(max(sample(mean, variance, next(draws), next(draws)), 1.0) + 0.5))
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
    assert (result.draws_used, result.random_words_used) == (len(values) - len(list(draws)), 0)


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
    assert run(Counting(callback.value)).draws_used == ALL_DRAWS  # a fresh draw state


@pytest.mark.parametrize("mode, bad, message", [
    *[("uniform", bad, NOT_A_NUMBER) for bad in ("0.5", None, object())],
    *[("words", bad, NOT_A_WORD)
      for bad in (-1, 4294967296, 2.5, math.nan, math.inf, 10**400, "7", None)],
    ("uniform", 0.0, NORMAL_DRAW),  # radial draws must be positive
    ("uniform", 2.0, NORMAL_DRAW),  # no range check in the source: the sampling step refuses it
])
def test_refused_results_leave_the_sequence(precision, mode, bad, message):
    gen = generation(precision)
    callback = Counting(bad)
    run = gen.generate_with_uniform if mode == "uniform" else gen.generate_with_random_words
    fails(message, lambda: run(callback))
    assert gen.sequence().boundaries() == OLD_BOUNDARIES
    if mode == "words":
        assert callback.calls == 1  # latched: no further call
        fails(message, lambda: fn("uniform_sample", precision)(callback))
        assert callback.calls == 2  # the 64-bit form makes no second call after a failure


def test_tiny_uniforms_and_mismatched_sequences(precision):
    first = iter([1e-50])  # a valid radial in 64 bits, 0.0 in 32 bits
    tiny_first = lambda: next(first, 0.5)  # noqa: E731
    if precision == "F32":
        fails(NORMAL_DRAW, lambda: generation(precision).generate_with_uniform(tiny_first))
    else:
        assert generation(precision).generate_with_uniform(tiny_first).draws_used > 0
    sequence = make("Segmentation", precision, 2, 1)  # two streams, the model has one
    gen = make("Generation", precision, two_state_model(precision), sequence)
    fails("generation requires nonempty matching stream and state sequences",
          lambda: gen.generate_with_uniform(constant(0.5)))
    assert gen.sequence().boundaries() == [0] and gen.model().streams == 1


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_while_converting_results_propagate(precision, interrupt):
    class Stubborn:
        def __init__(self, error):
            self.error = error

        def __float__(self):
            raise self.error

        __index__ = __float__

    gen = generation(precision)
    for call in (gen.generate_with_uniform, gen.generate_with_random_words,
                 fn("uniform_sample", precision)):
        with pytest.raises(interrupt):
            call(constant(Stubborn(interrupt())))
    # Ordinary exceptions of the conversion are replaced by the message.
    fails(NOT_A_NUMBER, lambda: gen.generate_with_uniform(constant(Stubborn(ArithmeticError()))))
    fails(NOT_A_WORD, lambda: gen.generate_with_random_words(constant(Stubborn(ValueError()))))
    assert gen.sequence().boundaries() == OLD_BOUNDARIES


def test_uniform_values_from_the_model(precision):
    m, sequence = two_state_model(precision), three_segments(precision)
    fails(EXHAUSTED, lambda: m.generate_with_uniform_values(sequence, []),
          lambda: m.generate_with_uniform_values(sequence, [0.5, 0.5, 0.5]))
    assert sequence.boundaries() == OLD_BOUNDARIES
    result = m.generate_with_uniform_values(sequence, [1.0] * 1000)
    assert (result.draws_used, result.random_words_used) == (ALL_DRAWS, 0)
    assert sequence.boundaries() == [3, 8, 11]
    with pytest.raises(TypeError, match="sequence"):
        m.generate_with_uniform_values(m, [])
    sequence.free()
    with consumed():
        m.generate_with_uniform_values(sequence, [])


def test_life_cycle_copies_and_borrows(precision):
    m, sequence = two_state_model(precision), three_segments(precision)
    gen = make("Generation", precision, m, sequence)
    sequence.set_boundaries([5, 6, 7])  # the generation holds a copy
    copy = gen.cloned()
    assert copy.sequence().boundaries() == OLD_BOUNDARIES
    with pytest.raises(TypeError, match="model"):
        make("Generation", precision, sequence, m)
    sequence.close()
    with consumed():
        make("Generation", precision, m, sequence)
    gen.free()
    with consumed():  # the closed check comes before the callback is looked at
        gen.generate_with_uniform(42)
    for call in (copy.generate_with_random_words, fn("uniform_sample", precision)):
        with pytest.raises(TypeError, match="^callback must be callable$"):
            call(42)
    result = copy.generate_with_uniform(constant(1.0))
    duplicate = result.cloned()
    assert result.into_observation().frames == 11
    assert_closed(result, "into_observation", "draws_used", "observation")
    assert (duplicate.draws_used, duplicate.random_words_used) == (ALL_DRAWS, 0)

    def reenter():
        copy.model()
        return 0.5

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        copy.generate_with_uniform(reenter)
    assert not copy.is_closed and copy.sequence().boundaries() == [3, 8, 11]


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


def test_objects_are_bound_to_their_thread(precision, monkeypatch):
    gen = generation(precision)
    result = gen.generate_with_uniform(constant(1.0))
    for obj, use, stem in ((gen, gen.model, "generation"), (gen, gen.free, "generation"),
                           (result, lambda: result.draws_used, "generatedobservation")):
        error = run_in_thread(use)["error"]
        assert isinstance(error, BaseException) and not isinstance(error, Exception)
        assert str(error) == (f"_tarvek_rs::binding_{stem}{precision.lower()}::"
                              f"{type(obj).__name__} is unsendable, but sent to another thread")
    assert not gen.is_closed and result.draws_used == ALL_DRAWS
    # The module functions are not bound.
    assert run_in_thread(lambda: fn("uniform_sample", precision)(constant(0)))["result"] > 0
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    holder = [generation(precision)]
    assert run_in_thread(holder.clear) == {"result": None}  # the last reference goes there
    assert len(reports) == 1 and isinstance(reports[0].exc_value, RuntimeError)
    assert str(reports[0].exc_value) == (
        f"_tarvek_rs::binding_generation{precision.lower()}::Generation{precision} "
        "is unsendable, but is being dropped on another thread")
    del gen  # on its own thread: no report
    assert len(reports) == 1


def test_gaussian_sample(precision):
    sample = fn("gaussian_sample", precision)
    for angular in (0.0, 0.3, 0.5, 1.0):
        assert sample(0.0, 1.0, 1.0, angular) == 0.0 and sample(2.5, 0.0, 0.125, angular) == 2.5
    for angular in (0.0, 1.0):  # both ends give a cosine close to +1
        assert sample(0.0, 1.0, 0.5, angular) == pytest.approx(math.sqrt(-2 * math.log(0.5)),
                                                              rel=1e-3)
    assert sample(1.0, -0.0, 0.5, 0.5) == 1.0
    fails(NORMAL_DRAW, *[lambda r=r, a=a: sample(0.0, 1.0, r, a) for r, a in (
        (0.0, 0.5), (-0.0, 0.5), (1.5, 0.5), (0.5, -0.1), (0.5, 1.01), (math.nan, 0.5))])
    fails(SAMPLING, lambda: sample(math.inf, 1.0, 0.5, 0.5), lambda: sample(0.0, -1.0, 0.5, 0.5),
          lambda: sample(0.0, math.nan, 0.5, 0.5))
    if precision == "F64":
        fails(SAMPLING, lambda: sample(0.0, -1e-300, 0.5, 0.5))
        fails("normal sample overflows", lambda: sample(0.0, 1e308, 1e-300, 0.0))
    else:
        assert sample(0.0, -1e-300, 0.5, 0.5) == 0.0  # -1e-300 rounds to -0.0
        # Arguments are 32-bit, so the radius stays far below the range: never overflows.
        assert math.isfinite(sample(3e38, 3e38, 1e-45, 0.0))


def test_choose_component(precision):
    choose = fn("choose_component", precision)
    for weights, uniform, index in (([0.5, 0.5], 0.5, 1), ([0.5, 0.5], 0.0, 0),
                                    ([0.2, 0.2], 0.9, 1), ([0.0, 0.0, 0.0], 0.0, 2),
                                    ([0.0, 0.3, 0.7], 0.0, 1), ([-0.0, 1.0], 1.0, 1)):
        assert choose(weights, uniform) == index
    fails(MIXTURE_DRAW, *[lambda w=w, u=u: choose(w, u) for w, u in (
        ([], 0.5), ([1.0], 1.5), ([1.0], -0.1), ([-1.0, 2.0], 0.5), ([math.nan], 0.5),
        ([1.0], math.nan))])


def test_uniform_sample_from_words(precision):
    uniform = fn("uniform_sample", precision)
    bits = 24 if precision == "F32" else 53
    for word in (0, -0.0, False):
        assert uniform(constant(word)) == 2.0**-bits
    assert uniform(constant(4294967295)) == 1.0
    words = iter([0x12345678, 0x9ABCDEF0])  # the first word is the low half in 64 bits
    kept = 0x12345678 >> 8 if precision == "F32" else (0x9ABCDEF0 << 32 | 0x12345678) >> 11
    assert uniform(lambda: next(words)) == (kept + 1) * 2.0**-bits
    with pytest.raises(ZeroDivisionError):
        uniform(lambda: 1 / 0)


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
    assert abs(sum(values) / len(values) - mix_mean) < 4 * math.sqrt(mix_var / len(values))
    for state, (mean, variance) in enumerate(((3.5, 2.0), (1.2, 1.5))):
        expected, spread = rounded_duration_moments(mean, variance)
        sample = durations[state]
        assert abs(sum(sample) / len(sample) - expected) < 4 * math.sqrt(spread / len(sample))
