#!/usr/bin/env bash
# Runs the fuzz targets for longer than the test run does, one after the other.
#   bash scripts/fuzz.sh [SECONDS [TARGET...]]
# SECONDS per target (default 600); TARGET names such as fuzz_duml (default:
# all). Builds the checking build first. New inputs are kept in
# build-asan/fuzz/TARGET.corpus, and an input that fails is written to
# build-asan/fuzz/TARGET-crash-*; the sanitizer's report of it goes to
# build-asan/sanitizer-reports/.
set -euo pipefail
cd "$(dirname "$0")/.."
CHECKED=${VYR_SANITIZE_BUILD_DIR:-build-asan}
SECONDS_EACH=${1:-600}
shift || true
bash scripts/build.sh sanitize
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for args in "$CHECKED"/fuzz/*.args; do targets+=("$(basename "$args" .args)"); done
fi
# The sanitizer options the tests run with.
source "$CHECKED/sanitizer_env.sh"
status=0
for t in "${targets[@]}"; do
  mapfile -t args < "$CHECKED/fuzz/$t.args"
  echo "fuzz: $t for ${SECONDS_EACH} s" >&2
  "$CHECKED/fuzz/$t" -max_total_time="$SECONDS_EACH" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$CHECKED/fuzz/$t-" "${args[@]}" || status=1
done
exit $status
