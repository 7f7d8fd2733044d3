#include "core/processProtection.h"

#include <windows.h>

#include <sddl.h>
#include <tlhelp32.h>

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

enum class ThreadOutcome { Protected, Gone, Refused };

ThreadOutcome protectThread(DWORD id, LocalDescriptor& protectedList)
{
    ThreadHandle handle(OpenThread(READ_CONTROL | WRITE_DAC | SYNCHRONIZE, FALSE, id));
    if (!handle) {
        // Ended between the snapshot and now.
        return GetLastError() == ERROR_INVALID_PARAMETER ? ThreadOutcome::Gone : ThreadOutcome::Refused;
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

// Runs at every tick while protection is wanted: when no thread came or went,
// it costs one snapshot and no change to any list.
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
        // The threads even when the process was refused: each holds what it can.
        const bool threadsProtected = protectOwnThreads();
        return processProtected && threadsProtected;
    }
    const bool processReleased = releaseOwnProcess();
    const bool threadsReleased = releaseOwnThreads();
    return processReleased && threadsReleased;
}

std::size_t protectedThreadCount()
{
    return protectedThreads.size();
}

void setProtectProcessFunction(ProtectProcessFunction function)
{
    activeFunction = function != nullptr ? function : protectProcessBySystem;
}

bool protectProcess(bool protect)
{
    return activeFunction(protect);
}
