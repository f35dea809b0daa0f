import os
import struct

import pytest

import tarvek_rs


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "refuses_allocation: asks on purpose for more memory than the machine has")


def pytest_collection_modifyitems(config, items):
    # Tests named *AllocFail* (the name the C++ tests skip under the sanitizer) carry the marker.
    for item in items:
        if "AllocFail" in item.name:
            item.add_marker("refuses_allocation")
    if os.environ.get("TARVEK_SANITIZED") != "1":
        return
    skip = pytest.mark.skip(
        reason="AddressSanitizer ends the process on a refused allocation instead of failing it")
    for item in items:
        if "refuses_allocation" in item.keywords:
            item.add_marker(skip)


def f32(value):
    """The nearest 32-bit float to `value`, as a Python float."""
    return struct.unpack("f", struct.pack("f", value))[0]


@pytest.fixture(params=["F32", "F64"])
def precision(request):
    return request.param


def cls(name, precision):
    return getattr(tarvek_rs, name + precision)


def other(precision):
    return "F64" if precision == "F32" else "F32"

