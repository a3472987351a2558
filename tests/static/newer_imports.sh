# Sourced by the static checks: KERNEL32 functions that came with Vista or later, which the
# library and the agents must not import (they load on Windows XP and Server 2003).
newer_kernel32='^(GetTickCount64|InitializeSRWLock|(Acquire|Release|TryAcquire)SRWLock.*|.*ConditionVariable.*|InitOnce.*|Fls(Alloc|Free|GetValue|SetValue)|GetFileInformationByHandleEx|CreateSymbolicLinkW?|(CompareString|GetLocaleInfo|LCMapString)Ex|GetSystemTimePreciseAsFileTime|InterlockedCompareExchange64)$'

# newer_imports <objdump -p output>: the KERNEL32 imports of the dump that are in the list.
newer_imports() {
    printf '%s\n' "$1" | awk '/DLL Name: KERNEL32/ { k = 1; next } /DLL Name/ { k = 0 }
                             k && NF >= 3 && $1 ~ /^[0-9a-f]+$/ { print $3 }' | grep -E "$newer_kernel32"
}
