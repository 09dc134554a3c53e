' The SIM asks for a PIN and Pin holds it: Open succeeds.
Option Explicit
Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
  End If
End Sub

Dim o : Set o = CreateObject("VelaCtrl.VelaCls")
o.Port = "COM5"
o.Pin = "1234"
o.Open
Check o.IsOpen = True, "open with the right PIN"
Dim ref : ref = o.SendSms("+15551234567", "after the PIN", False)
Check ref <> "" And IsNumeric(ref), "message sent after the PIN: reference " & ref
o.Close
WScript.Echo "END-OF-SCRIPT"
