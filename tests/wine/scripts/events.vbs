' OnReceiveMessage and OnDeliveryReport reach a VBScript sink with the right
' values and types while the script dispatches messages (WScript.Sleep).
Option Explicit
Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
  End If
End Sub

Dim rCount, rFrm, rMsg, rTime, rTypes
Dim dCount, dID, dSmsc, dEvent, dDelivered, dTypes
rCount = 0 : dCount = 0
Sub Modem_OnReceiveMessage(iFrm, iMsg, iSmscTime)
  rCount = rCount + 1
  rFrm = iFrm : rMsg = iMsg : rTime = iSmscTime
  rTypes = TypeName(iFrm) & "," & TypeName(iMsg) & "," & TypeName(iSmscTime)
End Sub
Sub Modem_OnDeliveryReport(iMsgID, iSmscTime, iEventTime, iDelivered)
  dCount = dCount + 1
  dID = iMsgID : dSmsc = iSmscTime : dEvent = iEventTime : dDelivered = iDelivered
  dTypes = TypeName(iMsgID) & "," & TypeName(iSmscTime) & "," & TypeName(iEventTime) & "," & TypeName(iDelivered)
End Sub

Dim o : Set o = CreateObject("VelaCtrl.VelaCls")
WScript.ConnectObject o, "Modem_"
o.Port = "COM5"
o.Open
' Ten messages first, so that the reference's hexadecimal and decimal forms differ.
Dim ref, k
For k = 1 To 10
  ref = o.SendSms("+15551234567", "warm-up " & k, False)
Next
ref = o.SendSms("+15550000000", "Hello from VBScript", True)
Check ref <> "", "sent with a status report request: reference " & ref
Dim i
For i = 1 To 150
  If rCount >= 1 And dCount >= 1 Then Exit For
  WScript.Sleep 100
Next
Check rCount = 1, "OnReceiveMessage once (" & rCount & ")"
Check rTypes = "String,String,Date", "OnReceiveMessage argument types " & rTypes
Check rFrm = "+15550000000", "iFrm " & rFrm
Check rMsg = "Hello from VBScript", "iMsg " & rMsg
Check Year(rTime) >= 2020, "iSmscTime " & rTime
Check dCount = 1, "OnDeliveryReport once (" & dCount & ")"
Check dTypes = "String,Date,Date,Boolean", "OnDeliveryReport argument types " & dTypes
Check dID = Right("0" & Hex(CLng(ref)), 2), "iMsgID is the reference in hexadecimal: " & dID
Check Year(dSmsc) >= 2020 And Year(dEvent) >= 2020, "iSmscTime " & dSmsc & ", iEventTime " & dEvent
Check dDelivered = True, "iDelivered " & dDelivered
o.Close
WScript.Echo "END-OF-SCRIPT"
