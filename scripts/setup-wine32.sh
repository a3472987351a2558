#!/usr/bin/env bash
# Installs the 32-bit Windows runtime of the 32-bit test lane and of the demo's --32 option:
# Debian's i386 Wine unpacked into a folder of its own and run by qemu-i386, since these
# machines run no 32-bit code natively. Nothing of it is installed into the system: an i386
# Wine package would take over /usr/bin/wine and break the 64-bit Wine, so dpkg's
# architectures stay as they are. The only system change is an apt source for backports
# (the distribution's own qemu 7.2 mis-handles MAP_FIXED_NOREPLACE and makes every Wine
# process crawl; backports has a fixed one).
#
# Result, in $NIMBO_WINE32_ROOT (default /opt/nimbo-wine32):
#   bin/wine        the i386 Wine loader under qemu-i386 (WINEARCH is always win32)
#   bin/wineserver  the wineserver of its prefixes
# Idempotent: the unpacked packages are kept while this recipe and the host's Wine are
# unchanged; the launchers are rewritten when they differ.
set -euo pipefail

dest=${NIMBO_WINE32_ROOT:-/opt/nimbo-wine32}
recipe=1
host_wine=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null || echo none)
stamp="recipe $recipe; host wine $host_wine"

unpacked() { [ "$(cat "$dest/.ready" 2>/dev/null)" = "$stamp" ]; }

# launcher <name>: the text of a script in usr/lib/wine.
launcher() {
    echo '#!/bin/sh'
    echo 'here=$(dirname "$(readlink -f "$0")")'
    echo 'root=${here%/usr/lib/wine}'
    # A server that makes a new prefix makes a 64-bit one unless WINEARCH says otherwise.
    echo 'export WINEARCH=win32'
    case $1 in
    wine32)
        # Wine starts each child process as "<loader's folder>/<basename of argv[0]>": with
        # argv[0] set to this script every child comes back through qemu (no binfmt_misc).
        echo 'exec "$here/qemu-i386" -L "$root" -0 "$here/wine32" "$here/wine" "$@"' ;;
    wineserver)
        # The loader starts "wineserver" from its own folder. The host's native wineserver of
        # the same Wine build serves i386 clients; another build needs the i386 one.
        if [ "$(cat "$dest/.wine-version" 2>/dev/null)" = "$host_wine" ] && [ -x /usr/lib/wine/wineserver64 ]; then
            echo 'exec /usr/lib/wine/wineserver64 -p0 "$@"'
        else
            echo 'exec "$here/qemu-i386" -L "$root" "$here/wineserver32" -p0 "$@"'
        fi ;;
    esac
}

launchers_current() {
    for name in wine32 wineserver; do
        [ "$(launcher $name)" = "$(cat "$dest/usr/lib/wine/$name" 2>/dev/null)" ] || return 1
    done
    [ -L "$dest/bin/wine" ] && [ -L "$dest/bin/wineserver" ]
}

unpacked && launchers_current && exit 0

if [ "$(id -u)" != 0 ]; then
    exec sudo NIMBO_WINE32_ROOT="$dest" "$0" "$@"
fi

# Several worktrees may set up at once: one does the work, the others wait and find it done.
mkdir -p "$(dirname "$dest")"
exec 9>"$dest.lock"
flock 9

unpack() {
    local started=$SECONDS codename new
    echo "setup: installing the 32-bit Wine runtime into $dest"
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")

    # qemu 10 comes from backports, in an apt source of its own.
    if ! grep -rqs -- "$codename-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
        cat > /etc/apt/sources.list.d/nimbo-backports.sources <<SOURCES
Types: deb
URIs: http://deb.debian.org/debian
Suites: $codename-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    fi

    # A private apt: own state and cache, an empty dpkg status and i386 as its native
    # architecture, so that a download-only install fetches Wine's whole i386 closure.
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/state/lists/partial" "$work/debs/partial"
    touch "$work/status"
    cat > "$work/apt.conf" <<CONF
APT::Architecture "i386";
APT::Architectures { "i386"; "amd64"; };
APT::Sandbox::User "root";
Dir::State "$work/state";
Dir::State::status "$work/status";
Dir::Cache "$work";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
Dir::Cache::Archives "$work/debs";
CONF
    apt32() { APT_CONFIG=$work/apt.conf apt-get -q -y -o Debug::NoLocking=1 "$@"; }
    apt32 update >/dev/null
    # The host's Wine build if the archive still has it (its native wineserver then serves
    # the i386 processes), else the newest.
    if [ "$host_wine" = none ] || ! apt32 install -d --no-install-recommends \
            "wine32=$host_wine" "libwine=$host_wine" libz-mingw-w64 >/dev/null 2>&1; then
        apt32 install -d --no-install-recommends wine32 libwine libz-mingw-w64 >/dev/null
    fi
    (cd "$work" && apt32 download "qemu-user:amd64/$codename-backports" >/dev/null)

    new=$dest.new
    rm -rf "$new"
    mkdir -p "$new"
    for deb in "$work"/debs/*.deb; do
        dpkg-deb -x "$deb" "$new"
    done
    dpkg-deb -f "$work"/debs/libwine_*.deb Version > "$new/.wine-version"
    # Only qemu-i386 of the whole qemu-user package; it is a static binary.
    dpkg-deb --fsys-tarfile "$work"/qemu-user_*.deb | tar -xO ./usr/bin/qemu-i386 > "$new/usr/lib/wine/qemu-i386"
    chmod 755 "$new/usr/lib/wine/qemu-i386"

    # What the packages' scripts would have done. Wine loads zlib1.dll as a builtin only with
    # Wine's signature at offset 64 (without it user32.dll does not load).
    local arch zlib
    for arch in i686:i386 x86_64:x86_64; do
        zlib=$new/usr/${arch%%:*}-w64-mingw32/lib/zlib1.dll
        { head -c 64 "$zlib"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$zlib"; } \
            > "$new/usr/lib/i386-linux-gnu/wine/${arch##*:}-windows/zlib1.dll"
    done
    # The loader cache of the folder (FreeType and others are found through it).
    echo 'include /etc/ld.so.conf.d/*.conf' > "$new/etc/ld.so.conf"
    ldconfig -r "$new"

    echo "$stamp" > "$new/.ready"
    rm -rf "$dest"
    mv "$new" "$dest"
    echo "setup: 32-bit Wine runtime unpacked in $((SECONDS - started)) s"
}

unpacked || unpack
# Replaced, not rewritten in place: running shells may still be reading the old ones.
for name in wine32 wineserver; do
    launcher $name > "$dest/usr/lib/wine/$name.new"
    chmod 755 "$dest/usr/lib/wine/$name.new"
    mv -f "$dest/usr/lib/wine/$name.new" "$dest/usr/lib/wine/$name"
done
mkdir -p "$dest/bin"
ln -sfn ../usr/lib/wine/wine32 "$dest/bin/wine"
ln -sfn ../usr/lib/wine/wineserver "$dest/bin/wineserver"
