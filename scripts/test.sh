#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both architectures, makes a throw-away
# Wine prefix and runs CTest in the x86_64 build, which also runs the 32-bit lane (label
# lane32, in a prefix of its own). Extra arguments go to ctest
# (for example: scripts/test.sh -R FileMutex, or -L lane32, or -LE lane32).
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$root/scripts/setup.sh"
configure_and_build
new_prefix "$build64/wineprefix-test"
# The lane stops its server as its last test; this is for a run that ends early.
trap 'wineserver -k 2>/dev/null || true; bash "$root/scripts/lane32-prefix.sh" stop "$build32/wineprefix-test" "$wine32"' EXIT
cd "$build64"
# A test that fails is run up to two more times: Wine's RPC transport now and then leaves a reply
# unsent (a server thread waits for the socket to become writable and is never woken), which
# hangs that call until the test's time-out. A fault of ours fails every run.
ctest --output-on-failure -j2 --repeat until-pass:3 "$@"
