// The modem refuses the message: SendSms returns an empty string, no exception.
function check(ok, what) { WScript.Echo((ok ? "ok   " : "FAIL ") + what); }

var o = new ActiveXObject("VelaCtrl.VelaCls");
o.Port = "COM5";
o.Open();
var ref = null;
try {
  ref = o.SendSms("+15551234567", "refused", false);
} catch (e) {
  check(false, "SendSms threw: " + e.description);
}
check(ref === "", "empty result: '" + ref + "'");
o.Close();
WScript.Echo("END-OF-SCRIPT");
