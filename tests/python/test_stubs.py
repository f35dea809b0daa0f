import ast
import importlib.util
import pathlib

import tarvek_rs
from tarvek_rs import _tarvek_rs as native

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = pathlib.Path(tarvek_rs.__file__).resolve().parent / "_tarvek_rs.pyi"


def load_generator():
    loader = importlib.util.spec_from_file_location("generate_stubs", ROOT / "tools" / "generate_stubs.py")
    module = importlib.util.module_from_spec(loader)
    loader.loader.exec_module(module)
    return module


def test_stub_names_equal_all():
    tree = ast.parse(STUB.read_text())
    names = [node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))]
    assert names == [name for name in native.__all__ if name != "__version__"]


def test_stub_is_up_to_date():
    assert STUB.read_text() == load_generator().render(), "run tools/generate_stubs.py"
