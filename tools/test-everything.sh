#!/usr/bin/env bash
# Installs what the tests need, then builds and runs every test: the C++ core tests and the
# Python tests of the module, each also under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

install_packages() {
    if [ "$(id -u)" -eq 0 ]; then apt-get update -qq && apt-get install -y -qq "$@"
    else sudo apt-get update -qq && sudo apt-get install -y -qq "$@"; fi
}

if ! [ -f /usr/include/gtest/gtest.h ]; then install_packages libgtest-dev; fi
python3 -m pip install -q --disable-pip-version-check -r tools/test-requirements.txt

jobs=$(nproc)

echo "== Every core source compiles with clang 16 or the oldest later one, with no extra flags"
# Syntax and semantics only, in parallel: the build itself uses GCC. clang 16 is installed only
# where no clang of version 16 or later is on PATH: a host that cannot install it may have one.
if ! clang=$(tools/find-clang.sh); then
    install_packages clang-16
    clang=$(command -v clang++-16)
fi
echo "   with $clang: $("$clang" --version | head -n 1)"
find src/core -name '*.cpp' -print0 |
    xargs -0 -n 4 -P "$jobs" "$clang" -std=c++20 -fsyntax-only -Isrc
# The sources that take another way under AddressSanitizer, that way too.
grep -rlZ --include='*.cpp' address_sanitizer.hpp src/core |
    xargs -0 -n 4 -P "$jobs" "$clang" -std=c++20 -fsyntax-only -fsanitize=address -Isrc

echo "== C++ tests"
# The benchmarks are built beside the tests (not run), so that a change of the core's interface
# cannot leave them behind.
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEK_BUILD_TESTS=ON \
    -DTARVEK_BUILD_BENCH=ON >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests -j "$jobs" --output-on-failure

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# The sanitized module is built here too, on the same sanitized core.
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEK_BUILD_TESTS=ON \
    -DTARVEK_SANITIZE=ON -DTARVEK_BUILD_MODULE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize -j "$jobs" --output-on-failure

echo "== Python tests"
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
python3 -m pytest tests/python -q -rs -p no:cacheprovider

echo "== Python tests against the module under AddressSanitizer and UndefinedBehaviorSanitizer"
# The interpreter is not instrumented, so the runtimes must be loaded before anything else;
# the interpreter's own allocations live until exit. Capturing only Python's streams leaves
# a sanitizer's report, written as the process ends, on the terminal.
tools/package-layout.sh build/sanitize build/sanitize-pkg
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=build/sanitize-pkg \
    python3 -m pytest tests/python -q -rs -p no:cacheprovider --capture=sys

echo "== Type stubs against the installed module, and the examples under mypy --strict"
python3 -m mypy.stubtest tarvek_rs
python3 -m mypy --strict examples/
