' SendSms returns the modem's reference; texts are cut to 160 characters and
' characters outside the code page are sent as its replacement character
' (seen on the message the modem loops back from its own number).
Option Explicit
Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
  End If
End Sub

Const OWN = "+15550000000"
Dim received, firstText, secondText
received = 0
Sub Sink_OnReceiveMessage(iFrm, iMsg, iSmscTime)
  received = received + 1
  If received = 1 Then firstText = iMsg
  If received = 2 Then secondText = iMsg
End Sub

Function WaitFor(count)
  Dim i
  For i = 1 To 150
    If received >= count Then Exit For
    WScript.Sleep 100
  Next
  WaitFor = (received >= count)
End Function

Dim o : Set o = CreateObject("VelaCtrl.VelaCls")
o.Port = "COM5"
o.Open
WScript.ConnectObject o, "Sink_"

Dim ref, previous
ref = o.SendSms("+15551234567", "Hello", False)
Check TypeName(ref) = "String" And IsNumeric(ref), "SendSms returns the reference as text: " & ref
previous = CLng(ref)
ref = o.SendSms("+15551234567", "Hello again", True)
Check CLng(ref) <> previous, "each message gets its own reference: " & ref

Dim long200, i
long200 = ""
For i = 0 To 199
  long200 = long200 & Chr(65 + (i Mod 26))
Next
ref = o.SendSms(OWN, long200, False)
Check ref <> "", "200 characters accepted: reference " & ref
Check WaitFor(1), "the looped-back message arrived"
Check Len(firstText) = 160 And firstText = Left(long200, 160), "only the first 160 characters were sent (" & Len(firstText) & ")"

' The script file is UTF-8 (Wine's VBScript has no ChrW): Omega and Han are
' outside the code page, e-acute is inside it.
ref = o.SendSms(OWN, "Omega Ω Han 中 e é", False)
Check WaitFor(2), "the second looped-back message arrived"
Check secondText = "Omega ? Han ? e é", "replacement character in place of foreign ones: " & secondText

WScript.DisconnectObject o
ref = o.SendSms(OWN, "after disconnect", False)
WScript.Sleep 1500
Check received = 2, "no event after DisconnectObject"
o.Close
WScript.Echo "END-OF-SCRIPT"
