"""Under an address-space limit a little above what a process needs, the tables kept for later
calls do not stand in the way of what it makes next: before making a value fails they go back.
Each case runs in a child that lowers its own limit, sized from its own address space when it
lowers it, after two passes that leave their tables kept."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

pytestmark = [
    pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads sizes from /proc"),
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="AddressSanitizer reserves terabytes of address space"),
]

HERE = pathlib.Path(__file__).parent
FRAMES, POSITIONS = 50_000, 50
TABLE = 8 * FRAMES * POSITIONS  # one table of the geometric passes

CHILD = """
import json, resource, sys
sys.path.insert(0, sys.argv[1])
import numpy as np
import tarvek_rs
from inference_support import geometric_options, segmentation
from memory_support import status_bytes
from model_support import duration, model

case, headroom, frames, positions = sys.argv[2], *map(int, sys.argv[3:])
source = model("F64", [], [duration("F64", 2.0 + s % 3, 1.0) for s in range(positions)])
chain = segmentation("F64", [frames * (s + 1) // positions for s in range(positions)],
                     range(positions), streams=0)
emissions = tarvek_rs.LogEmissionsF64(frames, positions, np.full(frames * positions, -1.0))
# Its list, at 32 to 40 bytes a value, takes more than both passes at their peak.
rows = frames * 4 // 5
listed = tarvek_rs.StateScoresF64(rows, positions, np.full(rows * positions, -2.0))
options = geometric_options("F64")
start = status_bytes("VmSize")
if headroom:
    resource.setrlimit(resource.RLIMIT_AS, (start + headroom, resource.RLIM_INFINITY))
forward = source.forward_geometric(chain, emissions, options)
backward = source.backward_geometric(chain, emissions, options)
del forward, backward
kept = status_bytes("VmSize") - start
try:
    if case == "values":
        listed.values()
    else:
        tarvek_rs.ObservationF64(frames, [positions * 11 // 2])
    error = None
except (MemoryError, ValueError) as failure:  # a ValueError names the allocation that failed
    error = repr(failure)
print(json.dumps({"error": error, "kept": kept, "need": status_bytes("VmPeak") - start}))
"""


def child(case, headroom=0, cache=True):
    """What the child reports: the error making the value raised (None when made), and how far
    its address space grew over the passes (the tables kept) and at most over the whole run (its
    need), in bytes."""
    # glibc answers a failed allocation by reserving a 64 MiB arena to retry it in, when the
    # address left happens to take one aligned: one arena keeps the child's need the same each run.
    environment = dict(os.environ, MALLOC_ARENA_MAX="1")
    environment.pop("TARVEK_BLOCK_CACHE", None)
    if not cache:
        environment["TARVEK_BLOCK_CACHE"] = "0"
    run = subprocess.run(
        [sys.executable, "-c", CHILD, str(HERE), case, str(headroom), str(FRAMES),
         str(POSITIONS)], capture_output=True, text=True, env=environment)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    # What the case shows: both passes' tables kept, or none without the cache.
    assert (report["kept"] >= 2 * TABLE) if cache else (report["kept"] < TABLE // 2), report
    return report


def test_list_made_where_it_is_made_without_the_cache():
    # Half a table above the need without the cache: far less than the tables kept.
    headroom = child("values", cache=False)["need"] + TABLE // 2
    assert child("values", headroom, cache=False)["error"] is None
    assert child("values", headroom)["error"] is None


def test_value_made_past_the_kept_tables():
    # 5.5 tables beside two kept under a limit of 6: a C++ allocation, which the core's own
    # handler serves.
    assert child("observation", 6 * TABLE)["error"] is None
