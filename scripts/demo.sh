#!/usr/bin/env bash
# The main job: builds the library, registers it in a fresh Wine prefix and drives it from a
# script client.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$root/scripts/setup.sh"
configure_and_build
new_prefix "$build64/wineprefix-demo"
wine regsvr32 /s "$build64/tests/simbin/NimboGuestAgentCtrl.dll"
wine cscript //nologo "Z:$root/scripts/demo.js"
