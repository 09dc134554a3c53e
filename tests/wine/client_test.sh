# The C++ client tests, with the simulated modem on COM5 for the event cases.
source "$(dirname "$0")/common.sh"
register_dll "$VELA_CTRL_DLL"
port_arg=()
if [ -x "${VELA_NATIVE_VELASMS:-}" ]; then
  start_sim --report-delay-ms 300 --control "$work/control"
  port_arg=(--port=COM5 "--control=$(winpath "$work/control")")
else
  echo "note: native velasms not built; the event cases are skipped" >&2
fi
status=0
wine_t 150 "$VELA_CLIENT_TEST" "--dll=$(winpath "$VELA_CTRL_DLL")" "${port_arg[@]}" | tr -d '\r' | tee "$work/out" || status=$?
unregister_dll "$VELA_CTRL_DLL"
[ "$status" = 0 ] || fail "client tests exited with $status"
grep -q '^\[  PASSED  \]' "$work/out" || fail "no gtest pass line"
