#!/usr/bin/env bash
# Developer build without pip: configures and builds with CMake and stages an importable package in
# build/stage (put it on PYTHONPATH). Extra arguments go to CMake, e.g. -DVREX_SANITIZE=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
type="${BUILD_TYPE:-RelWithDebInfo}"
dir="build/dev-${type}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$dir"
rm -rf build/stage
cmake --install "$dir" --prefix build/stage >/dev/null
cp src/vrexsdk/*.py src/vrexsdk/py.typed build/stage/vrexsdk/
echo "staged: $(pwd)/build/stage"
