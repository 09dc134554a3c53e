// The SIM asks for a PIN and Pin is empty: Open throws with the step's message.
function check(ok, what) { WScript.Echo((ok ? "ok   " : "FAIL ") + what); }

var o = new ActiveXObject("VelaCtrl.VelaCls");
o.Port = "COM5";
var caught = null;
try {
  o.Open();
} catch (e) {
  caught = e;
}
check(caught !== null, "Open threw");
if (caught !== null) {
  check(caught.number === -2147418113, "number is E_UNEXPECTED (" + caught.number + ")");
  check(caught.description === "Cannot initialize commands on modem. Check and Set Pin error.",
        "description: " + caught.description);
}
check(o.IsOpen === false, "IsOpen stays false");
WScript.Echo("END-OF-SCRIPT");
