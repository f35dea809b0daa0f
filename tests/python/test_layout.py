"""The core's layout rule: a file includes only its own folder or an earlier one, in the library
and in its tests alike (a test's support headers sit in the folder of the earliest test that
needs them)."""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
FOLDERS = ["numerics", "model", "data", "codec", "inference", "training", "generation"]
INCLUDE = re.compile(r'^#include "(?:core/)?(' + "|".join(FOLDERS) + r')/', re.M)


def test_no_file_includes_a_later_folder():
    later = []
    for tree in ("src/core", "tests/core"):
        for path in sorted((ROOT / tree).glob("*/*.[ch]pp")):
            own = FOLDERS.index(path.parent.name)
            for folder in INCLUDE.findall(path.read_text()):
                if FOLDERS.index(folder) > own:
                    later.append(f"{path.relative_to(ROOT)} includes {folder}/")
    assert later == []
