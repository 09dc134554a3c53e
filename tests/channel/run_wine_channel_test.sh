#!/usr/bin/env bash
# Runs the Windows channel scenarios under Wine against a socat
# pseudo-terminal pair linked as COM7 (the channel) and COM8 (the scripted
# peer) of the Wine prefix, and checks that every scenario ran and passed.
# COM7/COM8 keep clear of the COM5/COM6 of the port tests, which may run at
# the same time in the same prefix.
# Usage: run_wine_channel_test.sh TEST.exe [gtest arguments...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
exe=$1
shift
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$exe")/../.." && pwd)/wineprefix}
dir=$(mktemp -d /tmp/vela-wine-channel.XXXXXX)
socat pty,raw,echo=0,link="$dir/a" pty,raw,echo=0,link="$dir/b" &
socat_pid=$!
cleanup() {
  kill "$socat_pid" 2>/dev/null || true
  rm -f "$WINEPREFIX/dosdevices/com7" "$WINEPREFIX/dosdevices/com8"
  rm -rf "$dir"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -e "$dir/a" ] && [ -e "$dir/b" ] && break; sleep 0.05; done
if ! [ -e "$dir/a" ] || ! [ -e "$dir/b" ]; then echo "socat made no pty pair" >&2; exit 1; fi
# Prepare the prefix first (wine-run creates it), then link the ports.
"$here/scripts/wine-run" cmd /c exit >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$(readlink -f "$dir/a")" "$WINEPREFIX/dosdevices/com7"
ln -sfn "$(readlink -f "$dir/b")" "$WINEPREFIX/dosdevices/com8"
out="$dir/out.txt"
status=0
VELA_TEST_COM_PORT=COM7 VELA_TEST_PEER_PORT=COM8 VELA_WINE_TIMEOUT=${VELA_WINE_TIMEOUT:-240} \
  "$here/scripts/wine-run" "$exe" "$@" >"$out" 2>&1 || status=$?
tr -d '\r' <"$out"
if [ "$status" -ne 0 ]; then echo "test program ended with status $status" >&2; exit 1; fi
# Skipped scenarios mean the ports were not reached: that is a failure here.
if grep -q '^\[  SKIPPED \]' "$out" || grep -q '^\[  FAILED  \]' "$out" \
   || ! grep -Eq '^\[  PASSED  \] [1-9][0-9]* tests?\.' <(tr -d '\r' <"$out"); then
  echo "channel scenarios did not all run and pass" >&2
  exit 1
fi
echo "channel scenarios under Wine: done"
