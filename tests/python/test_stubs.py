import importlib.util
import pathlib

import tarvek_rs

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = pathlib.Path(tarvek_rs.__file__).resolve().parent / "_tarvek_rs.pyi"


def load_generator():
    loader = importlib.util.spec_from_file_location("generate_stubs", ROOT / "tools" / "generate_stubs.py")
    module = importlib.util.module_from_spec(loader)
    loader.loader.exec_module(module)
    return module


# The stubs' agreement with the module itself is checked by mypy's stubtest (tools/test-everything.sh).
def test_stub_is_up_to_date():
    assert STUB.read_text() == load_generator().render(), "run tools/generate_stubs.py"
