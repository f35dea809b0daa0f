"""Builds a small model from Python, writes it as bytes, reads it back and prints it."""

import tarvek_rs as t


def gaussian(weights: list[float], means: list[float], variances: list[float]) -> t.GaussianF64:
    """A mixture of len(weights) components over len(means) / len(weights) dimensions."""
    mixture = t.GaussianF64(1, 1)
    mixture.replace(len(means) // len(weights), weights, means, variances, [0.01] * len(means))
    return mixture


def duration(mean: float, variance: float, minimum: int) -> t.DurationF64:
    law = t.DurationF64()
    law.set_values([mean, variance, 1.0])
    law.set_constraints([minimum, -1, -1])
    return law


def first_weights(model: t.ModelF64) -> list[float]:
    """The weights of the first mixture of the first stream."""
    stream = model.stream(0)
    mixture = stream.emission(0) if stream is not None else None
    assert mixture is not None
    return mixture.weights()


# Stream 0: three emission states, two-dimensional; stream 1: one dimension, weight 0.5.
spectrum = t.StreamBuilderF64(3)
for state in range(3):
    spectrum.set_emission(state, gaussian([0.4, 0.6], [state, -state, state + 0.5, 0.25],
                                          [1.0, 2.0, 0.5, 0.75]))
pitch = t.StreamBuilderF64(3)
pitch.set_weight([0.5])
for state in range(3):
    pitch.set_emission(state, gaussian([1.0], [100.0 + 10 * state], [25.0]))

builder = t.ModelBuilderF64(2, 3)
builder.set_stream(0, spectrum.build())
builder.set_stream(1, pitch.build())
for state in range(3):
    builder.set_duration(state, duration(4.0 + 2 * state, 3.0, 2))
model = builder.build()
model.validate()

data = model.write()
back = t.ModelF64.read(data)
print(f"wrote {len(data)} bytes; read back {back.streams} streams and {back.durations} durations")
for s in range(back.streams):
    stream = back.stream(s)
    assert stream is not None
    print(f"stream {s}: weight {stream.weight()[0]}")
    for e in range(stream.emissions):
        mixture = stream.emission(e)
        assert mixture is not None
        print(f"  emission {e}: {mixture.mixtures} components x {mixture.dimensions} dimensions,"
              f" weights {mixture.weights()}, means {mixture.means()},"
              f" variances {mixture.variances()}")
for d in range(back.durations):
    law = back.duration(d)
    assert law is not None
    print(f"duration {d}: (mean, variance, floor) {law.values()},"
          f" constraints {law.constraints()}")
# The bytes hold 32-bit floats: 0.4 and 0.6 come back rounded, the rest is exact.
print("first weights before and after:", first_weights(model), first_weights(back))
