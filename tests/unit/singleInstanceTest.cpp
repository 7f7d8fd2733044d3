// One program per pair of files: the instance name of a directory, the lock it
// names, and what a start decides beside whatever already holds that name.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "app/controlWindow.h"
#include "app/singleInstance.h"
#include "base/scopedHandles.h"
#include "storage/textFiles.h"

namespace {

using Handle = Owned<HANDLE, scoped_detail::closeFile>;

// Stands in for the ten seconds of a real start; long enough to tell a start
// that waited it out from one that ran at once, even on a loaded machine.
constexpr DWORD kShortWaitMs = 2000;
// A holder that ends during the wait ends this long after it took the name.
constexpr DWORD kEndsSoonMs = 300;
constexpr DWORD kForever = INFINITE;
// No test thread is left blocked for longer than this, whatever goes wrong.
constexpr DWORD kThreadLimitMs = 30000;

std::wstring withCase(std::wstring text, bool upper)
{
    if (upper) {
        CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    } else {
        CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    }
    return text;
}

UINT statusRequest()
{
    return RegisterWindowMessageW(kShowStatusRequestName);
}

template <typename Work>
auto onAnotherThread(Work work)
{
    decltype(work()) result{};
    std::thread([&] { result = work(); }).join();
    return result;
}

// A zero wait on the named mutex from a thread that holds nothing: WAIT_TIMEOUT
// while someone owns it. What it takes it gives back.
DWORD zeroWaitFromAnotherThread(const std::wstring& name)
{
    return onAnotherThread([&] {
        Handle mutex(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
        if (!mutex) {
            return static_cast<DWORD>(WAIT_FAILED);
        }
        const DWORD result = WaitForSingleObject(mutex.get(), 0);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            ReleaseMutex(mutex.get());
        }
        return result;
    });
}

// What another program makes under the instance name before the start.
enum class Squat { nothing, ownedMutex, mutexNotTaken, ownedMutexOtherRights, event };

// Another program's hold on the instance name, on a thread of its own that
// lives for `holdMs` after making it (0: ended before the start).
class Squatter {
public:
    Squatter(const std::wstring& name, Squat squat, DWORD holdMs) : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        if (squat == Squat::nothing) {
            return;
        }
        std::promise<void> made;
        std::future<void> ready = made.get_future();
        thread_ = std::thread([this, name, squat, holdMs, made = std::move(made)]() mutable {
            object_.reset(make(name, squat));
            made.set_value();
            if (holdMs != 0) {
                WaitForSingleObject(stop_.get(), holdMs == kForever ? kThreadLimitMs : holdMs);
            }
            // Ends still owning the mutex: abandoned.
        });
        ready.wait();
        if (holdMs == 0) {
            thread_.join();
        }
    }
    ~Squatter()
    {
        SetEvent(stop_.get());
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    Squatter(const Squatter&) = delete;
    Squatter& operator=(const Squatter&) = delete;

    bool made() const { return static_cast<bool>(object_); }

private:
    static HANDLE make(const std::wstring& name, Squat squat)
    {
        switch (squat) {
        case Squat::ownedMutex:
            return CreateMutexW(nullptr, TRUE, name.c_str());
        case Squat::mutexNotTaken:
            return CreateMutexW(nullptr, FALSE, name.c_str());
        case Squat::ownedMutexOtherRights: {
            // Everyone may wait on it and release it, but no one may delete
            // it, so no one opens it whole: what a copy with other rights may
            // leave a start with.
            constexpr wchar_t kWaitAndReleaseOnly[] = L"D:(D;;0x00010000;;;WD)(A;;0x00100001;;;WD)";
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kWaitAndReleaseOnly, SDDL_REVISION_1, &descriptor,
                                                                      nullptr)) {
                return nullptr;
            }
            SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
            HANDLE mutex = CreateMutexW(&attributes, TRUE, name.c_str());
            LocalFree(descriptor);
            return mutex;
        }
        case Squat::event:
            return CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        case Squat::nothing:
            break;
        }
        return nullptr;
    }

    Handle stop_;
    Handle object_;
    std::thread thread_;
};

struct Answerer {
    LRESULT answer = 0;
    std::atomic<int> requests{0};
};

LRESULT CALLBACK answererProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* answerer = reinterpret_cast<Answerer*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (answerer != nullptr && message == statusRequest()) {
        ++answerer->requests;
        return answerer->answer;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A hidden top-level window of the program's control class in this process,
// on a thread of its own, that answers every status request with `answer`.
// With `deafMs`, its thread takes no message for that long after creating it.
class AnswererWindow {
public:
    explicit AnswererWindow(LRESULT answer, DWORD deafMs = 0) : wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        answerer_.answer = answer;
        std::promise<HWND> created;
        std::future<HWND> window = created.get_future();
        thread_ = std::thread([this, deafMs, created = std::move(created)]() mutable {
            HWND window = CreateWindowExW(0, kControlWindowClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                          GetModuleHandleW(nullptr), &answerer_);
            created.set_value(window);
            if (window == nullptr) {
                return;
            }
            if (deafMs != 0) {
                WaitForSingleObject(wake_.get(), deafMs);
            }
            MSG message = {};
            while (GetMessageW(&message, nullptr, 0, 0) > 0) {
                DispatchMessageW(&message);
            }
        });
        window_ = window.get();
    }
    ~AnswererWindow()
    {
        SetEvent(wake_.get());
        if (window_ != nullptr) {
            PostMessageW(window_, WM_CLOSE, 0, 0);
        }
        thread_.join();
    }
    AnswererWindow(const AnswererWindow&) = delete;
    AnswererWindow& operator=(const AnswererWindow&) = delete;

    HWND window() const { return window_; }
    int requests() const { return answerer_.requests; }

private:
    Answerer answerer_;
    Handle wake_;
    std::thread thread_;
    HWND window_ = nullptr;
};

class SingleInstanceTest : public testing::Test {
protected:
    void SetUp() override
    {
        root_ = std::filesystem::temp_directory_path() /
                (L"hourwarden-instance-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(GetTickCount64()));
        std::filesystem::create_directories(root_ / L"First");
        std::filesystem::create_directories(root_ / L"Second");
        // The control window's own tests may have registered the class with the
        // real procedure; these windows only answer.
        UnregisterClassW(kControlWindowClass, GetModuleHandleW(nullptr));
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = answererProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kControlWindowClass;
        ASSERT_NE(RegisterClassExW(&windowClass), 0);
    }
    void TearDown() override
    {
        UnregisterClassW(kControlWindowClass, GetModuleHandleW(nullptr));
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::wstring first() const { return (root_ / L"First").wstring(); }
    std::wstring second() const { return (root_ / L"Second").wstring(); }
    std::wstring freshDirectory(const std::wstring& name) const
    {
        std::filesystem::create_directories(root_ / name);
        return (root_ / name).wstring();
    }

    std::filesystem::path root_;
};

TEST_F(SingleInstanceTest, EverySpellingOfADirectoryNamesOneSessionLocalMutex)
{
    const std::wstring name = instanceMutexName(first());
    ASSERT_EQ(name.rfind(L"Local\\", 0), 0u);
    EXPECT_EQ(name.find(L'\\', 6), std::wstring::npos) << "a backslash past the namespace";
    EXPECT_LE(name.size(), static_cast<size_t>(MAX_PATH));

    EXPECT_EQ(instanceMutexName(withCase(first(), true)), name);
    EXPECT_EQ(instanceMutexName(withCase(first(), false)), name);
    EXPECT_EQ(instanceMutexName(second() + L"\\..\\First"), name);
    EXPECT_NE(instanceMutexName(second()), name);
    EXPECT_NE(instanceMutexName(root_.wstring()), name);

    // A directory that cannot be opened still gets a short name of its own, in one case.
    const std::wstring deep = first() + L"\\" + std::wstring(300, L'd');
    EXPECT_LE(instanceMutexName(deep).size(), static_cast<size_t>(MAX_PATH));
    EXPECT_EQ(instanceMutexName(withCase(deep, true)), instanceMutexName(deep));
    EXPECT_NE(instanceMutexName(deep), name);
}

TEST_F(SingleInstanceTest, OnlyTheFirstLockOnADirectoryOwnsItAndItsEndReleasesIt)
{
    const std::wstring name = instanceMutexName(first());
    Handle observer;
    {
        InstanceLock running(first());
        ASSERT_TRUE(running.owned());
        observer.reset(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
        ASSERT_TRUE(observer);
        // Owning, it runs at once.
        EXPECT_EQ(decideStart(running, first(), statusRequest(), kShortWaitMs), StartDecision::Run);

        EXPECT_FALSE(onAnotherThread([&] {
            InstanceLock again(withCase(first(), true));
            return again.owned() || again.takeOverIfFree();
        }));
        EXPECT_EQ(zeroWaitFromAnotherThread(name), static_cast<DWORD>(WAIT_TIMEOUT));
        EXPECT_TRUE(onAnotherThread([&] {
            InstanceLock elsewhere(second());
            return elsewhere.owned();
        }));
    }
    // Released, not abandoned, by a holder that is still alive.
    EXPECT_EQ(zeroWaitFromAnotherThread(name), static_cast<DWORD>(WAIT_OBJECT_0));
}

// Whatever holds the instance name, a start runs: at once when the mutex is
// free or its holder gone, after the wait when no genuine copy answers.
TEST_F(SingleInstanceTest, AStartBesideNoGenuineCopyRuns)
{
    const struct {
        const char* name;
        Squat squat;
        DWORD holdMs;
        // A control window of this process, started from the same folder, that takes every request.
        bool windowInThisProcess;
        bool owns;  // the start ends up owning the mutex, without waiting it out
    } cases[] = {
        {"nothing there", Squat::nothing, 0, false, true},
        {"holder ended before the start", Squat::ownedMutex, 0, false, true},
        {"holder ends during the wait", Squat::ownedMutex, kEndsSoonMs, false, true},
        {"made without taking it", Squat::mutexNotTaken, kForever, false, true},
        {"holder lives on", Squat::ownedMutex, kForever, false, false},
        {"holder lives on beside a window of this process", Squat::ownedMutex, kForever, true, false},
        {"holder with other rights ends during the wait", Squat::ownedMutexOtherRights, kEndsSoonMs, false, true},
        {"holder with other rights lives on", Squat::ownedMutexOtherRights, kForever, false, false},
        {"the name taken by an event", Squat::event, kForever, false, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Only the process tells this window from the program's: the folder is the same.
        const std::wstring directory =
            c.windowInThisProcess ? executableDirectory() : freshDirectory(L"Case" + std::to_wstring(++index));
        const std::wstring name = instanceMutexName(directory);
        Squatter squatter(name, c.squat, c.holdMs);
        ASSERT_EQ(squatter.made(), c.squat != Squat::nothing);
        if (c.squat == Squat::ownedMutexOtherRights) {
            Handle whole(CreateMutexW(nullptr, FALSE, name.c_str()));
            ASSERT_FALSE(whole) << "the mutex should refuse full access";
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        }
        std::optional<AnswererWindow> window;
        if (c.windowInThisProcess) {
            window.emplace(kShowStatusRequestAccepted);
            ASSERT_NE(window->window(), nullptr);
        }

        const ULONGLONG started = GetTickCount64();
        std::optional<InstanceLock> lock(std::in_place, directory);
        const StartDecision decision = decideStart(*lock, directory, statusRequest(), kShortWaitMs);
        const ULONGLONG elapsed = GetTickCount64() - started;

        EXPECT_EQ(decision, StartDecision::Run);
        EXPECT_EQ(lock->owned(), c.owns);
        if (c.owns) {
            EXPECT_LT(elapsed, kShortWaitMs);
            EXPECT_EQ(zeroWaitFromAnotherThread(name), static_cast<DWORD>(WAIT_TIMEOUT)) << "not held by the start";
            // Ends with the start, released rather than abandoned.
            const Handle observer(OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
            lock.reset();
            EXPECT_EQ(zeroWaitFromAnotherThread(name), static_cast<DWORD>(WAIT_OBJECT_0));
        } else {
            EXPECT_GE(elapsed, kShortWaitMs);
        }
        if (window) {
            EXPECT_EQ(window->requests(), 0) << "a window of this process was asked";
        }
    }
}

TEST_F(SingleInstanceTest, OnlyTheProgramsOwnAnswerCountsAsTakingTheRequest)
{
    const struct {
        const char* name;
        LRESULT answer;
        bool taken;
    } cases[] = {
        {"the program's answer", kShowStatusRequestAccepted, true},
        {"zero", 0, false},
        {"one", 1, false},
        {"a near miss", kShowStatusRequestAccepted + 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AnswererWindow window(c.answer);
        ASSERT_NE(window.window(), nullptr);
        EXPECT_EQ(askToShowStatus(window.window(), statusRequest()), c.taken);
        EXPECT_EQ(window.requests(), 1);
    }
}

TEST_F(SingleInstanceTest, AWindowThatTakesNoMessagesCostsOneTimeOut)
{
    constexpr DWORD kTimeoutMs = 500;
    AnswererWindow deaf(kShowStatusRequestAccepted, kThreadLimitMs);
    ASSERT_NE(deaf.window(), nullptr);
    const ULONGLONG started = GetTickCount64();
    EXPECT_FALSE(askToShowStatus(deaf.window(), statusRequest(), kTimeoutMs));
    const ULONGLONG elapsed = GetTickCount64() - started;
    EXPECT_GE(elapsed + 20, kTimeoutMs);  // the tick counter's grain
    EXPECT_LT(elapsed, 10000u);
}

}  // namespace
