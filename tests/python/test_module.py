import ctypes
import importlib
import struct
import sys

import pytest

import tarvek_rs
from model_support import fails, make
from tarvek_rs import _tarvek_rs as native

REGISTRATION_ORDER = """
DecodedStreamF32 DecodedStreamF64 DecodedModelF32 DecodedModelF64
GaussianStatisticsCollectionF32 StreamStatisticsCollectionF32 DurationStatisticsCollectionF32
StreamStatisticsF32 ModelStatisticsF32
GaussianStatisticsCollectionF64 StreamStatisticsCollectionF64 DurationStatisticsCollectionF64
StreamStatisticsF64 ModelStatisticsF64
StreamCollectionF32 StreamF32 StreamBuilderF32 PreparedStreamF32 ModelF32 ModelBuilderF32
PreparedModelF32
StreamCollectionF64 StreamF64 StreamBuilderF64 PreparedStreamF64 ModelF64 ModelBuilderF64
PreparedModelF64
ObservationStreamCollectionF32 ObservationCollectionF32 SegmentationCollectionF32
ObservationStreamF32 ObservationF32 JumpGroupF32 SegmentationF32 TransitionGraphF32
ObservationStreamCollectionF64 ObservationCollectionF64 SegmentationCollectionF64
ObservationStreamF64 ObservationF64 JumpGroupF64 SegmentationF64 TransitionGraphF64
DecodedObservationF32 DecodedObservationF64 DecodedSegmentationF32 DecodedSegmentationF64
ObservationSetBuilderF32 ObservationSetBuilderF64 SegmentationSetBuilderF32
SegmentationSetBuilderF64 DatasetF32
regroup_data_f32 DatasetF64 regroup_data_f64
PreparationOptionsF32 UpdateOptionsF32 DurationStatisticsF32 DurationF32 PreparedDurationF32
DecodedDurationF32
PreparationOptionsF64 UpdateOptionsF64 DurationStatisticsF64 DurationF64 PreparedDurationF64
DecodedDurationF64
EmissionPruningF32 LogEmissionsF32 EmissionDensitiesF32 EmissionPruningF64 LogEmissionsF64
EmissionDensitiesF64
MixturePosteriorCollection HsmmExpectationF32 GeometricExpectationF32 HsmmExpectationF64
GeometricExpectationF64
DurationCollectionF32 DurationCollectionF64
GaussianCollectionF32 GaussianF32 PreparedGaussianF32 GaussianStatisticsF32 DecodedGaussianF32
GaussianCollectionF64 GaussianF64 PreparedGaussianF64 GaussianStatisticsF64 DecodedGaussianF64
uniform_sample_f32 gaussian_sample_f32 choose_component_f32 GeneratedObservationF32 GenerationF32
uniform_sample_f64 gaussian_sample_f64 choose_component_f64 GeneratedObservationF64 GenerationF64
GeometricOptionsF32 StateScoresF32 GeometricPathF32 GeometricOptionsF64 StateScoresF64
GeometricPathF64
HsmmOptionsF32 HsmmScoresF32 HsmmPathF32 HsmmOptionsF64 HsmmScoresF64 HsmmPathF64
PoolPageUsage PoolPages PoolAllocation MemoryPool NumericalTable numerical_constants
NumericalTableF32 NumericalIteratorF32 numerical_log_add_f32 numerical_negative_exponential_f32
numerical_exponential_f32 numerical_log_add_table_f32 numerical_exponential_table_f32
NumericalTableF64 NumericalIteratorF64 numerical_log_add_f64 numerical_negative_exponential_f64
numerical_exponential_f64 numerical_log_add_table_f64 numerical_exponential_table_f64
TransitionPosterior TransitionPosteriors DurationPosterior DurationPosteriors MixtureWeights
MixturePosteriors
StateOccupanciesF32 MixtureOccupancyModeF32 StateOccupanciesF64 MixtureOccupancyModeF64
DecodedObservationSetF32 DecodedObservationSetF64 DecodedSegmentationSetF32
DecodedSegmentationSetF64
""".split()

WITHOUT_CONSTRUCTOR = set("""
DecodedStreamF32 DecodedStreamF64 DecodedModelF32 DecodedModelF64 PreparedStreamF32
PreparedStreamF64 PreparedModelF32 PreparedModelF64 TransitionGraphF32 TransitionGraphF64
DecodedObservationF32 DecodedObservationF64 DecodedSegmentationF32 DecodedSegmentationF64
PreparedDurationF32 PreparedDurationF64 DecodedDurationF32 DecodedDurationF64
EmissionDensitiesF32 EmissionDensitiesF64 PreparedGaussianF32 PreparedGaussianF64
DecodedGaussianF32 DecodedGaussianF64 GeneratedObservationF32 GeneratedObservationF64
PoolPageUsage PoolPages PoolAllocation NumericalTable NumericalIteratorF32 NumericalIteratorF64
DecodedObservationSetF32 DecodedObservationSetF64 DecodedSegmentationSetF32
DecodedSegmentationSetF64
""".split())

FUNCTIONS = {name for name in REGISTRATION_ORDER if name[0].islower()}


def registered():
    return [name for name in native.__all__ if name != "__version__"]


def test_all_lists_registrations_in_order_then_version():
    assert len(REGISTRATION_ORDER) == 147 == len(set(REGISTRATION_ORDER))
    assert len(FUNCTIONS) == 19 and len(WITHOUT_CONSTRUCTOR) == 36
    assert native.__all__[-1] == "__version__"
    assert native.__all__ == REGISTRATION_ORDER + ["__version__"]
    assert native.__version__ == "0.1.0" == tarvek_rs.__version__
    assert tarvek_rs.__all__ == native.__all__ and native.__doc__ == ""


@pytest.mark.parametrize("name", REGISTRATION_ORDER)
def test_registered_objects(name):
    obj = getattr(native, name)
    if name in FUNCTIONS:
        assert obj.__name__ == name and obj.__text_signature__.startswith("(")
        return
    assert obj.__module__ == "tarvek_rs" and obj.__qualname__ == name
    assert obj.__bases__ == (object,) and "__dict__" not in dir(obj)
    with pytest.raises(TypeError):
        type("Sub", (obj,), {})
    if name in WITHOUT_CONSTRUCTOR:
        assert obj.__doc__ == "" and obj.__text_signature__ is None
        with pytest.raises(TypeError):
            obj()
    else:
        assert obj.__text_signature__.startswith("(")


def test_reimport_reuses_class_objects():
    before = {name: getattr(native, name) for name in registered() if name not in FUNCTIONS}
    del sys.modules["tarvek_rs._tarvek_rs"]
    try:
        again = importlib.import_module("tarvek_rs._tarvek_rs")
        assert again is not native and again.__all__ == native.__all__
        assert all(getattr(again, name) is obj for name, obj in before.items())
    finally:
        sys.modules["tarvek_rs._tarvek_rs"] = native


# The records of the exported slot array: id, flags, and a check of the 8-byte value.
EXPORTED_SLOTS = [
    (85, 0, lambda value: value != 0),  # the execution function
    (109, 2, lambda value: ctypes.string_at(value, 16) == bytes([1, 0, 2, 0]) + bytes(12)),
    (87, 4, lambda value: value == 1),  # the interpreter lock is not needed
    (100, 2, lambda value: value != 0 and ctypes.string_at(value) == b"_tarvek_rs"),
    (101, 2, lambda value: value != 0 and ctypes.string_at(value) == b""),
    (0, 0, lambda value: value == 0),
]


def test_exported_slot_array():
    export = ctypes.CDLL(native.__file__).PyModExport__tarvek_rs
    export.restype = ctypes.c_void_p
    records = ctypes.string_at(export(), 16 * len(EXPORTED_SLOTS))
    for index, (slot_id, flags, check) in enumerate(EXPORTED_SLOTS):
        got_id, got_flags, zero, value = struct.unpack_from("=HHIQ", records, 16 * index)
        assert (got_id, got_flags, zero, check(value)) == (slot_id, flags, 0, True), index


SIGNED_OUT = [2**31, -2**31 - 1, 2**32, 2**63, -2**63, 2**70]
UNSIGNED_OUT = [-1, -2**31, 2**32, 2**63, -2**63, 2**70]
# 32-bit integer arguments, each with values beyond its range at every magnitude.
INTEGER_ENTRIES = [(name, call, value) for name, call, values in [
    ("layout list", lambda p, v: make("Model", p, [v, 1, 1], 0), UNSIGNED_OUT),
    ("boundary list", lambda p, v: make("Segmentation", p, 1, 3).set_boundaries([v, 0, 0]),
     SIGNED_OUT),
    ("jump delta", lambda p, v: make("Segmentation", p, 1, 3).add_jump(0, v, 0.5), SIGNED_OUT),
    ("options field", lambda p, v: setattr(make("UpdateOptions", p), "duration_mode", v),
     UNSIGNED_OUT),
] for value in values]


@pytest.mark.parametrize("name, call, value", INTEGER_ENTRIES)
def test_32_bit_integers_out_of_range(precision, name, call, value):
    fails("out of range integral type conversion attempted", lambda: call(precision, value),
          error=OverflowError)
