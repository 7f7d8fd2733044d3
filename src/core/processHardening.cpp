#include "core/processHardening.h"

namespace {

BOOL systemSetDefaultDllDirectories(DWORD directoryFlags)
{
    return SetDefaultDllDirectories(directoryFlags);
}

BOOL systemSetMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T length)
{
    return SetProcessMitigationPolicy(policy, buffer, length);
}

constexpr HardeningCalls kSystemCalls = {systemSetDefaultDllDirectories, systemSetMitigationPolicy};

const HardeningCalls* activeCalls = &kSystemCalls;
bool refused = false;

template <typename Policy>
bool askPolicy(PROCESS_MITIGATION_POLICY which, Policy policy)
{
    return activeCalls->setMitigationPolicy(which, &policy, sizeof policy) != FALSE;
}

}  // namespace

const HardeningCalls& systemHardeningCalls()
{
    return kSystemCalls;
}

void setHardeningCalls(const HardeningCalls* calls)
{
    activeCalls = calls != nullptr ? calls : &kSystemCalls;
}

// Nothing more is asked: code generated at run time would stop Direct2D's
// software renderer, and a signed-images-only rule could refuse the IMEs and
// font drivers a user relies on; neither can be checked here.
bool hardenProcess()
{
    // The program loads its few system DLLs by name at first use.
    bool accepted = activeCalls->setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;

    // Another program's window hook would otherwise bring its DLL into this process.
    PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extensionPoints = {};
    extensionPoints.DisableExtensionPoints = 1;
    accepted = askPolicy(ProcessExtensionPointDisablePolicy, extensionPoints) && accepted;

    PROCESS_MITIGATION_IMAGE_LOAD_POLICY imageLoad = {};
    imageLoad.NoRemoteImages = 1;
    imageLoad.NoLowMandatoryLabelImages = 1;
    imageLoad.PreferSystem32Images = 1;
    accepted = askPolicy(ProcessImageLoadPolicy, imageLoad) && accepted;

    refused = !accepted;
    return accepted;
}

bool processHardeningRefused()
{
    return refused;
}
