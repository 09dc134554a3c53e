' Messages already on the SIM when Open runs: left alone by default (the
' version-1 dialogue), reported once each and then deleted with
' ReadStoredMessages = True, so that a later Open finds none.
Option Explicit
Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
  End If
End Sub

Dim pCount, tCount, texts
pCount = 0 : tCount = 0 : texts = ""
Sub Sms_OnReceiveMessage(iFrm, iMsg, iSmscTime)
  pCount = pCount + 1
End Sub
Sub Sms_OnReceiveText(iFrm, iText, iSmscTime, iParts, iComplete)
  tCount = tCount + 1
  texts = texts & "[" & iFrm & ":" & iText & "]"
End Sub

Sub OpenAndWait(o, seconds)
  o.Port = "COM5"
  o.Open
  Dim i
  For i = 1 To seconds * 10
    If tCount >= 2 Then Exit For
    WScript.Sleep 100
  Next
  o.Close
End Sub

' ConnectObject (like CreateObject with a prefix) connects the default events
' interface, so the new events reach the script by name.
Dim o : Set o = CreateObject("VelaCtrl.VelaCls")
WScript.ConnectObject o, "Sms_"
OpenAndWait o, 2
Check pCount = 0 And tCount = 0, "by default stored messages are not read (" & pCount & ", " & tCount & ")"

o.ReadStoredMessages = True
OpenAndWait o, 15
Check tCount = 2 And pCount = 2, "with ReadStoredMessages each is reported once (" & pCount & ", " & tCount & ")"
Check InStr(texts, "[+15551110001:First stored]") > 0 And InStr(texts, "[+15551110002:Second stored]") > 0, "both texts: " & texts

pCount = 0 : tCount = 0
OpenAndWait o, 2
Check pCount = 0 And tCount = 0, "reported messages were deleted (" & pCount & ", " & tCount & ")"
WScript.Echo "END-OF-SCRIPT"
