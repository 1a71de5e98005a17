' env: LC_ALL=it_IT.UTF-8 LANG=it_IT.UTF-8
' Italian texts for an Italian user, the same support contacts; the work folder is the argument.
Option Explicit
On Error Resume Next
Dim b, shell, key
Set shell = CreateObject("WScript.Shell")
key = "HKLM\Software\Microsoft\Windows\CurrentVersion\Registered"
shell.RegWrite key & "Owner", "Bice Neri", "REG_SZ"
shell.RegWrite key & "Organization", "Ordini Srl", "REG_SZ"
Set b = CreateObject("Cobaltmoth.ProcBug")
WScript.Echo "SupportFax=" & b.SupportFax & " SupportMail=" & b.SupportMail
b.Init "Ordini", 1, 0, 3, WScript.Arguments(0), 1
b.LogOnMsgBox = True
b.LogOnReport = True
Err.Raise 9, "Ordini", "Indice non compreso nell'intervallo"
b.Raise "frmOrdini", "cmdSalva_Click", Err, 45
WScript.Echo "EndOnError=" & b.EndOnError
WScript.Echo "done"
