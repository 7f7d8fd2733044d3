// The access list the process wears while the exit password is required.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <string>
#include <vector>

#include "core/processProtection.h"

namespace {

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

TEST(ProcessProtection, DescriptorGrantsEveryoneAndTheOwnerOnlyQueryAndSynchronize)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedProcessSddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
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
        EXPECT_EQ(allowed->Mask, static_cast<ACCESS_MASK>(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE));
        EXPECT_EQ(allowed->Mask & (PROCESS_TERMINATE | PROCESS_VM_WRITE | PROCESS_VM_OPERATION |
                                   PROCESS_CREATE_THREAD | WRITE_DAC | WRITE_OWNER | READ_CONTROL),
                  0u);
        EXPECT_EQ(sidText(const_cast<DWORD*>(&allowed->SidStart)), expectedSids[i]);
    }
    LocalFree(descriptor);
}

std::vector<BYTE> processDacl()
{
    DWORD needed = 0;
    GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(needed);
    if (needed == 0 ||
        !GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
        return {};
    }
    return descriptor;
}

std::wstring daclText(std::vector<BYTE> descriptor)
{
    wchar_t* text = nullptr;
    if (descriptor.empty() || !ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                  descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return L"?";
    }
    std::wstring result = text;
    LocalFree(text);
    return result;
}

// On this test process itself: the list goes on and comes off again.
TEST(ProcessProtection, ProtectingAndReleasingThisProcessRestoresItsOwnList)
{
    const std::wstring original = daclText(processDacl());
    ASSERT_NE(original, L"?");
    ASSERT_TRUE(protectProcessBySystem(true));
    EXPECT_EQ(daclText(processDacl()), kProtectedProcessSddl);
    ASSERT_TRUE(protectProcessBySystem(true)) << "a second call changes nothing";
    ASSERT_TRUE(protectProcessBySystem(false));
    EXPECT_EQ(daclText(processDacl()), original);
}

}  // namespace
