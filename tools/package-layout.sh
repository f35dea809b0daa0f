#!/usr/bin/env bash
# Lays out an importable package in DIR from the Python sources and the module built in BUILD:
#   tools/package-layout.sh BUILD DIR && PYTHONPATH=DIR python3 -c "import tarvek_rs"
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
package=$2/tarvek_rs
mkdir -p "$package"
for file in python/tarvek_rs/*; do ln -sf "$PWD/$file" "$package/"; done
ln -sf "$PWD/$build"/_tarvek_rs*.so "$package/"
