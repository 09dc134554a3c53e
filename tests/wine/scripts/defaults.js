// A fresh object's properties and Version from JScript; Open against the modem.
function check(ok, what) { WScript.Echo((ok ? "ok   " : "FAIL ") + what); }

var o = new ActiveXObject("VelaCtrl.VelaCls");
check(o.Port === "COM3", "Port defaults to COM3");
check(o.Baudrate === 9600, "Baudrate defaults to 9600");
check(o.Pin === "", "Pin defaults to empty");
check(o.IsOpen === false, "IsOpen is false");
check(o.Version === "ORVEX SMS ActiveX Control Version 3.0", "Version");
o.Port = "COM5";
o.Open();
check(o.IsOpen === true, "IsOpen after Open");
check(o.Manufacturer === "VelaSim", "Manufacturer " + o.Manufacturer);
o.Close();
check(o.IsOpen === false, "IsOpen after Close");
WScript.Echo("END-OF-SCRIPT");
