# Shared by the Wine test drivers (sourced). Environment from ctest:
# WINEPREFIX, VELA_CTRL_DLL, VELA_SCRIPT_HOST, VELA_CLIENT_TEST,
# VELA_NATIVE_VELASMS, VELA_SCRIPTS.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEPREFIX

work=$(mktemp -d "${TMPDIR:-/tmp}/vela-wine.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -f "$WINEPREFIX/dosdevices/com5"
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  if [ -s "$work/sim.err" ]; then echo "--- modem-sim said:" >&2; cat "$work/sim.err" >&2; fi
  exit 1
}

# wine with a time limit (seconds, then the command).
wine_t() { local limit=$1; shift; timeout "$limit" wine "$@"; }

winpath() { timeout 30 winepath -w "$1"; }

# Prints a registry key's contents (sorted, CR removed); empty when absent.
reg_dump() { wine_t 30 reg query "$1" /s 2>/dev/null | tr -d '\r' | sed '/^$/d' | sort || true; }
reg_exists() { wine_t 30 reg query "$1" >/dev/null 2>&1; }

register_dll() {  # path
  wine_t 60 regsvr32 /s "$(winpath "$1")" || fail "regsvr32 $1 exited with $?"
}
unregister_dll() {
  wine_t 60 regsvr32 /u /s "$(winpath "$1")" || fail "regsvr32 /u $1 exited with $?"
}

# Starts the simulated modem with the given options and links COM5 to it.
start_sim() {
  if [ ! -x "${VELA_NATIVE_VELASMS:-}" ]; then
    echo "SKIP: the native velasms ($VELA_NATIVE_VELASMS) is not built; build the Linux preset first" >&2
    exit 77
  fi
  local link="$work/modem"
  "$VELA_NATIVE_VELASMS" modem-sim --link "$link" "$@" >"$work/sim.out" 2>"$work/sim.err" </dev/null &
  sim_pid=$!
  for _ in $(seq 1 100); do
    grep -q '^ready' "$work/sim.out" 2>/dev/null && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.err" >&2; fail "modem-sim ended before it was ready"; }
    sleep 0.1
  done
  grep -q '^ready' "$work/sim.out" || fail "modem-sim not ready after 10 s"
  ln -sfn "$link" "$WINEPREFIX/dosdevices/com5"
}
