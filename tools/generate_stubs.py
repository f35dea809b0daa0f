"""Writes python/tarvek_rs/_tarvek_rs.pyi from tools/stub_template.pyi.in.

The template types each class and function once: the 32-bit member of every pair, and the
classes that exist in one precision only. This adds each 64-bit twin right after its 32-bit
member (the same text with F32 and f32 read as F64 and f64), marks every class final (none can
be subclassed) and gives every class but the enumeration its closing members. Private names
(the argument types' protocols) are the stub's own: left as written and not exported. Run it
from anywhere after editing the template:
    python3 tools/generate_stubs.py
"""

import ast
import pathlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
TEMPLATE = ROOT / "tools" / "stub_template.pyi.in"
STUB = ROOT / "python" / "tarvek_rs" / "_tarvek_rs.pyi"

# The template's stand-in for the list of every name.
ALL_PLACEHOLDER = "__all__: list[str]"

# The enumeration's members are never closed.
NOT_CLOSABLE = {"NumericalTable"}
CLOSING_MEMBERS = [
    "    def free(self) -> None: ...",
    "    def close(self) -> None: ...",
    "    @property",
    "    def is_closed(self) -> bool: ...",
]


def finished_class(name, lines):
    closing = [] if name in NOT_CLOSABLE else CLOSING_MEMBERS
    return ["@final"] + lines + closing


def twin(lines):
    """The 64-bit member of a pair from the text of its 32-bit member."""
    return [line.replace("F32", "F64").replace("f32", "f64") for line in lines]


def exported(names):
    """`__all__` as a literal, so that type checkers see what a star import brings."""
    return ["__all__ = ["] + [f'    "{name}",' for name in names + ["__version__"]] + ["]"]


def render():
    """The stub text for the template as it stands."""
    text = TEMPLATE.read_text()
    lines = text.splitlines()
    out = []
    names = []
    done = 0
    for node in ast.parse(text).body:
        if not isinstance(node, (ast.ClassDef, ast.FunctionDef)) or node.name.startswith("_"):
            continue
        start, end = node.lineno - 1, node.end_lineno
        out += lines[done:start]
        block = lines[start:end]
        is_class = isinstance(node, ast.ClassDef)
        if is_class:
            block = finished_class(node.name, block)
        out += block
        names.append(node.name)
        if node.name.endswith(("F32", "_f32")):
            out += ([""] if is_class else []) + twin(block)
            names += twin([node.name])
        done = end
    out += lines[done:]
    out[out.index(ALL_PLACEHOLDER) : out.index(ALL_PLACEHOLDER) + 1] = exported(names)
    return "\n".join(out) + "\n"


def main():
    STUB.write_text(render())


if __name__ == "__main__":
    main()
