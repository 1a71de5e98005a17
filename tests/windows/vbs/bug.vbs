' The bug handler through late binding: its defaults and properties, the tracer it holds,
' Raise with VBScript's own Err (the message box written to standard output, the bug log),
' the once-per-object rule, the passive mode, the not-initialised error, a missing error
' object, a bug log that cannot be opened, EndOnError, Terminate and release. Its work folder
' is the only argument.
Option Explicit
On Error Resume Next
Dim work, b, s, c, d, e, f

work = WScript.Arguments(0)

Sub Report(label)
  WScript.Echo label & ": " & Err.Number & " | " & Err.Source & " | " & Err.Description
End Sub

Set b = CreateObject("Cobaltmoth.ProcBug")
Report "create"
WScript.Echo "TypeName=" & TypeName(b)
WScript.Echo "Enabled=" & b.Enabled & " EndOnError=" & b.EndOnError & " LogOnFile=" & b.LogOnFile & _
             " LogOnMsgBox=" & b.LogOnMsgBox & " LogOnReport=" & b.LogOnReport
WScript.Echo "LogFilePath=[" & b.LogFilePath & "] ProcStack is Nothing=" & (b.ProcStack Is Nothing)
WScript.Echo "SupportFax=" & b.SupportFax & " SupportMail=" & b.SupportMail

' Every property stores what it is given, before Init too.
b.SupportFax = "+39 02 1234"
b.SupportMail = "help@orders.example"
b.EndOnError = False
b.LogOnReport = True
b.LogOnReport = False
b.LogFilePath = "set before Init"
WScript.Echo "SupportFax=" & b.SupportFax & " SupportMail=" & b.SupportMail & " EndOnError=" & b.EndOnError & " LogOnReport=" & b.LogOnReport
b.EndOnError = True

Set s = CreateObject("Cobaltmoth.ProcStac")
s.Init "Orders", 2, 1, 35, work, 2
s.LogOnFile = True
s.EnterProc "modMain", "Main"
s.EnterProc "frmOrders", "cmdSave_Click"
Set b.ProcStack = s
Report "Set ProcStack"
WScript.Echo "ProcStack Is s=" & (b.ProcStack Is s)

b.Init "Orders", 2, 1, 35, work, 2
WScript.Echo "LogFilePath=" & Replace(b.LogFilePath, work, "<work>")
b.LogOnFile = True
b.LogOnMsgBox = True

Err.Raise 11, "OrdersApp", "Division by zero"
b.Raise "frmOrders", "cmdSave_Click", Err
WScript.Echo "after Raise: Err.Number=" & Err.Number & " EndOnError=" & b.EndOnError
Err.Clear

' Handled once: a second Raise does nothing at all.
Err.Raise 5, "OrdersApp", "Second error"
b.Raise "frmOrders", "cmdPrint_Click", Err, 10, False
WScript.Echo "second Raise: Err.Number=" & Err.Number & " EndOnError=" & b.EndOnError
Err.Clear

b.Terminate
Report "Terminate"
WScript.Echo "ProcStack is Nothing after Terminate=" & (b.ProcStack Is Nothing)
WScript.Echo "tracer Dump=[" & s.Dump & "]"
Report "tracer after Terminate"
Err.Clear
b.Terminate
Report "Terminate again"
Set s = Nothing

' isCritical False and a line number: EndOnError becomes False.
Set c = CreateObject("Cobaltmoth.ProcBug")
c.Init "Orders", 2, 1, 35, work, 0
c.LogOnMsgBox = True
Err.Raise 11, "OrdersApp", "Division by zero"
c.Raise "frmMain", "cmdOK_Click", Err, 120, False
WScript.Echo "not critical: EndOnError=" & c.EndOnError
Err.Clear

' Passive: nothing shown or written, no error; and it stays used.
Set d = CreateObject("Cobaltmoth.ProcBug")
d.Init "Passive", 1, 0, 0, work, 0
d.LogOnMsgBox = True
d.LogOnFile = True
d.Enabled = False
Err.Raise 7, "OrdersApp", "Out of memory"
d.Raise "modMain", "Main", Err, 1, False
WScript.Echo "passive: Err.Number=" & Err.Number & " EndOnError=" & d.EndOnError
Err.Clear
d.Enabled = True
Err.Raise 7, "OrdersApp", "Out of memory"
d.Raise "modMain", "Main", Err, 1, False
WScript.Echo "passive, then enabled: EndOnError=" & d.EndOnError
Err.Clear

' Before Init: the not-initialised error; afterwards the object is used up.
Set e = CreateObject("Cobaltmoth.ProcBug")
e.LogOnMsgBox = True
Err.Raise 11, "OrdersApp", "Division by zero"
e.Raise "modMain", "Main", Err
Report "Raise before Init"
Err.Clear
e.Init "Late", 1, 0, 0, work, 0
Err.Raise 11, "OrdersApp", "Division by zero"
e.Raise "modMain", "Main", Err
WScript.Echo "Raise after a failed first one: Err.Number=" & Err.Number & " EndOnError=" & e.EndOnError
Err.Clear

' No error object; then a bug log whose folder does not exist.
Set f = CreateObject("Cobaltmoth.ProcBug")
f.Init "Missing", 1, 0, 0, work & "\missing", 0
f.LogOnFile = True
f.EndOnError = False
f.Raise "modMain", "Main", Nothing
Report "Raise without an error object"
Err.Clear
Set f = CreateObject("Cobaltmoth.ProcBug")
f.Init "Missing", 1, 0, 0, work & "\missing", 0
f.LogOnFile = True
f.EndOnError = False
Err.Raise 11, "OrdersApp", "Division by zero"
f.Raise "modMain", "Main", Err
Report "Raise with a missing bug log folder"
WScript.Echo "EndOnError unchanged=" & f.EndOnError
Err.Clear

' The report window: written to standard output by the test's console front end, with the
' registered owner and organisation that the script sets first.
Dim shell, g
Set shell = CreateObject("WScript.Shell")
shell.RegWrite "HKLM\Software\Microsoft\Windows\CurrentVersion\RegisteredOwner", "Ada Rossi", "REG_SZ"
shell.RegWrite "HKLM\Software\Microsoft\Windows\CurrentVersion\RegisteredOrganization", "Orders Ltd", "REG_SZ"
Report "RegWrite"
Set s = CreateObject("Cobaltmoth.ProcStac")
s.Init "Orders", 2, 1, 35, work, 0
s.EnterProc "modMain", "Main"
Set g = CreateObject("Cobaltmoth.ProcBug")
g.Init "Orders", 2, 1, 35, work, 0
Set g.ProcStack = s
g.LogOnReport = True
g.SupportFax = "+39 02 5555"
Err.Raise 91, "OrdersApp", "Object variable not set"
g.Raise "modMain", "Main", Err, 7, False
WScript.Echo "report window: Err.Number=" & Err.Number & " EndOnError=" & g.EndOnError
Err.Clear
Set g = Nothing
Set s = Nothing

Set b = Nothing
Set c = Nothing
Set d = Nothing
Set e = Nothing
Set f = Nothing
Report "release"
WScript.Echo "done"
