#include "core/processProtection.h"

#include <windows.h>

#include <sddl.h>
#include <tlhelp32.h>

#include <atomic>
#include <map>
#include <utility>
#include <vector>

#include "base/scopedHandles.h"

namespace {

using ThreadHandle = Owned<HANDLE, scoped_detail::closeFile>;

// A thread that wears the protected list, and the list it had before.
struct ProtectedThread {
    // Opened before the change and kept: once the thread wears the protected
    // list, Windows refuses even this process a new handle that may write it
    // back (OWNER RIGHTS takes the owner's implicit WRITE_DAC away).
    ThreadHandle handle;
    std::vector<BYTE> originalDescriptor;
};

ProtectProcessFunction activeFunction = protectProcessBySystem;
OpenThreadFunction openThreadFunction = OpenThread;
// The access list the process started with, taken before the first change.
std::vector<BYTE> originalDescriptor;
bool isProtected = false;
// By thread id. The handle held here keeps the id from going to a new thread
// until the entry is dropped.
std::map<DWORD, ProtectedThread> protectedThreads;

// A descriptor built from SDDL on first use and freed with its scope.
class LocalDescriptor {
public:
    LocalDescriptor() = default;
    ~LocalDescriptor() { LocalFree(descriptor_); }
    LocalDescriptor(const LocalDescriptor&) = delete;
    LocalDescriptor& operator=(const LocalDescriptor&) = delete;

    bool convertOnce(const wchar_t* sddl)
    {
        return descriptor_ != nullptr ||
               ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr);
    }
    PSECURITY_DESCRIPTOR get() const { return descriptor_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

std::vector<BYTE> daclOf(HANDLE object)
{
    DWORD needed = 0;
    GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) {
        return {};
    }
    std::vector<BYTE> descriptor(needed);
    if (!GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
        return {};
    }
    return descriptor;
}

bool protectOwnProcess()
{
    if (isProtected) {
        return true;
    }
    if (originalDescriptor.empty()) {
        originalDescriptor = daclOf(GetCurrentProcess());
        if (originalDescriptor.empty()) {
            return false;
        }
    }
    LocalDescriptor descriptor;
    if (!descriptor.convertOnce(kProtectedProcessSddl)) {
        return false;
    }
    isProtected = SetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, descriptor.get()) != FALSE;
    return isProtected;
}

bool releaseOwnProcess()
{
    if (!isProtected) {
        return true;
    }
    // The pseudo handle carries full access whatever the access list says.
    if (!SetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, originalDescriptor.data())) {
        return false;
    }
    isProtected = false;
    return true;
}

// The process token's default access list, kept as it was before the first change.
std::vector<BYTE> originalDefaultDacl;
// Atomic: the window thread measures while the clock's thread may protect.
std::atomic<bool> defaultDaclProtected{false};
// Measured once, on a thread born while protected (measureThreadBirth).
std::atomic<bool> threadsBornChecked{false};
std::atomic<bool> threadsBornProtected{false};

bool setTokenDefaultDacl(PACL dacl)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_DEFAULT, &token)) {
        return false;
    }
    TOKEN_DEFAULT_DACL value = {dacl};
    const bool set = SetTokenInformation(token, TokenDefaultDacl, &value, sizeof value) != FALSE;
    CloseHandle(token);
    return set;
}

// Threads the system or the program starts later are made with the token's
// default list: with the protected one there, they are born protected. (So is
// any other object made without a list of its own; files take theirs from the
// folder, which always has one to give on Windows.)
bool protectDefaultDacl(LocalDescriptor& protectedList)
{
    if (defaultDaclProtected) {
        return true;
    }
    if (originalDefaultDacl.empty()) {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            return false;
        }
        DWORD needed = 0;
        GetTokenInformation(token, TokenDefaultDacl, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed);
        const bool read = needed >= sizeof(TOKEN_DEFAULT_DACL) &&
                          GetTokenInformation(token, TokenDefaultDacl, buffer.data(), needed, &needed);
        CloseHandle(token);
        if (!read) {
            return false;
        }
        originalDefaultDacl = std::move(buffer);
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!protectedList.convertOnce(kProtectedThreadSddl) ||
        !GetSecurityDescriptorDacl(protectedList.get(), &present, &dacl, &defaulted) || !present) {
        return false;
    }
    defaultDaclProtected = setTokenDefaultDacl(dacl);
    return defaultDaclProtected;
}

bool releaseDefaultDacl()
{
    if (!defaultDaclProtected) {
        return true;
    }
    // The buffer holds the TOKEN_DEFAULT_DACL whose pointer points into the buffer itself.
    const auto* original = reinterpret_cast<const TOKEN_DEFAULT_DACL*>(originalDefaultDacl.data());
    if (!setTokenDefaultDacl(original->DefaultDacl)) {
        return false;
    }
    defaultDaclProtected = false;
    return true;
}

bool hasEnded(HANDLE thread)
{
    return WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
}

// The ids of this process's threads now; false when the system gave no snapshot.
bool listOwnThreads(std::vector<DWORD>& ids)
{
    // Toolhelp reports failure as INVALID_HANDLE_VALUE, as CreateFileW does.
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        return false;
    }
    const DWORD processId = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == processId) {
            ids.push_back(entry.th32ThreadID);
        }
    }
    return true;
}

enum class ThreadOutcome { Protected, BornProtected, Gone, Refused };

ThreadOutcome protectThread(DWORD id, LocalDescriptor& protectedList)
{
    ThreadHandle handle(openThreadFunction(READ_CONTROL | WRITE_DAC | SYNCHRONIZE, FALSE, id));
    if (!handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_PARAMETER) {
            return ThreadOutcome::Gone;  // ended between the snapshot and now
        }
        // Where threads are born protected, one started while the default
        // list was the protective one refuses this process its list: that
        // refusal is the protection at work. Nothing to keep for the release,
        // which cannot reach it either.
        if (error == ERROR_ACCESS_DENIED && defaultDaclProtected && threadsBornChecked && threadsBornProtected) {
            return ThreadOutcome::BornProtected;
        }
        return ThreadOutcome::Refused;
    }
    if (hasEnded(handle.get())) {
        return ThreadOutcome::Gone;
    }
    std::vector<BYTE> original = daclOf(handle.get());
    if (original.empty() || !protectedList.convertOnce(kProtectedThreadSddl) ||
        !SetKernelObjectSecurity(handle.get(), DACL_SECURITY_INFORMATION, protectedList.get())) {
        return ThreadOutcome::Refused;
    }
    protectedThreads.emplace(id, ProtectedThread{std::move(handle), std::move(original)});
    return ThreadOutcome::Protected;
}

// The threads that run when protection begins; those started later are born
// with it (protectDefaultDacl). Again after a refusal, for what was refused.
bool protectOwnThreads()
{
    std::vector<DWORD> running;
    if (!listOwnThreads(running)) {
        return false;
    }
    // Entries of threads that are gone are dropped, which closes their handles.
    // An ended thread may still be listed while some handle keeps it, ours included.
    std::map<DWORD, ProtectedThread> stillRunning;
    for (const DWORD id : running) {
        auto found = protectedThreads.find(id);
        if (found != protectedThreads.end() && !hasEnded(found->second.handle.get())) {
            stillRunning.insert(protectedThreads.extract(found));
        }
    }
    protectedThreads.swap(stillRunning);

    bool allProtected = true;
    LocalDescriptor protectedList;  // converted only when a thread needs it
    for (const DWORD id : running) {
        if (protectedThreads.contains(id)) {
            continue;
        }
        // A refused thread is left unrecorded, so the next call tries it again.
        if (protectThread(id, protectedList) == ThreadOutcome::Refused) {
            allProtected = false;
        }
    }
    return allProtected;
}

bool releaseOwnThreads()
{
    bool allReleased = true;
    for (auto entry = protectedThreads.begin(); entry != protectedThreads.end();) {
        ProtectedThread& thread = entry->second;
        // Through the handle kept from before the change: a new one would be refused.
        if (hasEnded(thread.handle.get()) ||
            SetKernelObjectSecurity(thread.handle.get(), DACL_SECURITY_INFORMATION,
                                    thread.originalDescriptor.data())) {
            entry = protectedThreads.erase(entry);
        } else {
            allReleased = false;  // kept for the next call
            ++entry;
        }
    }
    return allReleased;
}

}  // namespace

bool protectProcessBySystem(bool protect)
{
    if (protect) {
        const bool processProtected = protectOwnProcess();
        // The default first, so no thread starts unprotected between the pass and it.
        LocalDescriptor protectedList;
        const bool defaultProtected = protectDefaultDacl(protectedList);
        // The threads even when the process was refused: each holds what it can.
        const bool threadsProtected = protectOwnThreads();
        return processProtected && defaultProtected && threadsProtected;
    }
    const bool processReleased = releaseOwnProcess();
    const bool defaultReleased = releaseDefaultDacl();
    // Threads born protected meanwhile keep their list: this process cannot
    // open them to change it, and once the process may be ended it guards nothing.
    const bool threadsReleased = releaseOwnThreads();
    return processReleased && defaultReleased && threadsReleased;
}

// Windows gives a new thread the token's default list; Wine gives it none. A
// thread of the program's own, started while the default list is the
// protected one, tells which: until one did, the pass goes on.
void measureThreadBirth(DWORD threadId)
{
    if (!defaultDaclProtected || threadsBornChecked) {
        return;
    }
    Owned<HANDLE, scoped_detail::closeFile> thread(openThreadFunction(THREAD_SUSPEND_RESUME, FALSE, threadId));
    threadsBornProtected = !thread && GetLastError() == ERROR_ACCESS_DENIED;
    threadsBornChecked = true;
}

void forgetThreadBirth()
{
    threadsBornChecked = false;
    threadsBornProtected = false;
}

bool laterThreadsNeedAPass()
{
    return !threadsBornChecked || !threadsBornProtected;
}

std::size_t protectedThreadCount()
{
    return protectedThreads.size();
}

void setOpenThreadFunction(OpenThreadFunction function)
{
    openThreadFunction = function != nullptr ? function : OpenThread;
}

void setProtectProcessFunction(ProtectProcessFunction function)
{
    activeFunction = function != nullptr ? function : protectProcessBySystem;
}

bool protectProcess(bool protect)
{
    return activeFunction(protect);
}
