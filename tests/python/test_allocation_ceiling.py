"""Requests that pass every range check but ask one value for more memory than the machine can
back are refused up front, and the interpreter goes on. Every size here comes from the ceiling
the module reads, so the tests fit a container as well as the machine."""

import array
import math
import os
import subprocess
import sys

import pytest

import tarvek_rs
from inference_support import chain_model, hsmm_options, preparation, segmentation, table
from memory_support import allocation_ceiling, peak_growth
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


def refused_unmade(message, call, *arguments):
    """`call(*arguments)` is refused as `fails` checks (a MemoryError for no message, else a
    ValueError), and while it ran the resident peak rose by less than half the ceiling beyond the
    copies of its buffer arguments: less than any value refused here would take. A measure that
    comes only after its value was made shows where the ceiling is small enough for the kernel to
    give that value (test_lowered_ceiling.py); the arguments are built before the call."""
    copies = sum(memoryview(a).nbytes for a in arguments if isinstance(a, (bytes, array.array)))
    error = MemoryError if message is None else ValueError
    growth = peak_growth(lambda: fails(message, lambda: call(*arguments), error=error))
    assert growth < copies + CEILING // 2, f"the resident peak rose by {growth} bytes"


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
    refused_unmade(message, call)


def test_mismatched_statistics_refused_before_AllocFail():
    statistics = make("GaussianStatistics", "F32", 1, 1)
    growth = peak_growth(lambda: fails("Gaussian statistic shapes differ",
                                       lambda: statistics.replace(2**26, [], [], [0.0], [0.0])))
    assert growth < 16 * 2**20  # zero-filled sums would take 512 MiB


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
# ceiling the length is reserved, but the items are read whatever their number. Each row: the
# call, the values' size, its first refused length.
ARGUMENTS = {
    "F32 values": (lambda values: tarvek_rs.ObservationStreamF32(1, values), 4),
    "F64 values": (lambda values: tarvek_rs.ObservationStreamF64(1, values), 8),
    "reader bytes": (tarvek_rs.ModelF32.read, 1),
}


@pytest.mark.parametrize("case", ARGUMENTS)
def test_argument_claiming_more_than_the_ceiling_AllocFail(case):
    call, item_bytes = ARGUMENTS[case]
    beyond = Claims(CEILING // item_bytes + 1)
    refused_unmade(None, call, beyond)
    assert beyond.read == 0
    refused_unmade(None, call, range(2**64))  # longer than any length


# The claim is reserved whole: at the machine's own ceiling that is all its memory, which a
# sanitizer's allocator refuses by ending the process. Runs under a lowered ceiling.
@pytest.mark.skipif(CEILING > 2**30, reason="reserves the ceiling: run under a lowered one")
@pytest.mark.parametrize("case", ARGUMENTS)
def test_argument_claiming_the_ceiling_is_read(case):
    call, item_bytes = ARGUMENTS[case]
    within = Claims(CEILING // item_bytes)
    try:
        call(within)
    except ValueError:
        pass  # three bytes are no model; what counts is that they were read
    assert within.read == 3


def state_scores():
    return tarvek_rs.StateScoresF32(1, 1, [0.0])


def geometric_path():
    return tarvek_rs.GeometricPathF32([0], [1], [0.0], state_scores())


# 32-bit numbers kept as 64-bit ones are measured at the width kept, before the first item is
# read: a claim that fits at 32 bits is refused.
WIDENED = {
    "geometric path states": lambda v: tarvek_rs.GeometricPathF32(v, [], [0.0], state_scores()),
    "geometric path boundaries":
        lambda v: tarvek_rs.GeometricPathF32([], v, [0.0], state_scores()),
    "set_states": lambda v: geometric_path().set_states(v),
    "set_boundaries": lambda v: geometric_path().set_boundaries(v),
    "selected duration states":
        lambda v: chain_model("F32").prepare_selected_durations(preparation("F32"), v),
    "mixture posterior offsets": lambda v: tarvek_rs.MixturePosteriors(1, 1, b"\1", v, [1.0]),
    "duration posterior minimums":
        lambda v: tarvek_rs.DurationPosteriors(1, 1, b"\1", v, [0, 1], [1.0]),
    "duration posterior offsets":
        lambda v: tarvek_rs.DurationPosteriors(1, 1, b"\1", [1], v, [1.0]),
    "observation dimensions": lambda v: tarvek_rs.ObservationF32(1, v),
}


@pytest.mark.parametrize("case", WIDENED)
def test_widened_argument_measured_at_the_width_kept_AllocFail(case):
    beyond = Claims(CEILING // 8 + 1)
    refused_unmade(None, WIDENED[case], beyond)
    assert beyond.read == 0


def u32s(count):
    return array.array("I", bytes(4 * count))


def hsmm_scores():
    return tarvek_rs.HsmmScoresF32(state_scores(), state_scores())


def hsmm_path():
    return tarvek_rs.HsmmPathF32([0, 1], [0.0], hsmm_scores())


# Values made from whole arguments and wider than they are: a flag and two floats make a 12-byte
# transition entry, 32-bit triples three 64-bit counts, 32-bit pairs two 64-bit indices, a 32-bit
# delta and a 64-bit probability a 16-byte jump. Every argument fits the ceiling, the value made
# does not. Sized from the ceiling, so they run under a lowered one (test_lowered_ceiling.py).
# Each row: the call, and what builds its arguments.
PAIRS = CEILING // 12 * 2  # 32-bit entries: 2/3 of the ceiling, 4/3 once widened
MADE = {
    "transition entries": (tarvek_rs.TransitionPosteriors, lambda: (
        CEILING // 10, 1, bytes(CEILING // 10), array.array("f", bytes(8 * (CEILING // 10))))),
    "stream layouts": (tarvek_rs.ModelF32, lambda: (u32s(CEILING // 18 * 3), 0)),
    "HSMM path occurrences":
        (tarvek_rs.HsmmPathF32, lambda: (u32s(PAIRS), [0.0], hsmm_scores())),
    "set_occurrences": (tarvek_rs.HsmmPathF32.set_occurrences, lambda: (hsmm_path(), u32s(PAIRS))),
    "resegmented occurrences":
        (tarvek_rs.SegmentationF32.resegment, lambda: (segmentation("F32"), u32s(PAIRS))),
    "jump group": (tarvek_rs.JumpGroupF64, lambda: (array.array("i", bytes(4 * (CEILING // 10))),
                                                    array.array("d", bytes(8 * (CEILING // 10))))),
}


@pytest.mark.skipif(CEILING > 2**30, reason="takes the ceiling's size: run under a lowered one")
@pytest.mark.parametrize("case", MADE)
def test_value_made_wider_than_its_arguments_AllocFail(case):
    call, arguments = MADE[case]
    refused_unmade(None, call, *arguments())


# Each case makes zero pages of a private mapping reserving nothing, so that only the module's
# own copies take memory, and prints how far the resident peak rose while a MemoryError was
# raised. A value that fits but whose list, one float object per value, does not: a data limit
# stops a list built after all at its pointers and a margin instead of the machine. A buffer
# beyond the ceiling, as a memory-mapped feature file would be: refused before it is copied.
CHILD = """
import mmap, resource, sys
import tarvek_rs

case, count = sys.argv[1], int(sys.argv[2])
sys.path.insert(0, sys.argv[3])
from memory_support import peak_growth, status_bytes

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
refused = []

def attempt():
    try:
        call()
    except MemoryError:
        refused.append(True)

growth = peak_growth(attempt)
if refused:
    print(growth)
"""

# Four bytes a value in the module, forty in its list: a tenth of the ceiling and a little. A
# buffer a quarter beyond the ceiling.
CHILDREN = {"ObservationStream": CEILING // 38, "StateScores": CEILING // 38,
            "buffer F32": CEILING * 5 // 16, "buffer F64": CEILING * 5 // 16}


@pytest.mark.parametrize("case", CHILDREN)
def test_refused_before_the_copy_AllocFail(case):
    child = subprocess.run(
        [sys.executable, "-c", CHILD, case, str(CHILDREN[case]), os.path.dirname(__file__)],
        capture_output=True, text=True)
    assert child.returncode == 0 and child.stdout.strip(), child.stderr
    assert int(child.stdout) < 2**24
