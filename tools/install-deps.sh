#!/bin/sh
# Installs the Debian packages that the build and the tests need, then checks
# that every command the scripts, the Makefile and CMake call is really
# there. Runs as root on a fresh Debian 12 machine.
#   install-deps.sh          install what is missing, then check
#   install-deps.sh --check  only check the commands (no apt)
# A package name is not enough: on Debian 12 `wine64` installed without its
# recommendations has no `wine`, `wineboot` or `winepath`, which come with
# the package `wine`. So the commands are checked one by one, and a missing
# one stops the run with the package that provides it.
set -e

# command package
commands="cmake cmake
ctest cmake
g++ g++
pkg-config pkg-config
dpkg-source dpkg-dev
x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
x86_64-w64-mingw32-gcc-posix gcc-mingw-w64-x86-64-posix
x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
x86_64-w64-mingw32-nm binutils-mingw-w64-x86-64
wine wine
wineboot wine
winepath wine
wineserver wine
Xvfb xvfb
debootstrap debootstrap
bwrap bubblewrap
unshare util-linux
lnkinfo liblnk-utils
strace strace
clang clang
clang++ clang
sha256sum coreutils
od coreutils
git git
osslsigncode osslsigncode
openssl openssl
timeout coreutils
cmp diffutils
diff diffutils
awk mawk"

# Commands that another package may bring as well (Node.js from elsewhere
# has its own npm): their package is installed only when the command is
# missing.
commands_elsewhere="npm npm
node nodejs"

# Libraries and sources that no command stands for.
libraries="liblzma-dev zlib1g-dev googletest libclang-rt-14-dev"

# Prints one line per missing command with its package; fails when any is.
check_commands() {
    missing=0
    while read -r cmd pkg; do
        if ! command -v "$cmd" >/dev/null 2>&1; then
            echo "missing command: $cmd (Debian package $pkg)"
            missing=1
        fi
    done <<EOF
$commands
$commands_elsewhere
EOF
    return $missing
}

if [ "${1:-}" = "--check" ]; then
    check_commands
    exit $?
fi

packages=$(printf '%s\n' "$commands" | awk '{print $2}' | sort -u)
missing=""
for p in $packages $libraries; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $p" ;;
    esac
done
missing="$missing$(printf '%s\n' "$commands_elsewhere" | while read -r cmd pkg; do
    command -v "$cmd" >/dev/null 2>&1 || printf ' %s' "$pkg"
done)"
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends $missing
fi

if ! check_commands; then
    echo "The set-up is incomplete: install the packages above, then run make again." >&2
    exit 1
fi
