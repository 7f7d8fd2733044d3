// While the exit password is required, the program's own process and each of
// its threads refuse every account, its owner included, all but what a viewer
// needs: no terminate, no memory writes, no new threads, no suspending or
// redirecting a thread, no rewriting of an access list.
#pragma once

#include <windows.h>

#include <cstddef>

// Everyone and OWNER RIGHTS may query and wait on the process, nothing more.
// The OWNER RIGHTS entry takes away the owner's implicit READ_CONTROL and WRITE_DAC.
inline constexpr wchar_t kProtectedProcessSddl[] = L"D:P(A;;0x101000;;;WD)(A;;0x101000;;;OW)";
// The same for each thread: limited query and wait only.
inline constexpr wchar_t kProtectedThreadSddl[] = L"D:P(A;;0x100800;;;WD)(A;;0x100800;;;OW)";

// Applies the protected access lists (true) or puts back the ones the process
// and its threads had before (false). The process token's default list carries
// the protected thread list meanwhile, so threads started later are born with
// it. Called again, it retries what the system refused. True only when
// everything carries the wanted list.
bool protectProcessBySystem(bool protect);
// Tells from `threadId`, a thread the program started while protected,
// whether the system gives new threads the token's default list. Once per run.
// Once it showed they are born protected, a thread that refuses the program
// its reopening (access denied) while the default list is the protective one
// counts as protected: it wears that list.
void measureThreadBirth(DWORD threadId);
// Forgets the measure, so the next measureThreadBirth takes it again (unit
// tests change what the system answers).
void forgetThreadBirth();
// Whether threads started after the protection may not be born with it (the
// system ignores the token's default list for them, or that is not known
// yet), so each call of protectProcessBySystem(true) must give it to them.
bool laterThreadsNeedAPass();
// How many of the process's threads wear the protected list now.
std::size_t protectedThreadCount();

// How threads are opened for their list and for the measure; unit tests
// install their own to answer as Windows does (nullptr: the system's).
using OpenThreadFunction = HANDLE(WINAPI*)(DWORD access, BOOL inherit, DWORD threadId);
void setOpenThreadFunction(OpenThreadFunction function);

using ProtectProcessFunction = bool (*)(bool protect);
// The tracker's way in; unit tests install their own (nullptr: the system's).
void setProtectProcessFunction(ProtectProcessFunction function);
bool protectProcess(bool protect);
