#!/usr/bin/env bash
# Installs the Debian packages that are missing and finds CPython 3.12 with its
# shared libpython.
#   bash scripts/setup.sh        what building and running the monitor need (./run.sh)
#   bash scripts/setup.sh test   that and what the tests add (./test.sh)
# Installing needs root: another user goes through sudo; without sudo the
# script prints the apt-get command for root and fails, installing nothing.
# Prints nothing on stdout but the interpreter's path (last line).
set -euo pipefail

# What building and running the monitor need.
RUN_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5svg5-dev libx11-dev
  libgtest-dev                      # the build configures and builds the tests too
  qtwayland5                        # Qt's platform plugin for a Wayland session
  fonts-roboto fonts-inter          # the fonts the views ask for, copied into assets/
  qttranslations5-l10n              # Qt's own texts in Turkish
  xvfb xauth                        # run.sh on a machine without a display
)

# What the tests add.
TEST_PACKAGES=(
  clang libclang-rt-dev llvm        # the checking build, libFuzzer, llvm-symbolizer
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64   # the Windows programs
  python3 python3-psutil            # the reference figures (Debian's /usr/bin/python3)
  libtk8.6                          # tkinter windows that the tests open
  xdotool x11-utils openbox imagemagick weston trayer btop
  locales                           # a locale with a decimal comma
  git                               # the list of a clone's files
)

case "${1:-run}" in
  run) WANTED=("${RUN_PACKAGES[@]}") ;;
  test) WANTED=("${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  *) echo "usage: scripts/setup.sh [run|test]" >&2; exit 2 ;;
esac

# Root runs the installing commands itself, another user through sudo.
AS_ROOT=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 && AS_ROOT=(sudo)
fi
can_be_root() { [ "$(id -u)" -eq 0 ] || [ ${#AS_ROOT[@]} -gt 0 ]; }

installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${WANTED[@]}" 2>/dev/null || true)
missing=()
for p in "${WANTED[@]}"; do
  grep -qxF "$p install ok installed" <<<"$installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if ! can_be_root; then
    echo "setup: these Debian packages are missing: ${missing[*]}" >&2
    echo "setup: installing them needs root (there is no sudo here); as root, run:" >&2
    echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}" >&2
  "${AS_ROOT[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
  "${AS_ROOT[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# A locale with a decimal comma, so the tests can show that numbers never follow it
# (the tests that need it are skipped without it).
locales=$(locale -a 2>/dev/null || true)
if [ "${1:-run}" = test ] && ! grep -qi '^tr_TR\.utf-\?8$' <<<"$locales"; then
  if ! can_be_root; then
    echo "setup: no tr_TR.UTF-8 locale; as root: localedef -i tr_TR -f UTF-8 tr_TR.UTF-8" >&2
  elif ! "${AS_ROOT[@]}" localedef -i tr_TR -f UTF-8 tr_TR.UTF-8 >&2 2>/dev/null; then
    echo "setup: could not make the tr_TR.UTF-8 locale" >&2
  fi
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
