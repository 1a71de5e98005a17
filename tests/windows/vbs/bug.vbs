' The bug handler through late binding: properties, tracer, Raise with VBScript's Err, once per
' object, passive, not initialised, no error object or log folder, Terminate; the work folder.
Option Explicit
On Error Resume Next
Dim work, b, s, c, d, e, f

work = WScript.Arguments(0)

' Report prints the last error and Show a text; both clear the error then.
Sub Report(label)
  Show label & ": " & Err.Number & " | " & Err.Source & " | " & Err.Description
End Sub

Sub Show(text)
  WScript.Echo text
  Err.Clear
End Sub

Set b = CreateObject("Cobaltmoth.ProcBug")
Report "create"
WScript.Echo "TypeName=" & TypeName(b)
WScript.Echo "Enabled=" & b.Enabled & " EndOnError=" & b.EndOnError & " LogOnFile=" & _
             b.LogOnFile & " LogOnMsgBox=" & b.LogOnMsgBox & " LogOnReport=" & b.LogOnReport
WScript.Echo "LogFilePath=[" & b.LogFilePath & "] ProcStack is Nothing=" & (b.ProcStack Is Nothing)
WScript.Echo "SupportFax=" & b.SupportFax & " SupportMail=" & b.SupportMail

b.SupportFax = "+39 02 1234"
b.SupportMail = "help@orders.example"
b.EndOnError = False
b.LogOnReport = True
b.LogOnReport = False
b.LogFilePath = "set before Init"
WScript.Echo "SupportFax=" & b.SupportFax & " SupportMail=" & b.SupportMail & " EndOnError=" & _
             b.EndOnError & " LogOnReport=" & b.LogOnReport
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
Show "after Raise: Err.Number=" & Err.Number & " EndOnError=" & b.EndOnError

Err.Raise 5, "OrdersApp", "Second error"
b.Raise "frmOrders", "cmdPrint_Click", Err, 10, False
Show "second Raise: Err.Number=" & Err.Number & " EndOnError=" & b.EndOnError

b.Terminate
Report "Terminate"
WScript.Echo "ProcStack is Nothing after Terminate=" & (b.ProcStack Is Nothing)
WScript.Echo "tracer Dump=[" & s.Dump & "]"
Report "tracer after Terminate"
b.Terminate
Report "Terminate again"

Set c = CreateObject("Cobaltmoth.ProcBug")
c.Init "Orders", 2, 1, 35, work, 0
c.LogOnMsgBox = True
Err.Raise 11, "OrdersApp", "Division by zero"
c.Raise "frmMain", "cmdOK_Click", Err, 120, False
Show "not critical: EndOnError=" & c.EndOnError

Set d = CreateObject("Cobaltmoth.ProcBug")
d.Init "Passive", 1, 0, 0, work, 0
d.LogOnMsgBox = True
d.LogOnFile = True
d.Enabled = False
Err.Raise 7, "OrdersApp", "Out of memory"
d.Raise "modMain", "Main", Err, 1, False
Show "passive: Err.Number=" & Err.Number & " EndOnError=" & d.EndOnError
d.Enabled = True
Err.Raise 7, "OrdersApp", "Out of memory"
d.Raise "modMain", "Main", Err, 1, False
Show "passive, then enabled: EndOnError=" & d.EndOnError

Set e = CreateObject("Cobaltmoth.ProcBug")
e.LogOnMsgBox = True
Err.Raise 11, "OrdersApp", "Division by zero"
e.Raise "modMain", "Main", Err
Report "Raise before Init"
e.Init "Late", 1, 0, 0, work, 0
Err.Raise 11, "OrdersApp", "Division by zero"
e.Raise "modMain", "Main", Err
Show "Raise after a failed first one: Err.Number=" & Err.Number & " EndOnError=" & e.EndOnError

Set f = CreateObject("Cobaltmoth.ProcBug")
f.Init "Missing", 1, 0, 0, work & "\missing", 0
f.LogOnFile = True
f.EndOnError = False
f.Raise "modMain", "Main", Nothing
Report "Raise without an error object"
Set f = CreateObject("Cobaltmoth.ProcBug")
f.Init "Missing", 1, 0, 0, work & "\missing", 0
f.LogOnFile = True
f.EndOnError = False
Err.Raise 11, "OrdersApp", "Division by zero"
f.Raise "modMain", "Main", Err
Report "Raise with a missing bug log folder"
Show "EndOnError unchanged=" & f.EndOnError

' The report window on standard output, with the registered owner and organisation set first.
Dim shell, g, key
Set shell = CreateObject("WScript.Shell")
key = "HKLM\Software\Microsoft\Windows\CurrentVersion\Registered"
shell.RegWrite key & "Owner", "Ada Rossi", "REG_SZ"
shell.RegWrite key & "Organization", "Orders Ltd", "REG_SZ"
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
Show "report window: Err.Number=" & Err.Number & " EndOnError=" & g.EndOnError
WScript.Echo "done"
