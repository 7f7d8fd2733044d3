@echo off
rem Hourwarden: the checks that only a real Windows 10 or 11 machine can show
rem (file access lists and owners, threads born with the token's default list,
rem byte-range locks, desktops, mitigation policies, the logon task), which
rem the suite skips under Wine.
rem
rem Copy build\windows-checks\ to the machine and run, in an administrator's console:
rem     windows-checks.cmd          every check, then the rest of the three test executables
rem     windows-checks.cmd /quick   the Windows-only checks and the account's side only
rem     windows-checks.cmd /list    what it would run, one test or step a line; changes nothing
rem It prints PASS or FAIL and a name for each check, a closing "N passed, N failed"
rem line and the manual steps, and writes windows-checks.log beside itself.
rem Plain cmd, so it needs nothing installed.
setlocal EnableExtensions EnableDelayedExpansion
set "HERE=%~dp0"
set "SELF=%~f0"
rem The list of checks is the lines below that begin with this mark, read through find:
rem no other line holds it, since Wine's cmd expands a line that holds %%a again.
set "MARK=:#"
set "MODE="
if "%~1"=="" set "MODE=all"
if /i "%~1"=="/all" set "MODE=all"
if /i "%~1"=="/list" set "MODE=list"
if /i "%~1"=="/quick" set "MODE=quick"
if "%MODE%"=="" goto :usage
if "%MODE%"=="list" goto :list

rem Everything else changes the machine: an administrator only.
net session >nul 2>&1
if errorlevel 1 (
    echo windows-checks.cmd needs an administrator's console: right-click Command Prompt, Run as administrator.
    exit /b 2
)

set "LOG=%HERE%windows-checks.log"
set "OUT=%TEMP%\hourwarden-windows-check-%RANDOM%.txt"
set PASSED=0
set FAILED=0
set "ACCOUNT="
set "ACCOUNT_MADE=0"
set "ACCOUNT_READY=0"
set "MISSING="
rem The test executables and what the end-to-end and installer tests start, all beside this script.
set "EXE_unit=hourwarden_unit_tests.exe"
set "EXE_e2e=hourwarden_e2e_tests.exe"
set "EXE_installer=hourwarden_installer_tests.exe"
set "HOURWARDEN_EXE=%HERE%Hourwarden.exe"
set "HOURWARDEN_MENU_PROBE=%HERE%menuprobe.dll"
set "HOURWARDEN_IMPOSTOR=%HERE%impostor.exe"
set "HOURWARDEN_SETUP=%HERE%Hourwarden-Setup.exe"
for %%f in ("%EXE_unit%" "%EXE_e2e%" "%EXE_installer%" Hourwarden.exe Hourwarden-Setup.exe as-account.exe menuprobe.dll labelprobe.dll sessionprobe.dll impostor.exe) do (
    if not exist "%HERE%%%~f" (
        echo %%~f is missing beside windows-checks.cmd: copy the whole build\windows-checks folder.
        set "MISSING=1"
    )
)
if defined MISSING exit /b 2

>"%LOG%" echo Hourwarden Windows checks, started %DATE% %TIME%
ver >>"%LOG%"
echo Hourwarden Windows checks: one line per check; details in %LOG%

rem Each line of the list below, in order.
for /f "tokens=1,2,3,*" %%a in ('type "%SELF%" ^| find "%MARK%"') do (
    if "%%a"=="%MARK%check" call :check %%b %%c
    if "%%a"=="%MARK%step" call :step_%%b
    if "%%a"=="%MARK%rest" if not "%MODE%"=="quick" call :rest %%b
)

echo.
echo !PASSED! passed, !FAILED! failed
>>"%LOG%" echo !PASSED! passed, !FAILED! failed
echo.
echo Manual steps, not counted; they need the account's own signed-in session:
for /f "tokens=1,2,3,*" %%a in ('type "%SELF%" ^| find "%MARK%"') do (
    if "%%a"=="%MARK%manual" echo   %%b: %%c %%d
)
>>"%LOG%" echo Finished %DATE% %TIME%
del "%OUT%" >nul 2>&1
if !FAILED! gtr 0 exit /b 1
exit /b 0

:usage
echo usage: windows-checks.cmd [/list ^| /quick ^| /all]
exit /b 2

rem One test or step a line, in the order they run; changes nothing.
:list
for /f "tokens=1,2,3,*" %%a in ('type "%SELF%" ^| find "%MARK%"') do (
    if "%%a"=="%MARK%check" echo %%b %%c
    if "%%a"=="%MARK%step" echo step %%b: %%c %%d
    if "%%a"=="%MARK%rest" echo rest %%b: %%c %%d
    if "%%a"=="%MARK%manual" echo manual %%b: %%c %%d
)
exit /b 0

rem ---- The list, in the order it runs. "check SET TEST" after the mark: a test marked _WindowsOnly, run on its own
rem from the executable of SET (account: the installer tests, run as the temporary
rem standard account). tests/windowsChecks/check-list.sh compares these names with
rem the marked tests of the three executables, so a new marked test goes here too.
rem "step NAME" and "rest SET" run the subroutines of that name; "manual" lines are
rem printed at the end. These lines are labels to cmd, so it never runs them.

:#check unit ProcessProtection.AThreadBornProtectedCountsAsProtected_WindowsOnly
:#check unit StorageAccessList.ReplacedFileKeepsItsAccessList_WindowsOnly
:#check unit ControlWindowTest.TheSystemsSwitchTakesTheInputBackFromAnotherDesktop_WindowsOnly
:#check unit JournalFiles.AnAppendOnlyAccessListLeavesReadingAndAppending_WindowsOnly
:#check e2e DiskE2E.AByteRangeLockOnDataJsonSpendsTheDayUntilItIsLifted_WindowsOnly
:#check e2e ProtectionE2E.TheRunningProgramKeepsThePoliciesItAskedFor_WindowsOnly
:#check e2e ProtectionE2E.WithTheExitPasswordTheOwnerCannotRewriteTheListsOfTheProcessOrItsThreads_WindowsOnly
:#check installer AccountInstallerTest.SilentInstallGivesTheFolderAndEachFileItsAccessList_WindowsOnly
:#check installer AccountInstallerTest.TheTaskStartsTheProgramAtTheAccountsLogonWithItsOwnLimitedRights_WindowsOnly
:#check installer AccountInstallerTest.TheJournalsListsLetTheAccountOnlyCreateReadAndAppend_WindowsOnly
:#step create-account a temporary local standard account with a generated password
:#step install Hourwarden-Setup.exe /S /LANG=en /FORUSER=account /PASSWORD=generated /EXITNEEDSPASSWORD
:#check account AccountSide.TheAccountWritesTheDataOfItsTwoFilesInPlace_WindowsOnly
:#check account AccountSide.TheAccountCannotReplaceRenameDeleteOrReListAnythingInTheFolder_WindowsOnly
:#check account AccountSide.TheAccountCannotChangeDisableEndOrDeleteItsTask_WindowsOnly
:#check account AccountSide.TheAccountCannotEndOrFreezeTheRunningProgram_WindowsOnly
:#step remove the uninstaller as administrator, then the account, its profile and the copied tests, whatever failed
:#rest unit every other unit test
:#rest e2e every other end-to-end test
:#rest installer every other installer test
:#manual lock Install for the child's account, set a daily limit of 1 minute in Settings, sign in as the child and use the computer: the workstation locks about a minute after use starts, and each unlock gives one more minute before it locks again.
:#manual logon-task Sign in as the child: the tray icon appears within a minute. End the program as an administrator with taskkill /f: it is back within 5 minutes.
:#manual task-manager As the child, Task Manager's End task on Hourwarden is refused, and its Startup tab lists no Hourwarden entry.
:#manual other-desktop As the child on a spent day, start a program that switches to a desktop of its own: the input comes back to the child's desktop and the workstation locks at once.

rem ---- Subroutines.

rem A check's verdict: PASS only with exit code 0 and the test reported OK, so a
rem skipped test or a name that matches nothing fails.
rem %1 name, %2 exit code.
:verdict
set "REASON="
findstr /l /c:"[       OK ] %~1" "%OUT%" >nul 2>&1
if errorlevel 1 set "REASON=not reported OK"
findstr /l /c:"[  SKIPPED ] %~1" "%OUT%" >nul 2>&1
if not errorlevel 1 set "REASON=skipped"
if not "%~2"=="0" set "REASON=exit code %~2"
if "!REASON!"=="" (call :record PASS %1) else (call :record FAIL %1 "!REASON!")
goto :eof

rem %1 PASS or FAIL, %2 name, %3 why it failed. The log's redirection comes first, so
rem a reason ending in a digit is not taken for a handle number.
:record
if "%~1"=="PASS" (set /a PASSED+=1) else (set /a FAILED+=1)
if "%~3"=="" (
    echo %~1 %~2
    >>"%LOG%" echo %~1 %~2
) else (
    echo %~1 %~2: %~3
    >>"%LOG%" echo %~1 %~2: %~3
)
goto :eof

rem %1 set, %2 test: the test on its own, its output into the log.
:check
if "%~1"=="account" goto :checkAsAccount
>>"%LOG%" echo ---- %~2
"%HERE%!EXE_%~1!" --gtest_filter=%~2 >"%OUT%" 2>&1
set RC=!errorlevel!
type "%OUT%" >>"%LOG%"
call :verdict %~2 !RC!
goto :eof

rem The account's side, as the account: its own processes, its own token.
:checkAsAccount
>>"%LOG%" echo ---- %~2, as !ACCOUNT!
if not "!ACCOUNT_READY!"=="1" (
    call :record FAIL %~2 "no installation for a temporary account to run it on"
    goto :eof
)
rem The account must be able to read the current folder and the tests: the copy in CHECKDIR.
pushd "!CHECKDIR!"
"%HERE%as-account.exe" !ACCOUNT! !ACCOUNT_PASSWORD! "!CHECKDIR!\%EXE_installer%" --gtest_filter=%~2 "--account-side=!INSTALLED!" >"%OUT%" 2>&1
set RC=!errorlevel!
popd
type "%OUT%" >>"%LOG%"
call :verdict %~2 !RC!
goto :eof

rem %1 set: the rest of that executable, one line for all of it.
:rest
>>"%LOG%" echo ---- the rest of %~1
"%HERE%!EXE_%~1!" --gtest_filter=-*_WindowsOnly >"%OUT%" 2>&1
set RC=!errorlevel!
type "%OUT%" >>"%LOG%"
if "!RC!"=="0" (call :record PASS rest-of-%~1) else (call :record FAIL rest-of-%~1 "exit code !RC!, see the log")
goto :eof

rem A new local account, a standard user: the child the installation is for.
rem Its password is generated, with upper and lower case, digits and a sign for
rem the usual complexity rule, and at most 14 characters so net user asks nothing.
:step_create-account
set /a N1=%RANDOM%+10000
set /a N2=%RANDOM%+10000
set /a N3=%RANDOM%+10000
set "ACCOUNT=hwcheck!N3!"
set "ACCOUNT_PASSWORD=H-!N1!x!N2!"
set "PARENT_PASSWORD=Parent!N2!"
set "INSTALLED=%ProgramFiles%\Hourwarden\!ACCOUNT!"
set "CHECKDIR=%ProgramData%\HourwardenChecks-!ACCOUNT!"
>>"%LOG%" echo ---- create the account !ACCOUNT!
net user !ACCOUNT! !ACCOUNT_PASSWORD! /add /passwordchg:no /expires:never /comment:"Temporary account of the Hourwarden checks" >>"%LOG%" 2>&1
if errorlevel 1 (
    call :record FAIL create-account "net user /add refused, see the log"
    goto :eof
)
set "ACCOUNT_MADE=1"
rem ProgramData lets every account read a folder made in it; the administrator's copy may be in a profile it cannot.
mkdir "!CHECKDIR!" >>"%LOG%" 2>&1
copy /y "%HERE%%EXE_installer%" "!CHECKDIR!\" >>"%LOG%" 2>&1
if errorlevel 1 (
    call :record FAIL create-account "cannot copy the installer tests to !CHECKDIR!"
    goto :eof
)
call :record PASS create-account
goto :eof

rem The silent administrator's installation for the account, as a parent would make it.
:step_install
>>"%LOG%" echo ---- install for !ACCOUNT!
if not "!ACCOUNT_MADE!"=="1" (
    call :record FAIL install "no account to install for"
    goto :eof
)
start "" /wait "%HERE%Hourwarden-Setup.exe" /S /LANG=en /FORUSER=!ACCOUNT! /PASSWORD=!PARENT_PASSWORD! /EXITNEEDSPASSWORD
set RC=!errorlevel!
>>"%LOG%" echo setup exit code !RC!
if not "!RC!"=="0" (
    call :record FAIL install "setup exit code !RC!"
    goto :eof
)
if not exist "!INSTALLED!\Hourwarden.exe" (
    call :record FAIL install "no !INSTALLED!\Hourwarden.exe"
    goto :eof
)
set "ACCOUNT_READY=1"
call :record PASS install
goto :eof

rem Always, whatever failed before: the uninstaller as administrator (it ends the
rem program the account runs and removes the task, the folder and the entry),
rem then whatever it left, the account, its profile and the copied tests.
:step_remove
if not "!ACCOUNT_MADE!"=="1" goto :eof
>>"%LOG%" echo ---- remove the installation and the account !ACCOUNT!
set "KEY=HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Hourwarden-!ACCOUNT!"
set "LEFT="
if exist "!INSTALLED!\uninstall.exe" (
    start "" /wait "!INSTALLED!\uninstall.exe" /S
    rem It hands over to a copy of itself and returns at once; its entry goes last.
    for /l %%i in (1,1,90) do (
        reg query "!KEY!" >nul 2>&1
        if not errorlevel 1 ping -n 2 127.0.0.1 >nul
    )
)
reg query "!KEY!" >nul 2>&1
if not errorlevel 1 (
    set "LEFT=the uninstaller did not finish"
    reg delete "!KEY!" /f >>"%LOG%" 2>&1
)
schtasks /query /tn "\Hourwarden\!ACCOUNT!" >nul 2>&1
if not errorlevel 1 (
    set "LEFT=the task was left"
    schtasks /delete /tn "\Hourwarden\!ACCOUNT!" /f >>"%LOG%" 2>&1
)
if exist "!INSTALLED!\" (
    set "LEFT=the folder was left"
    rd /s /q "!INSTALLED!" >>"%LOG%" 2>&1
)
rd "%ProgramFiles%\Hourwarden" >nul 2>&1
rd /s /q "!CHECKDIR!" >>"%LOG%" 2>&1
rem The account's profile, made by its first logon; unloaded once its last process is gone.
for /l %%i in (1,1,15) do (
    if exist "%SystemDrive%\Users\!ACCOUNT!\" (
        powershell -NoProfile -NonInteractive -Command "Get-CimInstance Win32_UserProfile | Where-Object { $_.LocalPath -like '*\!ACCOUNT!' } | Remove-CimInstance" >>"%LOG%" 2>&1
        if exist "%SystemDrive%\Users\!ACCOUNT!\" ping -n 3 127.0.0.1 >nul
    )
)
net user !ACCOUNT! /delete >>"%LOG%" 2>&1
if errorlevel 1 set "LEFT=net user /delete refused"
if exist "%SystemDrive%\Users\!ACCOUNT!\" set "LEFT=the profile %SystemDrive%\Users\!ACCOUNT! was left: remove it in System, Advanced, User Profiles"
if "!LEFT!"=="" (call :record PASS remove) else (call :record FAIL remove "!LEFT!")
goto :eof
