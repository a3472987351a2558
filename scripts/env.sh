# Sourced by the scripts: build folders and the Wine settings of a throw-away prefix.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build64=${NIMBO_BUILD_ROOT:-$root/build}/x86_64
build32=${NIMBO_BUILD_ROOT:-$root/build}/i686
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers, no desktop integration.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
# The 32-bit Wine (scripts/setup-wine32.sh).
wine32=${NIMBO_WINE32_ROOT:-/opt/nimbo-wine32}/bin/wine

# The x86_64 build first: the 32-bit lane's test package takes the X64 agent files from it.
configure_and_build() {
    cmake -S "$root" -B "$build64" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" \
          -DNIMBO_I686_DLL="$build32/bin/NimboGuestAgentCtrl.dll" -DNIMBO_I686_BUILD="$build32" >/dev/null
    cmake --build "$build64"
    cmake -S "$root" -B "$build32" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" -DNIMBO_WINE32="$wine32" \
          -DNIMBO_X64_PACKAGE="$build64/bin/NimboGuestAgents" >/dev/null
    cmake --build "$build32"
}

# make_prefix <dir> [<wine loader>]: a fresh prefix with a persistent wineserver (the one
# beside the loader, or the system's) and no crash debugger (an unhandled exception must end
# the process, not wait in winedbg).
make_prefix() {
    local wine=${2:-wine} server=wineserver
    [ $# -lt 2 ] || server=$(dirname "$2")/wineserver
    export WINEPREFIX=$1
    if [ -d "$WINEPREFIX" ]; then
        "$server" -k 2>/dev/null || true
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$WINEPREFIX"
    # Detached from our output: a test runner waits for every process that holds its pipes.
    "$server" -p </dev/null >/dev/null 2>&1
    # The first Wine process creates the prefix (and starts services.exe once); an extra
    # explicit wineboot here would leave a second service manager behind.
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1
    "$wine" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f >/dev/null 2>&1
}

# new_prefix <dir>: make_prefix for the 64-bit Wine; its server stops when the script ends.
new_prefix() {
    export WINEARCH=win64
    make_prefix "$1"
    trap 'WINEPREFIX='"$WINEPREFIX"' wineserver -k 2>/dev/null || true' EXIT
}
