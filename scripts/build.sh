#!/usr/bin/env bash
# Installs what is missing and builds the program folder build/dist.
#   bash scripts/build.sh            the program, with g++, into build/
#   bash scripts/build.sh sanitize   the checking build, with clang, AddressSanitizer,
#                                    UndefinedBehaviorSanitizer and the fuzz targets,
#                                    into build-asan/
# VYR_BUILD_DIR and VYR_SANITIZE_BUILD_DIR name other build folders.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=$(bash scripts/setup.sh | tail -n 1)
ROOT=$("$PY" -c 'import sys; print(sys.base_prefix)')
if [ "${1:-}" = "sanitize" ]; then
  BUILD=${VYR_SANITIZE_BUILD_DIR:-build-asan}
  CONFIG=(-DCMAKE_CXX_COMPILER=clang++ -DVYR_SANITIZE=ON -DVYR_FUZZ=ON)
else
  BUILD=${VYR_BUILD_DIR:-build}
  CONFIG=()
fi
cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PY" -DPython_ROOT_DIR="$ROOT" "${CONFIG[@]}" >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
