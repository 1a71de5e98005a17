' The desktop test's host: Raise with both windows, a title with "&", "#" and "?", what is left.
Dim bug
Set bug = CreateObject("Cobaltmoth.ProcBug")
bug.Init "R&D #1?", 1, 2, 30, "C:\", 0
bug.LogOnMsgBox = True
bug.LogOnFile = False
bug.LogOnReport = True
On Error Resume Next
Err.Raise 11, "Payroll", "Division by zero"
bug.Raise "frmOrders", "cmdSave_Click", Err, 120, False
If Err.Number <> 11 Then WScript.Echo "Err changed: " & Err.Number
On Error GoTo 0
WScript.Echo "EndOnError=" & bug.EndOnError
WScript.Echo "done"
