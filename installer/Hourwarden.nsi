; Hourwarden-Setup.exe: installs Hourwarden for the account that runs it, with
; no administrator rights, and starts it at every logon of that account.
;
; The build passes (makensis -D...):
;   VERSION        the project version, e.g. 1.0.0
;   VERSION_QUAD   the same in four parts, e.g. 1.0.0.0
;   PROGRAM_EXE    the built Hourwarden.exe
;   ICON           the program's icon
;   OUTFILE        where to write the installer

!ifndef VERSION | VERSION_QUAD | PROGRAM_EXE | ICON | OUTFILE
    !error "Build through CMake, or pass VERSION, VERSION_QUAD, PROGRAM_EXE, ICON and OUTFILE"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Hourwarden"
!define PUBLISHER "Hourwarden project"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; Per user: the program writes its two files beside itself, so the folder must be the user's own.
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails nevershow
ShowUninstDetails nevershow

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "OriginalFilename" "${PRODUCT}-Setup.exe"
VIAddVersionKey /LANG=0 "LegalCopyright" "${PUBLISHER}"

;--------------------------------
; Pages

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_LANGDLL_WINDOWTITLE "${PRODUCT} ${VERSION}"
!define MUI_LANGDLL_INFO "Please select a language.$\r$\nВыберите язык."
; The choice is remembered in the Uninstall entry: the uninstaller and the next upgrade speak it too.
!define MUI_LANGDLL_REGISTRY_ROOT HKCU
!define MUI_LANGDLL_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MUI_LANGDLL_REGISTRY_VALUENAME "NSIS:Language"

!define MUI_WELCOMEPAGE_TEXT "$(WelcomeText)"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "$(FinishText)"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"
!insertmacro MUI_RESERVEFILE_LANGDLL

LangString WelcomeText ${LANG_ENGLISH} "Setup will install $(^NameDA) for this user account only, with no need for administrator rights. The program will then start at every logon of this account.$\r$\n$\r$\nRun this setup as the account whose time is to be limited.$\r$\n$\r$\n$_CLICK"
LangString WelcomeText ${LANG_RUSSIAN} "Программа установит $(^NameDA) только для этой учётной записи Windows, без прав администратора, и будет запускать его при каждом входе в эту учётную запись.$\r$\n$\r$\nЗапустите установку от имени той учётной записи, время которой нужно ограничить.$\r$\n$\r$\n$_CLICK"
LangString FinishText ${LANG_ENGLISH} "$(^NameDA) is installed and running, and it starts at every logon of this account.$\r$\n$\r$\nIts icon is in the notification area: right-click it to set the daily limit and a password."
LangString FinishText ${LANG_RUSSIAN} "$(^NameDA) установлен и запущен; он будет запускаться при каждом входе в эту учётную запись.$\r$\n$\r$\nЕго значок находится в области уведомлений: щёлкните его правой кнопкой мыши, чтобы задать дневной лимит и пароль."
LangString CloseProgramDetail ${LANG_ENGLISH} "Closing the running ${PRODUCT}..."
LangString CloseProgramDetail ${LANG_RUSSIAN} "Закрытие работающего ${PRODUCT}..."
LangString ProgramStillRunning ${LANG_ENGLISH} "${PRODUCT} is still running and did not close.$\r$\n$\r$\nClose it, then choose Retry; or choose Cancel to stop."
LangString ProgramStillRunning ${LANG_RUSSIAN} "${PRODUCT} всё ещё работает и не закрылся.$\r$\n$\r$\nЗакройте его и нажмите «Повтор» или нажмите «Отмена», чтобы прервать."
LangString ProgramAsksPassword ${LANG_ENGLISH} "${PRODUCT} is running and asks for its password to close.$\r$\n$\r$\nType the password in its window so that it closes, then choose Retry; or choose Cancel to stop."
LangString ProgramAsksPassword ${LANG_RUSSIAN} "${PRODUCT} работает и для закрытия запрашивает пароль.$\r$\n$\r$\nВведите пароль в его окне, чтобы он закрылся, и нажмите «Повтор» или нажмите «Отмена», чтобы прервать."
LangString ProgramNotReplaced ${LANG_ENGLISH} "$INSTDIR\${PRODUCT}.exe could not be written."
LangString ProgramNotReplaced ${LANG_RUSSIAN} "Не удалось записать $INSTDIR\${PRODUCT}.exe."

!include "closeProgram.nsh"
!insertmacro HOURWARDEN_CLOSE_FUNCTIONS ""
!insertmacro HOURWARDEN_CLOSE_FUNCTIONS "un."

;--------------------------------
; Install

; /LANG=en or /LANG=ru picks the language without asking, which silent mode needs;
; otherwise the language box offers the Windows display language (or the one
; chosen at the last install).
Function .onInit
    SetShellVarContext current
    Push $0
    Push $1
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/LANG=" $1
    ${If} $1 == "ru"
        StrCpy $LANGUAGE ${LANG_RUSSIAN}
    ${ElseIf} $1 == "en"
        StrCpy $LANGUAGE ${LANG_ENGLISH}
    ${Else}
        !insertmacro MUI_LANGDLL_DISPLAY
    ${EndIf}
    Pop $1
    Pop $0
FunctionEnd

; The program's own config.json with its defaults and the installer's language,
; byte for byte as the program writes it, for the program's first start.
Function WriteFirstConfig
    ${If} ${FileExists} "$INSTDIR\config.json"
        Return
    ${EndIf}
    Push $0
    Push $1
    ${If} $LANGUAGE = ${LANG_RUSSIAN}
        StrCpy $0 "ru"
    ${Else}
        StrCpy $0 "en"
    ${EndIf}
    FileOpen $1 "$INSTDIR\config.json" w
    FileWrite $1 '{$\n'
    FileWrite $1 '  "daily_limit_minutes": 120,$\n'
    FileWrite $1 '  "show_last_three_minute_notifications": true,$\n'
    FileWrite $1 '  "language": "$0",$\n'
    FileWrite $1 '  "status_window_x": -1,$\n'
    FileWrite $1 '  "status_window_y": -1$\n'
    FileWrite $1 '}$\n'
    FileClose $1
    Pop $1
    Pop $0
FunctionEnd

Function WriteUninstallEntry
    Push $0
    Push $1
    Push $2
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PRODUCT}.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegStr HKCU "${UNINSTALL_KEY}" "${MUI_LANGDLL_REGISTRY_VALUENAME}" $LANGUAGE
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

Section "${PRODUCT}"
    SectionIn RO
    Call CloseRunningProgramOrAbort

    SetOutPath "$INSTDIR"
    ClearErrors
    File "/oname=${PRODUCT}.exe" "${PROGRAM_EXE}"
    ${If} ${Errors}
        ; Interactively the user has seen NSIS's own retry box and chose to go on; silently nothing was asked.
        DetailPrint "$(ProgramNotReplaced)"
        SetErrorLevel 2
        Abort "$(ProgramNotReplaced)"
    ${EndIf}
    Call WriteFirstConfig
    WriteUninstaller "$INSTDIR\uninstall.exe"

    WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\${PRODUCT}.exe"'
    Call WriteUninstallEntry
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${PRODUCT}.exe"

    Exec '"$INSTDIR\${PRODUCT}.exe"'
SectionEnd

;--------------------------------
; Uninstall

Function un.onInit
    SetShellVarContext current
    !insertmacro MUI_UNGETLANGUAGE
FunctionEnd

Section "Uninstall"
    Call un.CloseRunningProgramOrAbort

    ; Exactly what the installer and the program put here; anything else keeps the folder.
    Delete "$INSTDIR\${PRODUCT}.exe"
    Delete "$INSTDIR\config.json"
    Delete "$INSTDIR\data.json"
    ; Temporary files of a save the program could not finish ("<file>.<process id>.tmp").
    Delete "$INSTDIR\config.json.*.tmp"
    Delete "$INSTDIR\data.json.*.tmp"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"

    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
