#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/build.sh
ctest --test-dir "${VYR_BUILD_DIR:-build}" --output-on-failure -j"$(nproc)" "$@"
