"""The shared byte vectors (tests/data/codec_vectors.json) through the Python entry points, in
both precisions: budgets, writing back, prefix positions and the refusal messages."""

import json
import pathlib

import pytest

import tarvek_rs

VECTORS = json.loads((pathlib.Path(__file__).resolve().parents[1] / "data" /
                      "codec_vectors.json").read_text())
CLASSES = {"mixture": "Gaussian", "duration": "Duration", "stream": "Stream", "model": "Model",
           "observation": "Observation", "segmentation": "Segmentation",
           "observation_set": "ObservationCollection",
           "segmentation_set": "SegmentationCollection"}
BUDGET = "model exceeds the array-entry decoding limit"


def reader(vector, precision):
    return getattr(tarvek_rs, CLASSES[vector["kind"]] + precision)


def data(text):
    return bytes.fromhex(text)


@pytest.mark.parametrize("vector", VECTORS["valid"], ids=lambda v: v["name"])
def test_valid_vectors(vector, precision):
    cls, raw = reader(vector, precision), data(vector["hex"])
    value = cls.read_with_limits(raw, vector["budget"])
    assert value.write() == data(vector.get("write", vector["hex"]))
    if "write_historical" in vector:
        assert value.write_with_encoding(1) == data(vector["write_historical"])
    if "below_budget_error" in vector:
        with pytest.raises(ValueError, match=f"^{vector['below_budget_error']}$"):
            cls.read_with_limits(raw, vector["budget"] - 1)
    with pytest.raises(ValueError, match="^trailing data after object$"):
        cls.read(raw + b"\x00")
    assert cls.read_prefix(raw + b"\x00").position == len(raw)
    if vector["budget"] > 0:
        with pytest.raises(ValueError, match=f"^{BUDGET}$"):
            cls.read_with_limits(raw, 0)


@pytest.mark.parametrize("vector", VECTORS["invalid"], ids=lambda v: v["name"])
def test_invalid_vectors(vector, precision):
    budget = vector.get("max_array_entries", VECTORS["default_max_array_entries"])
    with pytest.raises(ValueError) as error:
        reader(vector, precision).read_with_limits(data(vector["hex"]), budget)
    assert str(error.value) == vector["error"]
