' A fresh object's properties, Version open and closed, identity after Open.
Option Explicit
Dim failures : failures = 0
Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
  End If
End Sub

Const VERSION_TEXT = "ORVEX SMS ActiveX Control Version 3.0"
Dim o : Set o = CreateObject("VelaCtrl.VelaCls")
Check o.Port = "COM3", "Port defaults to COM3"
Check o.Baudrate = 9600 And TypeName(o.Baudrate) = "Long", "Baudrate defaults to the Long 9600"
Check o.Pin = "" And TypeName(o.Pin) = "String", "Pin defaults to an empty String"
Check o.DeviceModel = "" And o.Manufacturer = "" And o.DeviceSerial = "", "identity is empty before Open"
Check o.IsOpen = False And TypeName(o.IsOpen) = "Boolean", "IsOpen is the Boolean False"
Check o.Version = VERSION_TEXT, "Version while closed"

o.Port = "COM5"
o.Baudrate = 19200
Check o.Port = "COM5" And o.Baudrate = 19200, "settings keep what was written"
o.Open
Check o.IsOpen = True, "IsOpen after Open"
Check o.Manufacturer = "VelaSim", "Manufacturer from the modem: " & o.Manufacturer
Check o.DeviceModel = "GSM-1", "DeviceModel from the modem: " & o.DeviceModel
Check o.DeviceSerial = "356938035643809", "DeviceSerial from the modem: " & o.DeviceSerial
Check o.Version = VERSION_TEXT, "Version while open"
o.Close
Check o.IsOpen = False, "IsOpen after Close"
Check o.Manufacturer = "VelaSim", "identity stays after Close"

On Error Resume Next
o.SendFax "x"
Check Err.Number = 438, "an unknown member is refused (" & Err.Number & ")"
Err.Clear
o.Version = "x"
Check Err.Number <> 0, "Version cannot be written"
On Error GoTo 0
Set o = Nothing
WScript.Echo "END-OF-SCRIPT"
