#include "setup/setupDefinitions.h"

#include <cwchar>

#include "storage/journal.h"
#include "storage/settingsFiles.h"

static_assert(kReadExecuteMask == 0x1200a9);
static_assert(kStateFileMask == 0x12008f);
static_assert(kJournalFolderMask == 0x1200ab);
static_assert(kJournalLogMask == 0x12008d);

namespace {

// Characters Windows refuses in an account name that would also change the
// meaning of the name here (a domain prefix, a path, a wildcard).
constexpr std::wstring_view kForbiddenNameCharacters = L"\\/:*?\"<>|";

// Every task starts again this often while the account is signed in, so a
// program that was ended is back within minutes.
constexpr wchar_t kRepetitionInterval[] = L"PT5M";

// Normal priority: the scheduler's default (7) would run the program below
// normal, behind whatever the account starts itself.
constexpr int kTaskPriority = 5;

std::wstring maskText(ACCESS_MASK mask)
{
    wchar_t text[16] = {};
    swprintf(text, std::size(text), L"0x%lx", static_cast<unsigned long>(mask));
    return text;
}

}  // namespace

std::wstring securityDescriptorSddl(std::wstring_view accountSid, SecuredObject object)
{
    // On the folder, Administrators' and SYSTEM's entries reach every file
    // created later; the account's reaches the folder only. The account may
    // not create files in it: a DLL named like one the program imports and
    // put beside it would be loaded into the program.
    const std::wstring inherit = object == SecuredObject::Folder ? L"OICI" : L"";
    const ACCESS_MASK accountMask = object == SecuredObject::StateFile ? kStateFileMask : kReadExecuteMask;
    return L"O:BAD:P(A;" + inherit + L";FA;;;BA)(A;" + inherit + L";FA;;;SY)(A;;" + maskText(accountMask) + L";;;" +
           std::wstring(accountSid) + L")";
}

std::wstring lockedJournalFolderSddl()
{
    return L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
}

std::wstring journalFolderSddl(std::wstring_view accountSid)
{
    // OI without CI: the account can make no folders here, so only files inherit.
    const std::wstring onLogs = L";OIIO;" + maskText(kJournalLogMask) + L";;;";
    return lockedJournalFolderSddl() + L"(A;;" + maskText(kJournalFolderMask) + L";;;" + std::wstring(accountSid) +
           L")(A" + onLogs + std::wstring(accountSid) + L")(A" + onLogs + L"OW)";
}

std::wstring taskSecuritySddl(std::wstring_view accountSid)
{
    return L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;" + std::wstring(accountSid) + L")";
}

std::wstring escapeXml(std::wstring_view text)
{
    std::wstring escaped;
    escaped.reserve(text.size());
    for (const wchar_t c : text) {
        switch (c) {
        case L'&': escaped += L"&amp;"; break;
        case L'<': escaped += L"&lt;"; break;
        case L'>': escaped += L"&gt;"; break;
        case L'"': escaped += L"&quot;"; break;
        case L'\'': escaped += L"&apos;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

std::wstring taskXml(std::wstring_view userId, std::wstring_view accountSid, std::wstring_view programPath)
{
    const std::wstring user = escapeXml(userId);
    return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n"
           L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
           L"  <RegistrationInfo>\n"
           L"    <Description>Starts Hourwarden when this account signs in, and again every five minutes "
           L"while it stays signed in.</Description>\n"
           L"    <SecurityDescriptor>" +
           escapeXml(taskSecuritySddl(accountSid)) +
           L"</SecurityDescriptor>\n"
           L"  </RegistrationInfo>\n"
           L"  <Triggers>\n"
           L"    <LogonTrigger>\n"
           L"      <Repetition>\n"
           L"        <Interval>" +
           kRepetitionInterval +
           L"</Interval>\n"
           L"        <StopAtDurationEnd>false</StopAtDurationEnd>\n"
           L"      </Repetition>\n"
           L"      <Enabled>true</Enabled>\n"
           L"      <UserId>" +
           user +
           L"</UserId>\n"
           L"    </LogonTrigger>\n"
           L"  </Triggers>\n"
           L"  <Principals>\n"
           L"    <Principal id=\"Author\">\n"
           L"      <UserId>" +
           user +
           L"</UserId>\n"
           L"      <LogonType>InteractiveToken</LogonType>\n"
           L"      <RunLevel>LeastPrivilege</RunLevel>\n"
           L"    </Principal>\n"
           L"  </Principals>\n"
           L"  <Settings>\n"
           L"    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\n"
           L"    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\n"
           L"    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\n"
           L"    <AllowHardTerminate>false</AllowHardTerminate>\n"
           L"    <StartWhenAvailable>true</StartWhenAvailable>\n"
           L"    <AllowStartOnDemand>true</AllowStartOnDemand>\n"
           L"    <Enabled>true</Enabled>\n"
           L"    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\n"
           L"    <Priority>" +
           std::to_wstring(kTaskPriority) +
           L"</Priority>\n"
           L"  </Settings>\n"
           L"  <Actions Context=\"Author\">\n"
           L"    <Exec>\n"
           L"      <Command>" +
           escapeXml(programPath) +
           L"</Command>\n"
           L"    </Exec>\n"
           L"  </Actions>\n"
           L"</Task>\n";
}

std::wstring taskPath(std::wstring_view account)
{
    return std::wstring(kTaskFolderPath) + L"\\" + std::wstring(account);
}

bool isValidAccountName(std::wstring_view name)
{
    return !name.empty() && name.find_first_of(kForbiddenNameCharacters) == std::wstring_view::npos;
}

bool parseRequireExit(std::wstring_view argument, bool& requireExit)
{
    if (argument != L"0" && argument != L"1") {
        return false;
    }
    requireExit = argument == L"1";
    return true;
}

bool parseDailyLimit(std::wstring_view argument, int32_t& minutes)
{
    if (argument.empty() || argument.size() > 4 || argument[0] == L'0') {
        return false;
    }
    int32_t value = 0;
    for (const wchar_t c : argument) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        value = value * 10 + (c - L'0');
    }
    if (value > 1440) {
        return false;
    }
    minutes = value;
    return true;
}

bool isExpiredDayLogName(std::wstring_view name, std::wstring_view today)
{
    constexpr std::wstring_view kPrefix = L"day-";
    constexpr size_t kDateLength = 10;
    if (name.size() < kPrefix.size() + kDateLength || !name.starts_with(kPrefix)) {
        return false;
    }
    const std::wstring date(name.substr(kPrefix.size(), kDateLength));
    int64_t day = 0;
    int64_t todayNumber = 0;
    return isDayLogNameFor(name, date) && dayNumberOf(date, day) && dayNumberOf(std::wstring(today), todayNumber) &&
           todayNumber - day > kKeptDayLogDays;
}

DailyUsage initialUsage(std::wstring_view date, std::wstring_view passwordHash, bool requireExit)
{
    DailyUsage usage;
    usage.date = date;
    usage.settingsPassword = passwordHash;
    usage.requirePasswordOnExit = requireExit;
    return usage;
}

namespace {

// The path as the system shows it to programs: \\?\C:\x as C:\x, \\?\UNC\server\x as \\server\x.
std::wstring withoutLongPathPrefix(std::wstring_view path)
{
    constexpr std::wstring_view kPrefix = L"\\\\?\\";
    constexpr std::wstring_view kUncPrefix = L"\\\\?\\UNC\\";
    if (path.starts_with(kUncPrefix)) {
        return L"\\\\" + std::wstring(path.substr(kUncPrefix.size()));
    }
    return std::wstring(path.starts_with(kPrefix) ? path.substr(kPrefix.size()) : path);
}

}  // namespace

bool sameFilePath(std::wstring_view left, std::wstring_view right)
{
    const std::wstring a = withoutLongPathPrefix(left);
    const std::wstring b = withoutLongPathPrefix(right);
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}
