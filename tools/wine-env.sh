# Sourced by the scripts that run Windows programs: the project's own Wine
# prefix under build/, quiet, without the Mono and Gecko installers and
# without the menu builder writing into the host desktop.
ORBELUNE_ROOT=${ORBELUNE_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
export WINEPREFIX="${ORBELUNE_WINEPREFIX:-$ORBELUNE_ROOT/build/wineprefix}"
export ORBELUNE_PLATFORM=${ORBELUNE_PLATFORM:-wine8}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"

# Switches the Windows platform of what follows: wine8, this machine's own
# Wine, in build/wineprefix; or wine10, Wine 10 of the Debian 13 root that
# tools/debian13.sh makes, in build/wineprefix-wine10. Under wine10 the
# commands wine, wineboot, winepath and wineserver are the root's, run
# inside it (build/debian13-bin comes first in PATH), so every script and
# test program runs unchanged on either.
use_platform() {
    case $1 in
    wine8)
        export WINEPREFIX="$ORBELUNE_ROOT/build/wineprefix"
        PATH=$(printf '%s' "$PATH" | sed "s|^$ORBELUNE_ROOT/build/debian13-bin:||")
        ;;
    wine10)
        export WINEPREFIX="$ORBELUNE_ROOT/build/wineprefix-wine10"
        PATH="$ORBELUNE_ROOT/build/debian13-bin:$PATH"
        ;;
    *)
        echo "unknown platform $1" >&2
        return 1
        ;;
    esac
    export PATH ORBELUNE_PLATFORM=$1
}
if [ "$ORBELUNE_PLATFORM" = wine10 ]; then use_platform wine10; fi

# Starts Xvfb on a free display and exports DISPLAY; XVFB_PID is set.
start_xvfb() {
    n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do
        n=$((n + 1))
    done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    i=0
    while [ ! -e "/tmp/.X11-unix/X$n" ]; do
        i=$((i + 1))
        if [ $i -gt 100 ] || ! kill -0 "$XVFB_PID" 2>/dev/null; then
            echo "Xvfb did not start" >&2
            return 1
        fi
        sleep 0.1
    done
    export DISPLAY=":$n"
}

stop_xvfb() {
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}

# Creates the prefix once; later runs reuse it. Without a window manager on
# Xvfb, Wine's managed windows wait for one on every destruction, so Wine
# manages none itself.
PREFIX_VERSION=2
init_wine_prefix() {
    if [ "$(cat "$WINEPREFIX/.orbelune-ready" 2>/dev/null)" != "$PREFIX_VERSION" ]; then
        echo "Creating the Wine prefix $WINEPREFIX"
        rm -rf "$WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
        wineserver -w
        echo "$PREFIX_VERSION" >"$WINEPREFIX/.orbelune-ready"
    fi
}
