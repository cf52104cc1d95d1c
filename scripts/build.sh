#!/usr/bin/env bash
# Installs what is missing and builds the program folder build/dist.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(bash scripts/setup.sh | tail -n 1)
ROOT=$("$PY" -c 'import sys; print(sys.base_prefix)')
BUILD=${VYR_BUILD_DIR:-build}
cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PY" -DPython_ROOT_DIR="$ROOT" >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
