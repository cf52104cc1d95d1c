#!/usr/bin/env bash
# Installs the Debian packages that are missing and finds CPython 3.12 with its
# shared libpython.
#   bash scripts/setup.sh        what building and running the monitor need (./run.sh)
#   bash scripts/setup.sh test   that and what the tests add (./test.sh)
# Installing needs root: another user goes through sudo when sudo lets them
# (without a password, or after one password prompt on a terminal); otherwise
# the script prints the command for root and fails, installing nothing.
# apt-get's and dpkg's output goes to a log file, named when they fail.
# Prints nothing on stdout but the interpreter's path (last line).
set -euo pipefail

# What building and running the monitor need.
RUN_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qtbase5-dev qtbase5-dev-tools libqt5svg5-dev libx11-dev
  qtwayland5                        # Qt's platform plugin for a Wayland session
  fonts-roboto fonts-inter          # the fonts the views ask for, copied into assets/
  qttranslations5-l10n              # Qt's own texts in Turkish
  xvfb xauth                        # run.sh on a machine without a display
)

# What the tests add.
TEST_PACKAGES=(
  libgtest-dev                      # the C++ tests
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

SET=${1:-run}
LOCALE_STEP=(localedef -i tr_TR -f UTF-8 tr_TR.UTF-8)

installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${WANTED[@]}" 2>/dev/null || true)
missing=()
for p in "${WANTED[@]}"; do
  grep -qxF "$p install ok installed" <<<"$installed" || missing+=("$p")
done
# A locale with a decimal comma, so the tests can show that numbers never follow
# it (the tests that need it are skipped without it).
locales=$(locale -a 2>/dev/null || true)
need_locale=false
if [ "$SET" = test ] && ! grep -qi '^tr_TR\.utf-\?8$' <<<"$locales"; then
  need_locale=true
fi

# The command that root runs to do what is left in one go, on a machine whose
# package lists may still be empty.
root_command() {
  local line=""
  [ ${#missing[@]} -gt 0 ] &&
    line="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
  $need_locale && line="${line:+$line && }${LOCALE_STEP[*]}"
  printf '%s\n' "$line"
}

# Root runs the commands itself; another user through sudo, once sudo has said
# that it lets this user in: without a password, or, with "prompt" and a
# terminal to type it on, after one password prompt (the later commands use
# the credentials that sudo then keeps for a while). sudo reads the password
# from the controlling terminal, which "su -c" and a service do not give.
# AS_ROOT is the prefix of those commands; NO_ROOT says why there is no way to root.
AS_ROOT=()
NO_ROOT=""
ROOT_FOUND=false
find_root() {
  if $ROOT_FOUND || [ "$(id -u)" -eq 0 ]; then
    ROOT_FOUND=true
  elif ! command -v sudo >/dev/null 2>&1; then
    NO_ROOT="there is no sudo here"
  elif sudo -n true 2>/dev/null; then
    AS_ROOT=(sudo -n)
    ROOT_FOUND=true
  elif [ "$1" = prompt ] && [ -t 0 ] && { true </dev/tty; } 2>/dev/null; then
    echo "setup: installing needs root; sudo asks for your password once" >&2
    if sudo -v; then
      AS_ROOT=(sudo -n)
      ROOT_FOUND=true
    else
      NO_ROOT="sudo did not let this user in"
    fi
  else
    NO_ROOT="sudo needs a password, and there is no terminal to ask for it on"
  fi
  $ROOT_FOUND
}

# The number of packages installed on the machine.
count_installed() {
  dpkg-query -W -f='${db:Status-Abbrev}\n' 2>/dev/null | grep -c '^ii' || true
}

install_missing() {
  local log before after
  log=$(mktemp "${TMPDIR:-/tmp}/vyr-setup-XXXXXX.log")
  before=$(count_installed)
  echo "setup: installing ${#missing[@]} Debian packages and what they need: ${missing[*]}" >&2
  # Nothing may wait for an answer that nobody sees: no standard input, and a
  # changed configuration file of an upgraded package is kept as it is.
  if ! "${AS_ROOT[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q update </dev/null >"$log" 2>&1 ||
     ! "${AS_ROOT[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=0 \
         -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
         install --no-install-recommends "${missing[@]}" </dev/null >>"$log" 2>&1; then
    echo "setup: apt-get failed; its output is in $log, ending with:" >&2
    tail -n 5 "$log" | sed 's/^/  /' >&2
    if [ ${#AS_ROOT[@]} -gt 0 ]; then
      echo "setup: as root, run:" >&2
      echo "  $(root_command)" >&2
    fi
    exit 1
  fi
  after=$(count_installed)
  echo "setup: installed $((after - before)) packages in all (apt-get's output: $log)" >&2
}

if [ ${#missing[@]} -gt 0 ]; then
  if ! find_root prompt; then
    echo "setup: these Debian packages are missing: ${missing[*]}" >&2
    $need_locale && echo "setup: and the tests want a tr_TR.UTF-8 locale" >&2
    echo "setup: installing them needs root ($NO_ROOT); as root, run:" >&2
    echo "  $(root_command)" >&2
    exit 1
  fi
  install_missing
fi

# The locale alone never asks for a password: without a way to root it is named.
if $need_locale; then
  if ! find_root no-prompt; then
    echo "setup: no tr_TR.UTF-8 locale, so the tests that need one are skipped; as root, run:" >&2
    echo "  ${LOCALE_STEP[*]}" >&2
  elif ! "${AS_ROOT[@]}" "${LOCALE_STEP[@]}" >/dev/null 2>&1; then
    echo "setup: could not make the tr_TR.UTF-8 locale; as root, run: ${LOCALE_STEP[*]}" >&2
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
