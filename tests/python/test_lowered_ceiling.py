"""The ceiling tests once more in a child process whose machine reads as 64 MiB. On a host
without a container limit the ceiling is the machine's memory plus swap, where the kernel
itself refuses a copy a quarter beyond it, so a missing measure would go unseen; under the
lowered ceiling only the module's own measure refuses it."""

import pathlib
import sys

from memory_support import under_ceiling

LOWERED = 64 * 2**20
HERE = pathlib.Path(__file__).parent
# Needs 512 MiB of zero-filled sums to show anything: below that their own measure refuses them
# first, as it should.
SIZED_FOR_A_LARGE_CEILING = "test_mismatched_statistics_refused_before_AllocFail"


def test_ceiling_tests_under_a_lowered_ceiling_AllocFail():
    child = under_ceiling(LOWERED, [
        sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs",
        str(HERE / "test_allocation_ceiling.py"), "-k", f"not {SIZED_FOR_A_LARGE_CEILING}"])
    report = child.stdout[-6000:] + child.stderr[-6000:]
    assert child.returncode == 0, report
    assert "skipped" not in child.stdout, report
