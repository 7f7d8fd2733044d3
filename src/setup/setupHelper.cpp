// HourwardenSetupHelper.exe: what the installer, running as an administrator,
// does for the account it installs the program for. One command per run:
//   check-account <name>                 prints the account's SID
//   secure <folder> <account>
//   write-data <folder> <require-exit: 0|1>   password from HOURWARDEN_SETUP_PASSWORD
//   data-usable <folder>                     0 when data.json holds a record the program reads
//   make-journal <folder> <account> <limit: 1..1440> <require-exit: 0|1>
//                                            the journal folder and its settings.log: the log there
//                                            is kept when it checks against the digest in the
//                                            account's installed-apps entry, else a new one is
//                                            written (password from HOURWARDEN_SETUP_PASSWORD,
//                                            notifications from config.json) and its digest stored;
//                                            then the account gets its rights on the folder
//   journal-usable <folder> <account>        0 when settings.log checks against that digest
//   prune-day-logs <folder>                  removes day logs more than 31 days old
//   register-task <account> <program path>
//   delete-task <account>
//   run-task <account>
//   end-program <program path>
//   remove-startup-approved <account>
// Exit code 0: done; 2: refused, with the reason on one line; 1: a system
// call failed, named with its error.
#include <windows.h>

#include <shellapi.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/usageTracker.h"
#include "setup/setupActions.h"

namespace {

using Arguments = std::span<const std::wstring>;

struct Command {
    const wchar_t* name;
    const wchar_t* parameters;
    SetupOutcome (*run)(Arguments arguments);
};

SetupOutcome checkAccount(Arguments arguments)
{
    LocalAccount account;
    SetupOutcome outcome = findLocalAccount(arguments[0], account);
    if (outcome.exit == SetupExit::Success) {
        outcome.message = account.sid;
    }
    return outcome;
}

SetupOutcome writeData(Arguments arguments)
{
    bool requireExit = false;
    if (!parseRequireExit(arguments[1], requireExit)) {
        // The password leaves the environment all the same.
        SetEnvironmentVariableW(kPasswordVariable, nullptr);
        return {SetupExit::Refused, L"require-exit must be 0 or 1, not \"" + arguments[1] + L"\"."};
    }
    return writeInitialData(arguments[0], requireExit);
}

SetupOutcome makeJournalCommand(Arguments arguments)
{
    int32_t limit = 0;
    bool requireExit = false;
    SetupOutcome refusal;
    if (!parseDailyLimit(arguments[2], limit)) {
        refusal = {SetupExit::Refused, L"limit must be 1 to 1440 minutes, not \"" + arguments[2] + L"\"."};
    } else if (!parseRequireExit(arguments[3], requireExit)) {
        refusal = {SetupExit::Refused, L"require-exit must be 0 or 1, not \"" + arguments[3] + L"\"."};
    } else {
        return makeJournal(arguments[0], arguments[1], limit, requireExit);
    }
    // The password leaves the environment all the same.
    SetEnvironmentVariableW(kPasswordVariable, nullptr);
    return refusal;
}

constexpr Command kCommands[] = {
    {L"check-account", L"<name>", checkAccount},
    {L"secure", L"<folder> <account>", [](Arguments a) { return secureInstallation(a[0], a[1]); }},
    {L"write-data", L"<folder> <require-exit: 0|1>", writeData},
    {L"data-usable", L"<folder>", [](Arguments a) { return checkUsableData(a[0]); }},
    {L"make-journal", L"<folder> <account> <limit: 1..1440> <require-exit: 0|1>", makeJournalCommand},
    {L"journal-usable", L"<folder> <account>", [](Arguments a) { return checkUsableJournalOf(a[0], a[1]); }},
    {L"prune-day-logs", L"<folder>", [](Arguments a) { return pruneDayLogs(a[0], todayDateString()); }},
    {L"register-task", L"<account> <program path>", [](Arguments a) { return registerProgramTask(a[0], a[1]); }},
    {L"delete-task", L"<account>", [](Arguments a) { return deleteProgramTask(a[0]); }},
    {L"run-task", L"<account>", [](Arguments a) { return runProgramTask(a[0]); }},
    {L"end-program", L"<program path>", [](Arguments a) { return endProgram(a[0]); }},
    {L"remove-startup-approved", L"<account>", [](Arguments a) { return removeStartupApproved(a[0]); }},
};

size_t parameterCount(std::wstring_view parameters)
{
    size_t count = 0;
    for (const wchar_t c : parameters) {
        count += c == L'<' ? 1 : 0;
    }
    return count;
}

// A console shows the text as it is. Anything else (the installer's nsExec
// reads a pipe) gets UTF-16LE, which nsExec recognizes, so an account name in
// any script arrives intact.
void printLine(const std::wstring& line)
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::wstring text = line + L"\r\n";
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    WriteFile(output, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
}

std::wstring usageText()
{
    std::wstring text = L"Usage: HourwardenSetupHelper.exe <command> <arguments>; commands:";
    for (const Command& command : kCommands) {
        text += std::wstring(L" ") + command.name + L" " + command.parameters + L";";
    }
    text.back() = L'.';
    return text;
}

SetupOutcome dispatch(Arguments arguments)
{
    if (arguments.empty()) {
        return {SetupExit::Refused, usageText()};
    }
    for (const Command& command : kCommands) {
        if (arguments[0] != command.name) {
            continue;
        }
        if (arguments.size() - 1 != parameterCount(command.parameters)) {
            return {SetupExit::Refused, std::wstring(command.name) + L" takes " + command.parameters + L"."};
        }
        return command.run(arguments.subspan(1));
    }
    return {SetupExit::Refused, L"Unknown command \"" + arguments[0] + L"\". " + usageText()};
}

}  // namespace

int main()
{
    int count = 0;
    wchar_t** raw = CommandLineToArgvW(GetCommandLineW(), &count);
    if (raw == nullptr) {
        printLine(L"CommandLineToArgvW failed: error " + std::to_wstring(GetLastError()));
        return static_cast<int>(SetupExit::Failure);
    }
    // The first argument is the helper itself.
    const std::vector<std::wstring> arguments(raw + (count > 0 ? 1 : 0), raw + count);
    LocalFree(raw);

    const SetupOutcome outcome = dispatch(arguments);
    if (!outcome.message.empty()) {
        printLine(outcome.message);
    }
    return static_cast<int>(outcome.exit);
}
