#!/usr/bin/env bash
# The tool's main job on its built-in default: build, make the sample package
# and show what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target korvana-cli
mkdir -p build/demo
./build/korvana-cli package sample build/demo/sample.dzk
./build/korvana-cli package info build/demo/sample.dzk
