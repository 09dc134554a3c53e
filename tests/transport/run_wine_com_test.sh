#!/usr/bin/env bash
# Runs the Windows COM-port test under Wine against a socat pseudo-terminal
# pair linked as COM5 and COM6 of the Wine prefix.
# Usage: run_wine_com_test.sh TEST.exe
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
exe=$1
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$exe")/../.." && pwd)/wineprefix}
dir=$(mktemp -d /tmp/vela-wine-com.XXXXXX)
socat pty,raw,echo=0,link="$dir/a" pty,raw,echo=0,link="$dir/b" &
socat_pid=$!
cleanup() {
  kill "$socat_pid" 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com5" "$WINEPREFIX/dosdevices/com6"
  rm -rf "$dir"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "$dir/a" ] && [ -e "$dir/b" ] && break; sleep 0.05; done
# Prepare the prefix first (wine-run creates it), then link the ports.
"$here/scripts/wine-run" cmd /c exit >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$(readlink -f "$dir/a")" "$WINEPREFIX/dosdevices/com5"
ln -sfn "$(readlink -f "$dir/b")" "$WINEPREFIX/dosdevices/com6"
VELA_TEST_COM_PORT=COM5 VELA_TEST_PEER_PORT=COM6 "$here/scripts/wine-run" "$exe"
