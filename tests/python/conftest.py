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

