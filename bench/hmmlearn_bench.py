"""Geometric (plain HMM) inference side by side with hmmlearn, in one process, on the same
left-to-right model and data.

Shape: S = 50 positions (51 hmmlearn states: the last position advances into an absorbing
sink whose mean lies far from every frame), D = 40 dimensions, T = 10,000 frames, one
diagonal Gaussian per position. This library runs emission scoring (linear-band pruning at
the slope) + forward_geometric + backward_geometric + geometric_occupancies; hmmlearn runs
score_samples, which also computes the emissions, both passes and the posteriors. At slope
1.0 the band covers every cell, so both compute the same log likelihood; the default slope
0.3 is timed separately. Times are this thread's processor time, so BLAS must run on the
calling thread alone. Build the module in place first, then run from the project root:

    tools/dev-build.sh && OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 \
        PYTHONPATH=build/dev-pkg taskset -c 2 python3 bench/hmmlearn_bench.py
"""

import numpy as np
from hmmlearn import hmm

from bench_support import (best_of, chain_model, chain_segmentation, classes,
                           observation_from)

POSITIONS = 50
DIMENSIONS = 40
FRAMES = 10000
REPEATS = 3
SLOPES = (1.0, 0.3)


def problem(rng):
    means = rng.normal(0.0, 1.0, (POSITIONS, DIMENSIONS))
    variances = rng.uniform(0.5, 2.0, (POSITIONS, DIMENSIONS))
    length = FRAMES // POSITIONS
    truth = np.repeat(np.arange(POSITIONS), length)
    data = means[truth] + rng.normal(0.0, 1.0, (FRAMES, DIMENSIONS)) * np.sqrt(variances[truth])
    return means, variances, float(length), data


def ours(precision, means, variances, mean_duration, data):
    cls = classes(precision)
    mixtures = [[(list(means[s]), list(variances[s])) for s in range(POSITIONS)]]
    model = chain_model(cls, 1, DIMENSIONS, mixtures, [(mean_duration, 1.0)] * POSITIONS)
    segmentation = chain_segmentation(cls, 1, POSITIONS, FRAMES)
    observation = observation_from(cls, FRAMES, DIMENSIONS, [data.ravel().tolist()])

    def run(slope):
        options = cls("GeometricOptions")()
        options.temperature, options.pruning_slope = 1.0, slope
        emissions = model.emission_log_probabilities(observation, segmentation, 1.0,
                                                     cls("EmissionPruning")(2, slope))
        forward = model.forward_geometric(segmentation, emissions, options)
        backward = model.backward_geometric(segmentation, emissions, options)
        total = backward.backward_log_probability(emissions)
        forward.geometric_occupancies(backward, total, slope)
        return total

    return run


def reference(means, variances, mean_duration, data):
    model = hmm.GaussianHMM(n_components=POSITIONS + 1, covariance_type="diag", init_params="",
                            params="")
    model.startprob_ = np.eye(POSITIONS + 1)[0]
    p = 1.0 / max(mean_duration, 1.01)
    transitions = np.zeros((POSITIONS + 1, POSITIONS + 1))
    for s in range(POSITIONS):
        transitions[s, s], transitions[s, s + 1] = 1.0 - p, p
    transitions[POSITIONS, POSITIONS] = 1.0
    model.transmat_ = transitions
    model.means_ = np.vstack([means, np.full(DIMENSIONS, np.abs(data).max() + 1e3)])
    model.covars_ = np.vstack([variances, np.ones(DIMENSIONS)])
    return lambda: model.score_samples(data)[0]


def main():
    means, variances, mean_duration, data = problem(np.random.default_rng(11))
    print(f"S = {POSITIONS} positions ({POSITIONS + 1} hmmlearn states), D = {DIMENSIONS}, "
          f"T = {FRAMES}, diagonal covariances; best of {REPEATS}")
    their_time, their_total = best_of(REPEATS, reference(means, variances, mean_duration, data))
    print(f"hmmlearn score_samples: {their_time * 1e3:9.1f} ms, log likelihood {their_total:.6f}")
    for precision in ("F64", "F32"):
        run = ours(precision, means, variances, mean_duration, data)
        for slope in SLOPES:
            our_time, our_total = best_of(REPEATS, lambda: run(slope))
            print(f"{precision} slope {slope:.1f}: {our_time * 1e3:9.1f} ms "
                  f"({their_time / our_time:5.1f}x hmmlearn's speed), log likelihood "
                  f"{our_total:.6f} (difference {our_total - their_total:+.2e}, relative "
                  f"{abs(our_total - their_total) / abs(their_total):.1e})")


if __name__ == "__main__":
    main()
