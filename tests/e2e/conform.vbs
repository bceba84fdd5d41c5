' The sequence a conformance checker runs on a version-1 ASCOM focuser, through
' late binding as the checker does. One line per check ("ok ..." or "FAIL ..."),
' then "RESULT <passed> passed, <failed> failed" and END. Exit status 1 on any failure.
'
'   cscript //nologo conform.vbs [ProgID]

Option Explicit

Const DISP_E_EXCEPTION = -2147352567
' Every check below; one that never ran (its statement raised an error while its
' arguments were evaluated) counts as failed.
Const CHECK_COUNT = 21
Dim progId, passed, failed
progId = "Morvantis.Focuser"
If WScript.Arguments.Count > 0 Then progId = WScript.Arguments(0)
passed = 0
failed = 0

Sub Check(name, condition, detail)
    If condition Then
        passed = passed + 1
        WScript.Echo "ok   " & name
    Else
        failed = failed + 1
        WScript.Echo "FAIL " & name & ": " & detail
    End If
End Sub

' The error a call raised, as one line: "number|description|source".
Function ErrText(number, description, source)
    ErrText = number & "|" & description & "|" & source
End Function

Function Expected(description)
    Expected = ErrText(DISP_E_EXCEPTION, description, "Morvantis.Focuser.1")
End Function

' Polls IsMoving every 500 ms, reading Position each time, until the focuser
' stops; returns the error text of the first failure, or "" when it stopped.
Function FollowMove(focuser, limitSeconds)
    On Error Resume Next
    Dim started, moving, position, polls
    started = Timer
    polls = 0
    FollowMove = ""
    Do
        moving = focuser.IsMoving
        If Err.Number <> 0 Then FollowMove = "IsMoving: " & ErrText(Err.Number, Err.Description, Err.Source) : Exit Function
        position = focuser.Position
        If Err.Number <> 0 Then FollowMove = "Position while moving: " & ErrText(Err.Number, Err.Description, Err.Source) : Exit Function
        If Not moving Then Exit Function
        polls = polls + 1
        If polls * 0.5 > limitSeconds Then focuser.Halt : FollowMove = "still moving after " & limitSeconds & " s" : Exit Function
        Pause 500
    Loop
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

Sub Run()
    On Error Resume Next
    Dim focuser, i, ok, value, maxStep, maxIncrement, start, target, outcome

    ' Creation and release, five times.
    ok = True
    For i = 1 To 5
        Set focuser = CreateObject(progId)
        If Err.Number <> 0 Then ok = False : value = ErrText(Err.Number, Err.Description, Err.Source) : Err.Clear
        Set focuser = Nothing
    Next
    Check "create and release " & progId & " five times", ok, value
    Set focuser = CreateObject(progId)
    If Err.Number <> 0 Then Check "create " & progId, False, ErrText(Err.Number, Err.Description, Err.Source) : Exit Sub

    ' The link on and off, three times.
    ok = True
    value = ""
    For i = 1 To 3
        focuser.Link = True
        If Err.Number <> 0 Then ok = False : value = "Link = True: " & ErrText(Err.Number, Err.Description, Err.Source) : Err.Clear : Exit For
        If focuser.Link <> True Then ok = False : value = "Link reads " & focuser.Link & " after Link = True" : Exit For
        focuser.Link = False
        If Err.Number <> 0 Then ok = False : value = "Link = False: " & ErrText(Err.Number, Err.Description, Err.Source) : Err.Clear : Exit For
        If focuser.Link <> False Then ok = False : value = "Link reads " & focuser.Link & " after Link = False" : Exit For
    Next
    Check "link on and off three times", ok, value

    focuser.Link = True
    If Err.Number <> 0 Then Check "link", False, ErrText(Err.Number, Err.Description, Err.Source) : Exit Sub
    Check "Link reads True", focuser.Link = True, "Link = " & focuser.Link

    value = focuser.IsMoving
    Check "IsMoving is False at start", Err.Number = 0 And value = False, "IsMoving = " & value & " " & ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear

    value = focuser.Absolute
    Check "Absolute is True", Err.Number = 0 And value = True, "Absolute = " & value & " " & ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear

    maxStep = focuser.MaxStep
    Check "MaxStep is positive", Err.Number = 0 And maxStep > 0, "MaxStep = " & maxStep & " " & ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear

    maxIncrement = focuser.MaxIncrement
    Check "MaxIncrement between 1 and MaxStep", Err.Number = 0 And maxIncrement >= 1 And maxIncrement <= maxStep, _
        "MaxIncrement = " & maxIncrement & ", MaxStep = " & maxStep & " " & ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear

    start = focuser.Position
    Check "Position within 0 and MaxStep", Err.Number = 0 And start >= 0 And start <= maxStep, _
        "Position = " & start & " " & ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear

    value = focuser.StepSize
    outcome = ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear
    Check "StepSize refused with ""Not supported by focuser""", outcome = Expected("Not supported by focuser"), outcome

    value = focuser.TempCompAvailable
    Check "TempCompAvailable is False", Err.Number = 0 And value = False, "TempCompAvailable = " & value
    Err.Clear
    value = focuser.TempComp
    Check "TempComp is False", Err.Number = 0 And value = False, "TempComp = " & value
    Err.Clear

    focuser.TempComp = False
    outcome = ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear
    Check "TempComp put refused with ""Not Supported""", outcome = Expected("Not Supported"), outcome

    value = focuser.Temperature
    Check "Temperature is 100", Err.Number = 0 And value = 100, "Temperature = " & value & " " & ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear

    focuser.Halt
    outcome = ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear
    value = focuser.IsMoving
    Check "Halt while idle", outcome = ErrText(0, "", "") And value = False, outcome & ", IsMoving = " & value
    Err.Clear

    ' A tenth of the range, away from the nearer end, and back.
    If start + maxStep \ 10 <= maxStep Then target = start + maxStep \ 10 Else target = start - maxStep \ 10
    focuser.Move target
    outcome = ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear
    Check "Move to " & target & " accepted", outcome = ErrText(0, "", ""), outcome
    outcome = FollowMove(focuser, 120)
    Check "the move to " & target & " ends (IsMoving polled every 500 ms)", outcome = "", outcome
    value = focuser.Position
    Check "Position is " & target & " after the move", Err.Number = 0 And value = target, "Position = " & value & " " & ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear

    focuser.Move start
    outcome = ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear
    Check "Move back to " & start & " accepted", outcome = ErrText(0, "", ""), outcome
    outcome = FollowMove(focuser, 120)
    Check "the move back ends", outcome = "", outcome
    value = focuser.Position
    Check "Position is " & start & " again", Err.Number = 0 And value = start, "Position = " & value & " " & ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear

    focuser.Link = False
    outcome = ErrText(Err.Number, Err.Description, Err.Source)
    Err.Clear
    value = focuser.Link
    Check "unlink", outcome = ErrText(0, "", "") And value = False, outcome & ", Link = " & value
    Set focuser = Nothing
End Sub

Run
If passed + failed < CHECK_COUNT Then
    WScript.Echo "FAIL " & (CHECK_COUNT - passed - failed) & " checks did not run"
    failed = failed + CHECK_COUNT - passed - failed
End If
WScript.Echo "RESULT " & passed & " passed, " & failed & " failed"
WScript.Echo "END"
If failed = 0 And passed > 0 Then WScript.Quit 0 Else WScript.Quit 1
