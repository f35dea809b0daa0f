"""Builds a small model from Python, writes it as bytes, reads it back and prints it."""

import tarvek_rs as t


def gaussian(weights, means, variances):
    """A mixture of len(weights) components over len(means) / len(weights) dimensions."""
    mixture = t.GaussianF64(1, 1)
    mixture.replace(len(means) // len(weights), weights, means, variances, [0.01] * len(means))
    return mixture


def duration(mean, variance, minimum):
    law = t.DurationF64()
    law.set_values([mean, variance, 1.0])
    law.set_constraints([minimum, -1, -1])
    return law


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
    print(f"stream {s}: weight {stream.weight()[0]}")
    for e in range(stream.emissions):
        mixture = stream.emission(e)
        print(f"  emission {e}: {mixture.mixtures} components x {mixture.dimensions} dimensions,"
              f" weights {mixture.weights()}, means {mixture.means()},"
              f" variances {mixture.variances()}")
for d in range(back.durations):
    law = back.duration(d)
    print(f"duration {d}: (mean, variance, floor) {law.values()},"
          f" constraints {law.constraints()}")
# The bytes hold 32-bit floats: 0.4 and 0.6 come back rounded, the rest is exact.
print("first weights before and after:", model.stream(0).emission(0).weights(),
      back.stream(0).emission(0).weights())
