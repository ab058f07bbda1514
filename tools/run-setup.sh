#!/bin/sh
# Starts the setup program under Wine in the project prefix. With a display
# the wizard opens there for the person at the screen. Without one, the UI
# driver walks it through a whole installation on a private Xvfb display,
# a picture of each page goes to build/screens/ (at 96 DPI, then again at
# 144 and 192 DPI), and what was installed where is printed.
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
# The driver writes each page's picture as a PNG file.
wine "$driver" install "$(winepath -w "$setup")" --screens "$(winepath -w "$screens")" \
    >"$screens/run.log" 2>&1 </dev/null
tr -d '\r' <"$screens/run.log"

# The same walk at 144 and 192 DPI. Wine takes the DPI from "LogPixels"
# when a program starts; the value is put back as it was afterwards.
desktop='HKCU\Control Panel\Desktop'
saved_dpi=$(wine reg query "$desktop" /v LogPixels 2>/dev/null </dev/null | tr -d '\r' |
    sed -n 's/.*REG_DWORD *0x\([0-9a-fA-F]*\).*/\1/p')
for dpi in 144 192; do
    wine reg add "$desktop" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1 </dev/null
    mkdir -p "$screens/$dpi"
    wine "$driver" install "$(winepath -w "$setup")" --screens "$(winepath -w "$screens/$dpi")" \
        >"$screens/run-${dpi}dpi.log" 2>&1 </dev/null
    for png in "$screens/$dpi"/*.png; do
        [ -f "$png" ] && mv "$png" "$screens/$(basename "${png%.png}")-${dpi}dpi.png"
    done
    rm -rf "$screens/$dpi"
    grep -q "status: Installation completed successfully." "$screens/run-${dpi}dpi.log" ||
        echo "The walk at $dpi DPI did not complete; see $screens/run-${dpi}dpi.log"
done
if [ -n "$saved_dpi" ]; then
    wine reg add "$desktop" /v LogPixels /t REG_DWORD /d "$((0x$saved_dpi))" /f >/dev/null 2>&1 </dev/null
else
    wine reg delete "$desktop" /v LogPixels /f >/dev/null 2>&1 </dev/null
fi

appdata=$(winepath -u "$(wine cmd /c echo %APPDATA% 2>/dev/null | tr -d '\r')" 2>/dev/null)
echo
echo "Installed for the Wine user of $WINEPREFIX:"
echo "  programs:  $appdata/Orbelune/"
ls "$appdata/Orbelune" 2>/dev/null | sed 's/^/    /'
echo "  shortcuts: $appdata/Microsoft/Windows/Start Menu/Programs/Orbelune/"
ls "$appdata/Microsoft/Windows/Start Menu/Programs/Orbelune" 2>/dev/null | sed 's/^/    /'
echo "  registry:  HKCU\\Software\\Orbelune, the uninstall entry and file types (wine reg query HKCU\\Software\\Orbelune)"
echo "Pictures of the pages (the progress page while installing and at the end) at 96, 144 and 192 DPI: $screens/"
ls "$screens"/*.png 2>/dev/null | sed 's/^/    /'
