// The setup helper's commands, as the system carries them out. Each returns
// the exit code and the one line the helper prints.
#pragma once

#include <string>
#include <string_view>

#include "setup/setupDefinitions.h"
#include "storage/journal.h"

struct SetupOutcome {
    SetupExit exit = SetupExit::Success;
    std::wstring message;  // empty: nothing to print
};

struct LocalAccount {
    std::wstring sid;     // S-1-5-21-...
    std::wstring userId;  // COMPUTER\name, as the system spells it
};

// `name` when it is a user account of this computer (not a group, not a
// domain's account).
SetupOutcome findLocalAccount(std::wstring_view name, LocalAccount& account);

// Owner and protected access lists of the installation folder and of those
// of its files that exist: the account may run the program and rewrite its
// two files, and may add, remove or change nothing else.
SetupOutcome secureInstallation(const std::wstring& folder, const std::wstring& account);

// data.json of the first day, with the password from the environment hashed;
// refused when the file exists and the program can read it. One it cannot
// read (zeroed, cut short, garbage) is written over in place.
SetupOutcome writeInitialData(const std::wstring& folder, bool requireExit);
// Success when the folder's data.json holds a day record the program reads;
// refused when it is missing or cannot be read, so setup writes a new one.
SetupOutcome checkUsableData(const std::wstring& folder);

// ---- The journal (storage/journal.h), for an installation for another account ----

// The journal folder of the installation `folder`, and in it a settings.log
// whose first record is the one `storedDigest` names: the log there when it
// checks against it, else a new one (the folder locked to administrators
// first) whose first record holds `settings`, with the verifier of
// `password` made here. `digest` gets the digest of the first record in
// place. Other files in the folder stay. The account gets no right on a new
// folder here: openJournalToAccount gives them once the digest is stored.
SetupOutcome prepareJournal(const std::wstring& folder, std::string_view storedDigest, const JournalSettings& settings,
                            std::wstring_view password, std::string& digest);
// The journal folder's list with the account's rights (journalFolderSddl),
// which reach the logs in it.
SetupOutcome openJournalToAccount(const std::wstring& folder, const std::wstring& accountSid);
// Success when the installation's settings.log checks against `storedDigest`;
// refused when it is missing, tampered with or its first record is not that root.
SetupOutcome checkUsableJournal(const std::wstring& folder, std::string_view storedDigest);
// Removes the day logs of dates more than kKeptDayLogDays before `today`;
// nothing else. No journal folder is no failure.
SetupOutcome pruneDayLogs(const std::wstring& folder, std::wstring_view today);

// The commands: the above with the digest kept in the account's installed-apps
// entry, which must name `folder` as its InstallLocation. make-journal takes
// the password from the environment (cleared at once, needed or not) and the
// notifications flag from the folder's config.json when the program reads it
// (else on); it stores the new digest before the account gets its rights.
SetupOutcome makeJournal(const std::wstring& folder, const std::wstring& account, int32_t dailyLimitMinutes,
                         bool requireExit);
SetupOutcome checkUsableJournalOf(const std::wstring& folder, const std::wstring& account);

// Task Scheduler: the account's task in the program's folder.
SetupOutcome registerProgramTask(const std::wstring& account, const std::wstring& programPath);
// An absent task is no failure; the folder goes with its last task.
SetupOutcome deleteProgramTask(const std::wstring& account);
SetupOutcome runProgramTask(const std::wstring& account);

// Ends every process started from `programPath` (compared as full paths) and
// waits for them to be gone.
SetupOutcome endProgram(const std::wstring& programPath);

// Removes the switched-off mark of the program's startup entry from the
// account's registry, when it is loaded.
SetupOutcome removeStartupApproved(const std::wstring& account);
