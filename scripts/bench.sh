#!/usr/bin/env bash
# Benchmarks (not tests), against a simulated guest:
#   scripts/bench.sh [N]           installs and uninstalls the VSS agent N times (default 20) and
#                                  compares the upload phase with a plain copy of the same files
#   scripts/bench.sh --freeze [N]  N calls of GetFreezeState (default 1000) through the COM
#                                  object against N through the bare client stub, to the same
#                                  running agent
#   scripts/bench.sh --console [MB]  a console on the guest writes MB megabytes (default 10) of
#                                  numbered lines; counts, order and timing at the client's sink
set -euo pipefail
source "$(dirname "$0")/env.sh"
program=InstallBenchmark rounds=20
case ${1:-} in
--freeze) program=FreezeStateBenchmark rounds=1000; shift ;;
--console) program=ConsoleBenchmark rounds=10; shift ;;
esac
"$root/scripts/setup.sh"
configure_and_build
new_prefix "$build64/wineprefix-bench"
work=$build64/bench
rm -rf "$work" && mkdir -p "$work"
if [ $program = ConsoleBenchmark ]; then
    wine "$build64/tests/bin/$program.exe" "Z:$build64/tests/simbin/NimboGuestAgentCtrl.dll" \
         "Z:$build64/agents/bin/NimboConsoleProbe.exe" "Z:$work" "${1:-$rounds}"
else
    wine "$build64/tests/bin/$program.exe" "Z:$build64/tests/simbin/NimboGuestAgents" "Z:$work" "${1:-$rounds}"
fi
