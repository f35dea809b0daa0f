"""What a call costs when it runs alone in a fresh process, against the same call in a process
whose C library never hands its heap back to the kernel (MALLOC_TOP_PAD_ of 64 MiB): a call
whose freed tables go back to the kernel pays on the next call for faulting every page in
again, the kernel zero-filling each, and what it pays would then depend on what else the
process did before.

Each path runs in its own child process, `CALLS` calls (fewer for the EM iteration), as-is and
with the heap kept, in alternated order over `ROUNDS` rounds; per process the median and the
mean of this thread's processor time per call, and the page faults per call. Printed per path:
the median over the rounds of each, and the ratio as-is / kept.

The paths, in both precisions: forward_geometric + backward_geometric and viterbi_geometric
(T = 10,000 frames, 50 positions, slope 0.2, scores made in the table's own precision),
estimate_hsmm (T = 2,000, 100 states, 3 streams of 8-component, 40-dimension mixtures, radius
5) and one EM iteration as bench/training_bench.py (4 utterances of T = 5,000).

What the calls leave allocated is read from the C library's own figures, with no call of the
library: the bytes it counts as handed out (`mallinfo2`: uordblks + hblkhd) after the last
call, every result dropped, less those before the first call, the inputs built. That counts
anything the calls left on the heap, but none of the C library's own free memory, nor the
blocks the library's block cache keeps (mappings of their own, which the C library does not
see). Printed beside it, the growth of the resident set over the same span, which counts both;
both from the as-is runs. Build the module in
place first, then run from the project root (the optional argument is the number of rounds):

    tools/dev-build.sh && PYTHONPATH=build/dev-pkg python3 bench/heap_reuse_bench.py [ROUNDS]
"""

import ctypes
import gc
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time

import numpy as np
from bench_support import (chain_segmentation, classes, geometric_inputs, hsmm_options,
                           random_chain_model, random_observation)

ROUNDS = 7
CALLS = 50
EM_CALLS = 12
KEPT_HEAP = {"MALLOC_TOP_PAD_": "67108864"}

GEOMETRIC_FRAMES = 10000
GEOMETRIC_POSITIONS = 50
GEOMETRIC_SLOPE = 0.2


def geometric_inputs_kept(cls, dtype):
    # The array is kept: a large block freed before the calls would change how the C library
    # treats the blocks of the calls.
    return geometric_inputs(cls, dtype, GEOMETRIC_FRAMES, GEOMETRIC_POSITIONS, GEOMETRIC_SLOPE)


def forward_backward(cls, dtype):
    model, segmentation, emissions, options, scores = geometric_inputs_kept(cls, dtype)
    return lambda: (model.forward_geometric(segmentation, emissions, options),
                    model.backward_geometric(segmentation, emissions, options), scores)


def viterbi(cls, dtype):
    model, segmentation, emissions, options, scores = geometric_inputs_kept(cls, dtype)
    return lambda: (model.viterbi_geometric(segmentation, emissions, options), scores)


def estimation_inputs(cls, frames, utterances):
    """The shape of bench/training_bench.py: S = 100, radius 5, 3 streams x 40 dimensions, 8
    components."""
    rng = random.Random(5)
    model = random_chain_model(cls, rng, 100, 3, 8, 40, frames)
    segmentation = chain_segmentation(cls, 3, 100, frames)
    data = [(random_observation(cls, rng, frames, 3, 40), segmentation)
            for _ in range(utterances)]
    return model, data, hsmm_options(cls, 5.0)


def estimate_hsmm(cls, dtype):
    model, [(observation, segmentation)], options = estimation_inputs(cls, 2000, 1)
    statistics_ = cls("ModelStatistics").from_model(model)
    return lambda: statistics_.estimate_hsmm(model, observation, segmentation, options)


def em_iteration(cls, dtype):
    model, data, options = estimation_inputs(cls, 5000, 4)
    update_options = cls("UpdateOptions")()

    def iteration():
        statistics_ = cls("ModelStatistics").from_model(model)
        for observation, segmentation in data:
            statistics_.estimate_hsmm(model, observation, segmentation, options)
        model.update(statistics_, update_options)

    return iteration


PATHS = {
    "forward+backward geometric": (forward_backward, CALLS),
    "viterbi_geometric": (viterbi, CALLS),
    "estimate_hsmm": (estimate_hsmm, CALLS),
    "one EM iteration": (em_iteration, EM_CALLS),
}


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def handed_out_bytes():
    """The bytes the C library counts as in use: in its heaps and in blocks of their own
    mapping."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child(path, precision):
    """Runs one path's calls; prints one line of JSON."""
    setup, calls = PATHS[path]
    call = setup(classes(precision), np.float32 if precision == "F32" else np.float64)
    gc.collect()
    handed_out, resident = handed_out_bytes(), resident_bytes()
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    times = []
    for _ in range(calls):
        start = time.thread_time()
        result = call()
        times.append(time.thread_time() - start)
        result = None
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    gc.collect()
    print(json.dumps({"median": statistics.median(times), "mean": statistics.fmean(times),
                      "faults": faults / calls,
                      "kept": handed_out_bytes() - handed_out,
                      "resident": resident_bytes() - resident}))


def run_child(path, precision, kept_heap):
    environment = dict(os.environ)
    for name in KEPT_HEAP:
        environment.pop(name, None)
    if kept_heap:
        environment.update(KEPT_HEAP)
    output = subprocess.run([sys.executable, __file__, "--child", path, precision],
                            env=environment, capture_output=True, text=True, check=True).stdout
    return json.loads(output.splitlines()[-1])


def ceiling_share_mib(share):
    """`share` of this machine's memory plus swap (the allocation ceiling when no control group
    sets a lower one), in MiB."""
    sizes = {}
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            key, value = line.split(":")
            sizes[key] = int(value.split()[0])
    return (sizes["MemTotal"] + sizes.get("SwapTotal", 0)) * share / 1024


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else ROUNDS
    print(f"Each path alone in a fresh process, as-is and with the heap kept (MALLOC_TOP_PAD_ = "
          f"64 MiB), {rounds} alternated rounds.\nPer process the median processor time per call "
          f"over {CALLS} calls ({EM_CALLS} for the EM iteration), then the median over the "
          f"rounds;\nthe ratio of the medians, and of the means. After the last call of the "
          f"as-is runs: what the C library counts\nas handed out beyond what it did before the "
          f"first call (results dropped), and the growth of the resident set.")
    print(f"{'path':38} {'as-is':>9} {'kept':>9} {'ratio':>6} {'means':>7} "
          f"{'faults/call':>15} {'heap MiB':>9} {'resident MiB':>13}")
    for path in PATHS:
        for precision in ("F32", "F64"):
            runs = {False: [], True: []}
            for r in range(rounds):
                for kept_heap in ((False, True) if r % 2 == 0 else (True, False)):
                    runs[kept_heap].append(run_child(path, precision, kept_heap))

            def median(kept_heap, key):
                return statistics.median(run[key] for run in runs[kept_heap])

            as_is, kept = median(False, "median"), median(True, "median")
            means = median(False, "mean") / median(True, "mean")
            print(f"{precision} {path:34} {as_is * 1e3:6.2f} ms {kept * 1e3:6.2f} ms "
                  f"{as_is / kept:5.2f}x {means:6.2f}x {median(False, 'faults'):7,.0f} / "
                  f"{median(True, 'faults'):<7,.0f} {median(False, 'kept') / 2**20:8.1f} "
                  f"{median(False, 'resident') / 2**20:12.1f}", flush=True)
    print(f"(The library keeps at most 1/16 of the allocation ceiling in blocks: here "
          f"{ceiling_share_mib(1 / 16):,.0f} MiB, "
          f"unless a control group sets a lower ceiling.)")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3])
    else:
        main()
