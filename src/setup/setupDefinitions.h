// What the setup helper writes, as pure functions: the access lists of the
// installation folder and its files, the scheduled task's XML, the first
// data.json, and the checks of its arguments.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "storage/usageRecords.h"

// The helper's exit codes: what the installer tells apart.
enum class SetupExit : int { Success = 0, Failure = 1, Refused = 2 };

// Rights the account gets, as the access masks the system shows.
inline constexpr ACCESS_MASK kReadExecuteMask = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;   // 0x1200a9
// On the two state files: read, and write the data in place (append comes with
// it), as the program holds them. No DELETE, no write-attributes, no WRITE_DAC:
// the account can neither remove, rename nor hide a file, nor change its list.
inline constexpr ACCESS_MASK kStateFileMask = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_APPEND_DATA;  // 0x12008f

inline constexpr wchar_t kProgramFileName[] = L"Hourwarden.exe";
inline constexpr wchar_t kUninstallerFileName[] = L"uninstall.exe";
inline constexpr wchar_t kConfigFileName[] = L"config.json";
inline constexpr wchar_t kDataFileName[] = L"data.json";

// The environment variable that carries the new settings password to write-data.
inline constexpr wchar_t kPasswordVariable[] = L"HOURWARDEN_SETUP_PASSWORD";

// The folder of the program's scheduled tasks, one task per account.
inline constexpr wchar_t kTaskFolderName[] = L"Hourwarden";
inline constexpr wchar_t kTaskFolderPath[] = L"\\Hourwarden";

// The value the shell keeps for a startup entry the user switched off.
inline constexpr wchar_t kStartupApprovedKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
inline constexpr wchar_t kStartupApprovedValue[] = L"Hourwarden";

// What an access list is for: the folder, a program the account runs, or a
// state file the program (running as the account) rewrites.
enum class SecuredObject { Folder, Executable, StateFile };

struct SecuredFile {
    const wchar_t* name;
    SecuredObject kind;
};
inline constexpr SecuredFile kSecuredFiles[] = {
    {kProgramFileName, SecuredObject::Executable},
    {kUninstallerFileName, SecuredObject::Executable},
    {kConfigFileName, SecuredObject::StateFile},
    {kDataFileName, SecuredObject::StateFile},
};

// Owner Administrators and a protected list: Administrators and SYSTEM full
// control, the account `accountSid` what `object` needs and nothing more.
std::wstring securityDescriptorSddl(std::wstring_view accountSid, SecuredObject object);

// The scheduled task's own access list: the account may read the task but not
// change, disable, end or delete it.
std::wstring taskSecuritySddl(std::wstring_view accountSid);

// The task that starts `programPath` for `userId` (DOMAIN\name) at its sign-in
// and every five minutes after; a start while it runs is ignored.
std::wstring taskXml(std::wstring_view userId, std::wstring_view accountSid, std::wstring_view programPath);

// `text` with & < > " ' written as XML entities.
std::wstring escapeXml(std::wstring_view text);

// The account's task, in the program's task folder.
std::wstring taskPath(std::wstring_view account);

// False for an empty name and for one with a character no account name may hold.
bool isValidAccountName(std::wstring_view name);

// "0" or "1"; false for anything else.
bool parseRequireExit(std::wstring_view argument, bool& requireExit);

// The first day's record: nothing used yet, the password hash (empty: none).
DailyUsage initialUsage(std::wstring_view date, std::wstring_view passwordHash, bool requireExit);

// Whether two full paths name the same file for the system: compared without
// regard to case, with a \\?\ prefix ignored.
bool sameFilePath(std::wstring_view left, std::wstring_view right);
