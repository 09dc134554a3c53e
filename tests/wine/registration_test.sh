# regsvr32 writes exactly the server's keys, a second registration changes
# nothing, and regsvr32 /u removes every key registration created. Then the
# same from a folder whose path holds a blank (registered by its short path).
source "$(dirname "$0")/common.sh"

clsid='{48957175-1EF9-4036-A339-D81FD71B8213}'
libid='{94AC5AF3-582A-4348-B4CB-668746F07BD0}'
# IVelaCls and IVelaClsEvents, then IVelaCls2 and IVelaClsEvents2 (type library 1.1).
iids=('{53E2F6D0-8992-4A07-B90A-FC93F6C47F75}' '{2B84789D-299B-4532-9A5D-48554DB7537F}'
      '{91EF004B-A99B-42C4-9CBB-6CFDDBB7B383}' '{D41DE2CD-6CB4-47BC-B0E2-A29C18832CA2}')
# Marshaling of each: the automation (dual) or dispatch proxy, as for the version-1 pair.
proxies=('{00020424-0000-0000-C000-000000000046}' '{00020420-0000-0000-C000-000000000046}'
         '{00020424-0000-0000-C000-000000000046}' '{00020420-0000-0000-C000-000000000046}')
keys=("HKCR\\CLSID\\$clsid" "HKCR\\VelaCtrl.VelaCls" "HKCR\\TypeLib\\$libid")
for i in "${iids[@]}"; do keys+=("HKCR\\Interface\\$i"); done

snapshot() { for k in "${keys[@]}"; do echo "== $k"; reg_dump "$k"; done; }

check_registered() {  # expected InprocServer32 path
  local c="HKCR\\CLSID\\$clsid" d
  d=$(reg_dump "$c")
  expect() { grep -qxF -- "$1" <<<"$d" || { echo "$d" >&2; fail "missing under $c: $1"; }; }
  expect "    (Default)    REG_SZ    VelaCls Object"
  expect "    (Default)    REG_SZ    $1"
  expect "    ThreadingModel    REG_SZ    Apartment"
  expect "    (Default)    REG_SZ    VelaCtrl.VelaCls"
  expect "    (Default)    REG_SZ    1.1"
  expect "    (Default)    REG_SZ    $libid"
  # Exactly the class key and its four subkeys, nothing more.
  local subkeys
  subkeys=$(grep -c '^HKEY' <<<"$d")
  [ "$subkeys" = 5 ] || { echo "$d" >&2; fail "expected 5 keys under the class key, found $subkeys"; }
  for s in InprocServer32 ProgID Version TypeLib; do
    grep -qix "HKEY_CLASSES_ROOT\\\\CLSID\\\\$clsid\\\\$s" <<<"$d" || fail "no subkey $s"
  done
  local p
  p=$(reg_dump "HKCR\\VelaCtrl.VelaCls")
  grep -qxF "    (Default)    REG_SZ    VelaCls Object" <<<"$p" || fail "program id key lacks its description"
  grep -qxF "    (Default)    REG_SZ    $clsid" <<<"$p" || fail "program id key lacks the class id"
  [ "$(grep -c '^HKEY' <<<"$p")" = 2 ] || { echo "$p" >&2; fail "program id key has other subkeys"; }
  local t
  t=$(reg_dump "HKCR\\TypeLib\\$libid\\1.1")
  grep -qxF "    (Default)    REG_SZ    VelaCtrl Library" <<<"$t" || { echo "$t" >&2; fail "type library not registered"; }
  # The help directory is the DLL's folder.
  grep -qxF "    (Default)    REG_SZ    ${dll_win%\\*}" <<<"$t" || { echo "$t" >&2; fail "help directory is not the DLL's folder"; }
  local n i
  for n in "${!iids[@]}"; do
    i=${iids[$n]}
    d=$(reg_dump "HKCR\\Interface\\$i")
    [ -n "$d" ] || fail "interface $i not registered"
    grep -qxF "    (Default)    REG_SZ    ${proxies[$n]}" <<<"$d" || { echo "$d" >&2; fail "interface $i lacks its proxy ${proxies[$n]}"; }
    grep -qxF "    Version    REG_SZ    1.1" <<<"$d" || { echo "$d" >&2; fail "interface $i not tied to type library 1.1"; }
  done
}

check_unregistered() {
  for k in "${keys[@]}"; do
    if reg_exists "$k"; then reg_dump "$k" >&2; fail "$k left behind by unregistration"; fi
  done
}

dll_win=$(winpath "$VELA_CTRL_DLL")
check_unregistered
register_dll "$VELA_CTRL_DLL"
check_registered "$dll_win"
first=$(snapshot)
register_dll "$VELA_CTRL_DLL"
second=$(snapshot)
[ "$first" = "$second" ] || { diff <(echo "$first") <(echo "$second") >&2; fail "registering twice changed the registry"; }
unregister_dll "$VELA_CTRL_DLL"
check_unregistered
echo "registration and unregistration: ok"

# A path with a blank is registered by its short form.
blank="$WINEPREFIX/drive_c/Vela Ctrl Test"
mkdir -p "$blank"
cp "$VELA_CTRL_DLL" "$blank/VelaCtrl.dll"
register_dll "$blank/VelaCtrl.dll"
server=$(reg_dump "HKCR\\CLSID\\$clsid\\InprocServer32" | sed -n 's/^    (Default)    REG_SZ    //p')
echo "registered as: $server"
[ -n "$server" ] || fail "no server path written"
case "$server" in *" "*) fail "the server path still holds a blank: $server" ;; esac
long=$(timeout 30 winepath -u "$server" 2>/dev/null || true)
[ "$(readlink -f "$long")" = "$(readlink -f "$blank/VelaCtrl.dll")" ] || fail "short path $server does not name the DLL"
# A client creates the object through that registration.
cat >"$work/create.vbs" <<'VBS'
Set o = CreateObject("VelaCtrl.VelaCls")
WScript.Echo "created " & o.Version
WScript.Echo "END-OF-SCRIPT"
VBS
out=$(wine_t 60 "$VELA_SCRIPT_HOST" "$(winpath "$work/create.vbs")" | tr -d '\r')
echo "$out"
grep -qx "created ORVEX SMS ActiveX Control Version 3.0" <<<"$out" || fail "object not created from the short path"
grep -qx "END-OF-SCRIPT" <<<"$out" || fail "script did not finish"
unregister_dll "$blank/VelaCtrl.dll"
check_unregistered
rm -rf "$blank"
echo "path with a blank: ok"
echo "ALL-REGISTRATION-CHECKS-PASSED"
