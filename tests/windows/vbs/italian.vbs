' env: LC_ALL=it_IT.UTF-8 LANG=it_IT.UTF-8
' For an Italian user the message box's title word and the report window's captions come from
' the Italian string table; the support contacts are the same in both languages. Its work folder is the only argument.
Option Explicit
On Error Resume Next
Dim b, shell
Set shell = CreateObject("WScript.Shell")
shell.RegWrite "HKLM\Software\Microsoft\Windows\CurrentVersion\RegisteredOwner", "Bice Neri", "REG_SZ"
shell.RegWrite "HKLM\Software\Microsoft\Windows\CurrentVersion\RegisteredOrganization", "Ordini Srl", "REG_SZ"
Set b = CreateObject("Cobaltmoth.ProcBug")
WScript.Echo "SupportFax=" & b.SupportFax & " SupportMail=" & b.SupportMail
b.Init "Ordini", 1, 0, 3, WScript.Arguments(0), 1
b.LogOnMsgBox = True
b.LogOnReport = True
Err.Raise 9, "Ordini", "Indice non compreso nell'intervallo"
b.Raise "frmOrdini", "cmdSalva_Click", Err, 45
WScript.Echo "EndOnError=" & b.EndOnError
Err.Clear
Set b = Nothing
WScript.Echo "done"
