#!/usr/bin/env bash
# Static checks of an agent package folder: the files the installer expects are there, and
# they import nothing that Windows XP and Server 2003 guests lack (the agents must load there).
# usage: check_agents.sh <i686|x86_64> <package folder>
set -u
arch=$1 folder=$2
objdump=x86_64-w64-mingw32-objdump   # reads both PE32 and PE32+
fail=0
source "$(dirname "$0")/newer_imports.sh"
bad() { echo "FAIL: $*"; fail=1; }

if [ "$arch" = i686 ]; then
    files="NimboGuestAgent_X86.exe NimboVssSupportXP_X86.dll NimboVssSupport2003_X86.dll"
else
    files="NimboGuestAgent_X64.exe NimboVssSupport2003_X64.dll"
fi
allowed='^(KERNEL32|ADVAPI32|ole32|OLEAUT32|msvcrt|SHLWAPI|USER32)\.dll$'

for name in $files; do
    file=$folder/$name
    [ -f "$file" ] || { bad "no file $file"; continue; }
    dump=$($objdump -p "$file")
    while read -r dll; do
        printf '%s\n' "$dll" | grep -qiE "$allowed" || bad "$name imports $dll"
    done < <(printf '%s\n' "$dump" | sed -n 's/^\tDLL Name: //p')
    while read -r fn; do
        bad "$name imports $fn, which Windows XP and Server 2003 do not have"
    done < <(newer_imports "$dump")
done
[ $fail = 0 ] && echo "ok: $arch agent package: files and imports"
exit $fail
