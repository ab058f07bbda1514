#!/bin/sh
# Installs the Debian packages that the build and the tests need, when any
# is missing. Runs as root on a fresh Debian 12 machine.
set -e
packages="cmake make g++ pkg-config liblzma-dev googletest dpkg-dev
g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 xvfb imagemagick
liblnk-utils clang libclang-rt-14-dev"

missing=""
for p in $packages; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends $missing
