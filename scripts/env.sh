# Sourced by the scripts: build folders and the Wine settings of a throw-away prefix.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build64=${NIMBO_BUILD_ROOT:-$root/build}/x86_64
build32=${NIMBO_BUILD_ROOT:-$root/build}/i686
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers, no desktop integration.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"

configure_and_build() {
    cmake -S "$root" -B "$build32" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" >/dev/null
    cmake --build "$build32"
    cmake -S "$root" -B "$build64" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" \
          -DNIMBO_I686_DLL="$build32/bin/NimboGuestAgentCtrl.dll" >/dev/null
    cmake --build "$build64"
}

# new_prefix <dir>: a fresh 64-bit prefix with a persistent wineserver and no crash debugger
# (an unhandled exception must end the process, not wait in winedbg).
new_prefix() {
    export WINEPREFIX=$1
    export WINEARCH=win64
    if [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$WINEPREFIX"
    wineserver -p
    # The first Wine process creates the prefix (and starts services.exe once); an extra
    # explicit wineboot here would leave a second service manager behind.
    wine cmd /c exit </dev/null >/dev/null 2>&1
    wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /t REG_SZ /d 0 /f >/dev/null 2>&1
    trap 'WINEPREFIX='"$WINEPREFIX"' wineserver -k 2>/dev/null || true' EXIT
}
