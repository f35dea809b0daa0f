#!/usr/bin/env python3
"""Mutation check: how many small faults planted in src/ the tests catch.

A seeded sample of single-token mutants (relational, arithmetic, logical and constant swaps) is
drawn from the C++ sources under src/. Each mutant is built incrementally in a scratch copy of
the tree and run against the C++ tests and then the Python tests; it counts as killed when a
test fails or times out. Mutants that do not compile are left out of the ratio. Several scratch
copies run in parallel.

    tools/mutation_check.py --seed 2026 --count 120 --jobs 4 --out build/mutation.json
    tools/mutation_check.py ... --tests-from REV    # same code and sample, the tests of REV
    tools/mutation_check.py ... --under src/core/codec  # a sample of one part of the tree

The sample depends only on the sources under src/ and the seed, so two runs over the same code
with different tests compare like with like.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# Binary operators are matched with a space on each side, as the formatter writes them, so that
# template brackets, pointers, shifts and arrows are never taken for operators.
SWAPS = {
    "relational": [(" < ", " <= "), (" <= ", " < "), (" > ", " >= "), (" >= ", " > "),
                   (" == ", " != "), (" != ", " == ")],
    "arithmetic": [(" + ", " - "), (" - ", " + "), (" * ", " / "), (" / ", " * "),
                   (" += ", " -= "), (" -= ", " += ")],
    "logical": [(" && ", " || "), (" || ", " && ")],
}
NEGATION = re.compile(r"!(?=[A-Za-z_(])")
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
SKIPPED_LINE = re.compile(r"^\s*(#|//|\*|/\*|static_assert)")
TABLE_LINE = re.compile(r"(\d[\d.eE+-]*\s*,\s*){3,}")  # rows of coefficient tables


@dataclass(frozen=True)
class Mutant:
    ident: int
    path: str
    line: int
    column: int
    kind: str
    before: str
    after: str

    def apply(self, text: str) -> str:
        lines = text.split("\n")
        row = lines[self.line - 1]
        assert row[self.column:self.column + len(self.before)] == self.before, self
        lines[self.line - 1] = row[:self.column] + self.after + row[self.column + len(self.before):]
        return "\n".join(lines)


def outside_strings(row: str, column: int) -> bool:
    return row[:column].count('"') % 2 == 0 and "//" not in row[:column]


def sites_in(path: str, text: str):
    for number, row in enumerate(text.split("\n"), start=1):
        if SKIPPED_LINE.match(row) or TABLE_LINE.search(row):
            continue
        for kind, swaps in SWAPS.items():
            for before, after in swaps:
                for match in re.finditer(re.escape(before), row):
                    if outside_strings(row, match.start()):
                        yield (path, number, match.start(), kind, before, after)
        for match in NEGATION.finditer(row):
            if outside_strings(row, match.start()):
                yield (path, number, match.start(), "logical", "!", "")
        for match in INTEGER.finditer(row):
            if not outside_strings(row, match.start()):
                continue
            value = int(match.group(1))
            replacement = {0: "1", 1: "0"}.get(value, str(value + 1))
            yield (path, number, match.start(), "constant", match.group(1), replacement)


def draw_sample(seed: int, count: int, under: list[str]) -> list[Mutant]:
    sources = sorted(p for p in (ROOT / "src").rglob("*") if p.suffix in (".cpp", ".hpp")
                     and any(str(p.relative_to(ROOT)).startswith(u) for u in under))
    sites = []
    for source in sources:
        relative = str(source.relative_to(ROOT))
        sites.extend(sites_in(relative, source.read_text()))
    chosen = random.Random(seed).sample(sites, min(count, len(sites)))
    return [Mutant(i, *site) for i, site in enumerate(chosen)]


def run(command: list[str], cwd: Path, timeout: float, env=None) -> str:
    """'ok', 'failed' or 'timeout' for one command."""
    try:
        result = subprocess.run(command, cwd=cwd, env=env, timeout=timeout,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return "timeout"
    return "ok" if result.returncode == 0 else "failed"


class Workspace:
    """A scratch copy of the tree with one build serving the C++ tests and the module."""

    def __init__(self, base: Path, index: int, tests_from: str | None, threads: int):
        self.root = base / f"copy{index}"
        self.threads = str(threads)
        shutil.copytree(ROOT, self.root, symlinks=True,
                        ignore=shutil.ignore_patterns("build", ".git", "__pycache__", "*.so"))
        if tests_from:
            shutil.rmtree(self.root / "tests")
            archive = subprocess.run(["git", "archive", tests_from, "tests"], cwd=ROOT,
                                     check=True, capture_output=True).stdout
            subprocess.run(["tar", "-x"], cwd=self.root, input=archive, check=True)
        self.build = self.root / "build" / "mutation"
        subprocess.run(["cmake", "-S", ".", "-B", str(self.build), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DTARVEK_BUILD_TESTS=ON",
                        "-DTARVEK_BUILD_MODULE=ON"], cwd=self.root, check=True,
                       stdout=subprocess.DEVNULL)
        package = self.root / "build" / "package" / "tarvek_rs"
        package.mkdir(parents=True)
        for item in (self.root / "python" / "tarvek_rs").iterdir():
            (package / item.name).symlink_to(item)
        if self.compile() != "ok":
            raise RuntimeError(f"the unmutated tree does not build in {self.root}")
        module = next(self.build.glob("_tarvek_rs*.so"))
        (package / module.name).symlink_to(module)
        self.env = dict(os.environ, PYTHONPATH=str(package.parent), OMP_NUM_THREADS="1")
        if self.test() != "survived":
            raise RuntimeError(f"the unmutated tree fails its tests in {self.root}")

    def compile(self) -> str:
        return run(["cmake", "--build", str(self.build), "-j", self.threads], self.root, 1800)

    def test(self) -> str:
        cpp = run(["ctest", "--test-dir", str(self.build), "-j", self.threads, "--timeout", "120",
                   "--stop-on-failure"], self.root, 900)
        if cpp != "ok":
            return "killed"
        python = run([sys.executable, "-m", "pytest", "tests/python", "-x", "-q",
                      "-p", "no:cacheprovider"], self.root, 900, self.env)
        return "survived" if python == "ok" else "killed"

    def evaluate(self, mutant: Mutant) -> str:
        source = self.root / mutant.path
        original = source.read_text()
        source.write_text(mutant.apply(original))
        try:
            if self.compile() != "ok":
                return "uncompilable"
            return self.test()
        finally:
            source.write_text(original)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--count", type=int, default=120)
    parser.add_argument("--jobs", type=int, default=max(1, (os.cpu_count() or 2) // 2))
    parser.add_argument("--threads", type=int, default=2, help="build and test threads per copy")
    parser.add_argument("--under", action="append", default=None,
                        help="draw only from sources below this path (repeatable; default src/)")
    parser.add_argument("--tests-from", help="git revision whose tests/ folder to run")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "mutation.json")
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    args = parser.parse_args()

    mutants = draw_sample(args.seed, args.count, args.under or ["src/"])
    if args.list:
        for m in mutants:
            print(f"{m.ident:4} {m.path}:{m.line}:{m.column + 1} {m.kind} {m.before.strip()!r} -> "
                  f"{m.after.strip()!r}")
        return 0

    started = time.monotonic()
    base = Path(tempfile.mkdtemp(prefix="tarvek-mutation-"))
    queue = list(reversed(mutants))
    results: dict[int, str] = {}

    def worker(index: int) -> None:
        workspace = Workspace(base, index, args.tests_from, args.threads)
        while True:
            try:
                mutant = queue.pop()
            except IndexError:
                return
            results[mutant.ident] = workspace.evaluate(mutant)
            print(f"[{len(results)}/{len(mutants)}] {mutant.path}:{mutant.line} {mutant.kind} "
                  f"{mutant.before.strip()!r}->{mutant.after.strip()!r}: {results[mutant.ident]}",
                  flush=True)

    try:
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            for future in [pool.submit(worker, i) for i in range(args.jobs)]:
                future.result()
    finally:
        shutil.rmtree(base, ignore_errors=True)

    valid = [m for m in mutants if results.get(m.ident) in ("killed", "survived")]
    killed = [m for m in valid if results[m.ident] == "killed"]
    survivors = [m for m in valid if results[m.ident] == "survived"]
    summary = {
        "seed": args.seed, "sample": len(mutants), "compiled": len(valid), "killed": len(killed),
        "ratio": len(killed) / len(valid) if valid else 0.0, "tests_from": args.tests_from,
        "minutes": round((time.monotonic() - started) / 60, 1),
        "survivors": [asdict(m) for m in survivors],
        "results": {m.ident: results.get(m.ident, "not run") for m in mutants},
    }
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(summary, indent=1))
    print(f"killed {len(killed)} of {len(valid)} compiled mutants ({summary['ratio']:.1%}); "
          f"{len(mutants) - len(valid)} did not compile; seed {args.seed}; "
          f"{summary['minutes']} min")
    for m in survivors:
        print(f"  survived: {m.path}:{m.line} {m.kind} {m.before.strip()!r} -> {m.after.strip()!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
