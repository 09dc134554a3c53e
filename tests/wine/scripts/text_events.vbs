' A 300-character Cyrillic text goes out with SendText and comes back from
' the modem's own number whole, through OnReceiveText, followed by
' OnMessageStatus once every part has its report. The per-part events keep
' coming to the same sink, once per part. WScript.CreateObject with a prefix
' connects the object's default events interface.
Option Explicit
Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
  End If
End Sub

Const OWN = "+15550000000"
Dim tCount, tFrm, tText, tTime, tParts, tComplete, tTypes
Dim sCount, sID, sDelivered, sTypes, pCount, rCount
tCount = 0 : sCount = 0 : pCount = 0 : rCount = 0
Sub Sms_OnReceiveText(iFrm, iText, iSmscTime, iParts, iComplete)
  tCount = tCount + 1
  tFrm = iFrm : tText = iText : tTime = iSmscTime : tParts = iParts : tComplete = iComplete
  tTypes = TypeName(iFrm) & "," & TypeName(iText) & "," & TypeName(iSmscTime) & "," & TypeName(iParts) & "," & TypeName(iComplete)
End Sub
Sub Sms_OnMessageStatus(iMessageId, iDelivered)
  sCount = sCount + 1
  sID = iMessageId : sDelivered = iDelivered
  sTypes = TypeName(iMessageId) & "," & TypeName(iDelivered)
End Sub
Sub Sms_OnReceiveMessage(iFrm, iMsg, iSmscTime)
  pCount = pCount + 1
End Sub
Sub Sms_OnDeliveryReport(iMsgID, iSmscTime, iEventTime, iDelivered)
  rCount = rCount + 1
End Sub

Dim o : Set o = WScript.CreateObject("VelaCtrl.VelaCls", "Sms_")
Check o.Coding = "auto" And o.Languages = "" And o.MaxParts = 10, "defaults: Coding auto, Languages empty, MaxParts 10"
Check TypeName(o.MaxParts) = "Long" And o.ReadStoredMessages = False And o.LockScope = "machine", "MaxParts is a Long, ReadStoredMessages False, LockScope machine"

On Error Resume Next
o.Coding = "utf8"
Check Err.Number <> 0 And InStr(Err.Description, "Coding") > 0 And InStr(Err.Description, "gsm7") > 0, "a bad Coding is refused: " & Err.Description
Err.Clear
o.MaxParts = 0
Check Err.Number <> 0 And InStr(Err.Description, "MaxParts") > 0, "a bad MaxParts is refused: " & Err.Description
Err.Clear
On Error GoTo 0
Check o.Coding = "auto" And o.MaxParts = 10, "refused values change nothing"

o.Port = "COM5"
o.Open

Dim base, text
base = "Съешь же ещё этих мягких французских булок, да выпей чаю. "
text = ""
Do While Len(text) < 300
  text = text & base
Loop
text = Left(text, 300)
Check Len(text) = 300, "the text has 300 characters"

Dim id : id = o.SendText(OWN, text, True)
Check TypeName(id) = "String" And id <> "", "SendText returns the message identifier: " & id
Dim refs : refs = Split(o.PartReferences, ",")
Check UBound(refs) = 4, "five parts went out: " & o.PartReferences

Dim i
For i = 1 To 300
  If tCount >= 1 And sCount >= 1 And rCount >= 5 Then Exit For
  WScript.Sleep 100
Next
Check tCount = 1, "OnReceiveText once (" & tCount & ")"
Check tTypes = "String,String,Date,Long,Boolean", "OnReceiveText argument types " & tTypes
Check tFrm = OWN, "iFrm " & tFrm
Check tText = text, "the text came back whole (" & Len(tText) & " characters)"
Check tParts = 5 And tComplete = True, "iParts " & tParts & ", iComplete " & tComplete
Check Year(tTime) >= 2020, "iSmscTime " & tTime
Check sCount = 1, "OnMessageStatus once (" & sCount & ")"
Check sTypes = "String,Boolean", "OnMessageStatus argument types " & sTypes
Check sID = id And sDelivered = True, "iMessageId " & sID & ", iDelivered " & sDelivered
Check pCount = 5 And rCount = 5, "the per-part events once per part: " & pCount & " messages, " & rCount & " reports"

Dim id2 : id2 = o.SendText("+15551234567", "short", False)
Check id2 <> "" And id2 <> id, "each message has its own identifier: " & id2
Check UBound(Split(o.PartReferences, ",")) = 0, "one part, one reference: " & o.PartReferences
o.Close
WScript.Echo "END-OF-SCRIPT"
