#!/bin/sh
# Starts the setup program under Wine in the project prefix. With a display
# the window opens there; without one it runs on a private Xvfb display for a
# few seconds and a screenshot is saved to build/screens/.
set -u
ORBELUNE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ORBELUNE_ROOT/tools/wine-env.sh"
cd "$ORBELUNE_ROOT"
setup="$ORBELUNE_ROOT/build/win/OrbeluneSetup.exe"

if [ -n "${DISPLAY:-}" ]; then
    init_wine_prefix
    exec wine "$setup"
fi

trap 'stop_xvfb' EXIT INT TERM
start_xvfb || exit 1
init_wine_prefix
mkdir -p build/screens
wine "$setup" >/dev/null 2>&1 &
pid=$!
sleep "${RUN_SECONDS:-5}"
shot="$ORBELUNE_ROOT/build/screens/run.png"
import -display "$DISPLAY" -window root "$shot"
kill "$pid" 2>/dev/null
wineserver -k 2>/dev/null
wait "$pid" 2>/dev/null
echo "Screenshot of the setup program: $shot"
