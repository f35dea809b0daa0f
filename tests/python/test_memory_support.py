"""The tests' reading of the machine's limits agrees with the module's on the edge cases of the
files it reads."""

import pytest

from memory_support import machine_bytes, read_number, under_ceiling


@pytest.mark.parametrize("text, number", [
    ("2147483648\n", 2**31),
    ("+2147483648", 2**31),
    (" \t-1", 2**64 - 1),  # a minus wraps around
    ("18446744073709551615", 2**64 - 1),
    ("18446744073709551616", None),
    ("max\n", None),
    ("+", None),
    ("", None),
    ("12ab", 12),
])
def test_limit_numbers(text, number):
    assert read_number(text) == number


@pytest.mark.parametrize("meminfo, total", [
    ("MemTotal: 4 kB\nSwapTotal: 1 kB\n", 5 * 1024),
    ("MemTotal:\t+4 kB\nMemFree: 2 kB", 4 * 1024),
    ("SwapTotal: 1 kB\nMemFree: 2 kB\n", None),  # no MemTotal: no limit from the machine
    ("MemTotal: 18014398509481984 kB\n", None),  # 2^64 bytes: overflows
])
def test_machine_memory(meminfo, total):
    assert machine_bytes(meminfo) == total


# Without unshare the lowered ceiling cannot run: a skip that says why, but a failure under CI.
@pytest.mark.parametrize("ci, outcome", [
    (None, pytest.skip.Exception),
    ("", pytest.skip.Exception),
    ("true", pytest.fail.Exception),
])
def test_lowered_ceiling_without_a_namespace(ci, outcome, monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))
    if ci is None:
        monkeypatch.delenv("CI", raising=False)
    else:
        monkeypatch.setenv("CI", ci)
    # Either outcome caught, so that a skip in place of a failure fails here instead of skipping.
    with pytest.raises((pytest.skip.Exception, pytest.fail.Exception),
                       match="no unshare on PATH") as caught:
        under_ceiling(2**26, ["true"])
    assert caught.type is outcome
