"""One expectation-maximisation iteration from Python, in frames per second: fresh statistics,
`estimate_hsmm` over every utterance of a small data set, then the model's `update`.

Shape: S = 100 positions, T = 5,000 frames per utterance, 4 utterances, state radius 5, three
streams of 40 dimensions, 8 components per mixture. Build the module in place first, then run
from the project root:

    tools/dev-build.sh && PYTHONPATH=build/dev-pkg python3 bench/training_bench.py
"""

import random
import time

from bench_support import (chain_segmentation, classes, hsmm_options, random_chain_model,
                           random_observation)

STATES = 100
FRAMES = 5000
UTTERANCES = 4
RADIUS = 5.0
STREAMS = 3
DIMENSIONS = 40
COMPONENTS = 8
REPEATS = 3


def build(precision, rng):
    cls = classes(precision)
    model = random_chain_model(cls, rng, STATES, STREAMS, COMPONENTS, DIMENSIONS, FRAMES)
    segmentation = chain_segmentation(cls, STREAMS, STATES, FRAMES)
    data = [(random_observation(cls, rng, FRAMES, STREAMS, DIMENSIONS), segmentation)
            for _ in range(UTTERANCES)]
    return model, data, hsmm_options(cls, RADIUS), cls


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
