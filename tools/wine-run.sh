#!/bin/sh
# Runs a Windows program under Wine for ctest. Wine's helper processes
# (wineserver, services, the desktop) outlive the program and inherit its
# output handles, so the program writes into a file and the file is copied
# out once the program has ended; ctest is never kept waiting by them.
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
