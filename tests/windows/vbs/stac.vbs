' The tracer through late binding: not initialised, Init, the stack log, Dump, unwinding, error
' 9, Enabled, Terminate, and the last release writing the log's footer; the work folder.
Option Explicit
On Error Resume Next
Dim work, s, t, u, proc

work = WScript.Arguments(0)

' Prints the last error, then clears it.
Sub Report(label)
  WScript.Echo label & ": " & Err.Number & " | " & Err.Source & " | " & Err.Description
  Err.Clear
End Sub

Set s = CreateObject("Cobaltmoth.ProcStac")
Report "create"
WScript.Echo "TypeName=" & TypeName(s)
WScript.Echo "defaults: Enabled=" & s.Enabled & " LogOnFile=" & s.LogOnFile & " LogFilePath=[" & _
             s.LogFilePath & "]"

WScript.Echo "Dump=[" & s.Dump & "]"
Report "Dump before Init"
s.EnterProc "modMain", "Main"
Report "EnterProc before Init"
s.ExitProc "modMain", "Main"
Report "ExitProc before Init"
s.PrintComment "too early"
Report "PrintComment before Init"

s.LogFilePath = work & "\before.txt"
s.Init "Payroll", 1, 2, 30, work, 0
Report "Init"
WScript.Echo "LogFilePath=" & Replace(s.LogFilePath, work, "<work>")
s.LogOnFile = True

proc = "Main"
s.EnterProc "modMain", proc
Report "EnterProc with a variable"
WScript.Echo "variable after EnterProc=" & proc & " (" & TypeName(proc) & ")"
s.PrintComment "loading orders"
s.EnterProc "frmOrders", "cmdSave_Click"
s.EnterProc "modData", "LoadRows"
WScript.Echo s.Dump
s.ExitProc "FRMORDERS", "CMDSAVE_CLICK"
Report "ExitProc unwinding"
WScript.Echo s.Dump
s.ExitProc "modX", "Nope"
Report "ExitProc of a procedure never entered"
WScript.Echo s.Dump

s.Enabled = False
s.EnterProc "modMain", "Ignored"
Report "EnterProc while disabled"
s.Enabled = True
WScript.Echo s.Dump

s.Terminate
Report "Terminate"
WScript.Echo "Dump=[" & s.Dump & "]"
Report "Dump after Terminate"
s.Terminate
Report "Terminate again"

' A tracer released without Terminate closes its log with the footer.
Set t = CreateObject("Cobaltmoth.ProcStac")
t.Init "Second", 3, 0, 7, work, 3
t.LogOnFile = True
t.EnterProc "A_module_name_longer_than_twenty", "Proc"
WScript.Echo t.Dump
Set t = Nothing

Set u = CreateObject("Cobaltmoth.ProcStac")
u.Init "Third", 1, 0, 0, work & "\missing", 1
u.LogOnFile = True
u.EnterProc "modMain", "Main"
Report "EnterProc with a missing folder"
WScript.Echo u.Dump
WScript.Echo "done"
