# Runs one script (scripts/NAME.vbs or .js) with our script host against the
# simulated modem on COM5 (options after the script name go to modem-sim).
# The script must print END-OF-SCRIPT last; lines starting with FAIL fail the test.
source "$(dirname "$0")/common.sh"
script=$1; shift
start_sim "$@"
register_dll "$VELA_CTRL_DLL"
status=0
wine_t 90 "$VELA_SCRIPT_HOST" "$(winpath "$VELA_SCRIPTS/$script")" | tr -d '\r' | tee "$work/out" || status=$?
unregister_dll "$VELA_CTRL_DLL"
[ "$status" = 0 ] || fail "script host exited with $status"
if grep -q '^FAIL' "$work/out"; then fail "the script reported failures"; fi
[ "$(tail -n 1 "$work/out")" = "END-OF-SCRIPT" ] || fail "the script did not reach its end marker"
