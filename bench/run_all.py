"""Runs the Python-level benchmarks in one process: this library against hmmlearn on the same
left-to-right model and data, then HSMM inference and EM training throughput.

    tools/dev-build.sh && PYTHONPATH=build/dev-pkg python3 bench/run_all.py

The C++ kernels have their own benchmarks (bench/*_bench.cpp, built with -DTARVEK_BUILD_BENCH=ON);
bench/heap_reuse_bench.py runs each pass in fresh processes of its own, and
bench/memory_retention_bench.py measures what the block cache keeps once the work shrinks.
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import hmmlearn_bench  # noqa: E402
import inference_bench  # noqa: E402
import training_bench  # noqa: E402

for title, bench in (("Against hmmlearn (geometric inference)", hmmlearn_bench),
                     ("HSMM inference", inference_bench),
                     ("EM training", training_bench)):
    print(f"== {title}")
    bench.main()
    print()
