"""What the tables' memory costs on the work users run, as built, with the block cache off
(TARVEK_BLOCK_CACHE=0: every table from the heap, as a plain vector) and with the cache off and
a heap that is never handed back ("kept heap": glibc told to keep its top, never trim, never map
a block on its own), the best case of reuse. Every run is a fresh process on one core; the
three modes alternate round by round. Printed: the ratios of time to the kept heap's, minor
page faults, and peak and final resident memory.

- em: EM over a corpus of 50 utterances, lengths log-uniform in 500-20,000 frames, a 400-state
  chain model (1 stream, 4 components x 13 dimensions, durations of mean 50), each utterance a
  chain of T/50 consecutive states; per epoch fresh statistics, estimate_hsmm (radius 5) or
  estimate_geometric (slope 0.2) over every utterance, then update. Epochs 2-3 are timed.
- serve: a geometric forward, backward and Viterbi at T = 50,000 (20 MB tables) or 200,000
  (80 MB) in F64, dropped, then 100, 200 or 1,000 short calls (T = 2,000), over and over; the
  long calls after the first are timed.
- idle: one geometric call at T = 50,000 F64 (medium) or 2,000,000 F32 (long), every result
  dropped, 11 seconds without a call, then one short call: the resident set then, against
  where the process started.
- paths: bench/heap_reuse_bench.py's paths, each alone in its process; the median call.

Build the module in place first, then run from the project root (the optional arguments: the
number of rounds, then the workloads to run, of em, serve, idle, paths; BENCH_CORE picks the
core, 7 unless set):

    tools/dev-build.sh && PYTHONPATH=build/dev-pkg python3 bench/table_memory_bench.py [ROUNDS [WORKLOAD...]]
"""

import gc
import json
import math
import os
import random
import resource
import statistics
import subprocess
import sys
import time

import numpy as np
from bench_support import classes, geometric_inputs, hsmm_options, random_chain_model

ROUNDS = 3
MODES = {
    "as built": {},
    "cache off": {"TARVEK_BLOCK_CACHE": "0"},
    "kept heap": {"TARVEK_BLOCK_CACHE": "0", "MALLOC_TOP_PAD_": "1073741824",
                  "MALLOC_TRIM_THRESHOLD_": "8589934592", "MALLOC_MMAP_MAX_": "0"},
}
CORE = os.environ.get("BENCH_CORE", "7")

STATES, DURATION, DIMENSIONS, COMPONENTS = 400, 50, 13, 4
UTTERANCES, SHORTEST, LONGEST = 50, 500, 20_000
EPOCHS = 3
POSITIONS, SLOPE, SHORT_FRAMES = 50, 0.2, 2_000
SERVING = [(50_000, 100), (50_000, 200), (50_000, 1000), (200_000, 100), (200_000, 200)]
LONG_CALLS = 5
IDLE = {"medium": (50_000, "F64"), "long": (2_000_000, "F32")}
IDLE_SECONDS = 11


def status_kib(name):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise KeyError(name)


def faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def corpus(cls, rng):
    model = random_chain_model(cls, rng, STATES, 1, COMPONENTS, DIMENSIONS, STATES * DURATION)
    data = []
    for _ in range(UTTERANCES):
        frames = int(math.exp(rng.uniform(math.log(SHORTEST), math.log(LONGEST))))
        positions = max(1, frames // DURATION)
        first = rng.randrange(STATES - positions + 1)
        segmentation = cls("Segmentation")(1, positions)
        segmentation.set_boundaries([min(DURATION * (s + 1), frames) if s < positions - 1
                                     else frames for s in range(positions)])
        segmentation.set_duration_states(list(range(first, first + positions)))
        segmentation.set_output_states(0, list(range(first, first + positions)))
        observation = cls("Observation")(frames, [DIMENSIONS])
        values = np.random.default_rng(rng.randrange(1 << 30)).normal(
            0.0, 1.2, frames * DIMENSIONS)
        observation.set_stream(0, cls("ObservationStream")(DIMENSIONS, values))
        data.append((observation, segmentation))
    return model, data


def em(job, precision):
    cls = classes(precision)
    model, data = corpus(cls, random.Random(11))
    if job == "hsmm":
        options, estimate = hsmm_options(cls, 5.0), "estimate_hsmm"
    else:
        options = cls("GeometricOptions")()
        options.pruning_slope = SLOPE
        estimate = "estimate_geometric"
    update = cls("UpdateOptions")()
    epochs = []
    for _ in range(EPOCHS):
        gc.collect()
        before, start = faults(), time.thread_time()
        statistics_ = cls("ModelStatistics").from_model(model)
        for observation, segmentation in data:
            getattr(statistics_, estimate)(model, observation, segmentation, options)
        model.update(statistics_, update)
        del statistics_
        epochs.append({"time": time.thread_time() - start, "faults": faults() - before})
    timed = epochs[1:]
    return {"time": sum(e["time"] for e in timed) / len(timed),
            "faults": sum(e["faults"] for e in timed) / len(timed),
            "peak": status_kib("VmHWM") * 1024, "final": status_kib("VmRSS") * 1024}


def geometric_call(inputs):
    model, segmentation, emissions, options, _ = inputs
    model.forward_geometric(segmentation, emissions, options)
    model.backward_geometric(segmentation, emissions, options)
    model.viterbi_geometric(segmentation, emissions, options)


def serve(frames, shorts):
    cls = classes("F64")
    long = geometric_inputs(cls, np.float64, frames, POSITIONS, SLOPE)
    short = geometric_inputs(cls, np.float64, SHORT_FRAMES, POSITIONS, SLOPE)
    times, counts = [], []
    for call in range(LONG_CALLS + 1):
        before, start = faults(), time.thread_time()
        geometric_call(long)
        if call > 0:
            times.append(time.thread_time() - start)
            counts.append(faults() - before)
        for _ in range(shorts):
            geometric_call(short)
    return {"time": statistics.median(times), "faults": statistics.median(counts),
            "peak": status_kib("VmHWM") * 1024, "final": status_kib("VmRSS") * 1024}


def idle(case):
    frames, precision = IDLE[case]
    cls = classes(precision)
    dtype = np.float32 if precision == "F32" else np.float64
    short = geometric_inputs(cls, dtype, SHORT_FRAMES, POSITIONS, SLOPE)
    long = geometric_inputs(cls, dtype, frames, POSITIONS, SLOPE)
    gc.collect()
    start = status_kib("VmRSS") * 1024
    geometric_call(long)
    after_call = status_kib("VmRSS") * 1024
    time.sleep(IDLE_SECONDS)
    begin = time.thread_time()
    geometric_call(short)
    return {"time": time.thread_time() - begin, "faults": 0, "peak": after_call - start,
            "final": status_kib("VmRSS") * 1024 - start}


def reuse_path(path, precision):
    import heap_reuse_bench

    setup, calls = heap_reuse_bench.PATHS[path]
    call = setup(classes(precision), np.float32 if precision == "F32" else np.float64)
    gc.collect()
    times, before = [], faults()
    for _ in range(calls):
        start = time.thread_time()
        result = call()
        times.append(time.thread_time() - start)
        result = None
    return {"time": statistics.median(times), "faults": (faults() - before) / calls,
            "peak": status_kib("VmHWM") * 1024, "final": status_kib("VmRSS") * 1024}


def child(workload, *arguments):
    result = {"em": em, "serve": lambda f, s: serve(int(f), int(s)), "idle": idle,
              "path": reuse_path}[workload](*arguments)
    print(json.dumps(result))


def run_child(mode, arguments):
    environment = {k: v for k, v in os.environ.items()
                   if k not in {name for env in MODES.values() for name in env}}
    environment.update(MODES[mode])
    output = subprocess.run(["taskset", "-c", CORE, sys.executable, __file__, "--child",
                             *arguments], env=environment, capture_output=True, text=True,
                            check=True).stdout
    return json.loads(output.splitlines()[-1])


def measure(label, arguments, rounds, unit):
    runs = {mode: [] for mode in MODES}
    order = list(MODES)
    for r in range(rounds):
        for mode in order[r % 3:] + order[:r % 3]:
            runs[mode].append(run_child(mode, arguments))

    def median(mode, key):
        return statistics.median(run[key] for run in runs[mode])

    kept = median("kept heap", "time")
    for mode in MODES:
        ratios = [run["time"] / kept for run in runs[mode]]
        print(f"{label:34} {mode:10} {median(mode, 'time') * 1e3:9.1f} ms {min(ratios):5.2f}-"
              f"{max(ratios):4.2f}x {median(mode, 'faults'):10,.0f} {unit:6} "
              f"{median(mode, 'peak') / 2**20:9.1f} {median(mode, 'final') / 2**20:9.1f}",
              flush=True)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else ROUNDS
    workloads = sys.argv[2:] or ["em", "serve", "idle", "paths"]
    print(f"Fresh processes on core {CORE}, {rounds} alternated rounds, medians; time ratios to "
          f"the kept heap's median, lowest-highest.\nPeak and final: resident MiB (idle: growth "
          f"from before the call, just after it and after {IDLE_SECONDS} s and a short call).")
    print(f"{'workload':34} {'mode':10} {'time':>12} {'ratio':>10} {'faults':>17} "
          f"{'peak MiB':>9} {'final MiB':>9}")
    if "em" in workloads:
        for job in ("hsmm", "geometric"):
            for precision in ("F32", "F64"):
                measure(f"EM {job} {precision}, epochs 2-3", ["em", job, precision], rounds,
                        "/epoch")
    if "serve" in workloads:
        for frames, shorts in SERVING:
            measure(f"serve T={frames:,} F64, {shorts} short", ["serve", str(frames),
                                                                  str(shorts)], rounds, "/call")
    if "idle" in workloads:
        for case in IDLE:
            measure(f"idle after a {case} call", ["idle", case], rounds, "")
    if "paths" in workloads:
        import heap_reuse_bench

        for path in heap_reuse_bench.PATHS:
            for precision in ("F32", "F64"):
                measure(f"{precision} {path}", ["path", path, precision], rounds, "/call")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(*sys.argv[2:])
    else:
        main()
