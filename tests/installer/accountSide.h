// The account's side of an installation for another account: tests that
// scripts/windows-checks.cmd runs as the temporary standard account it
// installed for (through as-account.exe), given that installation's folder.
#pragma once

#include <string>

namespace installer_test {

// "--account-side=FOLDER" on the command line: this run is the account's, on the installation in FOLDER.
inline constexpr wchar_t kAccountSidePrefix[] = L"--account-side=";

// Takes the folder from `argument` when it is that switch; true when it was.
bool takeAccountSideArgument(const std::wstring& argument);

}  // namespace installer_test
