"""What the tables' memory costs on the work users run, as built, with the block cache off
(TARVEK_BLOCK_CACHE=0: every table from the heap, as a plain vector) and with the cache off and
a heap that is never handed back ("kept heap": glibc told to keep its top, never trim, never map
a block on its own), the best case of reuse. Every run is a fresh process on one core; the
three modes alternate round by round. Printed per row and mode, medians over the rounds: this
thread's processor time (kernel time included) and its ratios to the kept heap's median, minor
page faults, the process's system time over the same timed part, and peak and final resident
memory (VmHWM and VmRSS when the row's figures were taken).

- em: EM over a corpus of 50 utterances, lengths log-uniform in 500-20,000 frames, a 400-state
  chain model (1 stream, 4 components x 13 dimensions, durations of mean 50), each utterance a
  chain of T/50 consecutive states; per epoch fresh statistics, estimate_hsmm (radius 5) or
  estimate_geometric (slope 0.2) over every utterance, then update. Epochs 2-3 are timed.
- em-long: the same EM over 200 short utterances (log-uniform in 100-2,000 frames) and 5 long
  ones (uniform in 50,000-75,000 frames) in a shuffled order, a 150-state chain model of
  2 streams (4 components x 13 dimensions each, durations of mean 50); a long utterance's
  chain of T/50 positions goes round the states. HSMM in F32 and F64; geometric in F64 only
  when named (em-long:geometric-F64), at about a minute an epoch and 10 minutes a round.
  Epochs 2 and 3 are timed, each a row. A process peaks at 6.5-10 GB resident.
- serve: a geometric forward, backward and Viterbi at T = 50,000 (20 MB tables) or 200,000
  (80 MB) in F64, dropped, then 100, 200 or 1,000 short calls (T = 2,000), over and over; the
  long calls after the first are timed.
- long: one long HSMM F64 utterance, estimate_hsmm three times in one process into one
  ModelStatistics that accumulates (so only the call's own tables come and go): T = 40,000 or
  100,000 frames over 250 positions, or 80,000 over 100 (800 frames a position), a chain model
  of as many states as positions, 2 streams of 4 components x 13 dimensions, durations of the
  segments' mean length, radius 3 (the emissions are a small part: the call's cost is in its
  durations, about 7 s a call at T = 100,000 and 250 positions, 11 s at 80,000 and 100, 1.5 s
  at 40,000). Calls 2 and 3 are timed, each a row.
- rhythm: a geometric F64 forward, backward and Viterbi at T = 50,000 (20 MB tables) every
  4.5, 5.5, 7 or 9 seconds (from one call's start to the next's, sleeping between), 5 calls;
  calls 3-5 are timed, each a row.
- rhythm-stop: 5 such calls every 9 seconds, then 65 seconds without a call, then one short
  call (T = 2,000): the resident set's growth from before the first call, after the last long
  call (peak) and after the short call (final); the time is the short call's.
- idle: one geometric call at T = 50,000 F64 (medium) or 2,000,000 F32 (long), every result
  dropped, 11 seconds without a call, then one short call: the resident set then, against
  where the process started.
- pageout: a geometric F64 forward and backward at T = 100,000 or 200,000 (50 positions), every
  result dropped, then every private anonymous mapping of the process (no path, [heap] or
  [anon:...] in /proc/self/maps) advised MADV_PAGEOUT: the resident set's growth from before
  the calls, after them (peak) and after the advice (final); the time is the two calls'. With
  no swap, the kernel pages out only what it can drop without writing it (pages freed lazily).
- paths: bench/heap_reuse_bench.py's paths, each alone in its process; the median call.

Build the module in place first, then run from the project root (the optional arguments: the
number of rounds, then the workloads to run, all unless named; a workload may name its cases
after a colon, comma-separated, as printed in brackets on each row (a path by its row's name),
e.g. long:100000x250 or rhythm:5.5,9; BENCH_CORE picks the core, 7 unless set):

    tools/dev-build.sh && PYTHONPATH=build/dev-pkg \
        python3 bench/table_memory_bench.py [ROUNDS [WORKLOAD[:CASE,...]...]]

A round of each workload takes about: em 5 minutes, em-long 8.5, serve 1, long 4, rhythm 5.5,
rhythm-stop 5, idle 1.5, pageout 3 seconds, paths 2 (each printed after its rows).
"""

import ctypes
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
from bench_support import (chain_segmentation, classes, geometric_inputs, hsmm_options,
                           random_chain_model)

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
LONG_CORPUS = {"states": 150, "streams": 2, "short": (200, 100, 2_000),
               "long": (5, 50_000, 75_000)}
EM_LONG = [("hsmm", "F32"), ("hsmm", "F64"), ("geometric", "F64")]
# Cases run only when named: about a minute an epoch and 10 minutes a round.
ONLY_NAMED = {"em-long": {"geometric-F64"}}
POSITIONS, SLOPE, SHORT_FRAMES = 50, 0.2, 2_000
SERVING = [(50_000, 100), (50_000, 200), (50_000, 1000), (200_000, 100), (200_000, 200)]
LONG_CALLS = 5
LONG_UTTERANCES = [(40_000, 250), (100_000, 250), (80_000, 100)]
LONG_STREAMS, LONG_RADIUS, LONG_REPEATS = 2, 3.0, 3
RHYTHM_FRAMES, RHYTHM_CALLS = 50_000, 5
RHYTHM_PERIODS = [4.5, 5.5, 7.0, 9.0]
STOP_PERIOD, STOP_SECONDS = 9.0, 65
IDLE = {"medium": (50_000, "F64"), "long": (2_000_000, "F32")}
IDLE_SECONDS = 11
PAGEOUT_FRAMES = [100_000, 200_000]
MADV_PAGEOUT = 21


def status_kib(name):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise KeyError(name)


def faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def counters():
    """This thread's processor time, the process's minor faults and system time."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return time.thread_time(), usage.ru_minflt, usage.ru_stime


def since(before):
    """The time, faults and system time from `before` (of `counters`), with the resident set."""
    now = counters()
    return {"time": now[0] - before[0], "faults": now[1] - before[1],
            "sys": now[2] - before[2], "peak": status_kib("VmHWM") * 1024,
            "final": status_kib("VmRSS") * 1024}


def utterance(cls, rng, frames, states, streams):
    """An observation of `frames` frames of normal values and its segmentation: a chain of
    frames / DURATION consecutive states from a random one, going round past the last."""
    positions = max(1, frames // DURATION)
    first = rng.randrange(states - positions + 1) if positions <= states else \
        rng.randrange(states)
    chain = [(first + s) % states for s in range(positions)]
    segmentation = cls("Segmentation")(streams, positions)
    segmentation.set_boundaries([min(DURATION * (s + 1), frames) if s < positions - 1
                                 else frames for s in range(positions)])
    segmentation.set_duration_states(chain)
    for k in range(streams):
        segmentation.set_output_states(k, chain)
    observation = cls("Observation")(frames, [DIMENSIONS] * streams)
    values = np.random.default_rng(rng.randrange(1 << 30))
    for k in range(streams):
        observation.set_stream(k, cls("ObservationStream")(
            DIMENSIONS, values.normal(0.0, 1.2, frames * DIMENSIONS)))
    return observation, segmentation


def log_uniform(rng, shortest, longest):
    return int(math.exp(rng.uniform(math.log(shortest), math.log(longest))))


def corpus(cls, rng):
    model = random_chain_model(cls, rng, STATES, 1, COMPONENTS, DIMENSIONS, STATES * DURATION)
    data = [utterance(cls, rng, log_uniform(rng, SHORTEST, LONGEST), STATES, 1)
            for _ in range(UTTERANCES)]
    return model, data


def long_corpus(cls, rng):
    states, streams = LONG_CORPUS["states"], LONG_CORPUS["streams"]
    model = random_chain_model(cls, rng, states, streams, COMPONENTS, DIMENSIONS,
                               states * DURATION)
    count, shortest, longest = LONG_CORPUS["short"]
    lengths = [log_uniform(rng, shortest, longest) for _ in range(count)]
    count, shortest, longest = LONG_CORPUS["long"]
    lengths += [rng.randint(shortest, longest) for _ in range(count)]
    rng.shuffle(lengths)
    return model, [utterance(cls, rng, frames, states, streams) for frames in lengths]


def epochs(cls, model, data, job):
    """EPOCHS epochs of fresh statistics, an estimate over every utterance and an update; the
    figures of each epoch."""
    if job == "hsmm":
        options, estimate = hsmm_options(cls, 5.0), "estimate_hsmm"
    else:
        options = cls("GeometricOptions")()
        options.pruning_slope = SLOPE
        estimate = "estimate_geometric"
    update = cls("UpdateOptions")()
    figures = []
    for _ in range(EPOCHS):
        gc.collect()
        before = counters()
        statistics_ = cls("ModelStatistics").from_model(model)
        for observation, segmentation in data:
            getattr(statistics_, estimate)(model, observation, segmentation, options)
        model.update(statistics_, update)
        del statistics_
        figures.append(since(before))
    return figures


def em(job, precision):
    cls = classes(precision)
    model, data = corpus(cls, random.Random(11))
    timed = epochs(cls, model, data, job)[1:]
    return {key: sum(e[key] for e in timed) / len(timed) for key in ("time", "faults", "sys")} | {
        "peak": status_kib("VmHWM") * 1024, "final": status_kib("VmRSS") * 1024}


def em_long(job, precision):
    cls = classes(precision)
    model, data = long_corpus(cls, random.Random(17))
    figures = epochs(cls, model, data, job)
    return {"rows": {f"epoch {e + 1}": figures[e] for e in range(1, EPOCHS)}}


def geometric_call(inputs):
    model, segmentation, emissions, options, _ = inputs
    model.forward_geometric(segmentation, emissions, options)
    model.backward_geometric(segmentation, emissions, options)
    model.viterbi_geometric(segmentation, emissions, options)


def serve(frames, shorts):
    cls = classes("F64")
    long = geometric_inputs(cls, np.float64, frames, POSITIONS, SLOPE)
    short = geometric_inputs(cls, np.float64, SHORT_FRAMES, POSITIONS, SLOPE)
    calls = []
    for call in range(LONG_CALLS + 1):
        before = counters()
        geometric_call(long)
        if call > 0:
            calls.append(since(before))
        for _ in range(shorts):
            geometric_call(short)
    return {key: statistics.median(c[key] for c in calls) for key in ("time", "faults", "sys")
            } | {"peak": status_kib("VmHWM") * 1024, "final": status_kib("VmRSS") * 1024}


def long_utterance(frames, positions):
    cls = classes("F64")
    rng = random.Random(13)
    model = random_chain_model(cls, rng, positions, LONG_STREAMS, COMPONENTS, DIMENSIONS, frames)
    segmentation = chain_segmentation(cls, LONG_STREAMS, positions, frames)
    observation = cls("Observation")(frames, [DIMENSIONS] * LONG_STREAMS)
    values = np.random.default_rng(rng.randrange(1 << 30))
    for k in range(LONG_STREAMS):
        observation.set_stream(k, cls("ObservationStream")(
            DIMENSIONS, values.normal(0.0, 1.2, frames * DIMENSIONS)))
    options = hsmm_options(cls, LONG_RADIUS)
    statistics_ = cls("ModelStatistics").from_model(model)
    rows = {}
    for call in range(1, LONG_REPEATS + 1):
        gc.collect()
        before = counters()
        statistics_.estimate_hsmm(model, observation, segmentation, options)
        if call > 1:
            rows[f"call {call}"] = since(before)
    return {"rows": rows}


def rhythm_inputs():
    return geometric_inputs(classes("F64"), np.float64, RHYTHM_FRAMES, POSITIONS, SLOPE)


def rhythm(inputs, period, calls=RHYTHM_CALLS, timed_from=3):
    """`calls` geometric calls of `inputs`, one every `period` seconds; the figures of the
    calls from `timed_from` on."""
    rows = {}
    start = time.monotonic()
    for call in range(1, calls + 1):
        delay = start - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        start = time.monotonic() + period
        before = counters()
        geometric_call(inputs)
        if call >= timed_from:
            rows[f"call {call}"] = since(before)
    return rows


def rhythm_stop():
    short = geometric_inputs(classes("F64"), np.float64, SHORT_FRAMES, POSITIONS, SLOPE)
    long = rhythm_inputs()
    gc.collect()
    start = status_kib("VmRSS") * 1024
    rhythm(long, STOP_PERIOD, timed_from=RHYTHM_CALLS + 1)
    after_calls = status_kib("VmRSS") * 1024
    time.sleep(STOP_SECONDS)
    before = counters()
    geometric_call(short)
    result = since(before)
    return result | {"peak": after_calls - start, "final": result["final"] - start}


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
    before = counters()
    geometric_call(short)
    result = since(before)
    return result | {"faults": 0, "peak": after_call - start, "final": result["final"] - start}


def page_out_private_mappings():
    """Advises MADV_PAGEOUT over every private anonymous mapping of this process; errors (a
    mapping the kernel will not page out) are ignored."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.madvise.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    page = os.sysconf("SC_PAGE_SIZE")
    with open("/proc/self/maps") as maps:
        lines = maps.read().splitlines()
    for line in lines:
        fields = line.split(maxsplit=5)
        path = fields[5].strip() if len(fields) > 5 else ""
        if fields[1][3] != "p" or not (path == "" or path == "[heap]"
                                       or path.startswith("[anon:")):
            continue
        first, last = (int(address, 16) for address in fields[0].split("-"))
        first = first // page * page
        last = (last + page - 1) // page * page
        libc.madvise(first, last - first, MADV_PAGEOUT)


def pageout(frames):
    model, segmentation, emissions, options, _ = geometric_inputs(
        classes("F64"), np.float64, frames, POSITIONS, SLOPE)
    gc.collect()
    start = status_kib("VmRSS") * 1024
    before = counters()
    model.forward_geometric(segmentation, emissions, options)
    model.backward_geometric(segmentation, emissions, options)
    result = since(before)
    gc.collect()
    after_calls = status_kib("VmRSS") * 1024
    page_out_private_mappings()
    return result | {"peak": after_calls - start, "final": status_kib("VmRSS") * 1024 - start}


def reuse_path(path, precision):
    import heap_reuse_bench

    setup, calls = heap_reuse_bench.PATHS[path]
    call = setup(classes(precision), np.float32 if precision == "F32" else np.float64)
    gc.collect()
    times, before = [], counters()
    for _ in range(calls):
        start = time.thread_time()
        result = call()
        times.append(time.thread_time() - start)
        result = None
    total = since(before)
    return total | {"time": statistics.median(times), "faults": total["faults"] / calls,
                    "sys": total["sys"] / calls}


def child(workload, *arguments):
    result = {"em": em, "em-long": em_long, "serve": lambda f, s: serve(int(f), int(s)),
              "long": lambda f, p: long_utterance(int(f), int(p)),
              "rhythm": lambda p: {"rows": rhythm(rhythm_inputs(), float(p))},
              "rhythm-stop": rhythm_stop,
              "idle": idle, "pageout": lambda f: pageout(int(f)),
              "path": reuse_path}[workload](*arguments)
    print(json.dumps(result))


def run_child(mode, arguments):
    environment = {k: v for k, v in os.environ.items()
                   if k not in {name for env in MODES.values() for name in env}}
    environment.update(MODES[mode])
    process = subprocess.run(["taskset", "-c", CORE, sys.executable, __file__, "--child",
                              *arguments], env=environment, capture_output=True, text=True)
    if process.returncode != 0:
        sys.stderr.write(process.stderr)
        process.check_returncode()
    result = json.loads(process.stdout.splitlines()[-1])
    return result["rows"] if "rows" in result else {"": result}


def measure(label, arguments, rounds, unit):
    runs = {mode: [] for mode in MODES}
    order = list(MODES)
    for r in range(rounds):
        for mode in order[r % 3:] + order[:r % 3]:
            runs[mode].append(run_child(mode, arguments))

    for row in runs["kept heap"][0]:
        def median(mode, key):
            return statistics.median(run[row][key] for run in runs[mode])

        kept = median("kept heap", "time")
        name = f"{label}, {row}" if row else label
        for mode in MODES:
            ratios = [run[row]["time"] / kept for run in runs[mode]]
            print(f"{name:56} {mode:10} {median(mode, 'time') * 1e3:9.1f} ms "
                  f"{min(ratios):5.2f}-{max(ratios):4.2f}x {median(mode, 'faults'):10,.0f} "
                  f"{unit:6} {median(mode, 'sys') * 1e3:8.1f} {median(mode, 'peak') / 2**20:9.1f} "
                  f"{median(mode, 'final') / 2**20:9.1f}", flush=True)


def cases():
    """Per workload, its cases: (name, label, child arguments, unit of the faults)."""
    import heap_reuse_bench

    return {
        "em": [(f"{job}-{precision}", f"EM {job} {precision}, epochs 2-3",
                ["em", job, precision], "/epoch")
               for job in ("hsmm", "geometric") for precision in ("F32", "F64")],
        "em-long": [(f"{job}-{precision}", f"EM long corpus {job} {precision}",
                     ["em-long", job, precision], "/epoch") for job, precision in EM_LONG],
        "serve": [(f"{frames}x{shorts}", f"serve T={frames:,} F64, {shorts} short",
                   ["serve", str(frames), str(shorts)], "/call") for frames, shorts in SERVING],
        "long": [(f"{frames}x{positions}", f"HSMM F64 T={frames:,}, {positions} positions",
                  ["long", str(frames), str(positions)], "/call")
                 for frames, positions in LONG_UTTERANCES],
        "rhythm": [(f"{period:g}", f"geometric T={RHYTHM_FRAMES:,} every {period:g} s",
                    ["rhythm", str(period)], "/call") for period in RHYTHM_PERIODS],
        "rhythm-stop": [("9", f"{RHYTHM_CALLS} calls every {STOP_PERIOD:g} s, {STOP_SECONDS} s "
                         f"idle", ["rhythm-stop"], "")],
        "idle": [(case, f"idle after a {case} call", ["idle", case], "") for case in IDLE],
        "pageout": [(str(frames), f"pageout after T={frames:,} F64", ["pageout", str(frames)],
                     "/2 calls") for frames in PAGEOUT_FRAMES],
        "paths": [(f"{precision} {path}", f"{precision} {path}", ["path", path, precision],
                   "/call") for path in heap_reuse_bench.PATHS for precision in ("F32", "F64")],
    }


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else ROUNDS
    every = cases()
    chosen = {}
    for argument in sys.argv[2:] or list(every):
        workload, _, names = argument.partition(":")
        if workload not in every:
            sys.exit(f"unknown workload {workload!r}: one of {', '.join(every)}")
        known = {case[0] for case in every[workload]}
        unknown = set(names.split(",")) - known if names else set()
        if unknown:
            sys.exit(f"unknown case of {workload}: {', '.join(sorted(unknown))}; one of "
                     f"{', '.join(sorted(known))}")
        wanted = set(names.split(",")) if names else known - ONLY_NAMED.get(workload, set())
        chosen[workload] = [case for case in every[workload] if case[0] in wanted]
    print(f"Fresh processes on core {CORE}, {rounds} alternated rounds, medians; time ratios to "
          f"the kept heap's median, lowest-highest; sys: the process's system time (ms) over the "
          f"same span.\nPeak and final: resident MiB (idle, rhythm-stop, pageout: growth from "
          f"before the first call, just after the long calls and at the end).")
    print(f"{'workload':56} {'mode':10} {'time':>12} {'ratio':>10} {'faults':>17} {'sys ms':>8} "
          f"{'peak MiB':>9} {'final MiB':>9}")
    for workload, selected in chosen.items():
        began = time.monotonic()
        for name, label, arguments, unit in selected:
            measure(label if name == label else f"{label} [{name}]", arguments, rounds, unit)
        print(f"({workload}: {(time.monotonic() - began) / rounds:,.0f} s a round)", flush=True)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(*sys.argv[2:])
    else:
        main()
