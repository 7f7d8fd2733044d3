// How the program keeps config.json and data.json: each file is opened at its
// first good read (or its creation) and held until the program ends, read and
// saved through that one handle, in place. While it is held, no other program
// may write, cut, rename, delete or hold it; readers that let others write
// still read it.
#pragma once

#include <windows.h>

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
    // Rewrites the file in place in one write from its start, creating it
    // first when it is not held.
    SaveResult save(std::string_view bytes);
    void release() { handle_.reset(); }
    bool held() const { return static_cast<bool>(handle_); }
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

// The owner of both files.
class StateFiles {
public:
    StateFiles(const std::wstring& directory, Installation installation);
    StateFiles(const StateFiles&) = delete;
    StateFiles& operator=(const StateFiles&) = delete;

    // Reads the file into `config` (or `usage`) when it can; loaded from then on
    // on Read and Defaults. Temporary files an earlier version left beside it
    // are settled first.
    StateRead readConfig(AppConfig& config);
    StateRead readUsage(DailyUsage& usage);
    // Fails with ERROR_NOT_READY while the file is not loaded: the file keeps what is there.
    SaveResult saveConfig(const AppConfig& config);
    SaveResult saveUsage(const DailyUsage& usage);
    // Takes over a config.json that holds no record (or is missing) with
    // `config`, the parent's latest settings; loaded from then on when saved.
    bool adoptConfig(const AppConfig& config);

    bool configLoaded() const { return configLoaded_; }
    bool usageLoaded() const { return usageLoaded_; }
    Installation installation() const { return installation_; }
    const std::wstring& configPath() const { return config_.path(); }
    const std::wstring& dataPath() const { return usage_.path(); }

private:
    template <typename Record>
    StateRead read(HeldFile& file, bool& loaded, Record& record, bool (*parse)(std::string_view, Record&));

    HeldFile config_;
    HeldFile usage_;
    Installation installation_;
    bool configLoaded_ = false;
    bool usageLoaded_ = false;
};
