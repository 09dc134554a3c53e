' The SIM asks for a PIN and Pin is empty (then blank, then wrong): Open fails
' with E_UNEXPECTED and the step's message; the object stays closed.
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
Dim pin, number, description, source
For Each pin In Array("", "   ", "0000")
  o.Pin = pin
  On Error Resume Next
  o.Open
  number = Err.Number : description = Err.Description : source = Err.Source
  On Error GoTo 0
  Check number = &H8000FFFF, "Pin '" & pin & "': Err.Number is E_UNEXPECTED (" & Hex(number) & ")"
  Check description = "Cannot initialize commands on modem. Check and Set Pin error.", "description: " & description
  Check source = "VelaCtrl.VelaCls", "source: " & source
  Check o.IsOpen = False, "IsOpen stays False"
Next
WScript.Echo "END-OF-SCRIPT"
