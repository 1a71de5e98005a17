Attribute VB_Name = "CobaltmothSample"
' Cobaltmoth in a VBA project (and in the VB6 project vb6\Orders.vbp): the procedures traced,
' and an error reported with a message box, a bug log and the report window.
'
' Register the DLL that matches your Office (README-windows.txt). In the VBA editor, choose
' Tools > References > Browse..., pick that Cobaltmoth.dll and tick "Quorbit Cobaltmoth - A
' trace procedure and bug log library"; then File > Import File... this module and run Main.
Option Explicit

Private Trace As Cobaltmoth.ProcStac
Private Bug As Cobaltmoth.ProcBug

' Runs the sample with its logs in the folder of temporary files (%TEMP%).
Public Sub Main()
    RunSample Environ("TEMP")
End Sub

' Runs the sample with its logs, Orders_stacklog.txt and Orders_buglog.txt, in Folder.
Public Sub RunSample(ByVal Folder As String)
    Set Trace = New Cobaltmoth.ProcStac
    Trace.Init "Orders", 1, 0, 0, Folder, [Exe Standard]
    Trace.LogOnFile = True
    Set Bug = New Cobaltmoth.ProcBug
    Bug.Init "Orders", 1, 0, 0, Folder, [Exe Standard]
    Bug.LogOnMsgBox = True
    Bug.LogOnFile = True
    Bug.LogOnReport = True
    Set Bug.ProcStack = Trace

    Trace.EnterProc "CobaltmothSample", "RunSample"
    SaveOrder 480000
    Debug.Print "The program should end: " & Bug.EndOnError
    Trace.ExitProc "CobaltmothSample", "RunSample"

    Bug.Terminate   ' ends the bug log, and the tracer with its stack log
    Set Bug = Nothing
    Set Trace = Nothing
End Sub

' Saves an order of Items items, twelve to a box, and fails with more boxes than an Integer
' holds: the bug handler reports the error with the stack and the line.
Private Sub SaveOrder(ByVal Items As Long)
    Dim Boxes As Integer
    Trace.EnterProc "CobaltmothSample", "SaveOrder"
    Trace.PrintComment "saving " & Items & " items"
    Debug.Print Trace.Dump
    On Error Resume Next
120 Boxes = CInt(Items / 12)
    If Err.Number <> 0 Then Bug.Raise "CobaltmothSample", "SaveOrder", Err, Erl, False
    On Error GoTo 0
    Trace.ExitProc "CobaltmothSample", "SaveOrder"
End Sub
