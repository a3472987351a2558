#!/usr/bin/env bash
# Source lines by kind, over tracked files: tests (tests/ and agents/tests/), the guest
# simulation behind the seam (sim/, used by the tests and the demo), the benchmark programs
# (bench/) and the product (everything else).
# The project keeps tests at or below a third of all source lines.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files | grep -E '\.(c|cpp|h|idl|rc|rgs|js|sh|py|cmake|txt|def)$' | while read -r f; do
    case $f in
        sim/*) kind=sim ;;
        bench/*) kind=bench ;;
        tests/*|agents/tests/*) kind=tests ;;
        *) kind=product ;;
    esac
    echo "$kind $(wc -l <"$f")"
done | awk '{ n[$1] += $2; all += $2 }
    END { printf "product %d\ntests %d\nsim %d\nbench %d\ntests share %.1f%%\n",
                 n["product"], n["tests"], n["sim"], n["bench"], 100 * n["tests"] / all }'
