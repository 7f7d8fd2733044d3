; Closing a running Hourwarden before its files are replaced or removed.
;
; The program ends when its control window receives WM_CLOSE. CloseRunningProgram
; asks every copy running in this session to close, one after the other, and
; waits for each process to exit, so that afterwards no copy holds the exe open.
; It leaves "closed" on the stack, or "running" when a copy did not exit in time.
; CloseProgramWindow handles one copy; a copy that needs more than WM_CLOSE to
; end gets its handling there.

!include LogicLib.nsh
!include WinMessages.nsh

!define HOURWARDEN_WINDOW_CLASS "HourwardenHiddenWindow"
!define HOURWARDEN_CLOSE_TIMEOUT_MS 10000
!define HOURWARDEN_CLOSE_POLL_MS 100
; More copies than anyone runs; the bound keeps a window that reappears from looping forever.
!define HOURWARDEN_MAX_COPIES 8
!define HOURWARDEN_SYNCHRONIZE 0x00100000
; NSIS's own code for "aborted by the script".
!define HOURWARDEN_EXIT_STILL_RUNNING 2

!macro HOURWARDEN_CLOSE_FUNCTIONS PREFIX

; In: the control window on the stack. Out: "closed" or "running".
Function ${PREFIX}CloseProgramWindow
    Exch $0 ; the window
    Push $1 ; process id, then wait result
    Push $2 ; process handle
    Push $3 ; milliseconds waited

    System::Call 'user32::GetWindowThreadProcessId(p r0, *i 0 r1)'
    System::Call 'kernel32::OpenProcess(i ${HOURWARDEN_SYNCHRONIZE}, i 0, i r1) p .r2'
    System::Call 'user32::PostMessageW(p r0, i ${WM_CLOSE}, p 0, p 0)'

    ; The window goes before the process ends; only the process's end frees the exe.
    ; Without a process handle (not expected for our own session), the window's end has to do.
    StrCpy $3 0
    ${Do}
        ${If} $2 P<> 0
            System::Call 'kernel32::WaitForSingleObject(p r2, i ${HOURWARDEN_CLOSE_POLL_MS}) i .r1'
            ; WAIT_OBJECT_0: the process has ended.
            ${If} $1 = 0
                ${Break}
            ${EndIf}
        ${Else}
            System::Call 'user32::IsWindow(p r0) i .r1'
            ${If} $1 = 0
                ${Break}
            ${EndIf}
            Sleep ${HOURWARDEN_CLOSE_POLL_MS}
        ${EndIf}
        IntOp $3 $3 + ${HOURWARDEN_CLOSE_POLL_MS}
    ${LoopUntil} $3 >= ${HOURWARDEN_CLOSE_TIMEOUT_MS}

    ${If} $2 P<> 0
        System::Call 'kernel32::CloseHandle(p r2)'
    ${EndIf}
    ${If} $3 >= ${HOURWARDEN_CLOSE_TIMEOUT_MS}
        StrCpy $0 "running"
    ${Else}
        StrCpy $0 "closed"
    ${EndIf}

    Pop $3
    Pop $2
    Pop $1
    Exch $0
FunctionEnd

; Out: "closed" when no copy runs any more, "running" when one would not close.
Function ${PREFIX}CloseRunningProgram
    Push $0 ; a control window, then the result
    Push $1 ; copies asked
    StrCpy $1 0
    ${Do}
        FindWindow $0 "${HOURWARDEN_WINDOW_CLASS}"
        ${If} $0 = 0
            StrCpy $0 "closed"
            ${Break}
        ${EndIf}
        ${If} $1 >= ${HOURWARDEN_MAX_COPIES}
            StrCpy $0 "running"
            ${Break}
        ${EndIf}
        IntOp $1 $1 + 1
        DetailPrint "$(CloseProgramDetail)"
        Push $0
        Call ${PREFIX}CloseProgramWindow
        Pop $0
        ${If} $0 == "running"
            ${Break}
        ${EndIf}
    ${Loop}
    Pop $1
    Exch $0
FunctionEnd

; Closes the program, or ends setup: interactively after the user gave up
; retrying, silently at once with a non-zero exit code.
Function ${PREFIX}CloseRunningProgramOrAbort
    Push $0
    ${Do}
        Call ${PREFIX}CloseRunningProgram
        Pop $0
        ${If} $0 == "closed"
            ${Break}
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(ProgramStillRunning)" /SD IDCANCEL IDRETRY retry
        Goto abort
    retry:
    ${Loop}
    Pop $0
    Return
abort:
    Pop $0
    DetailPrint "$(ProgramStillRunning)"
    SetErrorLevel ${HOURWARDEN_EXIT_STILL_RUNNING}
    Abort
FunctionEnd

!macroend
