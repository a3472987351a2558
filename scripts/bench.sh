#!/usr/bin/env bash
# Benchmark: installs and uninstalls the VSS agent on a simulated guest N times (default 20)
# and compares the upload phase with a plain copy of the same files.
#   scripts/bench.sh [N]
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$root/scripts/setup.sh"
configure_and_build
new_prefix "$build64/wineprefix-bench"
work=$build64/bench
rm -rf "$work" && mkdir -p "$work"
wine "$build64/tests/bin/InstallBenchmark.exe" "Z:$build64/tests/simbin/NimboGuestAgents" "Z:$work" "${1:-20}"
