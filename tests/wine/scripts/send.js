// SendSms from JScript: reference text, long text accepted, failure as exception.
function check(ok, what) { WScript.Echo((ok ? "ok   " : "FAIL ") + what); }

var o = new ActiveXObject("VelaCtrl.VelaCls");
o.Port = "COM5";
o.Open();
var ref = o.SendSms("+15551234567", "Hello from JScript", false);
check(typeof ref === "string" && /^[0-9]+$/.test(ref), "reference " + ref);
var text = "";
for (var i = 0; i < 200; i++) text += String.fromCharCode(65 + i % 26);
ref = o.SendSms("+15551234567", text, true);
check(/^[0-9]+$/.test(ref), "200 characters accepted: reference " + ref);
var caught = null;
try {
  o.SendSms("", "no destination", false);
} catch (e) {
  caught = e;
}
check(caught !== null && caught.description === "Error encoding PDU",
      "an empty destination fails: " + (caught ? caught.description : "no error"));
o.Close();
WScript.Echo("END-OF-SCRIPT");
