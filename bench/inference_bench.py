"""HSMM inference from Python through a prepared model: frames per second of forward_hsmm
plus backward_hsmm, beside the emission table that feeds them.

Shape: S = 100 positions, T = 5,000 frames, state radius 5, three streams of 40 dimensions,
8 components per mixture. Build the module in place first, then run from the project root:

    tools/dev-build.sh && PYTHONPATH=build/dev-pkg python3 bench/inference_bench.py
"""

import random

from bench_support import (best_of, chain_segmentation, classes, hsmm_options,
                           random_chain_model, random_observation)

STATES = 100
FRAMES = 5000
RADIUS = 5.0
STREAMS = 3
DIMENSIONS = 40
COMPONENTS = 8
REPEATS = 5


def build(precision, rng):
    cls = classes(precision)
    model = random_chain_model(cls, rng, STATES, STREAMS, COMPONENTS, DIMENSIONS, FRAMES)
    segmentation = chain_segmentation(cls, STREAMS, STATES, FRAMES)
    observation = random_observation(cls, rng, FRAMES, STREAMS, DIMENSIONS)
    prepared = model.prepare(cls("PreparationOptions")())
    return prepared, segmentation, observation, hsmm_options(cls, RADIUS), cls


def main():
    print(f"S = {STATES}, T = {FRAMES}, radius {RADIUS:g}, {STREAMS} streams x {DIMENSIONS} "
          f"dimensions, {COMPONENTS} components; best of {REPEATS}")
    for precision in ("F32", "F64"):
        prepared, segmentation, observation, options, cls = build(precision, random.Random(5))
        pruning = cls("EmissionPruning")(1, RADIUS)
        emissions = prepared.emission_log_probabilities(observation, segmentation, 1.0, pruning)
        emission_time, _ = best_of(REPEATS, lambda: prepared.emission_log_probabilities(
            observation, segmentation, 1.0, pruning))
        forward_time, _ = best_of(REPEATS, lambda: prepared.forward_hsmm(segmentation, emissions,
                                                                         options))
        backward_time, _ = best_of(REPEATS, lambda: prepared.backward_hsmm(
            segmentation, emissions, options))
        both = forward_time + backward_time
        print(f"{precision}: forward+backward {FRAMES / both:12,.0f} frames/s "
              f"(forward {forward_time * 1e3:.2f} ms, backward {backward_time * 1e3:.2f} ms); "
              f"emission table (radius {RADIUS:g}) {FRAMES / emission_time:10,.0f} frames/s")


if __name__ == "__main__":
    main()
