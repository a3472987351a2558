#!/usr/bin/env bash
# The main job: builds the library, registers its test build in a fresh Wine prefix, makes two
# simulated guests and lets a script client drive the whole deployment road against them, with
# the freeze road and a remote console (early-bound C++ clients over RPC to the installed
# agents) in between. The console runs Wine's own cmd.exe, uploaded to the guest as a package
# file.
#   scripts/demo.sh        with the 64-bit DLL (the faster: 64-bit Wine runs natively)
#   scripts/demo.sh --32   with the 32-bit DLL, under the 32-bit Wine
set -euo pipefail
source "$(dirname "$0")/env.sh"
bits=64
case ${1:-} in
"") ;;
--32) bits=32 ;;
*) echo "usage: $0 [--32]" >&2; exit 2 ;;
esac
"$root/scripts/setup.sh"
configure_and_build
if [ $bits = 64 ]; then
    build=$build64
    new_prefix "$build/wineprefix-demo"
    # The guest runs the deployed agent in this prefix, so it has the prefix's processor.
    architecture=AMD64
else
    build=$build32
    make_prefix "$build/wineprefix-demo" "$wine32"
    trap 'bash "$root/scripts/lane32-prefix.sh" stop "$build/wineprefix-demo" "$wine32"' EXIT
    wine() { "$wine32" "$@"; }
    architecture=x86
fi
wine regsvr32 /s "$build/tests/simbin/NimboGuestAgentCtrl.dll"

# Two guests: a version 6.0 server the VSS agent supports, and a 64-bit XP workstation it does
# not. Their ADMIN$ shares are plain folders here (see docs/SimulatedGuests.md).
demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/srv2008-admin" "$demo/xp64-admin"
cat > "$demo/guests.ini" <<GUESTS
[guest srv2008.lab.example]
admin_share = $demo/srv2008-admin
share_path = C:\\Windows
account = LAB\\backup | Demo-Pa55
os_version = 6.0
server_type = 0x8003
reg = SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment | PROCESSOR_ARCHITECTURE | REG_SZ | $architecture
service = VSS | running

[guest xp64.lab.example]
admin_share = $demo/xp64-admin
account = LAB\\backup | Demo-Pa55
os_version = 5.2
server_type = 0x1003
reg = SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment | PROCESSOR_ARCHITECTURE | REG_SZ | AMD64
GUESTS
export NIMBO_SIM_GUESTS=$demo/guests.ini
wine cscript //nologo "Z:$root/scripts/demo.js" srv2008.lab.example xp64.lab.example \
     "Z:$demo/srv2008-admin" "Z:$demo/NimboGuestAgentCtrl.log" "Z:$build/bin/examples/NimboVssFreezeClient.exe" \
     "Z:$build/bin/examples/NimboRemoteConsoleClient.exe" "C:\\windows\\system32\\cmd.exe" "dir /b"
