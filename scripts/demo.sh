#!/usr/bin/env bash
# The tool's main job on its built-in default: build, make the sample package,
# write it to a simulated device and show the device afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target korvana-cli
mkdir -p build/demo
cli=./build/korvana-cli
flash=build/demo/simulated-flash.bin
rm -f "$flash"
"$cli" package sample build/demo/sample.dzk
"$cli" package info build/demo/sample.dzk
echo
"$cli" --simulate="$flash" update --yes build/demo/sample.dzk
echo
"$cli" --simulate="$flash" info
