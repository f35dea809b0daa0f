#!/usr/bin/env bash
# Builds the module in place (build/dev) and lays out an importable package in build/dev-pkg,
# for a quick edit-build-test loop without installing:
#   tools/dev-build.sh && PYTHONPATH=build/dev-pkg python3 -m pytest tests/python
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEK_BUILD_MODULE=ON >/dev/null
cmake --build build/dev -j "$(nproc)" --target _tarvek_rs
tools/package-layout.sh build/dev build/dev-pkg
