#!/usr/bin/env bash
# Developer build without pip: configures and builds with CMake and stages an importable package (put the stage
# directory on PYTHONPATH). BUILD_DIR and STAGE choose the directories, so several builds can live side by side;
# extra arguments go to CMake, e.g. -DVREX_SANITIZE=ON.
set -euo pipefail
cd "$(dirname "$0")/.."
type="${BUILD_TYPE:-RelWithDebInfo}"
dir="${BUILD_DIR:-build/dev-${type}}"
stage="${STAGE:-build/stage}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$dir"
rm -rf "$stage"
cmake --install "$dir" --prefix "$stage" >/dev/null
cp src/vrexsdk/*.py src/vrexsdk/*.pyi src/vrexsdk/py.typed "$stage/vrexsdk/"
cp -r src/vrexsdk/static "$stage/vrexsdk/"  # the live view's page
echo "staged: $(cd "$stage" && pwd)"
