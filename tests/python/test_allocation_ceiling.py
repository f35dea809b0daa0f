"""Requests that pass every range check but ask one value for more memory than the machine can
back are refused up front, and the interpreter goes on."""

import math
import os
import re
import subprocess
import sys

import pytest

from inference_support import chain_model, hsmm_options, preparation, segmentation, table
from model_support import duration, fails, make, model

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/meminfo"),
                                reason="reads the machine's size from /proc")

LONGEST = 2**31 - 1  # the longest count every range check accepts


def machine_bytes():
    with open("/proc/meminfo") as meminfo:
        sizes = dict(re.findall(r"^(MemTotal|SwapTotal):\s+(\d+) kB", meminfo.read(), re.M))
    return 1024 * (int(sizes["MemTotal"]) + int(sizes.get("SwapTotal", 0)))


def times(item_bytes):
    """How many values of `item_bytes` make twice the machine's memory and swap."""
    count = math.ceil(2 * machine_bytes() / item_bytes)
    assert count < 2**31
    return count


def hsmm_rows():
    """A backward pass whose unclamped duration rows, the longest allowed (F32), together take
    twice the machine; each position's segment lasts one frame."""
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
def test_values_beyond_the_machine_AllocFail(case):
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


# Reads a value that fits the machine but whose list, one float object per value, does not. The
# value's source is a private anonymous mapping, so only the module's own copy takes memory. A
# data limit stops a list built after all at its pointers and a margin instead of the machine.
# Prints how far the resident peak rose during the refused read.
LIST_READER = """
import mmap, re, resource, sys
import tarvek_rs

def status_bytes(key):
    with open("/proc/self/status") as status:
        return 1024 * int(re.search(key + r":\\s+(\\d+)", status.read()).group(1))

kind, count = sys.argv[1], int(sys.argv[2])
zeros = memoryview(mmap.mmap(-1, 4 * count, flags=mmap.MAP_PRIVATE)).cast("f")
value = {"ObservationStream": lambda: tarvek_rs.ObservationStreamF32(1, zeros),
         "StateScores": lambda: tarvek_rs.StateScoresF32(1, count, zeros)}[kind]()
limit = status_bytes("VmData") + 8 * count + 2**28  # the list's pointers and a margin
resource.setrlimit(resource.RLIMIT_DATA, (limit, resource.RLIM_INFINITY))
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")
before = status_bytes("VmHWM")
try:
    value.values()
except MemoryError:
    print(status_bytes("VmHWM") - before)
"""


@pytest.mark.parametrize("kind", ["ObservationStream", "StateScores"])
def test_list_of_a_value_that_fits_AllocFail(kind):
    # Four bytes a value in the module, forty in the list: a tenth of the machine and a little.
    count = machine_bytes() // 38
    child = subprocess.run([sys.executable, "-c", LIST_READER, kind, str(count)],
                           capture_output=True, text=True)
    assert child.returncode == 0 and child.stdout.strip(), child.stderr
    assert int(child.stdout) < 2**24  # refused before the list was built
