// What the setup helper writes, as pure functions: the access lists of the
// installation folder, its files and its journal folder, the scheduled task's
// XML, the first data.json, which day logs an upgrade removes, and the checks
// of its arguments.
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

// On the journal folder itself: list it, read it and create files in it.
// No FILE_DELETE_CHILD, no FILE_ADD_SUBDIRECTORY, no write-attributes, no
// WRITE_DAC: the account can neither remove nor hide a log, nor change a list.
inline constexpr ACCESS_MASK kJournalFolderMask = FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_READ_EA | FILE_TRAVERSE |
                                                  FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;  // 0x1200ab
// On every log in it, for the account and for whoever owns the log (OWNER
// RIGHTS): read and append. Without FILE_WRITE_DATA nothing written can be
// written over or cut off.
inline constexpr ACCESS_MASK kJournalLogMask =
    FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;  // 0x12008d

inline constexpr wchar_t kProgramFileName[] = L"Hourwarden.exe";
inline constexpr wchar_t kUninstallerFileName[] = L"uninstall.exe";
inline constexpr wchar_t kConfigFileName[] = L"config.json";
inline constexpr wchar_t kDataFileName[] = L"data.json";

// The installation's journal folder (storage/journalFiles.h names the same).
inline constexpr wchar_t kJournalFolderName[] = L"journal";

// The computer-wide entry of an installation for another account is
// "<prefix><account>"; only administrators can write it, so it keeps the
// digest of settings.log's first record, the root the program checks the log against.
inline constexpr wchar_t kAccountUninstallKeyPrefix[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Hourwarden-";
inline constexpr wchar_t kInstallLocationValue[] = L"InstallLocation";
inline constexpr wchar_t kSettingsLogDigestValue[] = L"SettingsLogDigest";

// An upgrade removes day logs of dates more than this many days before today.
inline constexpr int64_t kKeptDayLogDays = 31;

// The new daily limit setup writes when it is given none.
inline constexpr int32_t kDefaultDailyLimitMinutes = 120;

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

// The journal folder while setup writes settings.log in it: Administrators
// and SYSTEM only, so no name in it can be taken by the account first.
std::wstring lockedJournalFolderSddl();
// The journal folder once settings.log is in place: Administrators and SYSTEM
// full control of the folder and all in it; the account kJournalFolderMask on
// the folder alone, and kJournalLogMask on the files created in it, as has
// OWNER RIGHTS there: the account's program owns the day logs it creates, and
// the owner's implicit rights (WRITE_DAC) would otherwise let it give itself more.
std::wstring journalFolderSddl(std::wstring_view accountSid);

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

// A daily limit in minutes, 1 to 1440, as plain decimal digits without a
// leading zero; false for anything else.
bool parseDailyLimit(std::wstring_view argument, int32_t& minutes);

// Whether `name` is a day log's name ("day-<date>-<32 hex>.log") whose date
// lies more than kKeptDayLogDays before `today` (YYYY-MM-DD). Anything else,
// a log dated after today included, is no day log to remove.
bool isExpiredDayLogName(std::wstring_view name, std::wstring_view today);

// The first day's record: nothing used yet, the password hash (empty: none).
DailyUsage initialUsage(std::wstring_view date, std::wstring_view passwordHash, bool requireExit);

// Whether two full paths name the same file for the system: compared without
// regard to case, with a \\?\ prefix ignored.
bool sameFilePath(std::wstring_view left, std::wstring_view right);
