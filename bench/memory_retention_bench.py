"""What the library keeps after the work shrinks, and what a long call costs the first and the
second time: with the block cache as built, and with it disabled (TARVEK_BLOCK_CACHE=0 in the
environment, read once per process: every table then takes its memory from the heap, as a
plain vector does).

In a fresh process per run: the inputs of one long geometric call are built (T = 2,000,000
frames x 50 positions in F32 unless given, scores in [-8, 0)), then the long call runs twice:
forward_geometric, backward_geometric and viterbi_geometric, each result dropped at once. Then
200 short calls (T = 2,000, the same three passes), every result dropped, and the growth of the
resident set from just before the first long call; last, the same growth once the long call's
inputs are dropped too, from before they were built. Printed per mode: the median over the
rounds of each call's processor time (this thread's, kernel time included) and of both
growths. Build the module in place first, then run from the project root:

    tools/dev-build.sh && PYTHONPATH=build/dev-pkg python3 bench/memory_retention_bench.py \
        [ROUNDS [FRAMES [PRECISION]]]
"""

import gc
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np
from bench_support import classes, geometric_inputs

ROUNDS = 3
FRAMES = 2_000_000
POSITIONS = 50
SHORT_FRAMES = 2_000
SHORT_CALLS = 200
SLOPE = 0.2
DISABLED = {"TARVEK_BLOCK_CACHE": "0"}


def inputs(cls, dtype, frames):
    model, segmentation, emissions, options, _ = geometric_inputs(cls, dtype, frames, POSITIONS,
                                                                  SLOPE)
    return model, segmentation, emissions, options


def call(model, segmentation, emissions, options):
    """The three passes, each result dropped at once; this thread's processor time."""
    start = time.thread_time()
    model.forward_geometric(segmentation, emissions, options)
    model.backward_geometric(segmentation, emissions, options)
    model.viterbi_geometric(segmentation, emissions, options)
    return time.thread_time() - start


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child(frames, precision):
    cls = classes(precision)
    dtype = np.float32 if precision == "F32" else np.float64
    short = inputs(cls, dtype, SHORT_FRAMES)
    gc.collect()
    before_inputs = resident_bytes()
    long = inputs(cls, dtype, frames)
    gc.collect()
    before = resident_bytes()
    first = call(*long)
    repeated = call(*long)
    gc.collect()
    for _ in range(SHORT_CALLS):
        call(*short)
    gc.collect()
    after = resident_bytes()
    del long
    gc.collect()
    print(json.dumps({"first": first, "repeated": repeated, "kept": after - before,
                      "kept_without_inputs": resident_bytes() - before_inputs}))


def run_child(frames, precision, disabled):
    environment = {k: v for k, v in os.environ.items() if k not in DISABLED}
    if disabled:
        environment.update(DISABLED)
    output = subprocess.run([sys.executable, __file__, "--child", str(frames), precision],
                            env=environment, capture_output=True, text=True, check=True).stdout
    return json.loads(output.splitlines()[-1])


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else ROUNDS
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else FRAMES
    precision = sys.argv[3] if len(sys.argv) > 3 else "F32"
    print(f"{precision} geometric forward, backward and Viterbi at T = {frames:,} x {POSITIONS}, "
          f"twice, then {SHORT_CALLS} calls at T = {SHORT_FRAMES:,}; {rounds} alternated rounds, "
          f"medians.\nResident growth: from before the first long call (its inputs alive), and "
          f"from before its inputs were built (inputs dropped).")
    print(f"{'block cache':12} {'first long':>11} {'repeated':>10} {'resident MiB':>13} "
          f"{'without inputs':>15}")
    runs = {False: [], True: []}
    for r in range(rounds):
        for disabled in ((False, True) if r % 2 == 0 else (True, False)):
            runs[disabled].append(run_child(frames, precision, disabled))
    for disabled in (False, True):
        def median(key):
            return statistics.median(run[key] for run in runs[disabled])

        print(f"{'disabled' if disabled else 'as built':12} {median('first'):9.3f} s "
              f"{median('repeated'):8.3f} s {median('kept') / 2**20:13.1f} "
              f"{median('kept_without_inputs') / 2**20:15.1f}", flush=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(int(sys.argv[2]), sys.argv[3])
    else:
        main()
