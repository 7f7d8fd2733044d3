// as-account.exe USER PASSWORD COMMAND [ARGUMENTS...]
//
// Runs COMMAND as the local account USER, with its profile loaded, waits for
// it and returns its exit code; its output goes to this program's own. An
// administrator's console may do this for any account whose password it knows
// (CreateProcessWithLogonW, the Secondary Logon service): scripts/windows-checks.cmd
// uses it to run the account's side of the checks as the temporary standard
// account it created. The current directory must be one the account can read.
// Exit code 125: the command could not be started as the account.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kNotStarted = 125;

// One argument as CommandLineToArgvW reads it back.
std::wstring quotedArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4) {
        std::fwprintf(stderr, L"usage: as-account.exe USER PASSWORD COMMAND [ARGUMENTS...]\n");
        return kNotStarted;
    }
    std::wstring commandLine;
    for (int i = 3; i < argc; ++i) {
        commandLine += (i > 3 ? L" " : L"") + quotedArgument(argv[i]);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // The Secondary Logon service hands the command this program's standard handles.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessWithLogonW(argv[1], L".", argv[2], LOGON_WITH_PROFILE, nullptr, commandLine.data(),
                                 CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &info)) {
        std::fwprintf(stderr, L"as-account.exe: cannot start the command as %ls, error %lu\n", argv[1],
                      static_cast<unsigned long>(GetLastError()));
        return kNotStarted;
    }
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD exitCode = kNotStarted;
    GetExitCodeProcess(info.hProcess, &exitCode);
    CloseHandle(info.hProcess);
    return static_cast<int>(exitCode);
}
