"""Builders and assertions shared by the Python tests."""

import re

import pytest

import tarvek_rs
from conftest import f32

LOG_ZERO = {"F32": -999999986991104.0, "F64": -1e15}


def raises_value(message):
    return pytest.raises(ValueError, match="^" + re.escape(message) + "$")


def consumed():
    return pytest.raises(RuntimeError, match="^owner has been consumed$")


def fails(message, *calls, error=ValueError):
    """Each call raises `error` with exactly `message` (after any "argument 'x': " prefix of a
    conversion error), or with any message when `message` is None."""
    pattern = None if message is None else re.escape(message) + "$"
    if pattern is not None:
        pattern = ("^" if error is ValueError else "(^|: )") + pattern
    for call in calls:
        with pytest.raises(error, match=pattern):
            call()


def assert_closed(value, *members):
    """`value` is closed: each member, a name (a property, or a method called without arguments)
    or a (name, arguments...) tuple, raises "owner has been consumed"; closing again is a no-op."""
    assert value.is_closed
    for member in members:
        name, *arguments = (member,) if isinstance(member, str) else member
        with consumed():
            attribute = getattr(value, name)
            if callable(attribute):
                attribute(*arguments)
    assert value.free() is None and value.close() is None and value.is_closed


def make(name, precision, *args):
    return getattr(tarvek_rs, name + precision)(*args)


def options(name, precision, *args, **fields):
    """An options or mode object of class `name` with `fields` set."""
    value = make(name, precision, *args)
    for field, setting in fields.items():
        setattr(value, field, setting)
    return value


def rounded(precision, value):
    """`value` as the class of `precision` stores it."""
    return f32(value) if precision == "F32" else value


def collection(kind, precision, items):
    """A `kind`Collection holding copies of `items`."""
    result = make(kind + "Collection", precision)
    for item in items:
        result.push(item)
    return result


def gaussian(precision, means, variances, floors=None, weights=None, dimensions=None):
    """A mixture with the given arrays (one component unless `weights` says otherwise)."""
    weights = [1.0] if weights is None else weights
    dimensions = len(means) // len(weights) if dimensions is None else dimensions
    floors = [0.0] * len(means) if floors is None else floors
    mixture = make("Gaussian", precision, 1, 1)
    mixture.replace(dimensions, weights, means, variances, floors)
    return mixture


def mixture_content(mixture):
    return (mixture.dimensions, mixture.weights(), mixture.means(), mixture.variances(),
            mixture.variance_floors())


def duration(precision, mean, variance, floor=0.0, constraints=(-1, -1, -1)):
    value = make("Duration", precision)
    value.set_values([mean, variance, floor])
    value.set_constraints(list(constraints))
    return value


def duration_content(value):
    return value.values(), value.constraints()


def stream(precision, weight, mixtures):
    value = make("Stream", precision, 0, 0, 0)
    value.replace([weight], collection("Gaussian", precision, mixtures))
    return value


def stream_content(value):
    return value.weight(), [mixture_content(value.emission(i)) for i in range(value.emissions)]


def model(precision, streams, durations):
    value = make("Model", precision, [], 0)
    value.replace(collection("Stream", precision, streams),
                  collection("Duration", precision, durations))
    return value


def model_content(value):
    return ([stream_content(value.stream(i)) for i in range(value.streams)],
            [duration_content(value.duration(i)) for i in range(value.durations)])


def small_model(precision):
    """Two streams of different shapes and two durations, with distinct values everywhere."""
    first = stream(precision, 0.75, [
        gaussian(precision, [0.1, -2.0], [1.5, 0.25], floors=[0.01, 0.0]),
        gaussian(precision, [3.0, 4.0, 5.0, 6.0], [1.0, 2.0, 3.0, 4.0], weights=[0.4, 0.6]),
    ])
    second = stream(precision, 1.0, [gaussian(precision, [7.5], [0.5])])
    durations = [duration(precision, 4.0, 2.0, 0.5, (3, 10, -1)),
                 duration(precision, 12.25, 9.0, 0.0, (-1, -1, 6))]
    return model(precision, [first, second], durations)
