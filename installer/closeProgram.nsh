; Closing a running Hourwarden before its files are replaced or removed.
;
; The program ends when its control window receives WM_CLOSE. CloseRunningProgram
; asks every copy started from $INSTDIR in this session to close, one after the
; other, and waits for each process to exit, so that afterwards no copy holds
; the exe open. Copies started from other folders are someone else's and left alone.
; It leaves "closed" on the stack, "password" when a copy answered with its
; exit password prompt (the parent chose to guard its exit), or "running" when
; a copy did not exit in time. CloseProgramWindow handles one copy.

!include LogicLib.nsh
!include WinMessages.nsh

!define HOURWARDEN_WINDOW_CLASS "HourwardenHiddenWindow"
; Shown by a copy whose exit is guarded by a password, in answer to WM_CLOSE.
!define HOURWARDEN_PASSWORD_WINDOW_CLASS "HourwardenPasswordWindow"
!define HOURWARDEN_CLOSE_TIMEOUT_MS 10000
!define HOURWARDEN_CLOSE_POLL_MS 100
; More copies than anyone runs; the bound keeps a window that reappears from looping forever.
!define HOURWARDEN_MAX_COPIES 8
!define HOURWARDEN_SYNCHRONIZE 0x00100000
!define HOURWARDEN_QUERY_LIMITED_INFORMATION 0x1000
; NSIS's own code for "aborted by the script".
!define HOURWARDEN_EXIT_STILL_RUNNING 2

!macro HOURWARDEN_CLOSE_FUNCTIONS PREFIX

; In: the control window on the stack. Out: "closed", "password" or "running".
Function ${PREFIX}CloseProgramWindow
    Exch $0 ; the window
    Push $1 ; process id, then wait result
    Push $2 ; process handle
    Push $3 ; milliseconds waited
    Push $4 ; the password prompt

    System::Call 'user32::GetWindowThreadProcessId(p r0, *i 0 r1)'
    System::Call 'kernel32::OpenProcess(i ${HOURWARDEN_SYNCHRONIZE}, i 0, i r1) p .r2'
    System::Call 'user32::PostMessageW(p r0, i ${WM_CLOSE}, p 0, p 0)'

    ; The window goes before the process ends; only the process's end frees the exe.
    ; Without a process handle (not expected for our own session), the window's end has to do.
    StrCpy $3 0
    StrCpy $4 0
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
        ; The program asks for its password instead of ending: no use waiting longer.
        FindWindow $4 "${HOURWARDEN_PASSWORD_WINDOW_CLASS}"
        ${If} $4 <> 0
            ${Break}
        ${EndIf}
    ${LoopUntil} $3 >= ${HOURWARDEN_CLOSE_TIMEOUT_MS}

    ${If} $2 P<> 0
        System::Call 'kernel32::WaitForSingleObject(p r2, i 0) i .r1'
        System::Call 'kernel32::CloseHandle(p r2)'
    ${Else}
        System::Call 'user32::IsWindow(p r0) i .r1'
        ${If} $1 = 0
            StrCpy $1 0
        ${Else}
            StrCpy $1 1
        ${EndIf}
    ${EndIf}
    ; $1 = 0: the process (or, without a handle, its window) has ended.
    ${If} $1 = 0
        StrCpy $0 "closed"
    ${ElseIf} $4 <> 0
        StrCpy $0 "password"
    ${Else}
        StrCpy $0 "running"
    ${EndIf}

    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Exch $0
FunctionEnd

; Out: the control window of a copy started from $INSTDIR, or 0.
Function ${PREFIX}FindOwnProgramWindow
    Push $0 ; a control window
    Push $1 ; its process id
    Push $2 ; the process
    Push $3 ; the process's executable
    StrCpy $0 0
    ${Do}
        FindWindow $0 "${HOURWARDEN_WINDOW_CLASS}" "" "" $0
        ${If} $0 = 0
            ${Break}
        ${EndIf}
        System::Call 'user32::GetWindowThreadProcessId(p r0, *i 0 r1)'
        System::Call 'kernel32::OpenProcess(i ${HOURWARDEN_QUERY_LIMITED_INFORMATION}, i 0, i r1) p .r2'
        StrCpy $3 ""
        ${If} $2 P<> 0
            System::Call 'kernel32::QueryFullProcessImageNameW(p r2, i 0, w .r3, *i ${NSIS_MAX_STRLEN})'
            System::Call 'kernel32::CloseHandle(p r2)'
        ${EndIf}
        ; Paths compare without regard to case, as Windows names files.
        ${If} $3 == "$INSTDIR\${PRODUCT}.exe"
            ${Break}
        ${EndIf}
    ${Loop}
    Pop $3
    Pop $2
    Pop $1
    Exch $0
FunctionEnd

; Out: "closed" when no copy from $INSTDIR runs any more, "password" or "running" when one would not close.
Function ${PREFIX}CloseRunningProgram
    Push $0 ; a control window, then the result
    Push $1 ; copies asked
    StrCpy $1 0
    ${Do}
        Call ${PREFIX}FindOwnProgramWindow
        Pop $0
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
        ${If} $0 != "closed"
            ${Break}
        ${EndIf}
    ${Loop}
    Pop $1
    Exch $0
FunctionEnd

; Closes the program, or ends setup: interactively after the user gave up
; retrying, silently at once with a non-zero exit code. A program guarded by
; its exit password is never replaced or removed without that password.
Function ${PREFIX}CloseRunningProgramOrAbort
    Push $0
    ${Do}
        Call ${PREFIX}CloseRunningProgram
        Pop $0
        ${If} $0 == "closed"
            ${Break}
        ${EndIf}
        ${If} $0 == "password"
            MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(ProgramAsksPassword)" /SD IDCANCEL IDRETRY retry
        ${Else}
            MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(ProgramStillRunning)" /SD IDCANCEL IDRETRY retry
        ${EndIf}
        Goto abort
    retry:
    ${Loop}
    Pop $0
    Return
abort:
    ${If} $0 == "password"
        DetailPrint "$(ProgramAsksPassword)"
    ${Else}
        DetailPrint "$(ProgramStillRunning)"
    ${EndIf}
    Pop $0
    SetErrorLevel ${HOURWARDEN_EXIT_STILL_RUNNING}
    Abort
FunctionEnd

!macroend
