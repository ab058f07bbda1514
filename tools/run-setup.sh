#!/bin/sh
# Starts the setup program under Wine in the project prefix. With a display
# the wizard opens there for the person at the screen. Without one, the UI
# driver walks it through a whole installation on a private Xvfb display,
# a screenshot of each page goes to build/screens/, and what was installed
# where is printed.
set -u
ORBELUNE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ORBELUNE_ROOT/tools/wine-env.sh"
cd "$ORBELUNE_ROOT"
setup="$ORBELUNE_ROOT/build/win/OrbeluneSetup.exe"
driver="$ORBELUNE_ROOT/build/win/tests/e2e_driver.exe"

if [ -n "${DISPLAY:-}" ]; then
    init_wine_prefix
    exec wine "$setup"
fi

trap 'wineserver -k 2>/dev/null; stop_xvfb' EXIT INT TERM
start_xvfb || exit 1
init_wine_prefix
screens="$ORBELUNE_ROOT/build/screens"
rm -rf "$screens"
mkdir -p "$screens"
wine "$driver" install "$(winepath -w "$setup")" --screens "$(winepath -w "$screens")" \
    >"$screens/run.log" 2>&1 </dev/null
for bmp in "$screens"/*.bmp; do
    [ -f "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
tr -d '\r' <"$screens/run.log"

appdata=$(winepath -u "$(wine cmd /c echo %APPDATA% 2>/dev/null | tr -d '\r')" 2>/dev/null)
echo
echo "Installed for the Wine user of $WINEPREFIX:"
echo "  programs:  $appdata/Orbelune/"
ls "$appdata/Orbelune" 2>/dev/null | sed 's/^/    /'
echo "  shortcuts: $appdata/Microsoft/Windows/Start Menu/Programs/Orbelune/"
ls "$appdata/Microsoft/Windows/Start Menu/Programs/Orbelune" 2>/dev/null | sed 's/^/    /'
echo "  registry:  HKCU\\Software\\Orbelune, the uninstall entry and file types (wine reg query HKCU\\Software\\Orbelune)"
echo "Screenshots of the four pages: $screens/"
ls "$screens"/*.png 2>/dev/null | sed 's/^/    /'
