// The setup helper: the access lists it gives the installation and its
// journal, the scheduled task's XML, the first data.json and settings.log, the
// day logs an upgrade removes, its argument checks, and what Wine can show of
// the system side (account lookup, task registration). What Windows makes of
// the lists and the task: AccountInstallerTest.*_WindowsOnly and, as the
// account, AccountSide.*_WindowsOnly (scripts/windows-checks.cmd).
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>
#include <taskschd.h>
#include <xmllite.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "base/scopedHandles.h"
#include "core/passwordHash.h"
#include "core/usageTracker.h"
#include "setup/comOwners.h"
#include "setup/setupActions.h"
#include "setup/setupDefinitions.h"
#include "storage/journalFiles.h"
#include "storage/stateFiles.h"
#include "storage/settingsFiles.h"
#include "storage/textFiles.h"
#include "storageTestSupport.h"
#include "wholeFile.h"

namespace {

constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
constexpr wchar_t kOwnerRightsSid[] = L"S-1-3-4";
constexpr wchar_t kTaskNamespace[] = L"http://schemas.microsoft.com/windows/2004/02/mit/task";

// What would let the account put a file beside the program, replace or
// remove one, or change who may do so.
constexpr ACCESS_MASK kRightsToChangeTheProgram = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE |
                                                  WRITE_DAC | WRITE_OWNER | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA;

std::wstring sidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return {};
    }
    std::wstring result = text;
    LocalFree(text);
    return result;
}

// The account this test runs as, from its own token rather than by name.
std::wstring currentUserSid()
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return {};
    }
    const Owned<HANDLE, scoped_detail::closeFile> token(rawToken);
    std::vector<BYTE> buffer(SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER));
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
        return {};
    }
    return sidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

std::wstring currentUserName()
{
    wchar_t name[256 + 1] = {};
    DWORD size = std::size(name);
    return GetUserNameW(name, &size) ? name : L"";
}

// ---- Security descriptors, taken apart ----

struct Ace {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    std::wstring sid;
    bool operator==(const Ace&) const = default;
};

void PrintTo(const Ace& ace, std::ostream* out)
{
    *out << "{type " << int(ace.type) << ", flags " << int(ace.flags) << ", mask 0x" << std::hex << ace.mask << std::dec
         << ", " << ::testing::PrintToString(ace.sid) << "}";
}

struct Descriptor {
    bool valid = false;
    bool isProtected = false;
    std::wstring owner;
    std::vector<Ace> aces;
};

Descriptor descriptorOf(const std::wstring& sddl)
{
    Descriptor result;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return result;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    PACL dacl = nullptr;
    BOOL daclPresent = FALSE;
    BOOL daclDefaulted = FALSE;
    result.valid =
        IsValidSecurityDescriptor(descriptor) && GetSecurityDescriptorControl(descriptor, &control, &revision) &&
        GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) &&
        GetSecurityDescriptorDacl(descriptor, &daclPresent, &dacl, &daclDefaulted) && daclPresent && dacl != nullptr;
    if (result.valid) {
        result.isProtected = (control & SE_DACL_PROTECTED) != 0;
        result.owner = owner != nullptr ? sidText(owner) : L"";
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            void* raw = nullptr;
            if (!GetAce(dacl, i, &raw)) {
                result.valid = false;
                break;
            }
            const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
            result.aces.push_back(
                {ace->Header.AceType, ace->Header.AceFlags, ace->Mask, sidText(const_cast<DWORD*>(&ace->SidStart))});
        }
    }
    LocalFree(descriptor);
    return result;
}

TEST(SetupSecurity, TheAccountRunsTheProgramAndRewritesOnlyItsTwoFiles)
{
    const std::wstring account = currentUserSid();
    ASSERT_FALSE(account.empty());
    constexpr BYTE kToEverythingBelow = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    constexpr ACCESS_MASK kReadExecute = 0x1200a9;
    constexpr ACCESS_MASK kReadWriteData = 0x12008f;
    const struct {
        SecuredObject object;
        BYTE administratorFlags;
        ACCESS_MASK accountMask;
    } cases[] = {
        {SecuredObject::Folder, kToEverythingBelow, kReadExecute},
        {SecuredObject::Executable, 0, kReadExecute},
        {SecuredObject::StateFile, 0, kReadWriteData},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.object));
        const Descriptor descriptor = descriptorOf(securityDescriptorSddl(account, c.object));
        ASSERT_TRUE(descriptor.valid);
        EXPECT_TRUE(descriptor.isProtected);
        EXPECT_EQ(descriptor.owner, kAdministratorsSid);
        const std::vector<Ace> expected = {
            {ACCESS_ALLOWED_ACE_TYPE, c.administratorFlags, FILE_ALL_ACCESS, kAdministratorsSid},
            {ACCESS_ALLOWED_ACE_TYPE, c.administratorFlags, FILE_ALL_ACCESS, kSystemSid},
            {ACCESS_ALLOWED_ACE_TYPE, 0, c.accountMask, account},
        };
        EXPECT_EQ(descriptor.aces, expected);
        if (c.object != SecuredObject::StateFile) {
            for (const Ace& ace : descriptor.aces) {
                EXPECT_FALSE(ace.sid == account && (ace.mask & kRightsToChangeTheProgram) != 0) << std::hex << ace.mask;
            }
        }
    }
    // The program rewrites its files in place with exactly the rights the account gets;
    // nothing lets the account delete, rename, hide or re-list them.
    EXPECT_EQ(kReadWriteData & kHeldFileAccess, kHeldFileAccess);
    EXPECT_EQ(kReadWriteData & (DELETE | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | WRITE_DAC | WRITE_OWNER), 0u);
}

TEST(SetupSecurity, TheAccountMayReadItsTaskButNotChangeIt)
{
    const std::wstring account = currentUserSid();
    const Descriptor descriptor = descriptorOf(taskSecuritySddl(account));
    ASSERT_TRUE(descriptor.valid);
    EXPECT_TRUE(descriptor.isProtected);
    const std::vector<Ace> expected = {
        {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, kAdministratorsSid},
        {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, kSystemSid},
        {ACCESS_ALLOWED_ACE_TYPE, 0, FILE_GENERIC_READ, account},
    };
    EXPECT_EQ(descriptor.aces, expected);
}

// The journal folder: the account lists it and creates files in it; each
// file created there may be read and appended to by the account and by its
// owner, and nothing more. Each right is checked by itself, so a mask that
// grows one bit too many fails here.
TEST(SetupSecurity, TheAccountMayCreateJournalLogsAndOnlyReadAndAppendToThem)
{
    const std::wstring account = currentUserSid();
    ASSERT_FALSE(account.empty());
    const Descriptor descriptor = descriptorOf(journalFolderSddl(account));
    ASSERT_TRUE(descriptor.valid);
    EXPECT_TRUE(descriptor.isProtected);
    EXPECT_EQ(descriptor.owner, kAdministratorsSid);
    constexpr BYTE kToEverythingBelow = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    constexpr BYTE kToFilesOnly = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
    const std::vector<Ace> expected = {
        {ACCESS_ALLOWED_ACE_TYPE, kToEverythingBelow, FILE_ALL_ACCESS, kSystemSid},
        {ACCESS_ALLOWED_ACE_TYPE, kToEverythingBelow, FILE_ALL_ACCESS, kAdministratorsSid},
        {ACCESS_ALLOWED_ACE_TYPE, 0, 0x1200ab, account},
        {ACCESS_ALLOWED_ACE_TYPE, kToFilesOnly, 0x12008d, account},
        {ACCESS_ALLOWED_ACE_TYPE, kToFilesOnly, 0x12008d, kOwnerRightsSid},
    };
    ASSERT_EQ(descriptor.aces, expected);

    // What each entry grants, right by right (the file and folder names of one bit differ).
    const ACCESS_MASK onFolder = descriptor.aces[2].mask;
    const ACCESS_MASK onLogs = descriptor.aces[3].mask;
    const ACCESS_MASK toOwner = descriptor.aces[4].mask;
    const struct {
        const char* right;
        ACCESS_MASK bit;
        bool onFolder;
        bool onLogs;
    } rights[] = {
        {"list / read data", FILE_LIST_DIRECTORY, true, true},
        {"add file / write data", FILE_ADD_FILE, true, false},
        {"add subdirectory / append data", FILE_ADD_SUBDIRECTORY, false, true},
        {"read extended attributes", FILE_READ_EA, true, true},
        {"write extended attributes", FILE_WRITE_EA, false, false},
        {"traverse / execute", FILE_TRAVERSE, true, false},
        {"delete child", FILE_DELETE_CHILD, false, false},
        {"read attributes", FILE_READ_ATTRIBUTES, true, true},
        {"write attributes", FILE_WRITE_ATTRIBUTES, false, false},
        {"delete", DELETE, false, false},
        {"read control", READ_CONTROL, true, true},
        {"write DAC", WRITE_DAC, false, false},
        {"write owner", WRITE_OWNER, false, false},
        {"synchronize", SYNCHRONIZE, true, true},
    };
    ACCESS_MASK covered = 0;
    for (const auto& r : rights) {
        SCOPED_TRACE(r.right);
        covered |= r.bit;
        EXPECT_EQ((onFolder & r.bit) != 0, r.onFolder);
        EXPECT_EQ((onLogs & r.bit) != 0, r.onLogs);
        EXPECT_EQ((toOwner & r.bit) != 0, r.onLogs);
    }
    EXPECT_EQ((onFolder | onLogs | toOwner) & ~covered, 0u) << "a right the table does not name";
    // The program opens its logs with no more than the account has on them.
    EXPECT_EQ(onLogs & kJournalAppendAccess, kJournalAppendAccess);
    EXPECT_EQ(onLogs & kJournalReadAccess, kJournalReadAccess);
}

// While setup writes settings.log, only administrators and SYSTEM have any right on the folder.
TEST(SetupSecurity, TheLockedJournalFolderGrantsOnlyAdministratorsAndSystem)
{
    const Descriptor descriptor = descriptorOf(lockedJournalFolderSddl());
    ASSERT_TRUE(descriptor.valid);
    EXPECT_TRUE(descriptor.isProtected);
    EXPECT_EQ(descriptor.owner, kAdministratorsSid);
    constexpr BYTE kToEverythingBelow = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const std::vector<Ace> expected = {
        {ACCESS_ALLOWED_ACE_TYPE, kToEverythingBelow, FILE_ALL_ACCESS, kSystemSid},
        {ACCESS_ALLOWED_ACE_TYPE, kToEverythingBelow, FILE_ALL_ACCESS, kAdministratorsSid},
    };
    EXPECT_EQ(descriptor.aces, expected);
}

// ---- The task's XML, read back by the system's XML reader ----

struct XmlDocument {
    bool parsed = false;
    std::vector<std::wstring> elements;                         // "Task/Settings/Enabled"
    std::vector<std::pair<std::wstring, std::wstring>> values;  // element text and "path@attribute"

    std::vector<std::wstring> valuesAt(const std::wstring& path) const
    {
        std::vector<std::wstring> found;
        for (const auto& [where, value] : values) {
            if (where == path) {
                found.push_back(value);
            }
        }
        return found;
    }
    // Names of the elements directly inside `path`, in order.
    std::vector<std::wstring> childrenOf(const std::wstring& path) const
    {
        std::vector<std::wstring> names;
        const std::wstring prefix = path + L"/";
        for (const std::wstring& element : elements) {
            if (element.starts_with(prefix) && element.find(L'/', prefix.size()) == std::wstring::npos) {
                names.push_back(element.substr(prefix.size()));
            }
        }
        return names;
    }
};

// xmllite has no import library in mingw-w64: its one entry point is looked up.
XmlDocument parseXml(const std::wstring& xml)
{
    XmlDocument document;
    const HMODULE xmllite = LoadLibraryW(L"xmllite.dll");
    const auto create = xmllite != nullptr ? reinterpret_cast<decltype(&CreateXmlReader)>(
                                                 reinterpret_cast<void*>(GetProcAddress(xmllite, "CreateXmlReader")))
                                           : nullptr;
    ComPtr<IStream> stream;
    ComPtr<IXmlReader> reader;
    const wchar_t byteOrderMark = 0xFEFF;
    if (create == nullptr || FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put())) ||
        FAILED(stream->Write(&byteOrderMark, sizeof byteOrderMark, nullptr)) ||
        FAILED(stream->Write(xml.data(), static_cast<ULONG>(xml.size() * sizeof(wchar_t)), nullptr)) ||
        FAILED(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr)) ||
        FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(reader.put()), nullptr)) ||
        FAILED(reader->SetInput(stream.get()))) {
        return document;
    }
    std::vector<std::wstring> path;
    const auto joined = [&path] {
        std::wstring text;
        for (const std::wstring& name : path) {
            text += (text.empty() ? L"" : L"/") + name;
        }
        return text;
    };
    XmlNodeType type = XmlNodeType_None;
    HRESULT result = S_OK;
    while ((result = reader->Read(&type)) == S_OK) {
        const wchar_t* text = nullptr;
        if (type == XmlNodeType_Element) {
            reader->GetLocalName(&text, nullptr);
            path.push_back(text);
            document.elements.push_back(joined());
            const bool empty = reader->IsEmptyElement();
            for (HRESULT more = reader->MoveToFirstAttribute(); more == S_OK; more = reader->MoveToNextAttribute()) {
                const wchar_t* name = nullptr;
                reader->GetLocalName(&name, nullptr);
                reader->GetValue(&text, nullptr);
                document.values.emplace_back(joined() + L"@" + name, text);
            }
            if (empty) {
                path.pop_back();
            }
        } else if (type == XmlNodeType_Text) {
            reader->GetValue(&text, nullptr);
            document.values.emplace_back(joined(), text);
        } else if (type == XmlNodeType_EndElement) {
            path.pop_back();
        }
    }
    document.parsed = result == S_FALSE && path.empty();
    return document;
}

struct Expected {
    const wchar_t* path;
    std::wstring value;
};

// The settings Wine's task service keeps; Windows keeps all.
const Expected kTaskSettings[] = {
    {L"Task/Settings/MultipleInstancesPolicy", L"IgnoreNew"},
    {L"Task/Settings/DisallowStartIfOnBatteries", L"false"},
    {L"Task/Settings/StopIfGoingOnBatteries", L"false"},
    {L"Task/Settings/AllowHardTerminate", L"false"},
    {L"Task/Settings/ExecutionTimeLimit", L"PT0S"},
    {L"Task/Settings/StartWhenAvailable", L"true"},
    {L"Task/Settings/Enabled", L"true"},
};

void expectValues(const XmlDocument& document, const std::vector<Expected>& expected)
{
    for (const Expected& e : expected) {
        EXPECT_EQ(document.valuesAt(e.path), std::vector<std::wstring>{e.value}) << e.path;
    }
}

TEST(SetupTaskXml, StartsTheProgramAtSignInAndEveryFiveMinutes)
{
    // Every character XML treats specially, where the helper inserts text.
    const std::wstring userId = L"PC-1\\O'Brien & <Kids> \"2\"";
    const std::wstring program = L"C:\\Program Files\\A&B 'x' <y> \"z\"\\Hourwarden.exe";
    const std::wstring sid = L"S-1-5-21-1-2-3-1001";
    const XmlDocument document = parseXml(taskXml(userId, sid, program));
    ASSERT_TRUE(document.parsed);

    std::vector<Expected> expected = {
        {L"Task@version", L"1.2"},
        {L"Task@xmlns", kTaskNamespace},
        {L"Task/RegistrationInfo/SecurityDescriptor", L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;" + sid + L")"},
        {L"Task/Triggers/LogonTrigger/UserId", userId},
        {L"Task/Triggers/LogonTrigger/Repetition/Interval", L"PT5M"},
        {L"Task/Triggers/LogonTrigger/Repetition/StopAtDurationEnd", L"false"},
        {L"Task/Principals/Principal/UserId", userId},
        {L"Task/Principals/Principal/LogonType", L"InteractiveToken"},
        {L"Task/Principals/Principal/RunLevel", L"LeastPrivilege"},
        {L"Task/Actions/Exec/Command", program},
    };
    expected.insert(expected.end(), std::begin(kTaskSettings), std::end(kTaskSettings));
    expectValues(document, expected);

    EXPECT_EQ(document.valuesAt(L"Task/RegistrationInfo/Description").size(), 1u);
    EXPECT_EQ(document.childrenOf(L"Task/Triggers"), std::vector<std::wstring>{L"LogonTrigger"});
    EXPECT_EQ(document.childrenOf(L"Task/Actions"), std::vector<std::wstring>{L"Exec"});
    EXPECT_EQ(document.childrenOf(L"Task/Principals"), std::vector<std::wstring>{L"Principal"});
    // No duration: the repetition goes on as long as the account stays signed in.
    const std::vector<std::wstring> repetition = {L"Interval", L"StopAtDurationEnd"};
    EXPECT_EQ(document.childrenOf(L"Task/Triggers/LogonTrigger/Repetition"), repetition);
    // The action runs as the principal the task names.
    EXPECT_EQ(document.valuesAt(L"Task/Actions@Context"), document.valuesAt(L"Task/Principals/Principal@id"));
}

TEST(SetupTaskXml, EscapesEachCharacterXmlReserves)
{
    const struct {
        std::wstring text;
        std::wstring escaped;
    } cases[] = {
        {L"plain \\ text", L"plain \\ text"},
        {L"&", L"&amp;"},
        {L"<", L"&lt;"},
        {L">", L"&gt;"},
        {L"\"", L"&quot;"},
        {L"'", L"&apos;"},
        {L"a&&b", L"a&amp;&amp;b"},
        {L"Маша", L"Маша"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escapeXml(c.text), c.escaped);
    }
}

// ---- Arguments ----

TEST(SetupArguments, AccountNamesWithAPathOrWildcardCharacterAreRefused)
{
    EXPECT_TRUE(isValidAccountName(L"Masha"));
    EXPECT_TRUE(isValidAccountName(L"Маша Иванова"));
    EXPECT_TRUE(isValidAccountName(L"kid.2"));
    EXPECT_FALSE(isValidAccountName(L""));
    for (const wchar_t c : std::wstring_view(L"\\/:*?\"<>|")) {
        EXPECT_FALSE(isValidAccountName(std::wstring(L"ki") + c + L"d")) << static_cast<int>(c);
    }
}

TEST(SetupArguments, RequireExitIsZeroOrOne)
{
    const struct {
        const wchar_t* argument;
        bool accepted;
        bool requireExit;
    } cases[] = {
        {L"0", true, false},  {L"1", true, true},    {L"", false, false},
        {L"2", false, false}, {L"01", false, false}, {L"true", false, false},
    };
    for (const auto& c : cases) {
        bool requireExit = !c.requireExit;
        EXPECT_EQ(parseRequireExit(c.argument, requireExit), c.accepted) << c.argument;
        if (c.accepted) {
            EXPECT_EQ(requireExit, c.requireExit) << c.argument;
        }
    }
}

TEST(SetupArguments, DailyLimitIsAWholeNumberOfMinutesFromOneTo1440)
{
    const struct {
        const wchar_t* argument;
        int32_t minutes;  // 0: refused
    } cases[] = {
        {L"1", 1},   {L"120", 120}, {L"1440", 1440}, {L"0", 0},   {L"1441", 0},  {L"", 0},      {L"090", 0},
        {L"-5", 0},  {L"12a", 0},   {L" 90", 0},     {L"9999", 0}, {L"99999", 0}, {L"0x5a", 0}, {L"٣", 0},
    };
    for (const auto& c : cases) {
        int32_t minutes = -1;
        EXPECT_EQ(parseDailyLimit(c.argument, minutes), c.minutes != 0) << testing::PrintToString(std::wstring(c.argument));
        EXPECT_EQ(minutes, c.minutes != 0 ? c.minutes : -1) << testing::PrintToString(std::wstring(c.argument));
    }
}

TEST(SetupArguments, ProgramPathsMatchWholeAndWithoutRegardToCase)
{
    const struct {
        const wchar_t* left;
        const wchar_t* right;
        bool same;
    } cases[] = {
        {L"C:\\Program Files\\Hourwarden\\kid\\Hourwarden.exe", L"c:\\PROGRAM FILES\\hourwarden\\KID\\HOURWARDEN.EXE",
         true},
        {L"\\\\?\\C:\\Hourwarden\\Hourwarden.exe", L"C:\\Hourwarden\\Hourwarden.exe", true},
        {L"\\\\?\\UNC\\server\\share\\Hourwarden.exe", L"\\\\server\\share\\Hourwarden.exe", true},
        // The same name elsewhere is another program.
        {L"C:\\Program Files\\Hourwarden\\a\\Hourwarden.exe", L"C:\\Program Files\\Hourwarden\\b\\Hourwarden.exe",
         false},
        {L"C:\\Hourwarden\\Hourwarden.exe", L"C:\\Hourwarden\\Hourwarden.exe.old", false},
        {L"Hourwarden.exe", L"C:\\Hourwarden\\Hourwarden.exe", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sameFilePath(c.left, c.right), c.same) << testing::PrintToString(std::wstring(c.left));
        EXPECT_EQ(sameFilePath(c.right, c.left), c.same) << testing::PrintToString(std::wstring(c.right));
    }
}

// ---- The first data.json ----

TEST(SetupInitialData, TheProgramReadsBackTheFirstDayAndThePassword)
{
    const struct {
        std::wstring password;
        bool requireExit;
    } cases[] = {
        {L"", false},
        {L"Пароль & \"ключ\" 1", true},
    };
    for (const auto& c : cases) {
        const std::wstring hash = c.password.empty() ? L"" : hashPassword(c.password);
        ASSERT_EQ(hash.empty(), c.password.empty());
        DailyUsage read;
        read.usedSeconds = 99;
        read.warningShown = true;
        ASSERT_TRUE(parseUsageText(usageFileText(initialUsage(L"2031-02-03", hash, c.requireExit)), read));
        EXPECT_EQ(read.date, L"2031-02-03");
        EXPECT_EQ(read.usedSeconds, 0);
        EXPECT_FALSE(read.warningShown);
        EXPECT_FALSE(read.threeMinuteNotificationShown || read.twoMinuteNotificationShown ||
                     read.oneMinuteNotificationShown);
        EXPECT_EQ(read.requirePasswordOnExit, c.requireExit);
        if (c.password.empty()) {
            EXPECT_EQ(read.settingsPassword, L"");
        } else {
            EXPECT_TRUE(isPasswordHash(read.settingsPassword));
            EXPECT_TRUE(verifyPasswordHash(c.password, read.settingsPassword));
            EXPECT_FALSE(verifyPasswordHash(c.password + L"x", read.settingsPassword));
        }
    }
}

std::wstring environmentValue(const wchar_t* name, bool& present)
{
    wchar_t value[256] = {};
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(name, value, std::size(value));
    present = length != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    return value;
}

TEST(SetupInitialData, WritesDataOnceWithThePasswordFromTheEnvironmentAndClearsIt)
{
    const storage_test::ScratchDirectory folder;
    const std::wstring password = L"секрет-42";
    ASSERT_TRUE(SetEnvironmentVariableW(kPasswordVariable, password.c_str()));
    const SetupOutcome written = writeInitialData(folder.path() + L"\\", true);
    ASSERT_EQ(written.exit, SetupExit::Success) << testing::PrintToString(written.message);
    bool present = true;
    environmentValue(kPasswordVariable, present);
    EXPECT_FALSE(present);

    const std::string text = readWholeFile(folder.file(kDataFileName));
    DailyUsage read;
    ASSERT_TRUE(parseUsageText(text, read));
    EXPECT_TRUE(verifyPasswordHash(password, read.settingsPassword));
    EXPECT_TRUE(read.requirePasswordOnExit);
    EXPECT_EQ(read.date, todayDateString());

    // An existing file stays as it is, and the password still leaves the environment.
    ASSERT_TRUE(SetEnvironmentVariableW(kPasswordVariable, L"other"));
    const SetupOutcome again = writeInitialData(folder.path(), false);
    EXPECT_EQ(again.exit, SetupExit::Refused);
    EXPECT_NE(again.message.find(kDataFileName), std::wstring::npos);
    EXPECT_EQ(readWholeFile(folder.file(kDataFileName)), text);
    environmentValue(kPasswordVariable, present);
    EXPECT_FALSE(present);
    EXPECT_EQ(folder.entries(), std::vector<std::wstring>{kDataFileName});
}

// What the program cannot read is replaced; what it can read is kept. The check
// that setup runs first says which.
TEST(SetupInitialData, AFileTheProgramCannotReadIsReplacedAndAWholeOneKept)
{
    const struct {
        const char* name;
        std::string text;
        bool usable;
    } cases[] = {
        {"zeroed", std::string(300, '\0'), false},
        {"cut short", "{\n  \"date\": \"2024-03-15\",\n  \"used_seconds\": 12", false},
        {"garbage", "not a record at all", false},
        {"empty", "", false},
        {"whole", usageFileText(initialUsage(todayDateString(), L"", false)), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const storage_test::ScratchDirectory folder;
        const std::wstring path = folder.file(kDataFileName);
        EXPECT_EQ(checkUsableData(folder.path()).exit, SetupExit::Refused) << "nothing there yet";
        ASSERT_TRUE(writeWholeFile(path, c.text));
        EXPECT_EQ(checkUsableData(folder.path()).exit, c.usable ? SetupExit::Success : SetupExit::Refused);

        ASSERT_TRUE(SetEnvironmentVariableW(kPasswordVariable, L"new one"));
        const SetupOutcome written = writeInitialData(folder.path(), true);
        const std::string after = readWholeFile(path);
        if (c.usable) {
            EXPECT_EQ(written.exit, SetupExit::Refused);
            EXPECT_EQ(after, c.text);
        } else {
            ASSERT_EQ(written.exit, SetupExit::Success) << testing::PrintToString(written.message);
            DailyUsage read;
            ASSERT_TRUE(parseUsageText(after, read)) << after;
            EXPECT_TRUE(verifyPasswordHash(L"new one", read.settingsPassword));
            EXPECT_EQ(after, usageFileText(read));
            EXPECT_EQ(checkUsableData(folder.path()).exit, SetupExit::Success);
        }
        EXPECT_EQ(folder.entries(), std::vector<std::wstring>{kDataFileName});
    }
}

// ---- The journal ----

// A date is ASCII.
std::string asciiOf(const std::wstring& date)
{
    return std::string(date.begin(), date.end());
}

std::wstring randomDayLogName(const std::wstring& date)
{
    static uint8_t next = 0;
    return dayLogName(date, std::vector<uint8_t>(kDayLogRandomBytes, ++next));
}

TEST(SetupJournal, OnlyDayLogsDatedMoreThan31DaysBeforeTodayExpire)
{
    const std::wstring today = L"2031-03-01";
    const struct {
        std::wstring name;
        bool expired;
    } cases[] = {
        {randomDayLogName(L"2031-03-01"), false},
        {randomDayLogName(L"2031-01-29"), false},  // 31 days before
        {randomDayLogName(L"2031-01-28"), true},   // 32 days before
        {randomDayLogName(L"2030-12-31"), true},
        {randomDayLogName(L"1999-01-01"), true},
        {randomDayLogName(L"2031-03-02"), false},  // after today: not setup's to judge
        {L"day-2020-01-01-" + std::wstring(32, L'A') + L".log", false},
        {L"day-2020-01-01-" + std::wstring(31, L'a') + L".log", false},
        {L"day-2020-01-01-" + std::wstring(32, L'a') + L".txt", false},
        {L"day-2020-13-01-" + std::wstring(32, L'a') + L".log", false},
        {L"settings.log", false},
        {L"day-", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isExpiredDayLogName(c.name, today), c.expired) << testing::PrintToString(c.name);
    }
    EXPECT_FALSE(isExpiredDayLogName(cases[3].name, L"not a date"));
}

std::wstring journalOf(const storage_test::ScratchDirectory& folder)
{
    return journalFolderOf(folder.path());
}

std::string settingsLogOf(const storage_test::ScratchDirectory& folder)
{
    return readWholeFile(settingsLogPathOf(journalOf(folder)));
}

JournalSettings journalSettings(int32_t limit, bool notify, bool requireExit)
{
    JournalSettings settings;
    settings.dailyLimitMinutes = limit;
    settings.showLastThreeMinuteNotifications = notify;
    settings.requirePasswordOnExit = requireExit;
    return settings;
}

struct Prepared {
    SetupOutcome outcome;
    std::string digest;
};

Prepared prepare(const storage_test::ScratchDirectory& folder, std::string_view storedDigest,
                 const JournalSettings& settings, std::wstring_view password)
{
    Prepared prepared;
    prepared.outcome = prepareJournal(folder.path(), storedDigest, settings, password, prepared.digest);
    return prepared;
}

TEST(SetupJournal, AFirstInstallWritesSettingsLogWithTheSettingsAndThePasswordsVerifier)
{
    const struct {
        std::wstring password;
        JournalSettings settings;
    } cases[] = {
        {L"Пароль & 7", journalSettings(75, false, true)},
        {L"", journalSettings(1440, true, false)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.password));
        const storage_test::ScratchDirectory folder;
        const Prepared prepared = prepare(folder, "", c.settings, c.password);
        ASSERT_EQ(prepared.outcome.exit, SetupExit::Success) << testing::PrintToString(prepared.outcome.message);
        EXPECT_EQ(folder.entries(), std::vector<std::wstring>{kJournalFolderName});
        EXPECT_EQ(storage_test::ScratchDirectory::entriesOf(journalOf(folder)), std::vector<std::wstring>{L"settings.log"});

        // One record and its line end; its digest is the root.
        const std::string bytes = settingsLogOf(folder);
        ASSERT_TRUE(bytes.ends_with("\n"));
        const std::string line = bytes.substr(0, bytes.size() - 1);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(prepared.digest, settingsRecordDigest(line));
        EXPECT_EQ(prepared.digest.size(), 64u);
        const std::optional<SettingsInForce> read = checkSettingsLog(bytes, prepared.digest);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->settings.dailyLimitMinutes, c.settings.dailyLimitMinutes);
        EXPECT_EQ(read->settings.showLastThreeMinuteNotifications, c.settings.showLastThreeMinuteNotifications);
        EXPECT_EQ(read->settings.requirePasswordOnExit, c.settings.requirePasswordOnExit);
        if (c.password.empty()) {
            EXPECT_EQ(read->settings.passwordVerifier, L"");
        } else {
            EXPECT_TRUE(verifyPasswordHash(c.password, read->settings.passwordVerifier));
            EXPECT_FALSE(verifyPasswordHash(c.password + L"x", read->settings.passwordVerifier));
        }

        EXPECT_EQ(checkUsableJournal(folder.path(), prepared.digest).exit, SetupExit::Success);
        EXPECT_EQ(checkUsableJournal(folder.path(), std::string(64, 'a')).exit, SetupExit::Refused);
        EXPECT_EQ(checkUsableJournal(folder.path(), "").exit, SetupExit::Refused);
        const SetupOutcome opened = openJournalToAccount(folder.path(), currentUserSid());
        EXPECT_EQ(opened.exit, SetupExit::Success) << testing::PrintToString(opened.message);
    }
}

TEST(SetupJournal, AnUpgradeKeepsAUsableLogWhateverItIsGiven)
{
    const storage_test::ScratchDirectory folder;
    const Prepared first = prepare(folder, "", journalSettings(60, true, true), L"");
    ASSERT_EQ(first.outcome.exit, SetupExit::Success);
    const std::string bytes = settingsLogOf(folder);
    const std::wstring dayLog = journalOf(folder) + L"\\" + randomDayLogName(todayDateString());
    ASSERT_TRUE(writeWholeFile(dayLog, "D " + asciiOf(todayDateString()) + " 60\n"));

    const Prepared again = prepare(folder, first.digest, journalSettings(5, false, false), L"other");
    ASSERT_EQ(again.outcome.exit, SetupExit::Success) << testing::PrintToString(again.outcome.message);
    EXPECT_EQ(again.digest, first.digest);
    EXPECT_EQ(settingsLogOf(folder), bytes);
    EXPECT_EQ(readWholeFile(dayLog), "D " + asciiOf(todayDateString()) + " 60\n");
}

// What the program takes for tampering is what setup replaces, from what it
// is given; the day logs stay.
TEST(SetupJournal, AMissingOrTamperedLogIsWrittenAnewAndTheDayLogsStay)
{
    std::optional<std::string> foreignRecord = makeFirstSettingsRecord(journalSettings(1440, true, false), L"");
    ASSERT_TRUE(foreignRecord.has_value());
    const struct {
        const char* name;
        std::string (*damaged)(const std::string& bytes, const std::string& foreign);
        bool forgetDigest;
    } cases[] = {
        {"garbage appended", [](const std::string& b, const std::string&) { return b + "garbage\n"; }, false},
        {"the account's own first record", [](const std::string&, const std::string& f) { return f + "\n"; }, false},
        {"over 1 MiB", [](const std::string& b, const std::string&) { return b + std::string(kMaxJournalBytes, '\n'); },
         false},
        {"emptied", [](const std::string&, const std::string&) { return std::string(); }, false},
        {"deleted", nullptr, false},
        {"made before the journal (no digest)", [](const std::string& b, const std::string&) { return b; }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const storage_test::ScratchDirectory folder;
        const Prepared first = prepare(folder, "", journalSettings(60, true, true), L"");
        ASSERT_EQ(first.outcome.exit, SetupExit::Success);
        const std::wstring log = settingsLogPathOf(journalOf(folder));
        const std::wstring dayLogName = randomDayLogName(todayDateString());
        const std::string dayBytes = "D " + asciiOf(todayDateString()) + " 600\n";
        ASSERT_TRUE(writeWholeFile(journalOf(folder) + L"\\" + dayLogName, dayBytes));
        if (c.damaged != nullptr) {
            ASSERT_TRUE(writeWholeFile(log, c.damaged(settingsLogOf(folder), *foreignRecord)));
        } else {
            ASSERT_TRUE(DeleteFileW(log.c_str()));
        }
        const std::string stored = c.forgetDigest ? std::string() : first.digest;
        EXPECT_EQ(checkUsableJournal(folder.path(), stored).exit, SetupExit::Refused);

        const Prepared repaired = prepare(folder, stored, journalSettings(30, false, false), L"fresh start");
        ASSERT_EQ(repaired.outcome.exit, SetupExit::Success) << testing::PrintToString(repaired.outcome.message);
        EXPECT_NE(repaired.digest, first.digest);
        const std::optional<SettingsInForce> read = checkSettingsLog(settingsLogOf(folder), repaired.digest);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(read->settings.dailyLimitMinutes, 30);
        EXPECT_FALSE(read->settings.showLastThreeMinuteNotifications);
        EXPECT_TRUE(verifyPasswordHash(L"fresh start", read->settings.passwordVerifier));
        EXPECT_EQ(checkUsableJournal(folder.path(), repaired.digest).exit, SetupExit::Success);
        const std::vector<std::wstring> entries = {dayLogName, L"settings.log"};
        EXPECT_EQ(storage_test::ScratchDirectory::entriesOf(journalOf(folder)), entries);
        EXPECT_EQ(readWholeFile(journalOf(folder) + L"\\" + dayLogName), dayBytes);
    }
}

TEST(SetupJournal, AFileInPlaceOfTheFolderIsRefusedAndKept)
{
    const storage_test::ScratchDirectory folder;
    ASSERT_TRUE(writeWholeFile(journalOf(folder), "not a folder"));
    const Prepared prepared = prepare(folder, "", journalSettings(60, true, true), L"");
    EXPECT_EQ(prepared.outcome.exit, SetupExit::Refused) << testing::PrintToString(prepared.outcome.message);
    EXPECT_TRUE(prepared.digest.empty());
    EXPECT_EQ(readWholeFile(journalOf(folder)), "not a folder");
    EXPECT_EQ(openJournalToAccount(folder.path(), currentUserSid()).exit, SetupExit::Refused);
}

TEST(SetupJournal, PruningRemovesOnlyExpiredDayLogs)
{
    const storage_test::ScratchDirectory folder;
    // No journal yet: nothing to do.
    EXPECT_EQ(pruneDayLogs(folder.path(), L"2031-03-01").exit, SetupExit::Success);

    ASSERT_TRUE(CreateDirectoryW(journalOf(folder).c_str(), nullptr));
    const std::vector<std::wstring> kept = {
        randomDayLogName(L"2031-03-01"), randomDayLogName(L"2031-01-29"), randomDayLogName(L"2031-03-02"),
        L"settings.log", L"notes.txt", L"day-2020-01-01-not-a-day-log.log",
    };
    const std::vector<std::wstring> expired = {randomDayLogName(L"2031-01-28"), randomDayLogName(L"2020-06-15")};
    for (const std::wstring& name : kept) {
        ASSERT_TRUE(writeWholeFile(journalOf(folder) + L"\\" + name, "x"));
    }
    for (const std::wstring& name : expired) {
        ASSERT_TRUE(writeWholeFile(journalOf(folder) + L"\\" + name, "x"));
    }
    // The account may create a log marked read-only.
    ASSERT_TRUE(SetFileAttributesW((journalOf(folder) + L"\\" + expired[0]).c_str(), FILE_ATTRIBUTE_READONLY));

    const SetupOutcome pruned = pruneDayLogs(folder.path(), L"2031-03-01");
    EXPECT_EQ(pruned.exit, SetupExit::Success) << testing::PrintToString(pruned.message);
    std::vector<std::wstring> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(storage_test::ScratchDirectory::entriesOf(journalOf(folder)), expected);
}

// ---- What Wine shows of the system side ----

TEST(SetupAccount, FindsTheCurrentUserAsALocalAccount)
{
    const std::wstring name = currentUserName();
    ASSERT_FALSE(name.empty());
    LocalAccount account;
    const SetupOutcome found = findLocalAccount(name, account);
    ASSERT_EQ(found.exit, SetupExit::Success) << testing::PrintToString(found.message);
    EXPECT_EQ(account.sid, currentUserSid());
    EXPECT_TRUE(account.userId.ends_with(L"\\" + name)) << testing::PrintToString(account.userId);
}

TEST(SetupAccount, RefusesWhatIsNoLocalUserAccount)
{
    for (const wchar_t* name : {L"no-such-account-hw", L"Administrators", L"SYSTEM", L"", L"a\\b"}) {
        LocalAccount account;
        const SetupOutcome found = findLocalAccount(name, account);
        EXPECT_EQ(found.exit, SetupExit::Refused) << testing::PrintToString(std::wstring(name));
        EXPECT_FALSE(found.message.empty());
        EXPECT_TRUE(account.sid.empty());
    }
}

// Reads tasks the way an administrator's tool would.
class TaskStore {
public:
    TaskStore()
    {
        if (apartment_.usable() &&
            SUCCEEDED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                       reinterpret_cast<void**>(service_.put())))) {
            const Variant none;
            connected_ = SUCCEEDED(service_->Connect(none.get(), none.get(), none.get(), none.get()));
        }
    }
    bool connected() const { return connected_; }
    bool folderExists()
    {
        ComPtr<ITaskFolder> folder;
        return SUCCEEDED(service_->GetFolder(Bstr(kTaskFolderPath).get(), folder.put()));
    }
    // Empty when there is no such task.
    std::wstring xml(const std::wstring& account)
    {
        ComPtr<ITaskFolder> root;
        ComPtr<IRegisteredTask> task;
        Bstr text;
        if (FAILED(service_->GetFolder(Bstr(L"\\").get(), root.put())) ||
            FAILED(root->GetTask(Bstr(taskPath(account)).get(), task.put())) || FAILED(task->get_Xml(text.put()))) {
            return {};
        }
        return text.text();
    }

private:
    ComApartment apartment_;
    ComPtr<ITaskService> service_;
    bool connected_ = false;
};

TEST(SetupTask, RegistersTheAccountsTaskAndDeletesItWithItsFolder)
{
    const std::wstring account = currentUserName();
    TaskStore store;
    ASSERT_TRUE(store.connected());
    if (!store.xml(account).empty()) {
        GTEST_SKIP() << "this account has a task of the program already";
    }
    const bool folderExisted = store.folderExists();

    const SetupOutcome registered = registerProgramTask(account, modulePath(nullptr));
    ASSERT_EQ(registered.exit, SetupExit::Success) << testing::PrintToString(registered.message);
    const XmlDocument stored = parseXml(store.xml(account));
    ASSERT_TRUE(stored.parsed);
    expectValues(stored, std::vector<Expected>(std::begin(kTaskSettings), std::end(kTaskSettings)));

    EXPECT_EQ(deleteProgramTask(account).exit, SetupExit::Success);
    EXPECT_TRUE(store.xml(account).empty());
    if (!folderExisted) {
        EXPECT_FALSE(store.folderExists());
    }
    EXPECT_EQ(runProgramTask(account).exit, SetupExit::Refused);
    // Deleting what is not there is no failure.
    EXPECT_EQ(deleteProgramTask(account).exit, SetupExit::Success);
}

}  // namespace
