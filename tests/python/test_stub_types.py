"""The stubs take what argument conversion takes and refuse what it refuses, and need no numpy:
snippets run against the module and go through mypy --strict with only the stubs and the
standard library in reach. Numpy arrays and scalars are type-checked in examples/numpy_inputs.py
(tools/test-everything.sh)."""

import pathlib
import shutil

import mypy.api
import pytest

import tarvek_rs

PACKAGE = pathlib.Path(tarvek_rs.__file__).resolve().parent

PLAIN = """\
import array
import tarvek_rs as t
stream = t.ObservationStreamF64(2, [0.5, 1, True, 2.5])
scores = t.StateScoresF32(1, 2, (0.0, -1.0))
chain = t.SegmentationF64(1, 1)
chain.set_boundaries([4])
chain.add_jump(0, 1, 1)
mixture = t.GaussianF32(1, 1)
mixture.replace(True, array.array("d", [1.0]), [0.0], [1.0], b"\\x00")
total: float = t.numerical_log_add_f32(1, 2.0) + sum(stream.values())
words = t.uniform_sample_f64(lambda: 2.0**31)
"""

# Each line is refused at run time with TypeError, and by mypy.
WRONG = [
    't.ObservationStreamF64(2, "0.5")',
    't.ObservationStreamF64(2, ["0.5"])',
    't.ObservationStreamF64(2.0, [0.5])',
    't.numerical_log_add_f32("1", 2.0)',
    "t.SegmentationF64(1, 1).set_boundaries([4.0])",
    't.ModelF32.read("bytes")',
    "t.StateScoresF32(1, 2, 0.5)",
]


def test_plain_arguments_pass_and_wrong_ones_fail(tmp_path, monkeypatch):
    exec(PLAIN, {})
    for line in WRONG:
        with pytest.raises(TypeError):
            exec(line, {"t": tarvek_rs})

    stubs = tmp_path / "stubs" / "tarvek_rs"
    stubs.mkdir(parents=True)
    for name in ("__init__.py", "_tarvek_rs.pyi", "py.typed"):
        shutil.copy(PACKAGE / name, stubs)
    (tmp_path / "plain.py").write_text(PLAIN)
    (tmp_path / "wrong.py").write_text("import tarvek_rs as t\n" + "\n".join(WRONG) + "\n")
    monkeypatch.setenv("MYPYPATH", str(tmp_path / "stubs"))
    report, _, _ = mypy.api.run(["--strict", "--no-site-packages", "--cache-dir",
                                 str(tmp_path / "cache"), str(tmp_path / "plain.py"),
                                 str(tmp_path / "wrong.py")])
    errors = {line.split(": error:")[0] for line in report.splitlines() if ": error:" in line}
    expected = {f"{tmp_path / 'wrong.py'}:{n}" for n in range(2, len(WRONG) + 2)}
    assert errors == expected, report
