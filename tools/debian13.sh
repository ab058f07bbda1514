#!/bin/sh
# The second Windows platform: Wine 10 of Debian 13, in a Debian 13 root
# under build/ that debootstrap makes from the Debian archive this machine's
# apt uses (read from apt's own configuration at run time).
#
#   debian13.sh make       makes the root, or makes it anew when the package
#                          list below has changed since it was made
#   debian13.sh run CMD..  runs CMD inside the root
#
# The root is entered through bubblewrap: its /dev and /proc are private
# instances, and every mount it makes belongs to a mount namespace of its own
# that ends with its last process. Nothing is ever mounted under build/ in
# the machine's own namespace, so `rm -rf build` can only ever delete files
# of the root. debootstrap itself runs in a private mount namespace for the
# same reason (it mounts /proc and, inside containers, binds /dev).
#
# Inside, the project folder and /tmp (the X display's socket, wineserver's
# socket folder, the test runs' scratch folders) are the machine's own, at
# the same paths, so that Windows paths (Z:\...) are the same on both
# platforms.
set -u
ORBELUNE_ROOT=${ORBELUNE_ROOT:-$(cd "$(dirname "$0")/.." && pwd)}
root="$ORBELUNE_ROOT/build/debian13"
suite=trixie

# What the root holds besides debootstrap's minimal base: Wine and the
# libraries that Wine only recommends but our tests use (the X11 driver's
# extensions, fonts, TLS for crypt32's certificate checks).
PACKAGES="wine wine64 libwine fonts-wine libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1
libxinerama1 libxfixes3 libxxf86vm1 libgnutls30t64"

package_list() { printf '%s\n' $PACKAGES | sort | tr '\n' ' '; }

make_root() {
    want="$suite: $(package_list)"
    [ "$(cat "$root/.orbelune-packages" 2>/dev/null)" = "$want" ] && return 0
    archive=$(apt-get indextargets --format '$(REPO_URI)' 'Identifier: Packages' 'Label: Debian' 2>/dev/null | head -n 1)
    if [ -z "$archive" ]; then
        echo "debian13: no Debian archive in this machine's apt sources" >&2
        return 1
    fi
    echo "Making the Debian 13 root $root (debootstrap $suite)"
    rm -rf "$root" "$root.new"
    if ! unshare --mount --propagation private --fork \
            debootstrap --variant=minbase --include="$(printf '%s' "$PACKAGES" | tr ' \n' ',,')" \
            "$suite" "$root.new" "$archive" >"$ORBELUNE_ROOT/build/debian13.log" 2>&1; then
        tail -5 "$ORBELUNE_ROOT/build/debian13.log" >&2
        echo "debian13: debootstrap failed (whole log: build/debian13.log)" >&2
        rm -rf "$root.new"
        return 1
    fi
    rm -rf "$root.new/var/cache/apt/archives"/*.deb
    echo "$want" >"$root.new/.orbelune-packages"
    mv "$root.new" "$root"
}

run_in_root() {
    home="$ORBELUNE_ROOT/build/debian13-home"
    mkdir -p "$home"
    # Wine 10's wineboot aborts (free(): invalid pointer) when TMPDIR is set.
    exec bwrap --ro-bind "$root/usr" /usr --ro-bind "$root/etc" /etc \
        --symlink usr/bin /bin --symlink usr/sbin /sbin --symlink usr/lib /lib --symlink usr/lib64 /lib64 \
        --dev /dev --proc /proc --tmpfs /run --ro-bind "$root/var" /var \
        --bind /tmp /tmp --bind "$ORBELUNE_ROOT" "$ORBELUNE_ROOT" \
        --unsetenv TMPDIR --setenv HOME "$home" --setenv PATH /usr/bin:/usr/sbin \
        --chdir "$(pwd)" "$@"
}

# The commands that scripts call, as the root's (tools/wine-env.sh puts
# this folder first in PATH for the second platform).
make_shims() {
    bin="$ORBELUNE_ROOT/build/debian13-bin"
    mkdir -p "$bin"
    for name in wine wineboot winepath wineserver; do
        printf '#!/bin/sh\nexec sh "%s/tools/debian13.sh" run %s "$@"\n' "$ORBELUNE_ROOT" "$name" >"$bin/$name"
        chmod +x "$bin/$name"
    done
}

case "${1:-}" in
make) make_root && make_shims ;;
run)
    shift
    run_in_root "$@"
    ;;
*)
    echo "usage: debian13.sh make | run COMMAND..." >&2
    exit 2
    ;;
esac
