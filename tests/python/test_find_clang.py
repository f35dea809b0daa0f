"""The clang the test command checks the sources with (tools/find-clang.sh): of the clang++ and
clang++-NN on PATH, the oldest whose --version says 16 or later, whatever its name says."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

# Each row: the commands on PATH with the major version each reports (None: --version fails),
# and the one chosen (None: there is none, and clang 16 is to be installed).
CHOICES = {
    "clang++-16 alone": ({"clang++-16": 16}, "clang++-16"),
    "clang++ itself at 16": ({"clang++": 16}, "clang++"),
    "the oldest from 16": ({"clang++-18": 18, "clang++-17": 17, "clang++-15": 15}, "clang++-17"),
    "a later clang++ itself": ({"clang++": 19, "clang++-15": 15}, "clang++"),
    "the version said, not the name": ({"clang++-16": 18, "clang++-17": 17}, "clang++-17"),
    "none from 16": ({"clang++": 14, "clang++-15": 15}, None),
    "no version said": ({"clang++-17": None}, None),
}


@pytest.mark.parametrize("case", CHOICES)
def test_clang_chosen(case, tmp_path):
    installed, chosen = CHOICES[case]
    commands, tools = tmp_path / "bin", tmp_path / "tools"
    commands.mkdir()
    tools.mkdir()
    for name, major in installed.items():
        said = f'echo "Ubuntu clang version {major}.0.6 (1ubuntu1)"' if major else "exit 1"
        (commands / name).write_text(f"#!/bin/sh\n{said}\n")
        (commands / name).chmod(0o755)
    for tool in ("grep", "sort", "sed", "head"):  # nothing else of the host's on PATH
        (tools / tool).symlink_to(shutil.which(tool))
    found = subprocess.run([shutil.which("bash"), ROOT / "tools/find-clang.sh"],
                           capture_output=True, text=True, env={"PATH": f"{commands}:{tools}"})
    assert found.stdout == ("" if chosen is None else f"{commands / chosen}\n"), found.stderr
    assert found.returncode == (1 if chosen is None else 0)
