#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both architectures, makes a throw-away
# Wine prefix and runs CTest in the x86_64 build. Extra arguments go to ctest
# (for example: scripts/test.sh -R foundation_tests).
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$root/scripts/setup.sh"
configure_and_build
new_prefix "$build64/wineprefix-test"
cd "$build64"
ctest --output-on-failure -j2 "$@"
