#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test, twice:
# in the program's build (build/) and in the checking build (build-asan/),
# where AddressSanitizer and UndefinedBehaviorSanitizer watch the C++ code
# under the C++ and Python tests and the fuzz targets try a fixed number of
# inputs each. Arguments go to both ctest runs (for example -R engine);
# CTEST_PARALLEL_LEVEL sets the number of tests run at once (default: one
# per processor). Each run gets a temporary folder (TMPDIR) and a runtime
# folder (XDG_RUNTIME_DIR) of its own; the tests must leave the temporary
# folder empty. Both are removed at the end.
set -uo pipefail
cd "$(dirname "$0")"
BUILD=${VYR_BUILD_DIR:-build}
CHECKED=${VYR_SANITIZE_BUILD_DIR:-build-asan}
status=0

RUN_TMP=$(mktemp -d "${TMPDIR:-/tmp}/vyr-test-XXXXXX") || exit 1
trap 'rm -rf "$RUN_TMP"' EXIT
# Readable by all, as /tmp is: some tests read their files as another user.
chmod 755 "$RUN_TMP"

# ctest in the build folder $1 with fresh temporary and runtime folders;
# fails when a test left anything in the temporary one.
run_tests() {
  local build=$1 tmp="$RUN_TMP/$(basename "$1")"
  shift
  mkdir -m 755 "$tmp" && mkdir -m 700 "$tmp-runtime" || return 1
  local rc=0
  TMPDIR=$tmp XDG_RUNTIME_DIR=$tmp-runtime \
    ctest --test-dir "$build" --output-on-failure -j"${CTEST_PARALLEL_LEVEL:-$(nproc)}" "$@" || rc=1
  if [ -n "$(ls -A "$tmp")" ]; then
    echo "test: the tests of $build left files in their temporary folder:" >&2
    ls -A "$tmp" >&2
    rc=1
  fi
  return $rc
}

# The test packages are installed before the first configure, so that it finds
# the cross tools too; a build folder that ./run.sh made gets its tests added.
bash scripts/build.sh test || exit 1
run_tests "$BUILD" "$@" || status=1

bash scripts/build.sh sanitize || exit 1
rm -rf "$CHECKED/sanitizer-reports"
run_tests "$CHECKED" "$@" || status=1
# A report fails the run even where the program that made it was expected to fail.
if compgen -G "$CHECKED/sanitizer-reports/*" >/dev/null; then
  echo "test: sanitizer reports in $CHECKED/sanitizer-reports:" >&2
  cat "$CHECKED"/sanitizer-reports/* >&2
  status=1
fi
exit $status
