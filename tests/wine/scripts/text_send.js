// IVelaCls2 from JScript: settings, SendText and PartReferences; a refused
// value raises an error naming the property.
function check(ok, what) { WScript.Echo((ok ? "ok   " : "FAIL ") + what); }

var o = WScript.CreateObject("VelaCtrl.VelaCls");
check(o.Coding === "auto" && o.MaxParts === 10 && o.Languages === "", "defaults");
o.Coding = "UCS2";
check(o.Coding === "ucs2", "Coding reads back in its canonical spelling: " + o.Coding);
o.Languages = "tr,es";
check(o.Languages === "tr,es", "Languages keeps what was written: " + o.Languages);
var refused = false;
try { o.LockScope = "everywhere"; } catch (e) { refused = e.description.indexOf("LockScope") >= 0; }
check(refused, "a bad LockScope raises an error naming the property");
check(o.LockScope === "machine", "LockScope unchanged: " + o.LockScope);
o.LockScope = "port";
check(o.LockScope === "port", "LockScope port");

o.Port = "COM5";
o.Open();
o.Coding = "auto";
var text = "";
while (text.length < 400) text += "Long message from JScript. ";
text = text.substring(0, 400);
var id = o.SendText("+15551234567", text, false);
check(typeof id === "string" && id !== "", "SendText returns an identifier: " + id);
var refs = o.PartReferences.split(",");
check(refs.length === 3, "400 default-alphabet characters take three parts: " + o.PartReferences);
o.MaxParts = 2;
var tooMany = false;
try { o.SendText("+15551234567", text, false); } catch (e) { tooMany = true; WScript.Echo("refused: " + e.description); }
check(tooMany, "more parts than MaxParts is an error");
o.Close();
WScript.Echo("END-OF-SCRIPT");
