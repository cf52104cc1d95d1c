#!/usr/bin/env bash
# Installs what is missing and builds.
#   bash scripts/build.sh            the program folder build/dist alone, with g++ (./run.sh);
#                                    a new build folder is configured without the tests
#   bash scripts/build.sh test       everything in build/, the tests too, reusing what
#                                    is built (with the packages the tests need)
#   bash scripts/build.sh sanitize   the checking build, with clang, AddressSanitizer,
#                                    UndefinedBehaviorSanitizer and the fuzz targets,
#                                    into build-asan/ (with the packages the tests need)
# VYR_BUILD_DIR and VYR_SANITIZE_BUILD_DIR name other build folders;
# CMAKE_BUILD_PARALLEL_LEVEL the number of jobs (default: one per processor).
# Off a terminal, Ninja's progress lines are left out; what the compiler says is not.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  "")
    PY=$(bash scripts/setup.sh | tail -n 1)
    BUILD=${VYR_BUILD_DIR:-build}
    CONFIG=()
    [ -f "$BUILD/CMakeCache.txt" ] || CONFIG=(-DVYR_TESTS=OFF)
    TARGET=(--target dist)
    WHAT="the program folder $BUILD/dist"
    ;;
  test)
    PY=$(bash scripts/setup.sh test | tail -n 1)
    BUILD=${VYR_BUILD_DIR:-build}
    CONFIG=(-DVYR_TESTS=ON)
    TARGET=()
    WHAT="the program and its tests in $BUILD"
    ;;
  sanitize)
    PY=$(bash scripts/setup.sh test | tail -n 1)
    BUILD=${VYR_SANITIZE_BUILD_DIR:-build-asan}
    CONFIG=(-DVYR_TESTS=ON -DCMAKE_CXX_COMPILER=clang++ -DVYR_SANITIZE=ON -DVYR_FUZZ=ON)
    TARGET=()
    WHAT="the checking build and its tests in $BUILD"
    ;;
  *) echo "usage: scripts/build.sh [test|sanitize]" >&2; exit 2 ;;
esac
ROOT=$("$PY" -c 'import sys; print(sys.base_prefix)')
cmake -S . -B "$BUILD" -G Ninja -DPython_EXECUTABLE="$PY" -DPython_ROOT_DIR="$ROOT" "${CONFIG[@]}" >/dev/null
NINJA=()
if [ ! -t 1 ]; then
  NINJA=(-- --quiet)
fi
echo "build: building $WHAT" >&2
cmake --build "$BUILD" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" "${TARGET[@]}" "${NINJA[@]}"
