#include "setup/setupActions.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <taskschd.h>
#include <tlhelp32.h>

#include <cwchar>
#include <vector>

#include "base/scopedHandles.h"
#include "core/passwordHash.h"
#include "core/usageTracker.h"
#include "setup/comOwners.h"
#include "storage/journalFiles.h"
#include "storage/settingsFiles.h"
#include "storage/textFiles.h"

namespace {

// How long end-program waits for the processes it ended to be gone.
constexpr ULONGLONG kEndProgramTimeoutMs = 5000;
// The exit code the ended processes report.
constexpr UINT kEndedExitCode = 1;
// What the helper grants itself on a process it ends: terminate, wait, query.
constexpr wchar_t kTerminableProcessSddl[] = L"D:(A;;0x101001;;;BA)";

BOOL closeKey(HKEY key)
{
    return RegCloseKey(key) == ERROR_SUCCESS;
}
using RegistryKey = Owned<HKEY, closeKey>;
using KernelHandle = Owned<HANDLE, scoped_detail::closeFile>;

// Memory the security functions allocate with LocalAlloc.
template <typename T>
class LocalMemory {
public:
    LocalMemory() = default;
    ~LocalMemory() { LocalFree(pointer_); }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    T get() const { return pointer_; }
    T* put() { return &pointer_; }

private:
    T pointer_ = nullptr;
};

std::wstring errorText(DWORD code)
{
    LocalMemory<wchar_t*> text;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
    std::wstring message = length != 0 ? std::wstring(text.get(), length) : std::wstring();
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
        message.pop_back();
    }
    return message;
}

SetupOutcome refused(std::wstring message)
{
    return {SetupExit::Refused, std::move(message)};
}

SetupOutcome systemFailure(const wchar_t* call, DWORD error)
{
    std::wstring message = std::wstring(call) + L" failed: error " + std::to_wstring(error);
    const std::wstring text = errorText(error);
    if (!text.empty()) {
        message += L" (" + text + L")";
    }
    return {SetupExit::Failure, message};
}

SetupOutcome comFailure(const wchar_t* call, HRESULT result)
{
    wchar_t code[16] = {};
    swprintf(code, std::size(code), L"0x%08lx", static_cast<unsigned long>(result));
    std::wstring message = std::wstring(call) + L" failed: " + code;
    const std::wstring text = errorText(static_cast<DWORD>(result));
    if (!text.empty()) {
        message += L" (" + text + L")";
    }
    return {SetupExit::Failure, message};
}

std::wstring quoted(std::wstring_view text)
{
    return L"\"" + std::wstring(text) + L"\"";
}

bool isAbsent(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool isAbsent(HRESULT result)
{
    return result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || result == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

// An elevated administrator holds these privileges switched off; a missing
// one only means the plain access checks apply.
void enablePrivilege(const wchar_t* name)
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &rawToken)) {
        return;
    }
    const KernelHandle token(rawToken);
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    }
}

std::wstring fullPath(const std::wstring& path)
{
    const std::wstring full = absolutePath(path);
    // Processes report their long name: a short (8.3) one would match none.
    const std::wstring systemPath = fileSystemPath(full);
    const DWORD longNeeded = GetLongPathNameW(systemPath.c_str(), nullptr, 0);
    if (longNeeded == 0) {
        return full;
    }
    std::wstring longPath(longNeeded, L'\0');
    const DWORD longWritten = GetLongPathNameW(systemPath.c_str(), longPath.data(), longNeeded);
    if (longWritten == 0 || longWritten >= longNeeded) {
        return full;
    }
    longPath.resize(longWritten);
    return longPath;
}

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Keeps the separator of a drive's root: "C:" alone names the current folder on C.
std::wstring withoutTrailingSeparators(std::wstring path)
{
    while (path.size() > 1 && isSeparator(path.back()) && path[path.size() - 2] != L':') {
        path.pop_back();
    }
    return path;
}

// Whether `path` (full, without trailing separator) is where a volume is mounted.
bool isVolumeRoot(const std::wstring& path)
{
    std::wstring volume(path.size() + MAX_PATH, L'\0');
    if (!GetVolumePathNameW(fileSystemPath(path).c_str(), volume.data(), static_cast<DWORD>(volume.size()))) {
        return false;
    }
    volume.resize(wcslen(volume.c_str()));
    return sameFilePath(withoutTrailingSeparators(volume), path);
}

// ---- Accounts ----

std::wstring computerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = std::size(name);
    return GetComputerNameW(name, &length) ? std::wstring(name, length) : std::wstring();
}

bool sameName(std::wstring_view left, std::wstring_view right)
{
    return CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// The account's name as the system spells it, with its domain.
bool canonicalUserId(PSID sid, std::wstring& userId)
{
    DWORD nameLength = 0;
    DWORD domainLength = 0;
    SID_NAME_USE use = SidTypeUnknown;
    LookupAccountSidW(nullptr, sid, nullptr, &nameLength, nullptr, &domainLength, &use);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    std::wstring name(nameLength, L'\0');
    std::wstring domain(domainLength, L'\0');
    if (!LookupAccountSidW(nullptr, sid, name.data(), &nameLength, domain.data(), &domainLength, &use)) {
        return false;
    }
    name.resize(nameLength);
    domain.resize(domainLength);
    userId = domain + L"\\" + name;
    return true;
}

// ---- Access lists ----

SetupOutcome applySecurity(HANDLE object, const std::wstring& sddl)
{
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.put(),
                                                              nullptr)) {
        return systemFailure(L"ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
    }
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    PACL dacl = nullptr;
    BOOL daclPresent = FALSE;
    BOOL daclDefaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor.get(), &owner, &ownerDefaulted) ||
        !GetSecurityDescriptorDacl(descriptor.get(), &daclPresent, &dacl, &daclDefaulted)) {
        return systemFailure(L"GetSecurityDescriptorDacl", GetLastError());
    }
    // By handle, not by name: the object checked is the object changed.
    const DWORD error =
        SetSecurityInfo(object, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                        owner, nullptr, dacl, nullptr);
    return error == ERROR_SUCCESS ? SetupOutcome{} : systemFailure(L"SetSecurityInfo", error);
}

// Opens the object itself, never what a link in its place points to.
// FILE_FLAG_BACKUP_SEMANTICS opens folders, and with the restore privilege
// lets an administrator change a file whose list leaves administrators out.
HANDLE openForSecurity(const std::wstring& path)
{
    return CreateFileW(fileSystemPath(path).c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool isJournalFolderEntry(const WIN32_FIND_DATAW& entry)
{
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           sameName(entry.cFileName, kJournalFolderName);
}

// Setting the folder's list reaches everything below it, so a folder with
// folders inside (a drive, Program Files itself) is refused. The journal
// folder setup made is the one exception: its own protected list keeps the
// folder's out.
SetupOutcome checkHoldsNoFolders(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry = {};
    const HANDLE rawSearch = FindFirstFileExW(fileSystemPath(folder + L"\\*").c_str(), FindExInfoBasic, &entry,
                                              FindExSearchNameMatch, nullptr, 0);
    if (rawSearch == INVALID_HANDLE_VALUE) {
        return systemFailure(L"FindFirstFileExW", GetLastError());
    }
    const Owned<HANDLE, FindClose> search(rawSearch);
    do {
        const std::wstring_view name = entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && name != L"." && name != L".." &&
            !isJournalFolderEntry(entry)) {
            return refused(quoted(folder) + L" holds the folder " + quoted(name) +
                           L"; an installation folder holds files only.");
        }
    } while (FindNextFileW(search.get(), &entry));
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? SetupOutcome{} : systemFailure(L"FindNextFileW", error);
}

SetupOutcome secureFolder(const std::wstring& folder, const std::wstring& sid)
{
    const FileHandle handle(openForSecurity(folder));
    if (!handle) {
        const DWORD error = GetLastError();
        return isAbsent(error) ? refused(L"No folder " + quoted(folder) + L".") : systemFailure(L"CreateFileW", error);
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(handle.get(), &info)) {
        return systemFailure(L"GetFileInformationByHandle", GetLastError());
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return refused(quoted(folder) + L" is a link (reparse point), not a folder.");
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return refused(quoted(folder) + L" is not a folder.");
    }
    if (isVolumeRoot(folder)) {
        return refused(quoted(folder) + L" is the root of a drive.");
    }
    if (SetupOutcome outcome = checkHoldsNoFolders(folder); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    return applySecurity(handle.get(), securityDescriptorSddl(sid, SecuredObject::Folder));
}

SetupOutcome secureFile(const std::wstring& path, const std::wstring& sid, SecuredObject kind)
{
    const FileHandle handle(openForSecurity(path));
    if (!handle) {
        const DWORD error = GetLastError();
        return isAbsent(error) ? SetupOutcome{} : systemFailure(L"CreateFileW", error);
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(handle.get(), &info)) {
        return systemFailure(L"GetFileInformationByHandle", GetLastError());
    }
    // A link or a second name could lead the new list to a file elsewhere.
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return refused(quoted(path) + L" is not a plain file.");
    }
    if (info.nNumberOfLinks > 1) {
        return refused(quoted(path) + L" has other names (hard links).");
    }
    return applySecurity(handle.get(), securityDescriptorSddl(sid, kind));
}

// ---- Task Scheduler ----

SetupOutcome connectTaskService(ComPtr<ITaskService>& service)
{
    HRESULT result = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                      reinterpret_cast<void**>(service.put()));
    if (FAILED(result)) {
        return comFailure(L"CoCreateInstance(TaskScheduler)", result);
    }
    const Variant none;
    result = service->Connect(none.get(), none.get(), none.get(), none.get());
    return SUCCEEDED(result) ? SetupOutcome{} : comFailure(L"ITaskService::Connect", result);
}

// The program's task folder; `folder` stays empty when there is none.
SetupOutcome openTaskFolder(ITaskService* service, ComPtr<ITaskFolder>& folder)
{
    const HRESULT result = service->GetFolder(Bstr(kTaskFolderPath).get(), folder.put());
    if (SUCCEEDED(result) || isAbsent(result)) {
        return {};
    }
    return comFailure(L"ITaskService::GetFolder", result);
}

// How many tasks and folders `folder` holds; E_NOTIMPL where the system cannot say.
HRESULT countItems(ITaskFolder* folder, LONG& count)
{
    ComPtr<IRegisteredTaskCollection> tasks;
    ComPtr<ITaskFolderCollection> folders;
    LONG taskCount = 0;
    LONG folderCount = 0;
    HRESULT result = folder->GetTasks(TASK_ENUM_HIDDEN, tasks.put());
    if (SUCCEEDED(result)) {
        result = tasks->get_Count(&taskCount);
    }
    if (SUCCEEDED(result)) {
        result = folder->GetFolders(0, folders.put());
    }
    if (SUCCEEDED(result)) {
        result = folders->get_Count(&folderCount);
    }
    count = taskCount + folderCount;
    return result;
}

// Deletes the program's folder once it holds no task and no folder. Wine 8
// cannot count them (E_NOTIMPL); its service removes a folder only when it
// is empty, so there the deletion itself is the check.
void removeEmptyTaskFolder(ITaskService* service, ITaskFolder* folder)
{
    LONG count = 0;
    const HRESULT counted = countItems(folder, count);
    if (counted != E_NOTIMPL && (FAILED(counted) || count != 0)) {
        return;
    }
    ComPtr<ITaskFolder> root;
    if (SUCCEEDED(service->GetFolder(Bstr(L"\\").get(), root.put()))) {
        root->DeleteFolder(Bstr(kTaskFolderName).get(), 0);
    }
}

// ---- Processes ----

std::wstring processImagePath(HANDLE process)
{
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD length = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(process, 0, path.data(), &length)) {
            return std::wstring(path.data(), length);
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
}

struct EndingProcess {
    DWORD id = 0;
    KernelHandle handle;  // may be waited on
};

struct EndPass {
    bool found = false;
    std::vector<EndingProcess> ending;
    SetupOutcome outcome;
};

// While the program's exit needs the password, its process refuses everyone
// termination. An administrator's debug privilege passes over that on
// Windows. Wine honours no such privilege but lets the process's owner rewrite
// its list (it ignores the OWNER RIGHTS entry), so that is tried next.
HANDLE openForTermination(DWORD id)
{
    if (const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
        return process;
    }
    const DWORD refusal = GetLastError();
    const KernelHandle writable(OpenProcess(WRITE_DAC, FALSE, id));
    LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (writable &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(kTerminableProcessSddl, SDDL_REVISION_1, descriptor.put(),
                                                             nullptr) &&
        GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) &&
        SetSecurityInfo(writable.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr) ==
            ERROR_SUCCESS) {
        if (const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id)) {
            return process;
        }
    }
    SetLastError(refusal);
    return nullptr;
}

// An ended process may still be listed while something holds a handle to it.
bool hasEnded(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// Ends every process of `programPath` running now.
EndPass endRunningCopies(const std::wstring& programPath)
{
    EndPass pass;
    // Like CreateFileW, the snapshot call reports failure as INVALID_HANDLE_VALUE.
    const FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        pass.outcome = systemFailure(L"CreateToolhelp32Snapshot", GetLastError());
        return pass;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        const DWORD id = entry.th32ProcessID;
        if (id == 0 || id == GetCurrentProcessId()) {
            continue;
        }
        // The program's own list grants everyone these two.
        KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id));
        if (!process || !sameFilePath(processImagePath(process.get()), programPath) || hasEnded(process.get())) {
            continue;
        }
        pass.found = true;
        const KernelHandle terminable(openForTermination(id));
        if (!terminable || !TerminateProcess(terminable.get(), kEndedExitCode)) {
            const DWORD error = GetLastError();
            if (hasEnded(process.get())) {
                continue;
            }
            pass.outcome = refused(L"Could not end process " + std::to_wstring(id) + L" (" + programPath +
                                   L"): error " + std::to_wstring(error) + L" (" + errorText(error) + L").");
            return pass;
        }
        pass.ending.push_back({id, std::move(process)});
    }
    return pass;
}

}  // namespace

SetupOutcome findLocalAccount(std::wstring_view name, LocalAccount& account)
{
    if (!isValidAccountName(name)) {
        return refused(quoted(name) + L" is not an account name.");
    }
    const std::wstring accountName(name);
    DWORD sidSize = 0;
    DWORD domainLength = 0;
    SID_NAME_USE use = SidTypeUnknown;
    LookupAccountNameW(nullptr, accountName.c_str(), nullptr, &sidSize, nullptr, &domainLength, &use);
    DWORD error = GetLastError();
    if (error == ERROR_INSUFFICIENT_BUFFER) {
        std::vector<BYTE> sid(sidSize);
        std::wstring domain(domainLength, L'\0');
        if (LookupAccountNameW(nullptr, accountName.c_str(), sid.data(), &sidSize, domain.data(), &domainLength,
                               &use)) {
            domain.resize(domainLength);
            if (use != SidTypeUser) {
                return refused(quoted(name) + L" is not a user account.");
            }
            // A local account's domain is the computer. Wine 8 answers so too
            // for its one account (measured), so no exception is made for it.
            if (!sameName(domain, computerName())) {
                return refused(quoted(name) + L" is an account of " + quoted(domain) + L", not of this computer.");
            }
            LocalMemory<wchar_t*> sidText;
            if (!ConvertSidToStringSidW(sid.data(), sidText.put())) {
                return systemFailure(L"ConvertSidToStringSidW", GetLastError());
            }
            if (!canonicalUserId(sid.data(), account.userId)) {
                return systemFailure(L"LookupAccountSidW", GetLastError());
            }
            account.sid = sidText.get();
            return {};
        }
        error = GetLastError();
    }
    if (error == ERROR_NONE_MAPPED) {
        return refused(L"No local account named " + quoted(name) + L".");
    }
    return systemFailure(L"LookupAccountNameW", error);
}

SetupOutcome secureInstallation(const std::wstring& folder, const std::wstring& account)
{
    LocalAccount found;
    if (SetupOutcome outcome = findLocalAccount(account, found); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    enablePrivilege(SE_RESTORE_NAME);
    enablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    const std::wstring directory = withoutTrailingSeparators(fullPath(folder));
    // The folder first: its list passes to the files, which then get their own.
    if (SetupOutcome outcome = secureFolder(directory, found.sid); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    for (const SecuredFile& file : kSecuredFiles) {
        if (SetupOutcome outcome = secureFile(directory + L"\\" + file.name, found.sid, file.kind);
            outcome.exit != SetupExit::Success) {
            return outcome;
        }
    }
    return {};
}

namespace {

// Read once and gone from this process's environment before anything else
// can fail. The caller wipes it after use.
std::wstring takeSetupPassword()
{
    std::wstring password;
    const DWORD needed = GetEnvironmentVariableW(kPasswordVariable, nullptr, 0);
    if (needed > 1) {
        password.resize(needed);
        const DWORD length = GetEnvironmentVariableW(kPasswordVariable, password.data(), needed);
        password.resize(length < needed ? length : 0);
    }
    SetEnvironmentVariableW(kPasswordVariable, nullptr);
    return password;
}

void wipe(std::wstring& secret)
{
    SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
    secret.clear();
}

std::wstring dataFilePath(const std::wstring& folder)
{
    return withoutTrailingSeparators(fullPath(folder)) + L"\\" + kDataFileName;
}

// Whether the file holds a whole day record, as the program reads it. One it
// cannot read (zeroed, cut short, garbage, absurdly large) gives no time to
// anyone: only a new one from setup, with the parent's password, ends that.
bool holdsUsableData(const std::wstring& path)
{
    std::string bytes;
    if (readWholeFile(fileSystemPath(path), kMaxStateFileBytes, bytes) != FileState::Read) {
        return false;
    }
    DailyUsage usage;
    return parseWholeUsageText(bytes, usage);
}

}  // namespace

SetupOutcome checkUsableData(const std::wstring& folder)
{
    const std::wstring path = dataFilePath(folder);
    if (!holdsUsableData(path)) {
        return refused(quoted(path) + L" is missing or cannot be read; setup writes a new one.");
    }
    return {};
}

SetupOutcome writeInitialData(const std::wstring& folder, bool requireExit)
{
    std::wstring password = takeSetupPassword();

    const std::wstring path = dataFilePath(folder);
    // CREATE_NEW: the file an earlier installation left keeps its day and its
    // password. One the program cannot read is replaced in place, so it keeps
    // the access list an earlier setup gave it.
    FileHandle file(CreateFileW(fileSystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD error = file ? ERROR_SUCCESS : GetLastError();
    const bool exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    if (exists && !holdsUsableData(path)) {
        file.reset(CreateFileW(fileSystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        error = file ? ERROR_SUCCESS : GetLastError();
    }
    if (!file) {
        SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
            return refused(quoted(path) + L" already exists; it is kept.");
        }
        return systemFailure(L"CreateFileW", error);
    }
    const std::wstring hash = password.empty() ? std::wstring() : hashPassword(password);
    const bool hashFailed = !password.empty() && hash.empty();
    SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));

    SetupOutcome outcome;
    if (hashFailed) {
        outcome = {SetupExit::Failure, L"hashPassword failed: the system's PBKDF2 is not available."};
    } else {
        const std::string text = usageFileText(initialUsage(todayDateString(), hash, requireExit));
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size()) {
            outcome = systemFailure(L"WriteFile", GetLastError());
        } else if (!file.close()) {
            outcome = systemFailure(L"CloseHandle", GetLastError());
        }
    }
    if (outcome.exit != SetupExit::Success) {
        // No half-written file for the program to find.
        file.close();
        DeleteFileW(fileSystemPath(path).c_str());
    }
    return outcome;
}

// ---- The journal ----

namespace {

std::wstring journalFolderIn(const std::wstring& folder)
{
    return journalFolderOf(withoutTrailingSeparators(fullPath(folder)));
}

// Opens the journal folder itself (never a link in its place) for its list.
SetupOutcome openJournalFolder(const std::wstring& journal, FileHandle& handle)
{
    handle.reset(openForSecurity(journal));
    if (!handle) {
        const DWORD error = GetLastError();
        return isAbsent(error) ? refused(L"No folder " + quoted(journal) + L".") : systemFailure(L"CreateFileW", error);
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(handle.get(), &info)) {
        return systemFailure(L"GetFileInformationByHandle", GetLastError());
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return refused(quoted(journal) + L" is not a folder setup made (a link or a file).");
    }
    return {};
}

SetupOutcome lockJournalFolder(const std::wstring& journal)
{
    FileHandle handle;
    if (SetupOutcome outcome = openJournalFolder(journal, handle); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    return applySecurity(handle.get(), lockedJournalFolderSddl());
}

// The file's owner set to Administrators, whoever of them ran setup: the log
// setup writes is no account's.
SetupOutcome ownByAdministrators(const std::wstring& path)
{
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) {
        return systemFailure(L"CreateWellKnownSid", GetLastError());
    }
    const FileHandle handle(openForSecurity(path));
    if (!handle) {
        return systemFailure(L"CreateFileW", GetLastError());
    }
    const DWORD error =
        SetSecurityInfo(handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, sid, nullptr, nullptr, nullptr);
    return error == ERROR_SUCCESS ? SetupOutcome{} : systemFailure(L"SetSecurityInfo", error);
}

// A new settings.log holding `line` alone, in place of whatever had the name.
SetupOutcome writeFirstSettingsLog(const std::wstring& path, std::string_view line)
{
    const std::wstring systemPath = fileSystemPath(path);
    // A read-only mark, which the account may set on a file it creates, would stop the deletion.
    SetFileAttributesW(systemPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(systemPath.c_str()) && !isAbsent(GetLastError())) {
        return systemFailure(L"DeleteFileW", GetLastError());
    }
    FileHandle log = createLog(path);
    if (!log) {
        return systemFailure(L"CreateFileW", GetLastError());
    }
    SetupOutcome outcome;
    if (!appendRecord(log.get(), line)) {
        outcome = systemFailure(L"WriteFile", GetLastError());
    } else if (!log.close()) {
        outcome = systemFailure(L"CloseHandle", GetLastError());
    } else {
        outcome = ownByAdministrators(path);
    }
    if (outcome.exit != SetupExit::Success) {
        // No half-made log: the next setup writes it again.
        log.close();
        DeleteFileW(systemPath.c_str());
    }
    return outcome;
}

bool settingsLogChecks(const std::wstring& journal, std::string_view storedDigest)
{
    std::string bytes;
    return !storedDigest.empty() && readLog(settingsLogPathOf(journal), bytes) == FileState::Read &&
           checkSettingsLog(bytes, storedDigest).has_value();
}

}  // namespace

SetupOutcome prepareJournal(const std::wstring& folder, std::string_view storedDigest, const JournalSettings& settings,
                            std::wstring_view password, std::string& digest)
{
    enablePrivilege(SE_RESTORE_NAME);
    enablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    const std::wstring journal = journalFolderIn(folder);
    bool locked = false;
    if (CreateDirectoryW(fileSystemPath(journal).c_str(), nullptr)) {
        // A new folder inherits nothing for the account; its own list says so before anything is in it.
        if (SetupOutcome outcome = lockJournalFolder(journal); outcome.exit != SetupExit::Success) {
            return outcome;
        }
        locked = true;
    } else if (const DWORD error = GetLastError(); error != ERROR_ALREADY_EXISTS) {
        return systemFailure(L"CreateDirectoryW", error);
    } else {
        FileHandle handle;
        if (SetupOutcome outcome = openJournalFolder(journal, handle); outcome.exit != SetupExit::Success) {
            return outcome;
        }
    }
    if (settingsLogChecks(journal, storedDigest)) {
        digest = storedDigest;
        return {SetupExit::Success, L"settings.log is kept."};
    }

    JournalSettings first = settings;
    first.passwordVerifier = password.empty() ? std::wstring() : hashPassword(password);
    if (!password.empty() && first.passwordVerifier.empty()) {
        return {SetupExit::Failure, L"hashPassword failed: the system's PBKDF2 is not available."};
    }
    const std::optional<std::string> record = makeFirstSettingsRecord(first, password);
    if (!record) {
        return {SetupExit::Failure, L"The first record of settings.log could not be made (settings out of range, or "
                                    L"the system's cryptography failed)."};
    }
    const std::string newDigest = settingsRecordDigest(*record);
    if (newDigest.empty()) {
        return {SetupExit::Failure, L"The digest of settings.log's first record could not be made."};
    }
    // Until settings.log is in place, nobody but administrators may create a file here.
    if (!locked) {
        if (SetupOutcome outcome = lockJournalFolder(journal); outcome.exit != SetupExit::Success) {
            return outcome;
        }
    }
    if (SetupOutcome outcome = writeFirstSettingsLog(settingsLogPathOf(journal), *record);
        outcome.exit != SetupExit::Success) {
        return outcome;
    }
    digest = newDigest;
    return {SetupExit::Success, L"A new settings.log is written."};
}

SetupOutcome openJournalToAccount(const std::wstring& folder, const std::wstring& accountSid)
{
    enablePrivilege(SE_RESTORE_NAME);
    enablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    FileHandle handle;
    if (SetupOutcome outcome = openJournalFolder(journalFolderIn(folder), handle); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    return applySecurity(handle.get(), journalFolderSddl(accountSid));
}

SetupOutcome checkUsableJournal(const std::wstring& folder, std::string_view storedDigest)
{
    const std::wstring journal = journalFolderIn(folder);
    if (!settingsLogChecks(journal, storedDigest)) {
        return refused(quoted(settingsLogPathOf(journal)) +
                       L" is missing, was tampered with or does not match its installation; setup writes a new one.");
    }
    return {};
}

SetupOutcome pruneDayLogs(const std::wstring& folder, std::wstring_view today)
{
    const std::wstring journal = journalFolderIn(folder);
    WIN32_FIND_DATAW entry = {};
    const HANDLE rawSearch = FindFirstFileExW(fileSystemPath(journal + L"\\day-*.log").c_str(), FindExInfoBasic, &entry,
                                              FindExSearchNameMatch, nullptr, 0);
    if (rawSearch == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return isAbsent(error) ? SetupOutcome{} : systemFailure(L"FindFirstFileExW", error);
    }
    const Owned<HANDLE, FindClose> search(rawSearch);
    size_t removed = 0;
    std::wstring notRemoved;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !isExpiredDayLogName(entry.cFileName, today)) {
            continue;
        }
        // A link is removed itself, never what it points to.
        const std::wstring path = fileSystemPath(journal + L"\\" + entry.cFileName);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileW(path.c_str())) {
            ++removed;
        } else if (notRemoved.empty()) {
            notRemoved = std::wstring(entry.cFileName) + L": error " + std::to_wstring(GetLastError());
        }
    } while (FindNextFileW(search.get(), &entry));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        return systemFailure(L"FindNextFileW", error);
    }
    if (!notRemoved.empty()) {
        return refused(L"Not every old day log could be removed (" + notRemoved + L").");
    }
    return {SetupExit::Success, L"Removed " + std::to_wstring(removed) + L" old day logs."};
}

namespace {

std::wstring accountEntryKey(const std::wstring& account)
{
    return kAccountUninstallKeyPrefix + account;
}

bool readRegistryString(HKEY key, const wchar_t* name, std::wstring& value)
{
    DWORD size = 0;
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) {
        return false;
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS) {
        return false;
    }
    text.resize(wcslen(text.c_str()));
    value = std::move(text);
    return true;
}

// The account's installed-apps entry (the 64-bit view, where setup writes
// it), when its InstallLocation names `folder`: the digest belongs to that
// installation and no other.
SetupOutcome openAccountEntry(const std::wstring& account, const std::wstring& folder, REGSAM access,
                              RegistryKey& key)
{
    if (!isValidAccountName(account)) {
        return refused(quoted(account) + L" is not an account name.");
    }
    HKEY rawKey = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, accountEntryKey(account).c_str(), 0,
                                         access | KEY_QUERY_VALUE | KEY_WOW64_64KEY, &rawKey);
    if (status == ERROR_FILE_NOT_FOUND) {
        return refused(L"No installation for " + quoted(account) + L" in the installed apps.");
    }
    if (status != ERROR_SUCCESS) {
        return systemFailure(L"RegOpenKeyExW", static_cast<DWORD>(status));
    }
    key.reset(rawKey);
    std::wstring location;
    if (!readRegistryString(key.get(), kInstallLocationValue, location) ||
        !sameFilePath(withoutTrailingSeparators(fullPath(location)), withoutTrailingSeparators(fullPath(folder)))) {
        return refused(L"The installation for " + quoted(account) + L" is not in " + quoted(folder) + L".");
    }
    return {};
}

// Empty when there is none (an installation made before the journal).
std::string storedDigestOf(HKEY entry)
{
    std::wstring text;
    if (!readRegistryString(entry, kSettingsLogDigestValue, text)) {
        return {};
    }
    std::string digest;
    for (const wchar_t c : text) {
        if (c > 0x7e) {
            return {};
        }
        digest.push_back(static_cast<char>(c));
    }
    return digest;
}

SetupOutcome storeDigest(HKEY entry, const std::string& digest)
{
    const std::wstring text(digest.begin(), digest.end());
    const LSTATUS status = RegSetValueExW(entry, kSettingsLogDigestValue, 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(text.c_str()),
                                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    return status == ERROR_SUCCESS ? SetupOutcome{} : systemFailure(L"RegSetValueExW", static_cast<DWORD>(status));
}

// The flag as the parent left it in config.json, when the program reads the file; else on.
bool notificationsOf(const std::wstring& folder)
{
    std::string bytes;
    AppConfig config;
    const std::wstring path = withoutTrailingSeparators(fullPath(folder)) + L"\\" + kConfigFileName;
    if (readWholeFile(fileSystemPath(path), kMaxStateFileBytes, bytes) != FileState::Read ||
        !parseWholeConfigText(bytes, config)) {
        return true;
    }
    return config.showLastThreeMinuteNotifications;
}

}  // namespace

SetupOutcome makeJournal(const std::wstring& folder, const std::wstring& account, int32_t dailyLimitMinutes,
                         bool requireExit)
{
    std::wstring password = takeSetupPassword();
    LocalAccount found;
    SetupOutcome outcome = findLocalAccount(account, found);
    RegistryKey entry;
    if (outcome.exit == SetupExit::Success) {
        outcome = openAccountEntry(account, folder, KEY_SET_VALUE, entry);
    }
    std::string digest;
    if (outcome.exit == SetupExit::Success) {
        JournalSettings settings;
        settings.dailyLimitMinutes = dailyLimitMinutes;
        settings.showLastThreeMinuteNotifications = notificationsOf(folder);
        settings.requirePasswordOnExit = requireExit;
        outcome = prepareJournal(folder, storedDigestOf(entry.get()), settings, password, digest);
    }
    wipe(password);
    if (outcome.exit != SetupExit::Success) {
        return outcome;
    }
    // The root first: the account may create files only once the log it must match is named.
    if (SetupOutcome stored = storeDigest(entry.get(), digest); stored.exit != SetupExit::Success) {
        return stored;
    }
    if (SetupOutcome opened = openJournalToAccount(folder, found.sid); opened.exit != SetupExit::Success) {
        return opened;
    }
    return outcome;
}

SetupOutcome checkUsableJournalOf(const std::wstring& folder, const std::wstring& account)
{
    RegistryKey entry;
    if (SetupOutcome outcome = openAccountEntry(account, folder, 0, entry); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    return checkUsableJournal(folder, storedDigestOf(entry.get()));
}

SetupOutcome registerProgramTask(const std::wstring& account, const std::wstring& programPath)
{
    LocalAccount found;
    if (SetupOutcome outcome = findLocalAccount(account, found); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    const std::wstring program = fullPath(programPath);
    const DWORD attributes = GetFileAttributesW(fileSystemPath(program).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return refused(L"No program file " + quoted(program) + L".");
    }
    const ComApartment com;
    if (!com.usable()) {
        return comFailure(L"CoInitializeEx", com.result());
    }
    ComPtr<ITaskService> service;
    if (SetupOutcome outcome = connectTaskService(service); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    ComPtr<ITaskFolder> folder;
    if (SetupOutcome outcome = openTaskFolder(service.get(), folder); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    if (!folder) {
        ComPtr<ITaskFolder> root;
        HRESULT result = service->GetFolder(Bstr(L"\\").get(), root.put());
        if (FAILED(result)) {
            return comFailure(L"ITaskService::GetFolder", result);
        }
        const Variant inheritedSecurity;
        result = root->CreateFolder(Bstr(kTaskFolderName).get(), inheritedSecurity.get(), folder.put());
        if (FAILED(result)) {
            return comFailure(L"ITaskFolder::CreateFolder", result);
        }
    }
    const Variant user(found.userId);
    const Variant noPassword;
    // The XML carries the task's list too; the argument is the way RegisterTask documents.
    const Variant security(taskSecuritySddl(found.sid));
    ComPtr<IRegisteredTask> task;
    const HRESULT result = folder->RegisterTask(
        Bstr(account).get(), Bstr(taskXml(found.userId, found.sid, program)).get(), TASK_CREATE_OR_UPDATE, user.get(),
        noPassword.get(), TASK_LOGON_INTERACTIVE_TOKEN, security.get(), task.put());
    return SUCCEEDED(result) ? SetupOutcome{} : comFailure(L"ITaskFolder::RegisterTask", result);
}

SetupOutcome deleteProgramTask(const std::wstring& account)
{
    if (!isValidAccountName(account)) {
        return refused(quoted(account) + L" is not an account name.");
    }
    const ComApartment com;
    if (!com.usable()) {
        return comFailure(L"CoInitializeEx", com.result());
    }
    ComPtr<ITaskService> service;
    if (SetupOutcome outcome = connectTaskService(service); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    ComPtr<ITaskFolder> folder;
    if (SetupOutcome outcome = openTaskFolder(service.get(), folder); outcome.exit != SetupExit::Success || !folder) {
        return outcome;
    }
    const HRESULT result = folder->DeleteTask(Bstr(account).get(), 0);
    if (FAILED(result) && !isAbsent(result)) {
        return comFailure(L"ITaskFolder::DeleteTask", result);
    }
    removeEmptyTaskFolder(service.get(), folder.get());
    return {};
}

SetupOutcome runProgramTask(const std::wstring& account)
{
    if (!isValidAccountName(account)) {
        return refused(quoted(account) + L" is not an account name.");
    }
    const ComApartment com;
    if (!com.usable()) {
        return comFailure(L"CoInitializeEx", com.result());
    }
    ComPtr<ITaskService> service;
    if (SetupOutcome outcome = connectTaskService(service); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    const SetupOutcome absent = refused(L"No task " + taskPath(account) + L".");
    ComPtr<ITaskFolder> folder;
    if (SetupOutcome outcome = openTaskFolder(service.get(), folder); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    if (!folder) {
        return absent;
    }
    ComPtr<IRegisteredTask> task;
    HRESULT result = folder->GetTask(Bstr(account).get(), task.put());
    if (isAbsent(result)) {
        return absent;
    }
    if (FAILED(result)) {
        return comFailure(L"ITaskFolder::GetTask", result);
    }
    const Variant noParameters;
    ComPtr<IRunningTask> running;
    result = task->Run(noParameters.get(), running.put());
    return SUCCEEDED(result) ? SetupOutcome{} : comFailure(L"IRegisteredTask::Run", result);
}

SetupOutcome endProgram(const std::wstring& programPath)
{
    const std::wstring program = fullPath(programPath);
    // The program refuses to be ended by anyone while its exit needs the
    // password; an administrator's debug privilege passes over that.
    enablePrivilege(SE_DEBUG_NAME);
    const ULONGLONG deadline = GetTickCount64() + kEndProgramTimeoutMs;
    for (;;) {
        EndPass pass = endRunningCopies(program);
        if (pass.outcome.exit != SetupExit::Success) {
            return pass.outcome;
        }
        if (!pass.found) {
            return {};
        }
        for (const EndingProcess& process : pass.ending) {
            const ULONGLONG now = GetTickCount64();
            const DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (WaitForSingleObject(process.handle.get(), wait) != WAIT_OBJECT_0) {
                return refused(L"Process " + std::to_wstring(process.id) + L" (" + program + L") did not end within " +
                               std::to_wstring(kEndProgramTimeoutMs / 1000) + L" seconds.");
            }
        }
        // Another pass for copies started meanwhile, until none is left or time is up.
        if (GetTickCount64() >= deadline) {
            return refused(L"A copy of " + program + L" was still starting after " +
                           std::to_wstring(kEndProgramTimeoutMs / 1000) + L" seconds.");
        }
    }
}

SetupOutcome removeStartupApproved(const std::wstring& account)
{
    LocalAccount found;
    if (SetupOutcome outcome = findLocalAccount(account, found); outcome.exit != SetupExit::Success) {
        return outcome;
    }
    HKEY rawHive = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_USERS, found.sid.c_str(), 0, KEY_QUERY_VALUE, &rawHive);
    if (status == ERROR_FILE_NOT_FOUND) {
        return {SetupExit::Success,
                L"The registry of " + quoted(account) + L" is not loaded (not signed in); nothing removed."};
    }
    if (status != ERROR_SUCCESS) {
        return systemFailure(L"RegOpenKeyExW(HKEY_USERS)", static_cast<DWORD>(status));
    }
    const RegistryKey hive(rawHive);
    HKEY rawKey = nullptr;
    status = RegOpenKeyExW(hive.get(), kStartupApprovedKey, 0, KEY_SET_VALUE, &rawKey);
    if (status == ERROR_FILE_NOT_FOUND) {
        return {};
    }
    if (status != ERROR_SUCCESS) {
        return systemFailure(L"RegOpenKeyExW(StartupApproved)", static_cast<DWORD>(status));
    }
    const RegistryKey key(rawKey);
    status = RegDeleteValueW(key.get(), kStartupApprovedValue);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        return systemFailure(L"RegDeleteValueW", static_cast<DWORD>(status));
    }
    return {};
}
