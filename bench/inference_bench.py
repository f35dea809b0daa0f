"""HSMM inference from Python through a prepared model: frames per second of forward_hsmm
plus backward_hsmm, beside the emission table that feeds them.

Shape: S = 100 positions, T = 5,000 frames, state radius 5, three streams of 40 dimensions,
8 components per mixture. Build the module in place first, then run from the project root:

    tools/dev-build.sh && PYTHONPATH=build/dev-pkg python3 bench/inference_bench.py
"""

import random
import time

import tarvek_rs

STATES = 100
FRAMES = 5000
RADIUS = 5.0
STREAMS = 3
DIMENSIONS = 40
COMPONENTS = 8
REPEATS = 5


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

    observation = cls("Observation")(FRAMES, [DIMENSIONS] * STREAMS)
    for k in range(STREAMS):
        values = [rng.gauss(0.0, 1.2) for _ in range(FRAMES * DIMENSIONS)]
        observation.set_stream(k, cls("ObservationStream")(DIMENSIONS, values))

    options = cls("HsmmOptions")()
    options.state_radius = RADIUS
    return model.prepare(cls("PreparationOptions")()), segmentation, observation, options, cls


def best_of(repeats, action):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    print(f"S = {STATES}, T = {FRAMES}, radius {RADIUS:g}, {STREAMS} streams x {DIMENSIONS} "
          f"dimensions, {COMPONENTS} components; best of {REPEATS}")
    for precision in ("F32", "F64"):
        prepared, segmentation, observation, options, cls = build(precision, random.Random(5))
        pruning = cls("EmissionPruning")(1, RADIUS)
        emissions = prepared.emission_log_probabilities(observation, segmentation, 1.0, pruning)
        emission_time = best_of(REPEATS, lambda: prepared.emission_log_probabilities(
            observation, segmentation, 1.0, pruning))
        forward_time = best_of(REPEATS, lambda: prepared.forward_hsmm(segmentation, emissions,
                                                                      options))
        backward_time = best_of(REPEATS, lambda: prepared.backward_hsmm(segmentation, emissions,
                                                                        options))
        both = forward_time + backward_time
        print(f"{precision}: forward+backward {FRAMES / both:12,.0f} frames/s "
              f"(forward {forward_time * 1e3:.2f} ms, backward {backward_time * 1e3:.2f} ms); "
              f"emission table (radius {RADIUS:g}) {FRAMES / emission_time:10,.0f} frames/s")


if __name__ == "__main__":
    main()
