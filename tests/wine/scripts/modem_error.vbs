' The modem refuses every message with +CMS ERROR: 304: SendSms and SendText
' still succeed with an empty result (as SendSms always has), and LastError
' names the modem's error and its meaning.
Option Explicit
Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
  End If
End Sub

Dim o : Set o = WScript.CreateObject("VelaCtrl.VelaCls")
Check o.LastError = "", "no error before Open"
o.Port = "COM5"
o.Open
Dim ref, id
On Error Resume Next
ref = o.SendSms("+15551234567", "refused", False)
Check Err.Number = 0 And ref = "", "SendSms: no error, empty reference (" & Err.Number & " '" & ref & "')"
Err.Clear
Check InStr(o.LastError, "+CMS ERROR: 304") = 1 And Len(o.LastError) > Len("+CMS ERROR: 304: "), "LastError: " & o.LastError
id = o.SendText("+15551234567", String(200, "a"), False)
Check Err.Number = 0 And id = "", "SendText: no error, empty identifier (" & Err.Number & " '" & id & "')"
Err.Clear
Check o.PartReferences = "", "no part went out: '" & o.PartReferences & "'"
Check InStr(o.LastError, "+CMS ERROR: 304") = 1, "LastError: " & o.LastError

id = o.SendText("+1-555-ABC", "bad number", False)
Check Err.Number <> 0 And InStr(Err.Description, "invalid destination number") > 0, "a number with letters is refused before sending: " & Err.Description
Err.Clear
On Error GoTo 0
o.Close
WScript.Echo "END-OF-SCRIPT"
