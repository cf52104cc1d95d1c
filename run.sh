#!/usr/bin/env bash
# Installs what is missing, builds the program folder and starts the monitor
# (under a virtual X display when there is none).
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/build.sh
BUILD=${VYR_BUILD_DIR:-build}
case "$BUILD" in
  /*) ;;
  *) BUILD="$(pwd)/$BUILD" ;;
esac
EXE="$BUILD/dist/Vyr_Sistem_Zuvedadu"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run: no display; starting under Xvfb" >&2
  exec xvfb-run -a -s "-screen 0 1920x1080x24" "$EXE" "$@"
fi
exec "$EXE" "$@"
