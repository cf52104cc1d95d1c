#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine and
# finds CPython 3.12 with its shared libpython.
# Prints nothing on stdout but the interpreter's path (last line).
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  clang
  libclang-rt-dev
  llvm
  qtbase5-dev qtbase5-dev-tools libqt5svg5-dev libx11-dev qtwayland5
  libgtest-dev
  python3 python3-psutil libtk8.6
  xvfb xauth xdotool x11-utils openbox imagemagick weston
  fonts-roboto locales
  fonts-inter qttranslations5-l10n trayer
  btop
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine64
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# A locale with a decimal comma, so the tests can show that numbers never follow it.
if ! locale -a 2>/dev/null | grep -qi '^tr_TR\.utf-\?8$'; then
  localedef -i tr_TR -f UTF-8 tr_TR.UTF-8 >&2 2>/dev/null || echo "setup: could not make the tr_TR.UTF-8 locale" >&2
fi

# CPython 3.12 with a shared libpython: VYR_PYTHON may name the interpreter.
candidates=()
[ -n "${VYR_PYTHON:-}" ] && candidates+=("$VYR_PYTHON")
for d in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12.*; do
  [ -x "$d/bin/python3.12" ] && candidates+=("$d/bin/python3.12")
done
command -v python3.12 >/dev/null 2>&1 && candidates+=("$(command -v python3.12)")

for py in "${candidates[@]}"; do
  if "$py" -c 'import sys, sysconfig; sys.exit(0 if sys.version_info[:2] == (3, 12) and sysconfig.get_config_var("Py_ENABLE_SHARED") else 1)' 2>/dev/null; then
    echo "$py"
    exit 0
  fi
done
echo "setup: no CPython 3.12 with a shared libpython found." >&2
echo "setup: install one (for example pyenv's 3.12.1 built with --enable-shared) or set VYR_PYTHON to its python3.12." >&2
exit 1
