#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, twice:
# in the program's build (build/) and in the checking build (build-asan/),
# where AddressSanitizer and UndefinedBehaviorSanitizer watch the C++ code
# under the C++ and Python tests and the fuzz targets try a fixed number of
# inputs each. Arguments go to both ctest runs (for example -R engine).
set -uo pipefail
cd "$(dirname "$0")"
BUILD=${VYR_BUILD_DIR:-build}
CHECKED=${VYR_SANITIZE_BUILD_DIR:-build-asan}
status=0

bash scripts/build.sh || exit 1
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)" "$@" || status=1

bash scripts/build.sh sanitize || exit 1
rm -rf "$CHECKED/sanitizer-reports"
ctest --test-dir "$CHECKED" --output-on-failure -j"$(nproc)" "$@" || status=1
# A report fails the run even where the program that made it was expected to fail.
if compgen -G "$CHECKED/sanitizer-reports/*" >/dev/null; then
  echo "test: sanitizer reports in $CHECKED/sanitizer-reports:" >&2
  cat "$CHECKED"/sanitizer-reports/* >&2
  status=1
fi
exit $status
