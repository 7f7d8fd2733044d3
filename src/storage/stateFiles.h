// How the program keeps config.json and data.json: each file is opened at its
// first good read (or its creation) and held until the program ends, read and
// saved through that one handle, in place. While it is held, no other program
// may write, cut, rename, delete or hold it; readers that let others write
// still read it. Every open is made on a thread of the files' own: another
// program can make an open wait for as long as it likes (an opportunistic lock
// whose break it never acknowledges), and then only that thread waits.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/scopedHandles.h"
#include "storage/textFiles.h"
#include "storage/usageRecords.h"

// The rights the program opens its files with, and all the administrator's
// installation grants the account on them (with append, which write-data
// brings along): read and write the data, read the size. Sharing reads only:
// nobody else may write, and with no delete sharing nobody may rename or
// delete the file either.
inline constexpr DWORD kHeldFileAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
inline constexpr DWORD kHeldFileSharing = FILE_SHARE_READ;

// The file calls behind the held files. The program uses the system's; unit
// tests install their own to count saves and to play files that another
// program holds, that are huge or that the system refuses.
struct HeldFileCalls {
    HANDLE (*open)(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition);
    BOOL (*size)(HANDLE file, LARGE_INTEGER* size);
    // At the current position, as ReadFile and WriteFile.
    BOOL (*read)(HANDLE file, void* buffer, DWORD length, DWORD* read);
    BOOL (*write)(HANDLE file, const void* bytes, DWORD length, DWORD* written);
    // Cuts the file off at its current position, as SetEndOfFile.
    BOOL (*setEnd)(HANDLE file);
};

const HeldFileCalls& systemHeldFileCalls();
// Installs `calls` (nullptr: the system's).
void setHeldFileCalls(const HeldFileCalls* calls);

// What a save gave: ERROR_SUCCESS once the whole text is in the file, else
// the system's error from the call that failed (the caller decides what each
// means). True only when saved.
struct SaveResult {
    DWORD error = ERROR_SUCCESS;
    explicit operator bool() const { return error == ERROR_SUCCESS; }
};

// One file, held from its first open until release() or the end.
class HeldFile {
public:
    explicit HeldFile(std::wstring path);
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // The whole file, opening it first when it is not held. Held afterwards
    // when it was Read; a file over kMaxStateFileBytes is Unreadable.
    FileState read(std::string& bytes);
    // Opens the file, creating it when it is absent, unless it is held already.
    bool create();
    // Rewrites the held file in place in one write from its start. Fails with
    // ERROR_NOT_READY when it is not held (opens belong to the files' thread).
    SaveResult save(std::string_view bytes);
    void release() { handle_.reset(); }
    bool held() const { return static_cast<bool>(handle_); }
    // The handle passes to another owner: the files' thread opens, the tracker holds.
    FileHandle take() { return std::move(handle_); }
    void hold(FileHandle handle) { handle_ = std::move(handle); }
    const std::wstring& path() const { return path_; }

private:
    bool open(DWORD disposition);

    std::wstring path_;
    FileHandle handle_;
};

// Who installed the program: the account for itself, or an administrator for
// another account (setup then creates both files, and the account may not
// delete them, so a missing one was tampered with).
enum class Installation { ForThisAccount, ForAnotherAccount };

// An installation for another account is known by the computer-wide entry
// setup writes in the installed apps, whose InstallLocation names `directory`:
// only an administrator can write there.
Installation installationOf(const std::wstring& directory);

// What reading one of the two files gave.
enum class StateRead {
    Read,        // its record, and the file is held from now on
    Defaults,    // absent where that means the defaults
    Unreadable,  // held by another program, refused by the system or over the bound
    Unusable,    // there (or absent where it must be), but holding no whole record
};

// A file held at start is tried this often, this far apart (about five
// seconds) before the program runs without it.
inline constexpr int kStartReadAttempts = 50;
inline constexpr uint32_t kStartReadPauseMs = 100;

// What the files' thread is asked to do with one file.
enum class FileWork {
    None,
    // Read it, settling the temporary files an earlier version left beside it.
    // Absent where that means the defaults, it is created with the text given.
    Read,
    // As Read, and a file that holds no record (or is absent where it must be)
    // gets the text given, the parent's settings, written over it.
    ReadOrAdopt,
    // Open it, creating it when absent, and write the text given: a file in
    // force as the defaults whose creation failed before.
    Create,
};

struct FileRequest {
    FileWork work = FileWork::None;
    std::string text;
};

// What the files' thread found of one file.
template <typename Record>
struct FileOutcome {
    bool asked = false;
    StateRead state = StateRead::Unreadable;  // of a read
    Record record;                            // on Read
    // The text asked for is in the file (created, or adopted in place of no record).
    bool written = false;
    FileHandle handle;  // taken over by StateFiles
};

struct FilesOutcome {
    bool atStart = false;  // the start's read, with its retries
    FileOutcome<AppConfig> config;
    FileOutcome<DailyUsage> usage;
};

// The owner of both files. Used under the tracker's lock; it never opens a
// file there: its thread does, and what it brings is taken when it is done.
class StateFiles {
public:
    StateFiles(const std::wstring& directory, Installation installation);
    // Ends the files' thread; one stuck in an open is asked to give up and
    // waited for a moment, then left to the process's end with what it owns.
    ~StateFiles();
    StateFiles(const StateFiles&) = delete;
    StateFiles& operator=(const StateFiles&) = delete;

    // Hands work to the files' thread and returns at once. `atStart`: a file
    // not read is tried again for about five seconds. False (nothing asked)
    // while earlier work is out or its outcome not taken yet.
    bool request(FileRequest config, FileRequest usage, bool atStart = false);
    // Work asked for and not taken yet.
    bool workPending() const;
    // Waits until the files' thread has finished the work asked for; false on
    // time-out. Touches nothing the caller's lock guards: call it without.
    bool waitForWork(DWORD timeoutMs) const;
    // What the files' thread brought, once it is done. The files it read,
    // created or adopted are held from now on; loaded on Read, Defaults and
    // a written text.
    std::optional<FilesOutcome> takeOutcome();

    // Fails with ERROR_NOT_READY while the file is not loaded: the file keeps what is there.
    SaveResult saveConfig(const AppConfig& config);
    SaveResult saveUsage(const DailyUsage& usage);

    bool configLoaded() const { return configLoaded_; }
    bool usageLoaded() const { return usageLoaded_; }
    bool configHeld() const { return config_.held(); }
    bool usageHeld() const { return usage_.held(); }
    Installation installation() const { return installation_; }
    const std::wstring& configPath() const { return config_.path(); }
    const std::wstring& dataPath() const { return usage_.path(); }

    struct WorkBox;

private:
    static DWORD WINAPI work(void* box);

    HeldFile config_;
    HeldFile usage_;
    Installation installation_;
    bool configLoaded_ = false;
    bool usageLoaded_ = false;
    // Shared with the files' thread, which may outlive the owner while an open holds it.
    std::shared_ptr<WorkBox> box_;
    Owned<HANDLE, scoped_detail::closeFile> thread_;
};
