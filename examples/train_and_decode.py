"""The main job end to end: generate a training set from a known duration model, train a second
model on it with EM, decode with Viterbi, and plot the training curve and the learned durations.

Writes train_and_decode.png beside this script.
"""

import math
import pathlib
import random

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import tarvek_rs as t  # noqa: E402

# Three real positions, then a one-frame end marker with states of its own: the last position
# of a segmentation never receives posteriors, so nothing is learned there.
TRUE_MEANS = [[0.0, 0.0], [4.0, -2.0], [-3.0, 3.0], [100.0, 100.0]]
TRUE_DURATIONS = [(6.0, 2.0), (10.0, 4.0), (7.0, 2.0), (1.0, 0.5)]
REAL = 3
UTTERANCES = 60
ITERATIONS = 10

# An observation with the segmentation it is aligned to.
Utterance = tuple[t.ObservationF64, t.SegmentationF64]


def gaussian(mean: list[float], variance: float) -> t.GaussianF64:
    mixture = t.GaussianF64(1, len(mean))
    mixture.replace(len(mean), [1.0], mean, [variance] * len(mean), [0.01] * len(mean))
    return mixture


def duration(mean: float, variance: float) -> t.DurationF64:
    law = t.DurationF64()
    law.set_values([mean, variance, 0.05])
    return law


def build_model(
    means: list[list[float]], durations: list[tuple[float, float]], variance: float = 1.0
) -> t.ModelF64:
    stream = t.StreamBuilderF64(len(means))
    for state, mean in enumerate(means):
        stream.set_emission(state, gaussian(mean, variance))
    builder = t.ModelBuilderF64(1, len(durations))
    builder.set_stream(0, stream.build())
    for state, law in enumerate(durations):
        builder.set_duration(state, duration(*law))
    return builder.build()


def duration_values(model: t.ModelF64, state: int) -> list[float]:
    """The mean, variance and variance floor of a state's duration law."""
    law = model.duration(state)
    assert law is not None
    return law.values()


def emission_means(model: t.ModelF64, state: int) -> list[float]:
    """The means of a state's mixture in the only stream."""
    stream = model.stream(0)
    mixture = stream.emission(state) if stream is not None else None
    assert mixture is not None
    return mixture.means()


def chain() -> t.SegmentationF64:
    """A segmentation naming positions 0..3 in order; generation fills in the boundaries."""
    segmentation = t.SegmentationF64(1, len(TRUE_MEANS))
    states = list(range(len(TRUE_MEANS)))
    segmentation.set_duration_states(states)
    segmentation.set_output_states(0, states)
    return segmentation


def generate(model: t.ModelF64, rng: random.Random) -> list[Utterance]:
    """Observations with their true alignments, drawn with a seeded 32-bit word source."""
    generation = t.GenerationF64(model, chain())
    data = []
    for _ in range(UTTERANCES):
        generated = generation.generate_with_random_words(lambda: rng.getrandbits(32))
        data.append((generated.observation(), generation.sequence()))
    return data


def flat_start(observation: t.ObservationF64) -> t.SegmentationF64:
    """An even split of the real positions, the end marker on the last frame."""
    frames = observation.frames
    segmentation = chain()
    inner = frames - 1
    segmentation.set_boundaries([inner * (k + 1) // REAL for k in range(REAL)] + [frames])
    return segmentation


def initialise(data: list[Utterance]) -> t.ModelF64:
    """A model estimated from hard alignments (collect_initialization, then update)."""
    model = build_model([[1.0, 1.0]] * len(TRUE_MEANS), [(5.0, 3.0)] * len(TRUE_DURATIONS))
    statistics = t.ModelStatisticsF64.from_model(model)
    for observation, _ in data:
        statistics.collect_initialization(model, observation, flat_start(observation))
    model.update(statistics, t.UpdateOptionsF64())
    return model


def train(model: t.ModelF64, data: list[Utterance], options: t.HsmmOptionsF64) -> list[float]:
    totals = []
    for iteration in range(ITERATIONS):
        statistics = t.ModelStatisticsF64.from_model(model)
        total = sum(statistics.estimate_hsmm(model, observation, segmentation, options)
                    for observation, segmentation in data)
        model.update(statistics, t.UpdateOptionsF64())
        totals.append(total)
        print(f"iteration {iteration + 1:2d}: log-likelihood {total:12.3f}")
    return totals


def decode(
    model: t.ModelF64,
    observation: t.ObservationF64,
    segmentation: t.SegmentationF64,
    options: t.HsmmOptionsF64,
) -> tuple[list[int], float]:
    prepared = model.prepare(t.PreparationOptionsF64())
    pruning = t.EmissionPruningF64(1, options.state_radius)
    emissions = prepared.emission_log_probabilities(observation, segmentation, 1.0, pruning)
    path = prepared.viterbi_hsmm(segmentation, emissions, options)
    occurrences = path.occurrences()
    return occurrences[1::2], path.log_probability()[0]


def duration_pdf(mean: float, variance: float, xs: list[float]) -> list[float]:
    return [math.exp(-0.5 * (x - mean) ** 2 / variance) / math.sqrt(2 * math.pi * variance)
            for x in xs]


def main() -> None:
    rng = random.Random(7)
    truth = build_model(TRUE_MEANS, TRUE_DURATIONS, variance=1.5)
    data = generate(truth, rng)
    print(f"generated {len(data)} utterances, {sum(o.frames for o, _ in data)} frames")

    model = initialise(data)
    options = t.HsmmOptionsF64()
    options.state_radius = 4.0  # positions a frame may be aligned to on either side
    # Train from the flat-start alignments: the reference segmentations only give the chain.
    training = [(observation, flat_start(observation)) for observation, _ in data]
    totals = train(model, training, options)

    observation, true_alignment = data[0]
    ends, score = decode(model, observation, flat_start(observation), options)
    print(f"decoded segment ends {ends} (score {score:.2f}); true ends {true_alignment.boundaries()}")
    for state in range(REAL):
        mean, variance, _ = duration_values(model, state)
        print(f"position {state}: duration mean {mean:5.2f} (true {TRUE_DURATIONS[state][0]}),"
              f" emission mean {emission_means(model, state)}")

    figure, (curve, durations) = plt.subplots(1, 2, figsize=(11, 4))
    curve.plot(range(1, ITERATIONS + 1), totals, marker="o")
    curve.set_xlabel("EM iteration")
    curve.set_ylabel("total log-likelihood")
    curve.set_title("Training")
    xs = [x / 10 for x in range(0, 200)]
    for state in range(REAL):
        true_mean, true_variance = TRUE_DURATIONS[state]
        mean, variance, _ = duration_values(model, state)
        line, = durations.plot(xs, duration_pdf(true_mean, true_variance, xs), linestyle="--")
        durations.plot(xs, duration_pdf(mean, variance, xs), color=line.get_color(),
                       label=f"position {state}")
    durations.set_xlabel("duration (frames)")
    durations.set_title("Durations: true (dashed) and trained")
    durations.legend()
    output = pathlib.Path(__file__).with_name("train_and_decode.png")
    figure.tight_layout()
    figure.savefig(output)
    print(f"saved {output}")


if __name__ == "__main__":
    main()
