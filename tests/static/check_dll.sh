#!/usr/bin/env bash
# Static checks of a built DLL (the only checks the i686 build can have on these machines):
# the four exports by ordinal, imports of old enough system functions only, and the resources COM needs.
# usage: check_dll.sh <i686|x86_64> <dll>
set -u
arch=$1 dll=$2
objdump=${arch}-w64-mingw32-objdump
[ "$arch" = i686 ] || objdump=x86_64-w64-mingw32-objdump
here=$(dirname "$0")
fail=0
bad() { echo "FAIL: $*"; fail=1; }

[ -f "$dll" ] || { echo "FAIL: no file $dll"; exit 1; }
dump=$($objdump -p "$dll")

# Exports: the ordinal table lists "[index] +base[ordinal]"; the name table "[index] name".
expected="1 DllCanUnloadNow
2 DllGetClassObject
3 DllRegisterServer
4 DllUnregisterServer"
actual=$(printf '%s\n' "$dump" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
    names && /^\t\[ *[0-9]+\] / { sub(/^\t\[ *[0-9]+\] /, ""); n[++k] = $0; next }
    names && !/^\t\[/ { names = 0 }
    /^\t\[ *[0-9]+\] \+base\[ *[0-9]+\]/ { o = $0; sub(/.*\+base\[ */, "", o); sub(/\].*/, "", o); ord[++j] = o }
    END { for (i = 1; i <= k; i++) print ord[i], n[i] }' | sort -n)
[ "$actual" = "$expected" ] || bad "exports differ from the four entry points by ordinal:
$actual"

# Imports: each one a system function (the C++ runtime and winpthread are linked statically)
# present in the oldest Windows the DLL supports.
python3 "$here/check_imports.py" "$arch" "$dll" || fail=1

# Resources: type library 1, the registration scripts, the string table and the version.
resources=$(python3 "$here/pe.py" resources "$dll") || bad "cannot read resources"
for want in 'TYPELIB/1/' '^6/' '^16/1/'; do
    printf '%s\n' "$resources" | grep -q "$want" || bad "resource $want missing"
done
for id in 101 123 153 156; do
    printf '%s\n' "$resources" | grep -q "^REGISTRY/$id/1033$" || bad "registration script $id missing"
done

[ $fail = 0 ] && echo "ok: $arch $(basename "$dll"): exports, imports and resources"
exit $fail
