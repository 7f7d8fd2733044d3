// What the program asks of Windows before any window or file, through the
// seam: Wine accepts these and enforces none, so the asking is what is tested.
// What Windows keeps of them: ProtectionE2E.TheRunningProgramKeepsThePoliciesItAskedFor_WindowsOnly.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "core/processHardening.h"

namespace {

struct Asked {
    std::string what;
    DWORD flags;
};

std::vector<Asked> asked;
// Which call (by its place in the order) Windows refuses; -1: none.
int refusedCall = -1;

BOOL answer()
{
    return static_cast<int>(asked.size()) - 1 == refusedCall ? FALSE : TRUE;
}

BOOL fakeSetDefaultDllDirectories(DWORD flags)
{
    asked.push_back({"default DLL directories", flags});
    return answer();
}

BOOL fakeSetMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T length)
{
    switch (policy) {
    case ProcessExtensionPointDisablePolicy:
        EXPECT_EQ(length, sizeof(PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY));
        asked.push_back({"extension points", static_cast<PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY*>(buffer)->Flags});
        break;
    case ProcessImageLoadPolicy:
        EXPECT_EQ(length, sizeof(PROCESS_MITIGATION_IMAGE_LOAD_POLICY));
        asked.push_back({"image load", static_cast<PROCESS_MITIGATION_IMAGE_LOAD_POLICY*>(buffer)->Flags});
        break;
    default:
        asked.push_back({"policy " + std::to_string(policy), 0});
        break;
    }
    return answer();
}

constexpr HardeningCalls kFakeCalls = {fakeSetDefaultDllDirectories, fakeSetMitigationPolicy};

class ProcessHardeningTest : public testing::Test {
protected:
    void SetUp() override
    {
        asked.clear();
        refusedCall = -1;
        setHardeningCalls(&kFakeCalls);
    }
    void TearDown() override { setHardeningCalls(nullptr); }
};

PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extensionPointsOff()
{
    PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY policy = {};
    policy.DisableExtensionPoints = 1;
    return policy;
}

PROCESS_MITIGATION_IMAGE_LOAD_POLICY imagesFromSafePlacesOnly()
{
    PROCESS_MITIGATION_IMAGE_LOAD_POLICY policy = {};
    policy.NoRemoteImages = 1;
    policy.NoLowMandatoryLabelImages = 1;
    policy.PreferSystem32Images = 1;
    return policy;
}

TEST_F(ProcessHardeningTest, EachProtectionIsAskedInOrderAndARefusedOneIsReported)
{
    // None refused, then each in turn: every one is still asked, in the same order.
    for (int refused = -1; refused < 3; ++refused) {
        SCOPED_TRACE(refused);
        asked.clear();
        refusedCall = refused;
        EXPECT_EQ(hardenProcess(), refused < 0);
        EXPECT_EQ(processHardeningRefused(), refused >= 0);
        ASSERT_EQ(asked.size(), 3u);
        EXPECT_EQ(asked[0].what, "default DLL directories");
        EXPECT_EQ(asked[0].flags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
        EXPECT_EQ(asked[1].what, "extension points");
        EXPECT_EQ(asked[1].flags, extensionPointsOff().Flags);
        EXPECT_EQ(asked[2].what, "image load");
        EXPECT_EQ(asked[2].flags, imagesFromSafePlacesOnly().Flags);
    }
}

// Under Wine the system's calls accept and enforce nothing; what matters is
// that the real calls take these arguments without complaint.
TEST_F(ProcessHardeningTest, TheSystemAcceptsWhatIsAsked)
{
    setHardeningCalls(nullptr);
    EXPECT_TRUE(hardenProcess());
    EXPECT_FALSE(processHardeningRefused());
}

}  // namespace
