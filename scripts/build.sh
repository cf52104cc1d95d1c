#!/usr/bin/env bash
# Installs what is missing and builds the program folder build/dist.
#   bash scripts/build.sh            the program, with g++, into build/
#   bash scripts/build.sh sanitize   the checking build, with clang, AddressSanitizer,
#                                    UndefinedBehaviorSanitizer and the fuzz targets,
#                                    into build-asan/ (with the packages the tests need)
# VYR_BUILD_DIR and VYR_SANITIZE_BUILD_DIR name other build folders;
# CMAKE_BUILD_PARALLEL_LEVEL the number of jobs (default: one per processor).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "sanitize" ]; then
  PY=$(bash scripts/setup.sh test | tail -n 1)
  BUILD=${VYR_SANITIZE_BUILD_DIR:-build-asan}
  CONFIG=(-DCMAKE_CXX_COMPILER=clang++ -DVYR_SANITIZE=ON -DVYR_FUZZ=ON)
else
  PY=$(bash scripts/setup.sh | tail -n 1)
  BUILD=${VYR_BUILD_DIR:-build}
  CONFIG=()
fi
ROOT=$("$PY" -c 'import sys; print(sys.base_prefix)')
cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PY" -DPython_ROOT_DIR="$ROOT" "${CONFIG[@]}" >/dev/null
cmake --build "$BUILD" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
