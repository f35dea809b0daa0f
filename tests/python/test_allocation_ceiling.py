"""Requests that pass every range check but ask one value for more memory than the machine can
back are refused up front, and the interpreter goes on. Every size here comes from the ceiling
the module reads, so the tests fit a container as well as the machine."""

import math
import os
import re
import subprocess
import sys

import pytest

import tarvek_rs
from inference_support import chain_model, hsmm_options, preparation, segmentation, table
from memory_support import allocation_ceiling
from model_support import duration, fails, make, model

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/meminfo"),
                                reason="reads the machine's size from /proc")

LONGEST = 2**31 - 1  # the longest count every range check accepts


CEILING = allocation_ceiling()


def times(item_bytes):
    """How many values of `item_bytes` make twice the ceiling."""
    count = math.ceil(2 * CEILING / item_bytes)
    assert count < 2**31
    return count


def hsmm_rows():
    """A backward pass whose unclamped duration rows, the longest allowed (F32), together take
    twice the ceiling; each position's segment lasts one frame."""
    positions = times(4 * LONGEST)
    options = hsmm_options("F32")
    options.duration_extra_factor = 0.0
    options.duration_extra = LONGEST - 1
    chain = segmentation("F32", range(1, positions + 1), [k % 3 for k in range(positions)])
    return chain_model("F32").backward_hsmm(chain, table("F32", positions, positions), options)


def prepared_caches():
    laws = [duration("F64", 3.0, 2.0)] * times(8 * LONGEST)
    return model("F64", [], laws).prepare(preparation("F64", length=LONGEST))


CASES = {
    "segmentation": (lambda: make("Segmentation", "F32", times(4 * LONGEST), LONGEST), None),
    "model": (lambda: make("Model", "F64", [times(24 * LONGEST), 1, LONGEST], 1), None),
    "mixture": (lambda: make("Gaussian", "F32", times(12 * LONGEST), LONGEST), None),
    "observation": (lambda: make("Observation", "F32", LONGEST, [times(4 * LONGEST)]),
                    "observation allocation failed"),
    "statistics": (lambda: make("GaussianStatistics", "F32", 1, 1).replace(
        LONGEST, [], [], [0.0] * times(8 * LONGEST), [0.0]), "statistics allocation failed"),
    "HSMM rows": (hsmm_rows, "HSMM allocation failed"),
    "duration caches": (prepared_caches, "duration cache allocation failed"),
    # Each grown array alone may fit; the grown mixture does not.
    "grown mixture": (lambda: make("Gaussian", "F32", 1, 2**20).increase_mixtures(
        times(12 * 2**20), 0.0), "parameter allocation failed"),
}


@pytest.mark.parametrize("case", CASES)
def test_values_beyond_the_ceiling_AllocFail(case):
    call, message = CASES[case]
    fails(message, call, error=MemoryError if message is None else ValueError)


def test_mismatched_statistics_refused_before_AllocFail():
    def peak_kib():
        with open("/proc/self/status") as status:
            return int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))
    statistics = make("GaussianStatistics", "F32", 1, 1)
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # restart the peak from the current resident size
    before = peak_kib()
    fails("Gaussian statistic shapes differ",
          lambda: statistics.replace(2**26, [], [], [0.0], [0.0]))
    assert peak_kib() - before < 16 * 1024  # zero-filled sums would take 512 MiB


class Claims:
    """A sequence that claims `length` items and reads as three ones, counting the items read."""

    def __init__(self, length):
        self.length, self.read = length, 0

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        self.read += 1
        return 1


# A sequence is measured by the length it claims, before its first item is read; up to the
# ceiling the length is only a hint. Each row: the call, the values' size, its first refused length.
ARGUMENTS = {
    "F32 values": (lambda values: tarvek_rs.ObservationStreamF32(1, values), 4),
    "F64 values": (lambda values: tarvek_rs.ObservationStreamF64(1, values), 8),
    "reader bytes": (tarvek_rs.ModelF32.read, 1),
}


@pytest.mark.parametrize("case", ARGUMENTS)
def test_argument_claiming_more_than_the_ceiling_AllocFail(case):
    call, item_bytes = ARGUMENTS[case]
    beyond = Claims(CEILING // item_bytes + 1)
    fails(None, lambda: call(beyond), error=MemoryError)
    assert beyond.read == 0
    within = Claims(CEILING // item_bytes)
    try:
        call(within)
    except ValueError:
        pass  # three bytes are no model; what counts is that they were read
    assert within.read == 3
    fails(None, lambda: call(range(2**64)), error=MemoryError)  # longer than any length


# Each case makes zero pages of a private mapping reserving nothing, so that only the module's
# own copies take memory, and prints how far the resident peak rose while a MemoryError was
# raised. A value that fits but whose list, one float object per value, does not: a data limit
# stops a list built after all at its pointers and a margin instead of the machine. A buffer
# beyond the ceiling, as a memory-mapped feature file would be: refused before it is copied.
CHILD = """
import mmap, re, resource, sys
import tarvek_rs

def status_bytes(key):
    with open("/proc/self/status") as status:
        return 1024 * int(re.search(key + r":\\s+(\\d+)", status.read()).group(1))

case, count = sys.argv[1], int(sys.argv[2])
MAP_NORESERVE = 0x4000
zeros = mmap.mmap(-1, 4 * count, flags=mmap.MAP_PRIVATE | MAP_NORESERVE)
zeros = memoryview(zeros).cast("f")
if case.startswith("buffer"):
    call = lambda: getattr(tarvek_rs, "ObservationStream" + case[-3:])(1, zeros)
else:
    value = {"ObservationStream": lambda: tarvek_rs.ObservationStreamF32(1, zeros),
             "StateScores": lambda: tarvek_rs.StateScoresF32(1, count, zeros)}[case]()
    limit = status_bytes("VmData") + 8 * count + 2**28  # the list's pointers and a margin
    resource.setrlimit(resource.RLIMIT_DATA, (limit, resource.RLIM_INFINITY))
    call = value.values
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # restart the peak from the current resident size
before = status_bytes("VmHWM")
try:
    call()
except MemoryError:
    print(status_bytes("VmHWM") - before)
"""

# Four bytes a value in the module, forty in its list: a tenth of the ceiling and a little. A
# buffer a quarter beyond the ceiling.
CHILDREN = {"ObservationStream": CEILING // 38, "StateScores": CEILING // 38,
            "buffer F32": CEILING * 5 // 16, "buffer F64": CEILING * 5 // 16}


@pytest.mark.parametrize("case", CHILDREN)
def test_refused_before_the_copy_AllocFail(case):
    child = subprocess.run([sys.executable, "-c", CHILD, case, str(CHILDREN[case])],
                           capture_output=True, text=True)
    assert child.returncode == 0 and child.stdout.strip(), child.stderr
    assert int(child.stdout) < 2**24
