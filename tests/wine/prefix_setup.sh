# Creates the Wine prefix of the tests (inside the build folder) once.
source "$(dirname "$0")/common.sh"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  timeout 180 wine wineboot -i >/dev/null 2>&1 || true
  timeout 60 wineserver -w || true
fi
[ -f "$WINEPREFIX/system.reg" ] || fail "wineboot made no prefix in $WINEPREFIX"
echo "prefix ready: $WINEPREFIX"
