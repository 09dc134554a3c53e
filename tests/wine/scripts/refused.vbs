' The modem refuses the message: SendSms succeeds with an empty result.
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
o.Open
Dim ref
On Error Resume Next
ref = o.SendSms("+15551234567", "refused", False)
Check Err.Number = 0, "no error for a refused message (" & Err.Number & " " & Err.Description & ")"
On Error GoTo 0
Check TypeName(ref) = "String" And ref = "", "empty result: '" & ref & "'"
o.Close
WScript.Echo "END-OF-SCRIPT"
