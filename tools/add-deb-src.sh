#!/bin/sh
# Adds deb-src entries mirroring the machine's own deb entries, so that
# `apt-get source` works. The archive addresses come from the local apt
# configuration at run time; none is written into the project.
set -e
out=/etc/apt/sources.list.d/orbelune-deb-src
if apt-get indextargets 2>/dev/null | grep -q '^Identifier: Sources$'; then
    exit 0
fi
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    case "$f" in "$out".sources) continue ;; esac
    sed -n 's/^Types:.*\bdeb\b.*/Types: deb-src/;p' "$f"
    echo
done > "$out.sources.tmp"
if [ -f /etc/apt/sources.list ]; then
    grep -E '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list | sed 's/^\([[:space:]]*\)deb\([[:space:]]\)/\1deb-src\2/' > "$out.list" || true
    [ -s "$out.list" ] || rm -f "$out.list"
fi
mv "$out.sources.tmp" "$out.sources"
apt-get update -q
