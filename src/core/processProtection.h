// While the exit password is required, the program's own process refuses every
// account, its owner included, all but what a viewer needs: no terminate, no
// memory writes, no new threads, no rewriting of its access list.
#pragma once

// Everyone and OWNER RIGHTS may query and wait on the process, nothing more.
// The OWNER RIGHTS entry takes away the owner's implicit READ_CONTROL and WRITE_DAC.
inline constexpr wchar_t kProtectedProcessSddl[] = L"D:P(A;;0x101000;;;WD)(A;;0x101000;;;OW)";

// Applies the protected access list (true) or puts back the one the process
// started with (false). False when the system refused.
bool protectProcessBySystem(bool protect);

using ProtectProcessFunction = bool (*)(bool protect);
// The tracker's way in; unit tests install their own (nullptr: the system's).
void setProtectProcessFunction(ProtectProcessFunction function);
bool protectProcess(bool protect);
