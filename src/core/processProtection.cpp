#include "core/processProtection.h"

#include <windows.h>

#include <sddl.h>

#include <vector>

namespace {

ProtectProcessFunction activeFunction = protectProcessBySystem;
// The access list the process started with, taken before the first change.
std::vector<BYTE> originalDescriptor;
bool isProtected = false;

bool captureOriginal()
{
    if (!originalDescriptor.empty()) {
        return true;
    }
    DWORD needed = 0;
    GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) {
        return false;
    }
    std::vector<BYTE> descriptor(needed);
    if (!GetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                                 &needed)) {
        return false;
    }
    originalDescriptor = std::move(descriptor);
    return true;
}

}  // namespace

bool protectProcessBySystem(bool protect)
{
    if (protect == isProtected) {
        return true;
    }
    if (protect) {
        if (!captureOriginal()) {
            return false;
        }
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedProcessSddl, SDDL_REVISION_1,
                                                                  &descriptor, nullptr)) {
            return false;
        }
        const BOOL applied = SetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, descriptor);
        LocalFree(descriptor);
        isProtected = applied != FALSE;
        return isProtected;
    }
    // The pseudo handle carries full access whatever the access list says.
    if (!SetKernelObjectSecurity(GetCurrentProcess(), DACL_SECURITY_INFORMATION, originalDescriptor.data())) {
        return false;
    }
    isProtected = false;
    return true;
}

void setProtectProcessFunction(ProtectProcessFunction function)
{
    activeFunction = function != nullptr ? function : protectProcessBySystem;
}

bool protectProcess(bool protect)
{
    return activeFunction(protect);
}
