import struct

import pytest

import tarvek_rs


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


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "refuses_allocation: asks for more memory than the machine has, expecting a "
        "refusal (skip under AddressSanitizer, which aborts on huge allocation requests)")


def pytest_collection_modifyitems(items):
    # Tests named *AllocFail* (the name the C++ tests skip under the sanitizer) carry the marker.
    for item in items:
        if "AllocFail" in item.name:
            item.add_marker("refuses_allocation")
