// The access lists the process and its threads wear while the exit password is required.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

#include "base/scopedHandles.h"
#include "core/processProtection.h"
#include "realWindows.h"

namespace {

using Handle = Owned<HANDLE, scoped_detail::closeFile>;

std::wstring sidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return L"?";
    }
    std::wstring result = text;
    LocalFree(text);
    return result;
}

struct ListCase {
    const char* object;
    const wchar_t* sddl;
    ACCESS_MASK granted;
    ACCESS_MASK neverGranted;
};

const ListCase kLists[] = {
    {"process", kProtectedProcessSddl, PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
     PROCESS_TERMINATE | PROCESS_VM_WRITE | PROCESS_VM_OPERATION | PROCESS_CREATE_THREAD | WRITE_DAC | WRITE_OWNER |
         READ_CONTROL},
    {"thread", kProtectedThreadSddl, THREAD_QUERY_LIMITED_INFORMATION | SYNCHRONIZE,
     THREAD_SUSPEND_RESUME | THREAD_TERMINATE | THREAD_SET_CONTEXT | THREAD_GET_CONTEXT | THREAD_SET_INFORMATION |
         THREAD_SET_LIMITED_INFORMATION | THREAD_IMPERSONATE | THREAD_DIRECT_IMPERSONATION | WRITE_DAC | WRITE_OWNER |
         READ_CONTROL},
};

TEST(ProcessProtection, EachListGrantsEveryoneAndTheOwnerOnlyQueryAndSynchronize)
{
    for (const ListCase& list : kLists) {
        SCOPED_TRACE(list.object);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(
            ConvertStringSecurityDescriptorToSecurityDescriptorW(list.sddl, SDDL_REVISION_1, &descriptor, nullptr));
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
        EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "nothing inherited";
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
        ASSERT_TRUE(present);
        ASSERT_NE(dacl, nullptr) << "a null list would grant everything";
        ASSERT_EQ(dacl->AceCount, 2);

        const wchar_t* expectedSids[] = {L"S-1-1-0", L"S-1-3-4"};  // Everyone, OWNER RIGHTS
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            void* entry = nullptr;
            ASSERT_TRUE(GetAce(dacl, i, &entry));
            const auto* header = static_cast<const ACE_HEADER*>(entry);
            ASSERT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE);
            EXPECT_EQ(header->AceFlags, 0);
            const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            EXPECT_EQ(allowed->Mask, list.granted);
            EXPECT_EQ(allowed->Mask & list.neverGranted, 0u);
            EXPECT_EQ(sidText(const_cast<DWORD*>(&allowed->SidStart)), expectedSids[i]);
        }
        LocalFree(descriptor);
    }
}

// The object's access list as SDDL. A thread Wine starts has no descriptor at
// all, and the only way to write "no list" back is a null list: both grant
// everything, so both read the same here.
std::wstring daclText(HANDLE object)
{
    DWORD needed = 0;
    GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    if (needed == 0 ||
        !GetKernelObjectSecurity(object, DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
        return L"?";
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted)) {
        return L"?";
    }
    if (!present || dacl == nullptr) {
        return L"(no list: all access)";
    }
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"?";
    }
    std::wstring result = text;
    LocalFree(text);
    return result;
}

std::vector<DWORD> ownThreadIds()
{
    std::vector<DWORD> ids;
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ids.push_back(entry.th32ThreadID);
        }
    }
    return ids;
}

// What another part of this program (or, as the e2e tests show, another program) gets.
bool canOpenThread(DWORD id, DWORD access)
{
    return static_cast<bool>(Handle(OpenThread(access, FALSE, id)));
}

// A thread that waits until told to end. Its handle, from CreateThread, keeps
// full access whatever list the thread wears later.
class Worker {
public:
    Worker()
        : finish_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          thread_(CreateThread(nullptr, 0, &Worker::run, finish_.get(), 0, &id_))
    {
    }
    ~Worker() { end(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    bool started() const { return static_cast<bool>(thread_); }
    DWORD id() const { return id_; }
    HANDLE handle() const { return thread_.get(); }
    // Returns once the thread has ended; the handle stays open.
    void end()
    {
        SetEvent(finish_.get());
        if (thread_) {
            WaitForSingleObject(thread_.get(), INFINITE);
        }
    }

private:
    static DWORD WINAPI run(void* finish)
    {
        WaitForSingleObject(static_cast<HANDLE>(finish), INFINITE);
        return 0;
    }

    Handle finish_;
    DWORD id_ = 0;
    Handle thread_;
};

// No test leaves this process protected, whatever assertion stops it.
struct ReleasedAtEnd {
    ~ReleasedAtEnd() { protectProcessBySystem(false); }
};

TEST(ProcessProtection, TheProcessAndEveryThreadWearTheListsAndGetTheirOwnBack)
{
    Worker worker;
    ASSERT_TRUE(worker.started());
    const std::wstring processOriginal = daclText(GetCurrentProcess());
    ASSERT_NE(processOriginal, L"?");
    struct Seen {
        DWORD id;
        Handle handle;  // opened before the change: Windows refuses READ_CONTROL afterwards
        std::wstring original;
    };
    std::vector<Seen> threads;
    for (const DWORD id : ownThreadIds()) {
        Handle handle(OpenThread(READ_CONTROL | SYNCHRONIZE, FALSE, id));
        ASSERT_TRUE(handle) << id;
        std::wstring original = daclText(handle.get());
        ASSERT_NE(original, L"?");
        ASSERT_NE(original, kProtectedThreadSddl);
        ASSERT_TRUE(canOpenThread(id, THREAD_SUSPEND_RESUME)) << "not refused before";
        threads.push_back({id, std::move(handle), std::move(original)});
    }
    ASSERT_GE(threads.size(), 2u) << "this thread and the worker";

    ReleasedAtEnd released;
    ASSERT_TRUE(protectProcessBySystem(true));
    EXPECT_EQ(daclText(GetCurrentProcess()), kProtectedProcessSddl);
    for (const Seen& thread : threads) {
        SCOPED_TRACE(thread.id);
        EXPECT_EQ(daclText(thread.handle.get()), kProtectedThreadSddl);
        EXPECT_FALSE(canOpenThread(thread.id, THREAD_SUSPEND_RESUME));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_TRUE(canOpenThread(thread.id, THREAD_QUERY_LIMITED_INFORMATION | SYNCHRONIZE));
    }
    EXPECT_EQ(protectedThreadCount(), threads.size());
    ASSERT_TRUE(protectProcessBySystem(true)) << "again, with nothing new";
    EXPECT_EQ(protectedThreadCount(), threads.size());

    ASSERT_TRUE(protectProcessBySystem(false));
    EXPECT_EQ(protectedThreadCount(), 0u);
    EXPECT_EQ(daclText(GetCurrentProcess()), processOriginal);
    for (const Seen& thread : threads) {
        SCOPED_TRACE(thread.id);
        EXPECT_EQ(daclText(thread.handle.get()), thread.original);
        EXPECT_TRUE(canOpenThread(thread.id, THREAD_SUSPEND_RESUME));
    }
    EXPECT_TRUE(protectProcessBySystem(false)) << "released twice";
}

// The token's default list as SDDL, as threads and other objects made without
// a list of their own receive it.
std::wstring tokenDefaultDaclText()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return L"?";
    }
    DWORD needed = 0;
    GetTokenInformation(token, TokenDefaultDacl, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    const bool read = needed != 0 && GetTokenInformation(token, TokenDefaultDacl, buffer.data(), needed, &needed);
    CloseHandle(token);
    if (!read) {
        return L"?";
    }
    const auto* value = reinterpret_cast<const TOKEN_DEFAULT_DACL*>(buffer.data());
    SECURITY_DESCRIPTOR descriptor = {};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, value->DefaultDacl, FALSE);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr)) {
        return L"?";
    }
    std::wstring result = text;
    LocalFree(text);
    return result;
}

// Threads are born protected: the token's default list is the thread list
// while protected, and its own again after. Where the system ignores that
// default for threads (Wine), each later call protects them instead.
TEST(ProcessProtection, AThreadStartedWhileProtectedIsBornWithTheListOrGetsItAtTheNextCall)
{
    const std::wstring defaultBefore = tokenDefaultDaclText();
    ASSERT_NE(defaultBefore, L"?");
    ReleasedAtEnd released;
    ASSERT_TRUE(protectProcessBySystem(true));
    // The same entries as the thread list; the default carries no "protected" mark.
    std::wstring expectedDefault = kProtectedThreadSddl;
    expectedDefault.replace(0, 3, L"D:");
    EXPECT_EQ(tokenDefaultDaclText(), expectedDefault);
    const size_t before = protectedThreadCount();
    ASSERT_GE(before, 1u);

    Worker late;
    ASSERT_TRUE(late.started());
    const std::wstring original = daclText(late.handle());
    // Until a thread born while protected was looked at, the pass goes on.
    EXPECT_TRUE(laterThreadsNeedAPass());
    measureThreadBirth(late.id());
    EXPECT_EQ(laterThreadsNeedAPass(), canOpenThread(late.id(), THREAD_SUSPEND_RESUME));
    if (laterThreadsNeedAPass()) {
        EXPECT_TRUE(canOpenThread(late.id(), THREAD_SUSPEND_RESUME)) << "the pass was not needed";
        ASSERT_TRUE(protectProcessBySystem(true));
        EXPECT_EQ(protectedThreadCount(), before + 1);
        EXPECT_EQ(daclText(late.handle()), kProtectedThreadSddl);
    }
    EXPECT_FALSE(canOpenThread(late.id(), THREAD_SUSPEND_RESUME));

    ASSERT_TRUE(protectProcessBySystem(false));
    EXPECT_EQ(tokenDefaultDaclText(), defaultBefore);
    if (laterThreadsNeedAPass()) {
        EXPECT_EQ(daclText(late.handle()), original);
        EXPECT_TRUE(canOpenThread(late.id(), THREAD_SUSPEND_RESUME));
    }
}

// A kept handle of an ended thread would pin it for the rest of the day.
TEST(ProcessProtection, AThreadThatEndedIsForgottenByTheNextCallEitherWay)
{
    ReleasedAtEnd released;
    Worker first;
    Worker second;
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(second.started());
    ASSERT_TRUE(protectProcessBySystem(true));
    const size_t protectedBefore = protectedThreadCount();
    ASSERT_GE(protectedBefore, 3u);

    first.end();  // its own handle stays open here
    ASSERT_TRUE(protectProcessBySystem(true));
    EXPECT_EQ(protectedThreadCount(), protectedBefore - 1);

    second.end();
    EXPECT_TRUE(protectProcessBySystem(false)) << "an ended thread needs no list back";
    EXPECT_EQ(protectedThreadCount(), 0u);
}

// The system's answers to OpenThread, with one thread answered as Windows
// answers for a thread born with the protected list: refused.
struct ThreadRefusal {
    DWORD threadId = 0;
    DWORD error = ERROR_ACCESS_DENIED;  // to the open for the list
    bool measureRefused = true;  // the measure's open too, not only the list's
    int opens = 0;
};
ThreadRefusal refusal;

HANDLE WINAPI refusingOpenThread(DWORD access, BOOL inherit, DWORD id)
{
    ++refusal.opens;
    const bool forTheList = (access & WRITE_DAC) != 0;
    if (id == refusal.threadId && (forTheList || refusal.measureRefused)) {
        // The measure's refusal is the one Windows gives; the list's is the case's.
        SetLastError(forTheList ? refusal.error : ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return OpenThread(access, inherit, id);
}

// The seam, the measure and the protection back as they were, whatever stops a test.
struct SeamRestored {
    ~SeamRestored()
    {
        protectProcessBySystem(false);
        setOpenThreadFunction(nullptr);
        forgetThreadBirth();
        refusal = {};
    }
};

// Where threads are born protected, a thread started while the default list
// is the protective one refuses the program its reopening: that is the
// protection in force, not a refusal of it. Any other answer is still one.
TEST(ProcessProtection, AThreadRefusedAsBornProtectedCountsAsProtectedOnlyThere)
{
    const struct {
        const char* name;
        DWORD error;
        bool measureRefused;  // the measure saw the thread born protected
        bool protectedInForce;
    } cases[] = {
        {"access denied, born protected", ERROR_ACCESS_DENIED, true, true},
        {"another error, born protected", ERROR_NOT_ENOUGH_MEMORY, true, false},
        {"access denied, born open", ERROR_ACCESS_DENIED, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SeamRestored restored;
        forgetThreadBirth();
        setOpenThreadFunction(refusingOpenThread);
        ASSERT_TRUE(protectProcessBySystem(true));
        Worker late;
        ASSERT_TRUE(late.started());
        refusal.threadId = late.id();
        refusal.error = c.error;
        refusal.measureRefused = c.measureRefused;
        measureThreadBirth(late.id());
        EXPECT_EQ(laterThreadsNeedAPass(), !c.measureRefused);
        EXPECT_EQ(protectProcessBySystem(true), c.protectedInForce);
        EXPECT_EQ(protectProcessBySystem(true), c.protectedInForce) << "asked again";
        late.end();
    }
}

// Windows gives a thread the token's default list at its birth; Wine does not.
TEST(ProcessProtection, AThreadBornProtectedCountsAsProtected_WindowsOnly)
{
    SKIP_UNLESS_REAL_WINDOWS("Wine gives new threads no access list from the token's default");
    SeamRestored restored;
    forgetThreadBirth();
    ASSERT_TRUE(protectProcessBySystem(true));
    Worker late;
    ASSERT_TRUE(late.started());
    measureThreadBirth(late.id());
    EXPECT_FALSE(laterThreadsNeedAPass()) << "the thread was born open";
    EXPECT_FALSE(canOpenThread(late.id(), THREAD_SUSPEND_RESUME));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(protectProcessBySystem(true)) << "the thread's refusal taken for a failure";
    late.end();
}

}  // namespace
