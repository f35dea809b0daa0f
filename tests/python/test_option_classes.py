"""Option and mode records: defaults, unchecked writable properties, copies and closing."""

import math

import numpy as np
import pytest

from model_support import assert_closed, fails, make, rounded

U32_RANGE = "out of range integral type conversion attempted"

# Per class: constructor arguments and each property's kind and default.
CLASSES = {
    "PreparationOptions": ((), {"duration_cache_length": ("u64", 300), "duration_weight":
                                ("float", 1.0), "temperature": ("float", 1.0)}),
    "HsmmOptions": ((), {"temperature": ("float", 1.0), "duration_weight": ("float", 1.0),
                         "state_radius": ("float", 5.0), "duration_extra": ("u64", 30),
                         "duration_extra_factor": ("float", 1.0)}),
    "GeometricOptions": ((), {"temperature": ("float", 1.0), "pruning_slope": ("float", 0.3)}),
    "UpdateOptions": ((), {"duration_mode": ("u32", 0), "duration_variance_floor":
                           ("float", 0.05), "emission_variance_floor": ("float", 0.01)}),
    "EmissionPruning": ((1, 0.1), {"mode": ("u32", 1), "parameter": ("float", 0.1)}),
    "MixtureOccupancyMode": ((0, 0.1), {"mode": ("u32", 0), "parameter": ("float", 0.1)}),
}
PROPERTIES = [(name, prop, kind, default) for name, (_, props) in CLASSES.items()
              for prop, (kind, default) in props.items()]
UPPER = {"u32": 2**32 - 1, "u64": 2**64 - 1}


def build(name, precision):
    return make(name, precision, *CLASSES[name][0])


@pytest.mark.parametrize("name,prop,kind,default", PROPERTIES)
def test_properties(name, prop, kind, default, precision):
    options = build(name, precision)
    value = getattr(options, prop)
    assert value == (rounded(precision, default) if kind == "float" else default)
    assert type(value) is (float if kind == "float" else int)
    # Writes are stored without checks; refused conversions keep the old value.
    if kind == "float":
        setattr(options, prop, math.nan)
        assert math.isnan(getattr(options, prop))
        for setting in (-1.0, math.inf, 0.1, 1e300, 3, np.float32(2.5), -0.0):
            setattr(options, prop, setting)
            stored, expected = getattr(options, prop), rounded(precision, float(setting))
            assert stored == expected and math.copysign(1, stored) == math.copysign(1, expected)
    else:
        for setting in (0, np.uint32(7), UPPER[kind]):
            setattr(options, prop, setting)
            assert getattr(options, prop) == setting
    before = getattr(options, prop)
    if kind != "float":
        fails(U32_RANGE if kind == "u32" else None, lambda: setattr(options, prop, -1),
              lambda: setattr(options, prop, UPPER[kind] + 1), error=OverflowError)
        fails(None, lambda: setattr(options, prop, 1.5), error=TypeError)
    fails(None, lambda: setattr(options, prop, "1"), error=TypeError)
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(options, prop)
    assert getattr(options, prop) == before


def test_stated_f32_defaults():
    assert make("GeometricOptions", "F32").pruning_slope == 0.30000001192092896
    assert make("UpdateOptions", "F32").duration_variance_floor == 0.05000000074505806
    assert make("UpdateOptions", "F32").emission_variance_floor == 0.009999999776482582
    assert make("EmissionPruning", "F32", 1, 0.1).parameter == 0.10000000149011612
    options = make("PreparationOptions", "F32")
    options.temperature = 0.1
    assert options.temperature == 0.10000000149011612


@pytest.mark.parametrize("name", CLASSES)
def test_copies_and_closing(name, precision):
    options = build(name, precision)
    first = next(iter(CLASSES[name][1]))
    setattr(options, first, 5)
    copy = options.cloned()
    setattr(copy, first, 6)
    assert (getattr(options, first), getattr(copy, first)) == (5, 6)
    options.free()
    fails(None, lambda: setattr(options, first, "x"), error=TypeError)  # conversion first
    assert_closed(options, "cloned", *CLASSES[name][1], ("__setattr__", first, 1))
    assert getattr(copy, first) == 6


@pytest.mark.parametrize("name", ["EmissionPruning", "MixtureOccupancyMode"])
def test_modes_store_any_code_and_parameter(name, precision):
    mode_class = type(build(name, precision))
    for mode, parameter in ((7, 0.0), (2, 1.0), (0, math.inf), (2**32 - 1, -3.0)):
        assert (mode_class(mode, parameter).mode, mode_class(mode, parameter).parameter) == (
            mode, parameter)
    assert math.isnan(mode_class(0, math.nan).parameter)
    assert mode_class(parameter=0.1, mode=1).parameter == rounded(precision, 0.1)
    fails(U32_RANGE, lambda: mode_class(-1, 0.0), lambda: mode_class(2**32, 0.0),
          lambda: mode_class(-1, "x"), error=OverflowError)  # the mode is converted first
    fails(None, lambda: mode_class(1, "x"), lambda: mode_class(1.0, 0.0), error=TypeError)
