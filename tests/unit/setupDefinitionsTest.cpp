// The setup helper: the access lists it gives the installation, the scheduled
// task's XML, the first data.json, its argument checks, and what Wine can show
// of the system side (account lookup, task registration). What Windows makes
// of the lists and the task: AccountInstallerTest.*_WindowsOnly and, as the
// account, AccountSide.*_WindowsOnly (scripts/windows-checks.cmd).
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>
#include <taskschd.h>
#include <xmllite.h>

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
#include "storage/stateFiles.h"
#include "storage/settingsFiles.h"
#include "storage/textFiles.h"
#include "storageTestSupport.h"
#include "wholeFile.h"

namespace {

constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
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
