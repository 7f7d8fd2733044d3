// What the child's standard account can and cannot do to an installation an
// administrator made for it: the account writes the data of its two files, and
// is refused every change to the program, the folder, the access lists, the
// logon task and the running program. Run only on Windows, as that account:
// scripts/windows-checks.cmd creates a temporary account, installs for it,
// and runs these through as-account.exe with --account-side=FOLDER.
#include "accountSide.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <functional>
#include <optional>
#include <sstream>

#include "comSupport.h"
#include "installerSupport.h"
#include "realWindows.h"

namespace installer_test {
namespace {

std::wstring givenFolder;

}  // namespace

bool takeAccountSideArgument(const std::wstring& argument)
{
    const std::wstring prefix = kAccountSidePrefix;
    if (argument.rfind(prefix, 0) != 0) {
        return false;
    }
    givenFolder = argument.substr(prefix.size());
    while (!givenFolder.empty() && (givenFolder.back() == L'\\' || givenFolder.back() == L'"')) {
        givenFolder.pop_back();
    }
    return true;
}

}  // namespace installer_test

using namespace installer_test;

namespace {

// Real Windows, and started by the script as the account on its installation.
#define SKIP_UNLESS_AS_THE_ACCOUNT()                                                                       \
    do {                                                                                                   \
        SKIP_UNLESS_REAL_WINDOWS("Wine has one account, an administrator, and keeps no access lists");     \
        if (givenFolder.empty()) {                                                                         \
            GTEST_SKIP() << "runs only as the standard account scripts/windows-checks.cmd installs for "    \
                            "(started through as-account.exe with --account-side=FOLDER)";                 \
        }                                                                                                  \
        ASSERT_FALSE(isAdministrator()) << "run as an administrator: these checks mean nothing then";      \
    } while (false)

constexpr wchar_t kProgram[] = L"Hourwarden.exe";
constexpr wchar_t kUninstaller[] = L"uninstall.exe";
constexpr wchar_t kConfig[] = L"config.json";
constexpr wchar_t kData[] = L"data.json";

bool isAdministrator()
{
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(nullptr, sid, &member) && member;
}

std::wstring inFolder(const wchar_t* name)
{
    return givenFolder + L"\\" + name;
}

std::wstring thisAccount()
{
    wchar_t name[256] = {};
    DWORD size = 256;
    return GetUserNameW(name, &size) ? name : L"";
}

std::wstring thisAccountSid()
{
    HANDLE token = nullptr;
    std::wstring result;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        BYTE buffer[256] = {};
        DWORD size = 0;
        LPWSTR text = nullptr;
        if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
            result = text;
            LocalFree(text);
        }
        CloseHandle(token);
    }
    return result;
}

// What the system answered to one attempt.
struct Answer {
    bool granted = false;
    DWORD error = ERROR_SUCCESS;
};

Answer answerOf(BOOL done)
{
    return done ? Answer{true, ERROR_SUCCESS} : Answer{false, GetLastError()};
}

// Opens a file or folder with exactly `access`, sharing everything, and closes it again.
Answer openFor(const std::wstring& path, DWORD access)
{
    HANDLE handle = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {false, GetLastError()};
    }
    CloseHandle(handle);
    return {true, ERROR_SUCCESS};
}

// The process of the program started from `exe`, by its control window; 0: none.
DWORD programRunningFrom(const std::wstring& exe)
{
    for (const FoundWindow& found : windowsOfClass(kControlClass)) {
        if (equalsIgnoringCase(processImage(found.processId), exe)) {
            return found.processId;
        }
    }
    return 0;
}

}  // namespace

// The program runs as the account and rewrites both files in place: the
// account may write their data (and append to them). Runs before the program
// starts, which holds both files while it runs.
TEST(AccountSide, TheAccountWritesTheDataOfItsTwoFilesInPlace_WindowsOnly)
{
    SKIP_UNLESS_AS_THE_ACCOUNT();
    ASSERT_EQ(programRunningFrom(inFolder(kProgram)), 0u)
        << "the program holds its files while it runs: this check comes before it starts";
    for (const wchar_t* name : {kConfig, kData}) {
        SCOPED_TRACE(toUtf8(name));
        const std::wstring path = inFolder(name);
        const std::optional<std::string> before = readFile(path);
        ASSERT_TRUE(before.has_value());
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | FILE_WRITE_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << "refused to the account, error " << GetLastError();
        DWORD written = 0;
        // The same bytes again, as a save of unchanged settings would write them.
        EXPECT_TRUE(WriteFile(file, before->data(), static_cast<DWORD>(before->size()), &written, nullptr))
            << GetLastError();
        EXPECT_EQ(written, before->size());
        CloseHandle(file);
        EXPECT_EQ(readFile(path), before);
        const Answer append = openFor(path, FILE_APPEND_DATA);
        EXPECT_TRUE(append.granted) << "append refused, error " << append.error;
    }
}

// Each way the account might replace, rename, delete, hide or re-list the
// program, the uninstaller, the two files or the folder, or put a DLL of its
// own beside the program, is refused with "access denied".
TEST(AccountSide, TheAccountCannotReplaceRenameDeleteOrReListAnythingInTheFolder_WindowsOnly)
{
    SKIP_UNLESS_AS_THE_ACCOUNT();
    ASSERT_EQ(programRunningFrom(inFolder(kProgram)), 0u)
        << "with the program running a refusal might be its sharing, not the access list";
    const std::wstring sid = thisAccountSid();
    ASSERT_FALSE(sid.empty());
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);

    enum Kind { Folder = 1, Executable = 2, StateFile = 4, Any = 7 };
    const struct {
        const char* what;
        int kinds;
        std::function<Answer(const std::wstring& path, bool folder)> attempt;
    } attempts[] = {
        {"open for DELETE", Any, [](const std::wstring& p, bool) { return openFor(p, DELETE); }},
        {"open for WRITE_DAC", Any, [](const std::wstring& p, bool) { return openFor(p, WRITE_DAC); }},
        {"open for WRITE_OWNER", Any, [](const std::wstring& p, bool) { return openFor(p, WRITE_OWNER); }},
        {"open to write attributes", Any,
         [](const std::wstring& p, bool) { return openFor(p, FILE_WRITE_ATTRIBUTES); }},
        {"open to write extended attributes", Any,
         [](const std::wstring& p, bool) { return openFor(p, FILE_WRITE_EA); }},
        // On the folder: add a file, add a folder.
        {"open to write data", Folder | Executable,
         [](const std::wstring& p, bool) { return openFor(p, FILE_WRITE_DATA); }},
        {"open to append data", Folder | Executable,
         [](const std::wstring& p, bool) { return openFor(p, FILE_APPEND_DATA); }},
        {"open to delete what it holds", Folder,
         [](const std::wstring& p, bool) { return openFor(p, FILE_DELETE_CHILD); }},
        {"delete", Any,
         [](const std::wstring& p, bool folder) {
             return answerOf(folder ? RemoveDirectoryW(p.c_str()) : DeleteFileW(p.c_str()));
         }},
        {"rename", Any,
         [](const std::wstring& p, bool) {
             const std::wstring moved = p + L".moved";
             const Answer answer = answerOf(MoveFileExW(p.c_str(), moved.c_str(), 0));
             if (answer.granted) {
                 MoveFileExW(moved.c_str(), p.c_str(), 0);  // so the next attempts still mean something
             }
             return answer;
         }},
        {"hide", Any,
         [](const std::wstring& p, bool) {
             const DWORD attributes = GetFileAttributesW(p.c_str());
             const Answer answer = answerOf(SetFileAttributesW(p.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN));
             if (answer.granted) {
                 SetFileAttributesW(p.c_str(), attributes);
             }
             return answer;
         }},
        {"give the account every right", Any,
         [&sid](const std::wstring& p, bool) {
             PSECURITY_DESCRIPTOR descriptor = nullptr;
             const std::wstring sddl = L"D:(A;;FA;;;" + sid + L")";
             if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                       nullptr)) {
                 return Answer{false, GetLastError()};
             }
             BOOL present = FALSE;
             BOOL defaulted = FALSE;
             PACL dacl = nullptr;
             GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
             const DWORD error = SetNamedSecurityInfoW(const_cast<wchar_t*>(p.c_str()), SE_FILE_OBJECT,
                                                       DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
             LocalFree(descriptor);
             return Answer{error == ERROR_SUCCESS, error};
         }},
        {"take ownership", Any,
         [](const std::wstring& p, bool) {
             HANDLE token = nullptr;
             BYTE buffer[256] = {};
             DWORD size = 0;
             if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
                 return Answer{false, GetLastError()};
             }
             GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
             CloseHandle(token);
             const DWORD error =
                 SetNamedSecurityInfoW(const_cast<wchar_t*>(p.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                       reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, nullptr, nullptr, nullptr);
             return Answer{error == ERROR_SUCCESS, error};
         }},
        // A DLL named like one the program imports would be loaded into it.
        {"put a DLL beside the program", Folder,
         [](const std::wstring& p, bool) {
             const std::wstring dll = p + L"\\version.dll";
             HANDLE file = CreateFileW(dll.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                       nullptr);
             if (file == INVALID_HANDLE_VALUE) {
                 return Answer{false, GetLastError()};
             }
             CloseHandle(file);
             DeleteFileW(dll.c_str());
             return Answer{true, ERROR_SUCCESS};
         }},
        {"replace with another program", Executable,
         [&self](const std::wstring& p, bool) { return answerOf(CopyFileW(self, p.c_str(), FALSE)); }},
    };
    const struct {
        std::wstring path;
        Kind kind;
    } objects[] = {
        {givenFolder, Folder},
        {inFolder(kProgram), Executable},
        {inFolder(kUninstaller), Executable},
        {inFolder(kConfig), StateFile},
        {inFolder(kData), StateFile},
    };
    for (const auto& object : objects) {
        ASSERT_NE(GetFileAttributesW(object.path.c_str()), INVALID_FILE_ATTRIBUTES) << toUtf8(object.path);
    }
    const std::optional<std::string> program = readFile(inFolder(kProgram));
    for (const auto& object : objects) {
        SCOPED_TRACE(toUtf8(object.path));
        for (const auto& attempt : attempts) {
            if ((attempt.kinds & object.kind) == 0) {
                continue;
            }
            const Answer answer = attempt.attempt(object.path, object.kind == Folder);
            EXPECT_FALSE(answer.granted) << attempt.what << ": allowed to the account";
            if (!answer.granted) {
                EXPECT_EQ(answer.error, static_cast<DWORD>(ERROR_ACCESS_DENIED))
                    << attempt.what << ": refused with error " << answer.error << ", not by the access list";
            }
        }
    }
    EXPECT_TRUE(readFile(inFolder(kProgram)) == program) << "the program was changed";
}

// The logon task: the account may read it, and is refused each change.
TEST(AccountSide, TheAccountCannotChangeDisableEndOrDeleteItsTask_WindowsOnly)
{
    SKIP_UNLESS_AS_THE_ACCOUNT();
    const std::wstring account = thisAccount();
    const std::wstring sid = thisAccountSid();
    ASSERT_FALSE(account.empty());
    ComScope com;
    ComRef<ITaskFolder> folder;
    ASSERT_TRUE(openTaskFolder(folder)) << "the account cannot see the task folder " << toUtf8(kTaskFolder);
    ComRef<IRegisteredTask> task;
    HRESULT found = folder->GetTask(Bstr(account), task.put());
    ASSERT_TRUE(SUCCEEDED(found)) << "the account cannot read its task, 0x" << std::hex << found;
    Bstr registered;
    ASSERT_TRUE(SUCCEEDED(task->get_Xml(registered.put())) && registered != nullptr);
    const std::wstring xml(registered);

    // The definition again, with one change, registered over the task.
    const auto registerChanged = [&](const std::wstring& changed) {
        if (changed == xml) {
            return E_UNEXPECTED;  // nothing found to change
        }
        VARIANT none;
        VariantInit(&none);
        ComRef<IRegisteredTask> replaced;
        return folder->RegisterTask(Bstr(account), Bstr(changed), TASK_UPDATE, none, none,
                                    TASK_LOGON_INTERACTIVE_TOKEN, none, replaced.put());
    };
    // The task's own Enabled, the last one before </Settings>, switched off.
    const auto disabled = [&] {
        std::wstring changed = xml;
        const std::wstring on = L"<Enabled>true</Enabled>";
        const size_t at = changed.rfind(on, changed.find(L"</Settings>"));
        if (at != std::wstring::npos) {
            changed.replace(at, on.size(), L"<Enabled>false</Enabled>");
        }
        return changed;
    };
    const auto otherCommand = [&] {
        std::wstring changed = xml;
        const size_t at = changed.find(L"<Command>");
        if (at != std::wstring::npos) {
            changed.insert(at + 9, L"C:\\Windows\\System32\\cmd.exe /c rem ");
        }
        return changed;
    };
    const struct {
        const char* what;
        std::function<HRESULT()> attempt;
    } attempts[] = {
        {"disable it", [&] { return task->put_Enabled(VARIANT_FALSE); }},
        {"end it", [&] { return task->Stop(0); }},
        {"delete it", [&] { return folder->DeleteTask(Bstr(account), 0); }},
        {"give itself every right on it",
         [&] { return task->SetSecurityDescriptor(Bstr(L"D:(A;;FA;;;" + sid + L")"), 0); }},
        {"register it again disabled", [&] { return registerChanged(disabled()); }},
        {"register it again with another command", [&] { return registerChanged(otherCommand()); }},
    };
    for (const auto& attempt : attempts) {
        const HRESULT result = attempt.attempt();
        EXPECT_EQ(result, E_ACCESSDENIED) << attempt.what << ": 0x" << std::hex << result;
    }

    ComRef<IRegisteredTask> after;
    ASSERT_TRUE(SUCCEEDED(folder->GetTask(Bstr(account), after.put()))) << "the task is gone";
    VARIANT_BOOL enabled = VARIANT_FALSE;
    EXPECT_TRUE(SUCCEEDED(after->get_Enabled(&enabled)) && enabled == VARIANT_TRUE) << "the task was disabled";
    Bstr afterXml;
    ASSERT_TRUE(SUCCEEDED(after->get_Xml(afterXml.put())) && afterXml != nullptr);
    EXPECT_EQ(std::wstring(afterXml), xml) << "the task was changed";
}

namespace {

std::vector<DWORD> threadsOf(DWORD processId)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return ids;
    }
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == processId) {
            ids.push_back(entry.th32ThreadID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

struct Right {
    const char* name;
    DWORD access;
};

}  // namespace

// The program, started as the account from the installed folder with the
// exit password setup wrote: the account cannot end, freeze, rewrite or
// re-list its process or any of its threads, and taskkill /f is refused. The
// program is left running; the script's uninstall, as an administrator, ends it.
TEST(AccountSide, TheAccountCannotEndOrFreezeTheRunningProgram_WindowsOnly)
{
    SKIP_UNLESS_AS_THE_ACCOUNT();
    const std::wstring exe = inFolder(kProgram);
    if (programRunningFrom(exe) == 0) {
        // The handle from the start keeps every right: closed at once, never used.
        Process started(quoted(exe));
        ASSERT_TRUE(started.started()) << "the account cannot start the program, error " << GetLastError();
    }
    DWORD id = 0;
    ASSERT_TRUE(waitUntil([&] { return (id = programRunningFrom(exe)) != 0; }, 60000)) << "the program did not start";
    // The exit password setup wrote protects it from its first step.
    ASSERT_TRUE(waitUntil([&] {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
        if (process != nullptr) {
            CloseHandle(process);
            return false;
        }
        return GetLastError() == ERROR_ACCESS_DENIED;
    })) << "the program's process stays open to the account";

    const Right processRights[] = {
        {"PROCESS_TERMINATE", PROCESS_TERMINATE},
        {"PROCESS_SUSPEND_RESUME", PROCESS_SUSPEND_RESUME},
        {"PROCESS_VM_WRITE", PROCESS_VM_WRITE | PROCESS_VM_OPERATION},
        {"PROCESS_CREATE_THREAD", PROCESS_CREATE_THREAD},
        {"PROCESS_DUP_HANDLE", PROCESS_DUP_HANDLE},
        {"PROCESS_SET_INFORMATION", PROCESS_SET_INFORMATION},
        {"WRITE_DAC", WRITE_DAC},
        {"WRITE_OWNER", WRITE_OWNER},
    };
    for (const Right& right : processRights) {
        HANDLE process = OpenProcess(right.access, FALSE, id);
        EXPECT_EQ(process, nullptr) << right.name << " granted on the process";
        if (process != nullptr) {
            CloseHandle(process);
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << right.name;
        }
    }
    HANDLE viewer = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id);
    ASSERT_NE(viewer, nullptr) << "a viewer's access refused, error " << GetLastError();

    const Right threadRights[] = {
        {"THREAD_SUSPEND_RESUME", THREAD_SUSPEND_RESUME}, {"THREAD_TERMINATE", THREAD_TERMINATE},
        {"THREAD_SET_CONTEXT", THREAD_SET_CONTEXT},       {"THREAD_SET_INFORMATION", THREAD_SET_INFORMATION},
        {"WRITE_DAC", WRITE_DAC},                         {"WRITE_OWNER", WRITE_OWNER},
    };
    const std::vector<DWORD> threads = threadsOf(id);
    ASSERT_FALSE(threads.empty());
    for (const DWORD thread : threads) {
        for (const Right& right : threadRights) {
            HANDLE handle = OpenThread(right.access, FALSE, thread);
            EXPECT_EQ(handle, nullptr) << right.name << " granted on thread " << thread;
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
    }

    // As Task Manager's End task would try it.
    Process taskkill(L"taskkill.exe /f /pid " + std::to_wstring(id));
    ASSERT_TRUE(taskkill.started());
    const std::optional<DWORD> killed = taskkill.wait(kDefaultTimeoutMs);
    ASSERT_TRUE(killed.has_value());
    EXPECT_NE(*killed, 0u) << "taskkill /f reports the program ended";
    EXPECT_EQ(WaitForSingleObject(viewer, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the program ended";
    CloseHandle(viewer);
}
