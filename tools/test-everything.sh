#!/usr/bin/env bash
# Installs what the tests need, then builds and runs every test: the C++ core tests (also
# under AddressSanitizer and UndefinedBehaviorSanitizer) and the Python tests of the module.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! [ -f /usr/include/gtest/gtest.h ]; then
    if [ "$(id -u)" -eq 0 ]; then apt-get update -qq && apt-get install -y -qq libgtest-dev
    else sudo apt-get update -qq && sudo apt-get install -y -qq libgtest-dev; fi
fi
python3 -m pip install -q --disable-pip-version-check -r tools/test-requirements.txt

jobs=$(nproc)

echo "== C++ tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEK_BUILD_TESTS=ON >/dev/null
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests -j "$jobs" --output-on-failure

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEK_BUILD_TESTS=ON \
    -DTARVEK_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize -j "$jobs" --output-on-failure

echo "== Python tests"
python3 -m pip install -q --disable-pip-version-check --no-build-isolation .
python3 -m pytest tests/python -q -p no:cacheprovider

echo "== Type stubs against the installed module, and the examples under mypy --strict"
python3 -m mypy.stubtest tarvek_rs
python3 -m mypy --strict examples/
