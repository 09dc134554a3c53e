' The SIM asks for a PIN and Pin is empty (then blank, then wrong): Open fails
' with E_UNEXPECTED and the step's message; the object stays closed. The
' wrong PIN is tried once: the second Open fails alike without entering it.
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
Dim pin, number, description, source, attempt
attempt = 0
For Each pin In Array("", "   ", "0000", "0000")
  o.Pin = pin
  On Error Resume Next
  o.Open
  number = Err.Number : description = Err.Description : source = Err.Source
  On Error GoTo 0
  Check number = &H8000FFFF, "Pin '" & pin & "': Err.Number is E_UNEXPECTED (" & Hex(number) & ")"
  If pin = "0000" And attempt = 0 Then
    ' A PIN the SIM refused: the modem's error and its meaning follow the text.
    Check description = "Cannot initialize commands on modem. Check and Set Pin error. (+CME ERROR: 16: incorrect password)", "description: " & description
    attempt = 1
  ElseIf pin = "0000" Then
    Check InStr(description, "Cannot initialize commands on modem. Check and Set Pin error. (") = 1 And InStr(description, "not entered again") > 0, "description: " & description
  Else
    Check description = "Cannot initialize commands on modem. Check and Set Pin error.", "description: " & description
  End If
  Check source = "VelaCtrl.VelaCls", "source: " & source
  Check o.IsOpen = False, "IsOpen stays False"
Next
WScript.Echo "END-OF-SCRIPT"
