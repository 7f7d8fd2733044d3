// One program per pair of files: the instance name of a directory and the lock it names.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "app/singleInstance.h"

namespace {

std::wstring withCase(std::wstring text, bool upper)
{
    if (upper) {
        CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    } else {
        CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    }
    return text;
}

class SingleInstanceTest : public testing::Test {
protected:
    void SetUp() override
    {
        root_ = std::filesystem::temp_directory_path() /
                (L"hourwarden-instance-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(GetTickCount64()));
        std::filesystem::create_directories(root_ / L"First");
        std::filesystem::create_directories(root_ / L"Second");
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::wstring first() const { return (root_ / L"First").wstring(); }
    std::wstring second() const { return (root_ / L"Second").wstring(); }

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

TEST_F(SingleInstanceTest, OnlyTheFirstLockOnADirectoryHoldsIt)
{
    {
        const InstanceLock running(first());
        EXPECT_FALSE(running.heldElsewhere());
        const InstanceLock again(withCase(first(), true));
        EXPECT_TRUE(again.heldElsewhere());
        const InstanceLock elsewhere(second());
        EXPECT_FALSE(elsewhere.heldElsewhere());
    }
    // Released with its holder: the next start runs.
    const InstanceLock next(first());
    EXPECT_FALSE(next.heldElsewhere());
}

}  // namespace
