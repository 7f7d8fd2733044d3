; Hourwarden-Setup.exe installs Hourwarden in one of two ways:
; - for another account (run elevated by an administrator, for a child's
;   standard account): into "Program Files\Hourwarden\<account>", with files
;   and a logon task that account cannot change, replace or remove;
; - for this account only (any account, no administrator rights): into a
;   folder of the account's own, started from its Run value.
;
; Silent: /S installs for this account; /S /FORUSER=<account> for that account,
; with /PASSWORD=<text> and /EXITNEEDSPASSWORD for its settings password.
; /LIMIT=<minutes> (1 to 1440, default 120) is the daily limit of a first
; config.json and of a new settings.log.
;
; The installation for another account keeps a journal (src/storage/journal.h)
; in "<folder>\journal": setup writes its settings.log, whose first record
; holds the settings and the password's verifier, and keeps that record's
; digest in the machine-wide entry, which the account cannot write. An upgrade
; keeps a log that still checks against the digest and removes day logs more
; than 31 days old; a missing or tampered log (or none yet, from a version
; before the journal) is written anew from what setup is given, with the
; password asked as at a first install. The uninstaller removes the journal.
;
; The build passes (makensis -D...):
;   VERSION        the project version, e.g. 1.0.0
;   VERSION_QUAD   the same in four parts, e.g. 1.0.0.0
;   PROGRAM_EXE    the built Hourwarden.exe
;   SETUP_HELPER   the built HourwardenSetupHelper.exe
;   ICON           the program's icon
;   OUTFILE        where to write the installer

!ifndef VERSION | VERSION_QUAD | PROGRAM_EXE | SETUP_HELPER | ICON | OUTFILE
    !error "Build through CMake, or pass VERSION, VERSION_QUAD, PROGRAM_EXE, SETUP_HELPER, ICON and OUTFILE"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
; Administrators are asked to elevate (only then can they install for another
; account); standard accounts run it as themselves.
RequestExecutionLevel highest
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh

!define PRODUCT "Hourwarden"
!define PUBLISHER "Hourwarden project"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; One machine-wide entry per account installed for: "<prefix><account>".
!define ACCOUNT_UNINSTALL_KEY_PREFIX "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}-"
; Where Task Manager's Startup tab keeps the starts it disabled.
!define STARTUP_APPROVED_KEY "Software\Microsoft\Windows\CurrentVersion\Explorer\StartupApproved\Run"
!define SETUP_HELPER_NAME "HourwardenSetupHelper.exe"
; Handed to the helper through its environment, never on a command line.
!define PASSWORD_VARIABLE "HOURWARDEN_SETUP_PASSWORD"
; The exit code of every refusal and failure.
!define EXIT_REFUSED 2
!define DEFAULT_LIMIT 120
!define MAX_LIMIT 1440
!define FILE_ATTRIBUTE_REPARSE_POINT 0x400
!define INVALID_FILE_ATTRIBUTES -1

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; No InstallDir: an empty $INSTDIR in .onInit tells that /D= did not choose the folder.
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

; The account installed for; empty for this account only.
Var ForAccount
; What /FORUSER= named, and "1" when it was given.
Var AccountArgument
Var AccountGiven
; "1" when setup runs elevated as an administrator.
Var IsAdministrator
; "1" when /D= chose the folder: an installation for this account.
Var FolderGiven
; This account's folder, as /D=, the last installation or the default gave it.
Var OwnFolder
Var SetupPassword
; "1" or "0", as the program's data.json keeps it.
Var ExitNeedsPassword
; Minutes a day, from /LIMIT= or the default.
Var DailyLimit
; "1" when an installation is replaced.
Var Upgrade
Var UninstallKey
Var WelcomeMessage
Var FinishMessage
Var HelperCode
Var HelperOutput
Var ModeOtherRadio
Var ModeSelfRadio
Var AccountField
Var PasswordField
Var ConfirmField
Var ExitCheck

;--------------------------------
; Pages

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_LANGDLL_WINDOWTITLE "${PRODUCT} ${VERSION}"
!define MUI_LANGDLL_INFO "Please select a language.$\r$\nВыберите язык."
; The choice is remembered in the installation's Uninstall entry (the account's own, or the
; machine-wide one of an installation for another account): the uninstaller and the next upgrade speak it too.
!define MUI_LANGDLL_REGISTRY_ROOT SHCTX
!define MUI_LANGDLL_REGISTRY_KEY "$UninstallKey"
!define MUI_LANGDLL_REGISTRY_VALUENAME "NSIS:Language"

!define MUI_PAGE_CUSTOMFUNCTION_PRE WelcomePagePre
!define MUI_WELCOMEPAGE_TEXT "$WelcomeMessage"
!insertmacro MUI_PAGE_WELCOME
Page custom ModePage ModePageLeave
Page custom PasswordPage PasswordPageLeave
!define MUI_PAGE_CUSTOMFUNCTION_PRE DirectoryPagePre
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryPageLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_PAGE_CUSTOMFUNCTION_PRE FinishPagePre
!define MUI_FINISHPAGE_TEXT "$FinishMessage"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"
!insertmacro MUI_RESERVEFILE_LANGDLL

LangString WelcomeText ${LANG_ENGLISH} "Setup will install $(^NameDA) for this user account only, with no need for administrator rights. The program will then start at every logon of this account.$\r$\n$\r$\nRun this setup as the account whose time is to be limited.$\r$\n$\r$\n$_CLICK"
LangString WelcomeText ${LANG_RUSSIAN} "Программа установит $(^NameDA) только для этой учётной записи Windows, без прав администратора, и будет запускать его при каждом входе в эту учётную запись.$\r$\n$\r$\nЗапустите установку от имени той учётной записи, время которой нужно ограничить.$\r$\n$\r$\n$_CLICK"
LangString WelcomeAdministratorText ${LANG_ENGLISH} "Setup will install $(^NameDA), which limits how long a Windows account may be used each day.$\r$\n$\r$\nAs an administrator you can install it for a child's account, which that account cannot switch off, replace or uninstall.$\r$\n$\r$\n$_CLICK"
LangString WelcomeAdministratorText ${LANG_RUSSIAN} "Программа установит $(^NameDA), который ограничивает, сколько времени в день можно пользоваться учётной записью Windows.$\r$\n$\r$\nКак администратор, вы можете установить его для учётной записи ребёнка так, что из неё его нельзя будет отключить, заменить или удалить.$\r$\n$\r$\n$_CLICK"
LangString FinishText ${LANG_ENGLISH} "$(^NameDA) is installed and running, and it starts at every logon of this account.$\r$\n$\r$\nIts icon is in the notification area: right-click it to set the daily limit and a password."
LangString FinishText ${LANG_RUSSIAN} "$(^NameDA) установлен и запущен; он будет запускаться при каждом входе в эту учётную запись.$\r$\n$\r$\nЕго значок находится в области уведомлений: щёлкните его правой кнопкой мыши, чтобы задать дневной лимит и пароль."
LangString FinishAccountText ${LANG_ENGLISH} "$(^NameDA) is installed for the account $ForAccount. It starts at every logon of that account, and that account cannot switch it off.$\r$\n$\r$\nTo set the daily limit, sign in to that account and right-click the icon in its notification area; the settings ask for the password you chose."
LangString FinishAccountText ${LANG_RUSSIAN} "$(^NameDA) установлен для учётной записи $ForAccount. Он запускается при каждом входе в неё, и отключить его из этой учётной записи нельзя.$\r$\n$\r$\nЧтобы задать дневной лимит, войдите в эту учётную запись и щёлкните правой кнопкой мыши значок в области уведомлений; настройки запросят выбранный вами пароль."
LangString ModeTitle ${LANG_ENGLISH} "Installation type"
LangString ModeTitle ${LANG_RUSSIAN} "Тип установки"
LangString ModeSubtitle ${LANG_ENGLISH} "Choose whose time ${PRODUCT} limits."
LangString ModeSubtitle ${LANG_RUSSIAN} "Выберите, чьё время ограничивает ${PRODUCT}."
LangString ModeOther ${LANG_ENGLISH} "For another account (recommended for a child)"
LangString ModeOther ${LANG_RUSSIAN} "Для другой учётной записи (рекомендуется для ребёнка)"
LangString ModeOtherText ${LANG_ENGLISH} "Installed under Program Files and started by a task at every logon of that account, which cannot switch it off, replace or uninstall it."
LangString ModeOtherText ${LANG_RUSSIAN} "Устанавливается в Program Files и запускается заданием при каждом входе в эту учётную запись; из неё его нельзя отключить, заменить или удалить."
LangString AccountLabel ${LANG_ENGLISH} "Account name:"
LangString AccountLabel ${LANG_RUSSIAN} "Имя учётной записи:"
LangString ModeSelf ${LANG_ENGLISH} "For this account only"
LangString ModeSelf ${LANG_RUSSIAN} "Только для этой учётной записи"
LangString ModeSelfText ${LANG_ENGLISH} "Installed in this account's own folder and started from its Run value; whoever uses this account can remove it."
LangString ModeSelfText ${LANG_RUSSIAN} "Устанавливается в собственную папку этой учётной записи и запускается из её списка автозагрузки; пользователь этой учётной записи может его убрать."
LangString PasswordTitle ${LANG_ENGLISH} "Settings password"
LangString PasswordTitle ${LANG_RUSSIAN} "Пароль настроек"
LangString PasswordSubtitle ${LANG_ENGLISH} "The password guards the settings of ${PRODUCT} in the account $ForAccount."
LangString PasswordSubtitle ${LANG_RUSSIAN} "Пароль защищает настройки ${PRODUCT} в учётной записи $ForAccount."
LangString PasswordLabel ${LANG_ENGLISH} "Password:"
LangString PasswordLabel ${LANG_RUSSIAN} "Пароль:"
LangString ConfirmLabel ${LANG_ENGLISH} "Confirm password:"
LangString ConfirmLabel ${LANG_RUSSIAN} "Подтверждение пароля:"
LangString ExitNeedsPasswordLabel ${LANG_ENGLISH} "Require the password to exit ${PRODUCT}"
LangString ExitNeedsPasswordLabel ${LANG_RUSSIAN} "Запрашивать пароль при выходе из ${PRODUCT}"
LangString PasswordEmpty ${LANG_ENGLISH} "Type a password: without one, the account could change the settings itself."
LangString PasswordEmpty ${LANG_RUSSIAN} "Введите пароль: без него пользователь учётной записи сможет сам изменить настройки."
LangString PasswordsDiffer ${LANG_ENGLISH} "The two passwords differ. Type the same password twice."
LangString PasswordsDiffer ${LANG_RUSSIAN} "Пароли не совпадают. Введите один и тот же пароль дважды."
LangString NeedsAdministrator ${LANG_ENGLISH} "Installing for another account needs administrator rights: run the setup as an administrator. Nothing was changed."
LangString NeedsAdministrator ${LANG_RUSSIAN} "Для установки для другой учётной записи нужны права администратора: запустите установку от имени администратора. Ничего не изменено."
LangString NoSuchAccount ${LANG_ENGLISH} "There is no local account with this name. Nothing was changed."
LangString NoSuchAccount ${LANG_RUSSIAN} "Локальной учётной записи с таким именем нет. Ничего не изменено."
LangString ForeignFolder ${LANG_ENGLISH} "$INSTDIR already exists and was not made by this setup. Nothing was changed."
LangString ForeignFolder ${LANG_RUSSIAN} "Папка $INSTDIR уже существует и создана не этой программой установки. Ничего не изменено."
LangString ReparsePoint ${LANG_ENGLISH} "$INSTDIR or its parent folder is a link to another place. Nothing was changed."
LangString ReparsePoint ${LANG_RUSSIAN} "Папка $INSTDIR или её родительская папка является ссылкой на другое место. Ничего не изменено."
LangString FolderNotEmpty ${LANG_ENGLISH} "$INSTDIR is not empty and holds no ${PRODUCT}. Choose an empty folder or the folder of an earlier installation."
LangString FolderNotEmpty ${LANG_RUSSIAN} "Папка $INSTDIR не пуста и не содержит ${PRODUCT}. Выберите пустую папку или папку прежней установки."
LangString BadLimit ${LANG_ENGLISH} "/LIMIT= takes the daily limit in minutes, a whole number from 1 to ${MAX_LIMIT}. Nothing was changed."
LangString BadLimit ${LANG_RUSSIAN} "/LIMIT= задаёт дневной лимит в минутах, целое число от 1 до ${MAX_LIMIT}. Ничего не изменено."
LangString SetupFailed ${LANG_ENGLISH} "Setup could not finish:"
LangString SetupFailed ${LANG_RUSSIAN} "Установку не удалось завершить:"
LangString UninstallNeedsAdministrator ${LANG_ENGLISH} "Only an administrator can uninstall ${PRODUCT} from this account. Nothing was changed."
LangString UninstallNeedsAdministrator ${LANG_RUSSIAN} "Удалить ${PRODUCT} из этой учётной записи может только администратор. Ничего не изменено."
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
; Shared by setup and uninstaller

; Runs the setup helper (extracted to the plug-ins folder) with ARGUMENTS;
; leaves its exit code in $HelperCode and what it printed in $HelperOutput.
!macro RUN_HELPER ARGUMENTS
    nsExec::ExecToStack '"$PLUGINSDIR\${SETUP_HELPER_NAME}" ${ARGUMENTS}'
    Pop $HelperCode
    Pop $HelperOutput
!macroend

; Ends setup with the exit code of a refusal, telling why (silently only in the log).
!macro FAIL MESSAGE
    DetailPrint "${MESSAGE}"
    MessageBox MB_OK|MB_ICONSTOP "${MESSAGE}" /SD IDOK
    SetErrorLevel ${EXIT_REFUSED}
    Abort "${MESSAGE}"
!macroend

; As RUN_HELPER, and ends setup when the helper did not succeed.
!macro HELPER_OR_FAIL ARGUMENTS
    !insertmacro RUN_HELPER '${ARGUMENTS}'
    ${If} $HelperCode != 0
        !insertmacro FAIL "$(SetupFailed)$\r$\n$HelperOutput"
    ${EndIf}
!macroend

; As RUN_HELPER, with the settings password in the helper's environment
; (never on its command line, which other programs can read) for this run only.
!macro RUN_HELPER_WITH_PASSWORD ARGUMENTS
    System::Call 'kernel32::SetEnvironmentVariableW(w "${PASSWORD_VARIABLE}", w "$SetupPassword")'
    !insertmacro RUN_HELPER '${ARGUMENTS}'
    System::Call 'kernel32::SetEnvironmentVariableW(w "${PASSWORD_VARIABLE}", p 0)'
!macroend

!macro EXTRACT_HELPER
    InitPluginsDir
    File "/oname=$PLUGINSDIR\${SETUP_HELPER_NAME}" "${SETUP_HELPER}"
!macroend

;--------------------------------
; Install

; Before any page: refuses, with exit code 2 and nothing changed, an
; installation for another account (/FORUSER=) without elevation or for an unknown account.
Function ChooseAccountOrQuit
    Push $0
    StrCpy $0 $AccountArgument
    ${If} $IsAdministrator != 1
        MessageBox MB_OK|MB_ICONSTOP "$(NeedsAdministrator)" /SD IDOK
        SetErrorLevel ${EXIT_REFUSED}
        Quit
    ${EndIf}
    !insertmacro RUN_HELPER 'check-account "$0"'
    ${If} $HelperCode != 0
        MessageBox MB_OK|MB_ICONSTOP "$(NoSuchAccount)" /SD IDOK
        SetErrorLevel ${EXIT_REFUSED}
        Quit
    ${EndIf}
    StrCpy $ForAccount $0
    StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}\$ForAccount"
    Pop $0
FunctionEnd

; /LANG=en or /LANG=ru picks the language without asking, which silent mode needs;
; otherwise the language box offers the Windows display language (or the one
; chosen at the last install).
Function .onInit
    Push $0
    Push $1
    ${GetParameters} $0
    SetShellVarContext current
    StrCpy $UninstallKey "${UNINSTALL_KEY}"
    ClearErrors
    ${GetOptions} $0 "/FORUSER=" $1
    ${IfNot} ${Errors}
        SetShellVarContext all
        StrCpy $UninstallKey "${ACCOUNT_UNINSTALL_KEY_PREFIX}$1"
    ${EndIf}
    ClearErrors
    ${GetOptions} $0 "/LANG=" $1
    ${If} $1 == "ru"
        StrCpy $LANGUAGE ${LANG_RUSSIAN}
    ${ElseIf} $1 == "en"
        StrCpy $LANGUAGE ${LANG_ENGLISH}
    ${Else}
        !insertmacro MUI_LANGDLL_DISPLAY
    ${EndIf}

    ; Checked before anything else happens, in the language chosen.
    StrCpy $DailyLimit ${DEFAULT_LIMIT}
    ClearErrors
    ${GetOptions} $0 "/LIMIT=" $1
    ${IfNot} ${Errors}
        ; Only the plain decimal number itself: IntOp would read "90x" as 90 and "0x5a" as hex.
        IntOp $DailyLimit $1 + 0
        ${If} "$DailyLimit" != "$1"
        ${OrIf} $DailyLimit < 1
        ${OrIf} $DailyLimit > ${MAX_LIMIT}
            MessageBox MB_OK|MB_ICONSTOP "$(BadLimit)" /SD IDOK
            SetErrorLevel ${EXIT_REFUSED}
            Quit
        ${EndIf}
    ${EndIf}

    !insertmacro EXTRACT_HELPER
    ; For this account the program writes its two files beside itself, so the folder must be the account's own.
    StrCpy $FolderGiven 1
    ${If} $INSTDIR == ""
        StrCpy $FolderGiven 0
        ReadRegStr $INSTDIR HKCU "${UNINSTALL_KEY}" "InstallLocation"
        ${If} $INSTDIR == ""
            StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${PRODUCT}"
        ${EndIf}
    ${EndIf}
    StrCpy $OwnFolder $INSTDIR
    StrCpy $IsAdministrator 0
    UserInfo::GetAccountType
    Pop $1
    ${If} $1 == "Admin"
        StrCpy $IsAdministrator 1
    ${EndIf}
    StrCpy $ExitNeedsPassword 0
    ClearErrors
    ${GetOptions} $0 "/EXITNEEDSPASSWORD" $1
    ${IfNot} ${Errors}
        StrCpy $ExitNeedsPassword 1
    ${EndIf}
    ClearErrors
    ${GetOptions} $0 "/PASSWORD=" $SetupPassword
    ; Interactively the first page checks it: only then do messages speak the chosen language.
    ClearErrors
    ${GetOptions} $0 "/FORUSER=" $AccountArgument
    ${IfNot} ${Errors}
        StrCpy $AccountGiven 1
        ${If} ${Silent}
            Call ChooseAccountOrQuit
        ${EndIf}
    ${EndIf}
    Pop $1
    Pop $0
FunctionEnd

Function WelcomePagePre
    ${If} $AccountGiven == 1
    ${AndIf} $ForAccount == ""
        Call ChooseAccountOrQuit
    ${EndIf}
    ${If} $IsAdministrator == 1
        StrCpy $WelcomeMessage "$(WelcomeAdministratorText)"
    ${Else}
        StrCpy $WelcomeMessage "$(WelcomeText)"
    ${EndIf}
FunctionEnd

; Offered to an administrator, unless the command line already chose.
Function ModePage
    ${If} $IsAdministrator != 1
    ${OrIf} $FolderGiven == 1
    ${OrIf} $ForAccount != ""
        Abort
    ${EndIf}
    !insertmacro MUI_HEADER_TEXT "$(ModeTitle)" "$(ModeSubtitle)"
    nsDialogs::Create 1018
    Pop $0
    ${NSD_CreateRadioButton} 0 0 100% 12u "$(ModeOther)"
    Pop $ModeOtherRadio
    ${NSD_AddStyle} $ModeOtherRadio ${WS_GROUP}
    ${NSD_CreateLabel} 12u 14u -12u 20u "$(ModeOtherText)"
    Pop $0
    ${NSD_CreateLabel} 12u 38u 70u 10u "$(AccountLabel)"
    Pop $0
    ${NSD_CreateText} 84u 36u 110u 12u ""
    Pop $AccountField
    ${NSD_CreateRadioButton} 0 60u 100% 12u "$(ModeSelf)"
    Pop $ModeSelfRadio
    ${NSD_CreateLabel} 12u 74u -12u 20u "$(ModeSelfText)"
    Pop $0
    ; An upgrade of this account's installation keeps its kind; a first one is most often for a child.
    ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 != ""
        ${NSD_Check} $ModeSelfRadio
    ${Else}
        ${NSD_Check} $ModeOtherRadio
    ${EndIf}
    nsDialogs::Show
FunctionEnd

Function ModePageLeave
    ${NSD_GetState} $ModeOtherRadio $0
    ${If} $0 == ${BST_CHECKED}
        ${NSD_GetText} $AccountField $0
        !insertmacro RUN_HELPER 'check-account "$0"'
        ${If} $HelperCode != 0
            MessageBox MB_OK|MB_ICONEXCLAMATION "$(NoSuchAccount)"
            Abort
        ${EndIf}
        StrCpy $ForAccount $0
        StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}\$ForAccount"
    ${Else}
        StrCpy $ForAccount ""
        StrCpy $INSTDIR $OwnFolder
    ${EndIf}
FunctionEnd

; Whether $INSTDIR holds a data.json the program can read ("1" or "0" on the stack).
; One it cannot read gives no time to anyone: setup replaces it as at a first
; install, with the parent's password, which is how a parent repairs it.
Function DataIsUsable
    !insertmacro RUN_HELPER 'data-usable "$INSTDIR"'
    ${If} $HelperCode == 0
        Push 1
    ${Else}
        Push 0
    ${EndIf}
FunctionEnd

; Whether the installation's settings.log checks against the digest in its
; machine-wide entry ("1" or "0" on the stack). A missing one (a first install,
; or one made before the journal) or a tampered one is written anew.
Function JournalIsUsable
    !insertmacro RUN_HELPER 'journal-usable "$INSTDIR" "$ForAccount"'
    ${If} $HelperCode == 0
        Push 1
    ${Else}
        Push 0
    ${EndIf}
FunctionEnd

; The password goes into a new data.json and a new settings.log; an upgrade
; keeps both when they are usable, and then asks nothing. It is never taken
; from the files, which the account may have rewritten.
Function PasswordPage
    ${If} $ForAccount == ""
        Abort
    ${EndIf}
    Call DataIsUsable
    Pop $0
    Call JournalIsUsable
    Pop $1
    ${If} $0 == 1
    ${AndIf} $1 == 1
        Abort
    ${EndIf}
    !insertmacro MUI_HEADER_TEXT "$(PasswordTitle)" "$(PasswordSubtitle)"
    nsDialogs::Create 1018
    Pop $0
    ${NSD_CreateLabel} 0 2u 90u 10u "$(PasswordLabel)"
    Pop $0
    ${NSD_CreatePassword} 94u 0 120u 12u ""
    Pop $PasswordField
    ${NSD_CreateLabel} 0 22u 90u 10u "$(ConfirmLabel)"
    Pop $0
    ${NSD_CreatePassword} 94u 20u 120u 12u ""
    Pop $ConfirmField
    ${NSD_CreateCheckbox} 0 42u 100% 12u "$(ExitNeedsPasswordLabel)"
    Pop $ExitCheck
    ${NSD_Check} $ExitCheck
    nsDialogs::Show
FunctionEnd

Function PasswordPageLeave
    ${NSD_GetText} $PasswordField $0
    ${NSD_GetText} $ConfirmField $1
    ${If} $0 == ""
        MessageBox MB_OK|MB_ICONEXCLAMATION "$(PasswordEmpty)"
        Abort
    ${EndIf}
    ${If} $0 S!= $1
        MessageBox MB_OK|MB_ICONEXCLAMATION "$(PasswordsDiffer)"
        Abort
    ${EndIf}
    StrCpy $SetupPassword $0
    ${NSD_GetState} $ExitCheck $0
    ${If} $0 == ${BST_CHECKED}
        StrCpy $ExitNeedsPassword 1
    ${Else}
        StrCpy $ExitNeedsPassword 0
    ${EndIf}
FunctionEnd

; The folder of an installation for another account is fixed.
Function DirectoryPagePre
    ${If} $ForAccount != ""
        Abort
    ${EndIf}
FunctionEnd

; Out: "1" when $INSTDIR holds files but no program: someone else's folder,
; whose files the uninstaller would later remove with its own.
Function IsForeignFolder
    Push $0
    ${DirState} "$INSTDIR" $0
    ${If} $0 == 1
    ${AndIfNot} ${FileExists} "$INSTDIR\${PRODUCT}.exe"
        StrCpy $0 1
    ${Else}
        StrCpy $0 0
    ${EndIf}
    Exch $0
FunctionEnd

Function DirectoryPageLeave
    Call IsForeignFolder
    Pop $0
    ${If} $0 == 1
        MessageBox MB_OK|MB_ICONEXCLAMATION "$(FolderNotEmpty)"
        Abort
    ${EndIf}
FunctionEnd

Function FinishPagePre
    ${If} $ForAccount != ""
        StrCpy $FinishMessage "$(FinishAccountText)"
    ${Else}
        StrCpy $FinishMessage "$(FinishText)"
    ${EndIf}
FunctionEnd

; Ends setup when the folder (In: on the stack) is a junction or another link.
Function RefuseReparsePoint
    Exch $0
    System::Call 'kernel32::GetFileAttributesW(w r0) i .r0'
    ${If} $0 <> ${INVALID_FILE_ATTRIBUTES}
        IntOp $0 $0 & ${FILE_ATTRIBUTE_REPARSE_POINT}
        ${If} $0 <> 0
            !insertmacro FAIL "$(ReparsePoint)"
        ${EndIf}
    ${EndIf}
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
    FileWrite $1 '  "daily_limit_minutes": $DailyLimit,$\n'
    FileWrite $1 '  "show_last_three_minute_notifications": true,$\n'
    FileWrite $1 '  "language": "$0",$\n'
    FileWrite $1 '  "status_window_x": -1,$\n'
    FileWrite $1 '  "status_window_y": -1$\n'
    FileWrite $1 '}$\n'
    FileClose $1
    Pop $1
    Pop $0
FunctionEnd

; Under $UninstallKey in the context's hive (SetShellVarContext).
Function WriteUninstallEntry
    Push $0
    Push $1
    Push $2
    ${If} $ForAccount != ""
        WriteRegStr SHCTX "$UninstallKey" "DisplayName" "${PRODUCT} ($ForAccount)"
    ${Else}
        WriteRegStr SHCTX "$UninstallKey" "DisplayName" "${PRODUCT}"
    ${EndIf}
    WriteRegStr SHCTX "$UninstallKey" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "$UninstallKey" "Publisher" "${PUBLISHER}"
    WriteRegStr SHCTX "$UninstallKey" "DisplayIcon" "$INSTDIR\${PRODUCT}.exe,0"
    WriteRegStr SHCTX "$UninstallKey" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "$UninstallKey" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr SHCTX "$UninstallKey" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD SHCTX "$UninstallKey" "NoModify" 1
    WriteRegDWORD SHCTX "$UninstallKey" "NoRepair" 1
    WriteRegStr SHCTX "$UninstallKey" "${MUI_LANGDLL_REGISTRY_VALUENAME}" $LANGUAGE
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD SHCTX "$UninstallKey" "EstimatedSize" $0
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

; Puts the new program in place. A failed upgrade puts the old one back and
; starts it again before setup stops: the limit never stays switched off.
Function PutProgramInPlace
    ${If} $Upgrade == 1
        CopyFiles /SILENT "$INSTDIR\${PRODUCT}.exe" "$PLUGINSDIR\previous.exe"
    ${EndIf}
    SetOutPath "$INSTDIR"
    ClearErrors
    File "/oname=${PRODUCT}.exe" "${PROGRAM_EXE}"
    ${IfNot} ${Errors}
        Return
    ${EndIf}
    ; Interactively the user has seen NSIS's own retry box and chose to go on; silently nothing was asked.
    ${If} $Upgrade == 1
        ; Where the old file could not even be opened it is still whole, and this copy fails harmlessly.
        CopyFiles /SILENT "$PLUGINSDIR\previous.exe" "$INSTDIR\${PRODUCT}.exe"
        ${If} $ForAccount != ""
            !insertmacro RUN_HELPER 'run-task "$ForAccount"'
        ${Else}
            Exec '"$INSTDIR\${PRODUCT}.exe"'
        ${EndIf}
    ${EndIf}
    !insertmacro FAIL "$(ProgramNotReplaced)"
FunctionEnd

Function InstallForThisAccount
    SetShellVarContext current
    StrCpy $UninstallKey "${UNINSTALL_KEY}"
    Call IsForeignFolder
    Pop $0
    ${If} $0 == 1
        !insertmacro FAIL "$(FolderNotEmpty)"
    ${EndIf}
    Call CloseRunningProgramOrAbort
    StrCpy $Upgrade 0
    ${If} ${FileExists} "$INSTDIR\${PRODUCT}.exe"
        StrCpy $Upgrade 1
    ${EndIf}
    Call PutProgramInPlace
    Call WriteFirstConfig
    WriteUninstaller "$INSTDIR\uninstall.exe"

    WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\${PRODUCT}.exe"'
    ; A start the Startup tab switched off would stay off.
    DeleteRegValue HKCU "${STARTUP_APPROVED_KEY}" "${PRODUCT}"
    Call WriteUninstallEntry
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${PRODUCT}.exe"

    Exec '"$INSTDIR\${PRODUCT}.exe"'
FunctionEnd

Function InstallForAccount
    SetShellVarContext all
    StrCpy $UninstallKey "${ACCOUNT_UNINSTALL_KEY_PREFIX}$ForAccount"
    Push "$PROGRAMFILES64\${PRODUCT}"
    Call RefuseReparsePoint
    StrCpy $Upgrade 0
    ${If} ${FileExists} "$INSTDIR\*.*"
        Push "$INSTDIR"
        Call RefuseReparsePoint
        ; Only a folder this setup made is taken over: its entry names it.
        ReadRegStr $0 HKLM "$UninstallKey" "InstallLocation"
        ${If} $0 != "$INSTDIR"
            !insertmacro FAIL "$(ForeignFolder)"
        ${EndIf}
        StrCpy $Upgrade 1
        DetailPrint "$(CloseProgramDetail)"
        !insertmacro HELPER_OR_FAIL 'end-program "$INSTDIR\${PRODUCT}.exe"'
    ${EndIf}
    Call PutProgramInPlace
    Call WriteFirstConfig
    Call DataIsUsable
    Pop $0
    ${If} $0 == 0
        !insertmacro RUN_HELPER_WITH_PASSWORD 'write-data "$INSTDIR" $ExitNeedsPassword'
        ${If} $HelperCode != 0
            StrCpy $SetupPassword ""
            !insertmacro FAIL "$(SetupFailed)$\r$\n$HelperOutput"
        ${EndIf}
    ${EndIf}
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ; Written before the steps that may fail, so that whatever is in place can
    ; be uninstalled; make-journal keeps its digest there.
    Call WriteUninstallEntry
    !insertmacro HELPER_OR_FAIL 'secure "$INSTDIR" "$ForAccount"'
    ; Before the task can start the program: it finds its journal in place.
    !insertmacro RUN_HELPER_WITH_PASSWORD 'make-journal "$INSTDIR" "$ForAccount" $DailyLimit $ExitNeedsPassword'
    StrCpy $SetupPassword ""
    ${If} $HelperCode != 0
        !insertmacro FAIL "$(SetupFailed)$\r$\n$HelperOutput"
    ${EndIf}
    ${If} $Upgrade == 1
        ; Old day logs only cost the program reading; one left behind is no harm.
        !insertmacro RUN_HELPER 'prune-day-logs "$INSTDIR"'
        DetailPrint "$HelperOutput"
    ${EndIf}
    !insertmacro HELPER_OR_FAIL 'register-task "$ForAccount" "$INSTDIR\${PRODUCT}.exe"'
    !insertmacro HELPER_OR_FAIL 'remove-startup-approved "$ForAccount"'
    ; Runs at once where the account is signed in; otherwise at its next logon.
    !insertmacro RUN_HELPER 'run-task "$ForAccount"'
    ${If} $HelperCode != 0
        DetailPrint "$HelperOutput"
    ${EndIf}
FunctionEnd

Section "${PRODUCT}"
    SectionIn RO
    ${If} $ForAccount != ""
        Call InstallForAccount
    ${Else}
        Call InstallForThisAccount
    ${EndIf}
SectionEnd

;--------------------------------
; Uninstall

; An installation for another account is known by its machine-wide entry, which
; names this folder; only an administrator removes it.
Function un.onInit
    SetShellVarContext current
    StrCpy $UninstallKey "${UNINSTALL_KEY}"
    ${GetFileName} "$INSTDIR" $0
    ReadRegStr $1 HKLM "${ACCOUNT_UNINSTALL_KEY_PREFIX}$0" "InstallLocation"
    ${If} $1 != ""
    ${AndIf} $1 == "$INSTDIR"
        StrCpy $ForAccount $0
        SetShellVarContext all
        StrCpy $UninstallKey "${ACCOUNT_UNINSTALL_KEY_PREFIX}$0"
    ${EndIf}
    !insertmacro MUI_UNGETLANGUAGE
    ${If} $ForAccount != ""
        UserInfo::GetAccountType
        Pop $1
        ${If} $1 != "Admin"
            MessageBox MB_OK|MB_ICONSTOP "$(UninstallNeedsAdministrator)" /SD IDOK
            SetErrorLevel ${EXIT_REFUSED}
            Quit
        ${EndIf}
    ${EndIf}
FunctionEnd

Section "Uninstall"
    ${If} $ForAccount != ""
        SetShellVarContext all
        !insertmacro EXTRACT_HELPER
        ; The task goes first: its repeated start would bring the program back.
        !insertmacro HELPER_OR_FAIL 'delete-task "$ForAccount"'
        DetailPrint "$(CloseProgramDetail)"
        !insertmacro HELPER_OR_FAIL 'end-program "$INSTDIR\${PRODUCT}.exe"'
        ; The journal: the logs setup and the program wrote, and any other file
        ; the account created there (it may create files, never folders).
        ; Delete removes a link itself, never what it points to.
        Delete "$INSTDIR\journal\*.*"
        RMDir "$INSTDIR\journal"
    ${Else}
        Call un.CloseRunningProgramOrAbort
    ${EndIf}

    ; Exactly what the installer and the program put here; anything else keeps the folder.
    Delete "$INSTDIR\${PRODUCT}.exe"
    Delete "$INSTDIR\config.json"
    Delete "$INSTDIR\data.json"
    ; Temporary files of a save the program could not finish ("<file>.<process id>.tmp").
    Delete "$INSTDIR\config.json.*.tmp"
    Delete "$INSTDIR\data.json.*.tmp"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"

    ${If} $ForAccount != ""
        ; Only when no other account's installation is left in it.
        RMDir "$PROGRAMFILES64\${PRODUCT}"
        DeleteRegKey HKLM "${ACCOUNT_UNINSTALL_KEY_PREFIX}$ForAccount"
    ${Else}
        Delete "$SMPROGRAMS\${PRODUCT}.lnk"
        DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
        DeleteRegKey HKCU "${UNINSTALL_KEY}"
    ${EndIf}
SectionEnd
