#!/usr/bin/env bash
# Static checks of an agent package folder: the files the installer expects are there, and
# every program and library in it imports only system DLLs, each function present in the
# oldest Windows the guests run (the agents must load on XP and Server 2003).
# usage: check_agents.sh <i686|x86_64> <package folder>
set -u
arch=$1 folder=$2
fail=0
bad() { echo "FAIL: $*"; fail=1; }

if [ "$arch" = i686 ]; then
    files="NimboGuestAgent_X86.exe NimboVssSupportXP_X86.dll NimboVssSupport2003_X86.dll NimboRemoteConsole_X86.dll"
else
    files="NimboGuestAgent_X64.exe NimboVssSupport2003_X64.dll"
fi
for name in $files; do
    [ -f "$folder/$name" ] || bad "no file $folder/$name"
done
binaries=$(find "$folder" -maxdepth 1 -type f \( -iname '*.exe' -o -iname '*.dll' \) | sort)
allowed='^(KERNEL32|ADVAPI32|ole32|OLEAUT32|RPCRT4|msvcrt|SHLWAPI|USER32)\.dll$'
for file in $binaries; do
    while read -r dll; do
        printf '%s\n' "$dll" | grep -qiE "$allowed" || bad "$(basename "$file") imports $dll"
    done < <(python3 "$(dirname "$0")/pe.py" imports "$file" | sed 's/!.*//' | sort -u)
done
# shellcheck disable=SC2086
python3 "$(dirname "$0")/check_imports.py" "$arch" $binaries || fail=1
[ $fail = 0 ] && echo "ok: $arch agent package: files and imports"
exit $fail
