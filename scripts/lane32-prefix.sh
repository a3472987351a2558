#!/usr/bin/env bash
# The 32-bit test lane's first and last test: "start" makes the lane's prefix anew with a
# persistent wineserver, "stop" shuts that server down.
# Usage: lane32-prefix.sh start|stop <prefix> <32-bit wine loader>
set -euo pipefail
source "$(dirname "$0")/env.sh"
case $1 in
start) make_prefix "$2" "$3" ;;
stop) WINEPREFIX=$2 "$(dirname "$3")/wineserver" -k 2>/dev/null || true ;;
*) echo "usage: $0 start|stop <prefix> <wine>" >&2; exit 2 ;;
esac
