"""Option and mode records: defaults, unchecked writable properties, copies and closing."""

import math

import numpy as np
import pytest

from model_support import consumed, make, rounded

U32_RANGE = "out of range integral type conversion attempted"

# Per class: constructor arguments and each property's kind and default (None: set by the
# constructor arguments).
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
def test_defaults_read_back_in_the_class_width(name, prop, kind, default, precision):
    value = getattr(build(name, precision), prop)
    assert value == (rounded(precision, default) if kind == "float" else default)
    assert type(value) is (float if kind == "float" else int)


def test_stated_f32_defaults():
    assert make("GeometricOptions", "F32").pruning_slope == 0.30000001192092896
    assert make("GeometricOptions", "F64").pruning_slope == 0.3
    assert make("UpdateOptions", "F32").duration_variance_floor == 0.05000000074505806
    assert make("UpdateOptions", "F32").emission_variance_floor == 0.009999999776482582
    assert make("UpdateOptions", "F64").emission_variance_floor == 0.01


@pytest.mark.parametrize("name,prop,kind,default", PROPERTIES)
def test_setters_store_without_checks(name, prop, kind, default, precision):
    options = build(name, precision)
    if kind == "float":
        for value in (-1.0, math.inf, -0.0, 0.1, 1e300, 3, np.float32(2.5), np.float64(-7.25)):
            setattr(options, prop, value)
            stored = getattr(options, prop)
            expected = rounded(precision, float(value))
            assert stored == expected and math.copysign(1, stored) == math.copysign(1, expected)
        setattr(options, prop, math.nan)
        assert math.isnan(getattr(options, prop))
    else:
        for value in (0, 2, UPPER[kind], np.uint32(7)):
            setattr(options, prop, value)
            assert getattr(options, prop) == value


@pytest.mark.parametrize("name,prop,kind,default", PROPERTIES)
def test_refused_values_keep_the_old_one(name, prop, kind, default, precision):
    options = build(name, precision)
    before = getattr(options, prop)
    if kind != "float":
        for value in (-1, UPPER[kind] + 1):
            with pytest.raises(OverflowError) as error:
                setattr(options, prop, value)
            if kind == "u32":
                assert str(error.value) == U32_RANGE
        with pytest.raises(TypeError, match="^argument 'value'"):
            setattr(options, prop, 1.5)
    with pytest.raises(TypeError, match="^argument 'value'"):
        setattr(options, prop, "1")
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(options, prop)
    assert getattr(options, prop) == before


@pytest.mark.parametrize("name", CLASSES)
def test_copies_and_closing(name, precision):
    options = build(name, precision)
    first, (kind, _) = next(iter(CLASSES[name][1].items()))
    setattr(options, first, 5)
    copy = options.cloned()
    assert type(copy) is type(options) and getattr(copy, first) == 5
    setattr(copy, first, 6)
    assert getattr(options, first) == 5
    assert options.free() is None and options.is_closed and not copy.is_closed
    assert options.close() is None and options.free() is None
    for prop in CLASSES[name][1]:
        with consumed():
            getattr(options, prop)
        with consumed():
            setattr(options, prop, 1)
        with pytest.raises(TypeError, match="^argument 'value'"):  # converted before the check
            setattr(options, prop, "x")
    with consumed():
        options.cloned()
    assert getattr(copy, first) == 6


@pytest.mark.parametrize("name", ["PreparationOptions", "HsmmOptions", "GeometricOptions",
                                  "UpdateOptions"])
def test_constructors_without_arguments(name, precision):
    cls = type(make(name, precision))
    assert cls.__text_signature__ == "()"
    with pytest.raises(TypeError):
        cls(1)


@pytest.mark.parametrize("name", ["EmissionPruning", "MixtureOccupancyMode"])
def test_mode_construction_stores_any_code_and_parameter(name, precision):
    cls = type(build(name, precision))
    assert cls.__text_signature__ == "(mode, parameter)"
    for mode, parameter in ((7, 0.0), (2, 1.0), (0, math.inf), (2**32 - 1, -3.0)):
        settings = cls(mode, parameter)
        assert (settings.mode, settings.parameter) == (mode, parameter)
    assert math.isnan(cls(0, math.nan).parameter)
    assert cls(parameter=0.1, mode=1).parameter == rounded(precision, 0.1)
    for mode in (-1, 2**32):
        with pytest.raises(OverflowError, match=U32_RANGE):
            cls(mode, 0.0)
    with pytest.raises(OverflowError):  # the mode is converted before the parameter
        cls(-1, "x")
    with pytest.raises(TypeError, match="^argument 'parameter'"):
        cls(1, "x")
    with pytest.raises(TypeError, match="^argument 'mode'"):
        cls(1.0, 0.0)


def test_f32_fields_round_to_32_bits():
    assert make("EmissionPruning", "F32", 1, 0.1).parameter == 0.10000000149011612
    options = make("PreparationOptions", "F32")
    options.temperature = 0.1
    assert options.temperature == 0.10000000149011612
    options.temperature = 1e39
    assert options.temperature == math.inf
