"""One expectation-maximisation iteration from Python, in frames per second: fresh statistics,
`estimate_hsmm` over every utterance of a small data set, then the model's `update`.

Shape: S = 100 positions, T = 5,000 frames per utterance, 4 utterances, state radius 5, three
streams of 40 dimensions, 8 components per mixture. Build the module in place first, then run
from the project root:

    tools/dev-build.sh && PYTHONPATH=build/dev-pkg python3 bench/training_bench.py
"""

import random
import time

import tarvek_rs

STATES = 100
FRAMES = 5000
UTTERANCES = 4
RADIUS = 5.0
STREAMS = 3
DIMENSIONS = 40
COMPONENTS = 8
REPEATS = 3


def build(precision, rng):
    cls = lambda name: getattr(tarvek_rs, name + precision)  # noqa: E731
    model = cls("Model")([STATES, COMPONENTS, DIMENSIONS] * STREAMS, STATES)
    cells = COMPONENTS * DIMENSIONS
    for k in range(STREAMS):
        stream = model.stream(k)
        for s in range(STATES):
            mixture = cls("Gaussian")(COMPONENTS, DIMENSIONS)
            mixture.replace(DIMENSIONS, [1.0 / COMPONENTS] * COMPONENTS,
                            [rng.gauss(0.0, 1.0) for _ in range(cells)],
                            [rng.uniform(0.5, 2.0) for _ in range(cells)], [0.0] * cells)
            stream.set_emission(s, mixture)
        model.set_stream(k, stream)
    length = FRAMES // STATES
    for s in range(STATES):
        law = cls("Duration")()
        law.set_values([float(length), float(length * 2), 0.0])
        model.set_duration(s, law)

    segmentation = cls("Segmentation")(STREAMS, STATES)
    segmentation.set_boundaries([length * (s + 1) for s in range(STATES)])
    segmentation.set_duration_states(list(range(STATES)))
    for k in range(STREAMS):
        segmentation.set_output_states(k, list(range(STATES)))

    data = []
    for _ in range(UTTERANCES):
        observation = cls("Observation")(FRAMES, [DIMENSIONS] * STREAMS)
        for k in range(STREAMS):
            values = [rng.gauss(0.0, 1.2) for _ in range(FRAMES * DIMENSIONS)]
            observation.set_stream(k, cls("ObservationStream")(DIMENSIONS, values))
        data.append((observation, segmentation))

    options = cls("HsmmOptions")()
    options.state_radius = RADIUS
    return model, data, options, cls


def iteration(model, data, options, cls):
    """Returns the seconds spent estimating and updating."""
    start = time.perf_counter()
    statistics = cls("ModelStatistics").from_model(model)
    for observation, segmentation in data:
        statistics.estimate_hsmm(model, observation, segmentation, options)
    estimated = time.perf_counter()
    model.update(statistics, cls("UpdateOptions")())
    return estimated - start, time.perf_counter() - estimated


def main():
    print(f"S = {STATES}, {UTTERANCES} utterances x T = {FRAMES}, radius {RADIUS:g}, "
          f"{STREAMS} streams x {DIMENSIONS} dimensions, {COMPONENTS} components; "
          f"best of {REPEATS}")
    total_frames = UTTERANCES * FRAMES
    for precision in ("F32", "F64"):
        model, data, options, cls = build(precision, random.Random(5))
        runs = [iteration(model, data, options, cls) for _ in range(REPEATS)]
        estimate, update = min(runs, key=sum)
        print(f"{precision}: one EM iteration {total_frames / (estimate + update):10,.0f} "
              f"frames/s (estimation {estimate * 1e3:.1f} ms, update {update * 1e3:.2f} ms)")


if __name__ == "__main__":
    main()
