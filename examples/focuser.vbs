' A scripting client of the Morvantis focuser driver, as a planetarium or an
' observatory script would use it: create the driver by its ProgID, link, read
' the capabilities, move, poll IsMoving, read the position, catch the driver's
' errors, unlink.
'
'   cscript //nologo focuser.vbs [target]
'
' Without a target the focuser moves by a tenth of its range. The port and the
' maximum position come from the driver's settings (its setup dialog).
'
' Errors: with "On Error Resume Next" a failed call does not stop the script;
' Err.Number, Err.Description and Err.Source tell what went wrong and must be
' checked after each call. (Without it, cscript would stop at the first error.)
' The last line printed is END, whatever happened.

Option Explicit

Function Run()
    On Error Resume Next
    Run = False
    Dim focuser, maxStep, maxIncrement, position, target, started, elapsed, moving

    Set focuser = CreateObject("Morvantis.Focuser")
    If Err.Number <> 0 Then ShowError "creating Morvantis.Focuser", Err.Number, Err.Description, Err.Source : Exit Function
    WScript.Echo "Created Morvantis.Focuser."

    focuser.Link = True
    If Err.Number <> 0 Then ShowError "linking", Err.Number, Err.Description, Err.Source : Exit Function
    WScript.Echo "Linked: " & focuser.Link

    maxStep = focuser.MaxStep
    maxIncrement = focuser.MaxIncrement
    If Err.Number <> 0 Then ShowError "reading the limits", Err.Number, Err.Description, Err.Source : Exit Function
    WScript.Echo "Absolute: " & focuser.Absolute & ", MaxStep: " & maxStep & ", MaxIncrement: " & maxIncrement
    WScript.Echo "TempCompAvailable: " & focuser.TempCompAvailable & ", Temperature: " & focuser.Temperature
    If Err.Number <> 0 Then ShowError "reading the capabilities", Err.Number, Err.Description, Err.Source : Exit Function

    position = focuser.Position
    If Err.Number <> 0 Then ShowError "reading the position", Err.Number, Err.Description, Err.Source : Exit Function
    WScript.Echo "Position: " & position

    If WScript.Arguments.Count > 0 Then
        target = CLng(WScript.Arguments(0))
    ElseIf position < maxStep \ 2 Then
        target = position + maxStep \ 10
    Else
        target = position - maxStep \ 10
    End If

    started = Timer
    focuser.Move target
    If Err.Number <> 0 Then ShowError "moving to " & target, Err.Number, Err.Description, Err.Source : Exit Function
    WScript.Echo "Moving to " & target & " ..."
    moving = True
    Do While moving
        Pause 100
        moving = focuser.IsMoving
        If Err.Number <> 0 Then ShowError "polling IsMoving", Err.Number, Err.Description, Err.Source : Exit Function
        elapsed = Timer - started
        If elapsed < 0 Then elapsed = elapsed + 86400
        If moving And elapsed > 300 Then
            focuser.Halt
            WScript.Echo "FAILED: still moving after 300 s; halted"
            Exit Function
        End If
    Loop
    position = focuser.Position
    If Err.Number <> 0 Then ShowError "reading the position", Err.Number, Err.Description, Err.Source : Exit Function
    WScript.Echo "Stopped at " & position & " after " & FormatNumber(elapsed, 1) & " s"
    If position <> target Then WScript.Echo "FAILED: the focuser stopped at " & position & ", not at " & target : Exit Function

    ' A target beyond MaxStep is refused by the driver: this is how its errors look.
    WScript.Echo "Moving to " & (maxStep + 1) & ", beyond MaxStep, to show the driver's error:"
    focuser.Move maxStep + 1
    If Err.Number = 0 Then WScript.Echo "FAILED: the driver accepted a target beyond MaxStep" : Exit Function
    WScript.Echo "  Err.Number:      " & Err.Number & " (&H" & Hex(Err.Number) & ")"
    WScript.Echo "  Err.Description: " & Err.Description
    WScript.Echo "  Err.Source:      " & Err.Source
    Err.Clear

    focuser.Link = False
    If Err.Number <> 0 Then ShowError "unlinking", Err.Number, Err.Description, Err.Source : Exit Function
    WScript.Echo "Unlinked: Link is " & focuser.Link
    Set focuser = Nothing
    Run = True
End Function

' Waits ms milliseconds. Wine's cscript has no WScript.Sleep (it raises error
' 445 at once); there the wait falls back to watching the clock.
Sub Pause(ms)
    On Error Resume Next
    WScript.Sleep ms
    If Err.Number = 0 Then Exit Sub
    Err.Clear
    Dim start, elapsed
    start = Timer
    Do
        elapsed = Timer - start
        If elapsed < 0 Then elapsed = elapsed + 86400 ' midnight
    Loop While elapsed * 1000 < ms
End Sub

Sub ShowError(what, number, description, source)
    WScript.Echo "FAILED " & what & ": " & description & " (Err.Number " & number & ", Err.Source " & source & ")"
End Sub

Dim ok
ok = Run()
If ok Then WScript.Echo "Done."
WScript.Echo "END"
If ok Then WScript.Quit 0 Else WScript.Quit 1
