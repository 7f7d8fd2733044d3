#include "storage/stateFiles.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/criticalSection.h"
#include "core/timeSource.h"
#include "storage/settingsFiles.h"

namespace {

constexpr DWORD kReadChunk = 64 * 1024;
constexpr wchar_t kInstalledAppsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// Setup names the entry of an installation for another account "Hourwarden-<account>".
constexpr std::wstring_view kAccountEntryPrefix = L"Hourwarden-";
constexpr DWORD kMaxKeyNameLength = 256;

HANDLE systemOpen(const wchar_t* path, DWORD access, DWORD shareMode, DWORD disposition)
{
    return CreateFileW(path, access, shareMode, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

BOOL systemSize(HANDLE file, LARGE_INTEGER* size)
{
    return GetFileSizeEx(file, size);
}

BOOL systemRead(HANDLE file, void* buffer, DWORD length, DWORD* read)
{
    return ReadFile(file, buffer, length, read, nullptr);
}

BOOL systemWrite(HANDLE file, const void* bytes, DWORD length, DWORD* written)
{
    return WriteFile(file, bytes, length, written, nullptr);
}

BOOL systemSetEnd(HANDLE file)
{
    return SetEndOfFile(file);
}

constexpr HeldFileCalls kSystemHeldFileCalls = {systemOpen, systemSize, systemRead, systemWrite, systemSetEnd};
// Read on the files' thread too.
std::atomic<const HeldFileCalls*> activeHeldFileCalls{&kSystemHeldFileCalls};

const HeldFileCalls& calls()
{
    return *activeHeldFileCalls.load();
}

// The error of the call that just failed; never "success", whatever the call left behind.
SaveResult failedSave()
{
    const DWORD error = GetLastError();
    return {error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT};
}

// The files' thread's end is waited for this long, asking a stuck open to give up meanwhile.
constexpr DWORD kFileThreadEndWaitMs = 3000;
constexpr DWORD kFileThreadCancelPauseMs = 100;

bool seekTo(HANDLE file, uint64_t offset)
{
    LARGE_INTEGER position = {};
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != FALSE;
}

std::wstring withoutTrailingSeparators(std::wstring path)
{
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path;
}

bool samePath(const std::wstring& left, const std::wstring& right)
{
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

// Whether one of the installed-apps entries in this view of the registry names `directory`.
bool accountEntryNames(REGSAM view, const std::wstring& directory)
{
    HKEY apps = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstalledAppsKey, 0, KEY_READ | view, &apps) != ERROR_SUCCESS) {
        return false;
    }
    bool found = false;
    wchar_t name[kMaxKeyNameLength] = {};
    for (DWORD index = 0; !found; ++index) {
        DWORD length = kMaxKeyNameLength;
        const LSTATUS status = RegEnumKeyExW(apps, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        const std::wstring_view entry(name, length);
        if (status != ERROR_SUCCESS || entry.size() <= kAccountEntryPrefix.size() ||
            CompareStringOrdinal(entry.data(), static_cast<int>(kAccountEntryPrefix.size()), kAccountEntryPrefix.data(),
                                 static_cast<int>(kAccountEntryPrefix.size()), TRUE) != CSTR_EQUAL) {
            continue;
        }
        wchar_t location[MAX_PATH * 2] = {};
        DWORD size = sizeof location;
        if (RegGetValueW(apps, name, L"InstallLocation", RRF_RT_REG_SZ, nullptr, location, &size) == ERROR_SUCCESS) {
            found = samePath(withoutTrailingSeparators(absolutePath(location)), directory);
        }
    }
    RegCloseKey(apps);
    return found;
}

}  // namespace

const HeldFileCalls& systemHeldFileCalls()
{
    return kSystemHeldFileCalls;
}

void setHeldFileCalls(const HeldFileCalls* calls)
{
    activeHeldFileCalls = calls != nullptr ? calls : &kSystemHeldFileCalls;
}

HeldFile::HeldFile(std::wstring path) : path_(std::move(path)) {}

bool HeldFile::create()
{
    return held() || open(OPEN_ALWAYS);
}

bool HeldFile::open(DWORD disposition)
{
    handle_.reset(calls().open(fileSystemPath(absolutePath(path_)).c_str(), kHeldFileAccess, kHeldFileSharing,
                               disposition));
    return held();
}

FileState HeldFile::read(std::string& bytes)
{
    bytes.clear();
    if (!held() && !open(OPEN_EXISTING)) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileState::Absent
                                                                              : FileState::Unreadable;
    }
    // Refused before reading, so a huge file costs no memory and no time.
    LARGE_INTEGER size = {};
    if (!calls().size(handle_.get(), &size) || static_cast<uint64_t>(size.QuadPart) > kMaxStateFileBytes ||
        !seekTo(handle_.get(), 0)) {
        release();
        return FileState::Unreadable;
    }
    bytes.reserve(static_cast<size_t>(size.QuadPart));
    char buffer[kReadChunk];
    for (;;) {
        DWORD read = 0;
        if (!calls().read(handle_.get(), buffer, sizeof buffer, &read) || bytes.size() + read > kMaxStateFileBytes) {
            bytes.clear();
            release();
            return FileState::Unreadable;
        }
        if (read == 0) {
            return FileState::Read;
        }
        bytes.append(buffer, read);
    }
}

// The new text goes over the old in one write, padded with spaces to the old
// length, before the tail is cut: a process killed in between leaves the whole
// new text followed by nothing but white space, which the readers skip. The
// padding stops at the bound a reader accepts, so a file blown up by another
// program before the start costs one short write, not gigabytes of spaces.
SaveResult HeldFile::save(std::string_view bytes)
{
    if (bytes.size() > kMaxStateFileBytes) {
        return {ERROR_FILE_TOO_LARGE};
    }
    if (!held()) {
        return {ERROR_NOT_READY};
    }
    LARGE_INTEGER oldSize = {};
    if (!calls().size(handle_.get(), &oldSize)) {
        return failedSave();
    }
    const uint64_t oldLength = static_cast<uint64_t>(oldSize.QuadPart);
    std::string padded(bytes);
    if (oldLength > bytes.size() && oldLength <= kMaxStateFileBytes) {
        padded.append(static_cast<size_t>(oldLength - bytes.size()), ' ');
    }
    DWORD written = 0;
    if (!seekTo(handle_.get(), 0) ||
        !calls().write(handle_.get(), padded.data(), static_cast<DWORD>(padded.size()), &written)) {
        return failedSave();
    }
    if (written != padded.size()) {
        return {ERROR_WRITE_FAULT};
    }
    if (!seekTo(handle_.get(), bytes.size()) || !calls().setEnd(handle_.get())) {
        return failedSave();
    }
    return {};
}

Installation installationOf(const std::wstring& directory)
{
    const std::wstring folder = withoutTrailingSeparators(absolutePath(directory));
    // The 32-bit setup writes the entry to the 32-bit view; either view counts.
    return accountEntryNames(KEY_WOW64_64KEY, folder) || accountEntryNames(KEY_WOW64_32KEY, folder)
               ? Installation::ForAnotherAccount
               : Installation::ForThisAccount;
}

namespace {

// An earlier version saved through "<file>.<process id>.tmp" and renamed it
// into place; a kill could leave one beside the file, or (Wine moves the old
// file away first) in its place. Those are deleted only once the file holds a
// whole record; until then one that holds a whole record takes its place.
// Held afterwards when it was Read.
template <typename Record>
StateRead readState(HeldFile& file, Installation installation, Record& record,
                    bool (*parse)(std::string_view, Record&))
{
    std::string bytes;
    const FileState state = file.read(bytes);
    if (state == FileState::Unreadable) {
        return StateRead::Unreadable;
    }
    Record parsed = record;
    bool whole = state == FileState::Read && parse(bytes, parsed);
    const std::vector<std::wstring> temps = staleTempFilesOf(file.path());
    for (size_t i = 0; !whole && i < temps.size(); ++i) {
        std::string tempBytes;
        Record fromTemp = record;
        if (readWholeFile(temps[i], kMaxStateFileBytes, tempBytes) == FileState::Read && parse(tempBytes, fromTemp) &&
            file.create() && file.save(tempBytes)) {
            parsed = fromTemp;
            whole = true;
        }
    }
    if (whole) {
        for (const std::wstring& temp : temps) {
            DeleteFileW(temp.c_str());
        }
        record = parsed;
        return StateRead::Read;
    }
    file.release();
    if (state == FileState::Absent && installation == Installation::ForThisAccount) {
        return StateRead::Defaults;
    }
    return StateRead::Unusable;
}

// Nothing more to try for the file: no work asked, or the work brought it in.
template <typename Record>
bool settled(const FileRequest& request, const FileOutcome<Record>& outcome)
{
    return request.work == FileWork::None ||
           (outcome.asked && (outcome.written || outcome.state == StateRead::Read ||
                              outcome.state == StateRead::Defaults));
}

// One piece of work on one file, on the files' thread.
template <typename Record>
void carryOut(const std::wstring& path, Installation installation, const FileRequest& request,
              bool (*parse)(std::string_view, Record&), FileOutcome<Record>& outcome)
{
    outcome = FileOutcome<Record>{};
    outcome.asked = true;
    HeldFile file(path);
    if (request.work == FileWork::Create) {
        outcome.written = file.create() && file.save(request.text);
    } else {
        outcome.state = readState(file, installation, outcome.record, parse);
        // Never an empty file left behind: the one created holds its text at once.
        const bool fill = outcome.state == StateRead::Defaults ||
                          (outcome.state == StateRead::Unusable && request.work == FileWork::ReadOrAdopt);
        if (fill) {
            outcome.written = file.create() && file.save(request.text);
        }
    }
    if (outcome.written || outcome.state == StateRead::Read) {
        outcome.handle = file.take();
    }
}

template <typename Record>
void settle(HeldFile& file, bool& loaded, FileOutcome<Record>& outcome)
{
    if (!outcome.asked) {
        return;
    }
    if (outcome.handle && !file.held()) {
        file.hold(std::move(outcome.handle));
    }
    outcome.handle = FileHandle();
    if (outcome.written || outcome.state == StateRead::Read || outcome.state == StateRead::Defaults) {
        loaded = true;
    }
}

}  // namespace

// What the owner and the files' thread share; each side touches it under its lock only.
struct StateFiles::WorkBox {
    struct Job {
        FileRequest config;
        FileRequest usage;
        bool atStart = false;
    };

    WorkBox(std::wstring configFile, std::wstring dataFile, Installation kind)
        : configPath(std::move(configFile)), dataPath(std::move(dataFile)), installation(kind)
    {
    }

    bool ending()
    {
        const CriticalSectionGuard guard(lock);
        return end;
    }

    FilesOutcome carryOut(const Job& job);

    const std::wstring configPath;
    const std::wstring dataPath;
    const Installation installation;
    CriticalSection lock;
    // Work was asked for, or the end.
    Owned<HANDLE, scoped_detail::closeFile> wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    // Set while no work is out.
    Owned<HANDLE, scoped_detail::closeFile> done{CreateEventW(nullptr, TRUE, TRUE, nullptr)};
    bool end = false;
    std::optional<Job> job;
    bool busy = false;
    std::optional<FilesOutcome> outcome;
};

FilesOutcome StateFiles::WorkBox::carryOut(const Job& work)
{
    FilesOutcome outcome;
    outcome.atStart = work.atStart;
    // A backup or scanning tool at logon may hold a file for a moment.
    const int attempts = work.atStart ? kStartReadAttempts : 1;
    for (int attempt = 1;; ++attempt) {
        if (!settled(work.config, outcome.config)) {
            ::carryOut(configPath, installation, work.config, parseWholeConfigText, outcome.config);
        }
        if (!settled(work.usage, outcome.usage)) {
            ::carryOut(dataPath, installation, work.usage, parseWholeUsageText, outcome.usage);
        }
        if ((settled(work.config, outcome.config) && settled(work.usage, outcome.usage)) || attempt >= attempts ||
            ending()) {
            return outcome;
        }
        activeTimeSource().sleep(kStartReadPauseMs);
    }
}

StateFiles::StateFiles(const std::wstring& directory, Installation installation)
    : config_(directory + L"\\config.json"),
      usage_(directory + L"\\data.json"),
      installation_(installation),
      box_(std::make_shared<WorkBox>(config_.path(), usage_.path(), installation))
{
}

StateFiles::~StateFiles()
{
    if (!thread_) {
        return;
    }
    {
        const CriticalSectionGuard guard(box_->lock);
        box_->end = true;
    }
    SetEvent(box_->wake.get());
    for (DWORD waited = 0; waited < kFileThreadEndWaitMs; waited += kFileThreadCancelPauseMs) {
        // An open another program makes wait gives up where the system lets it.
        CancelSynchronousIo(thread_.get());
        if (WaitForSingleObject(thread_.get(), kFileThreadCancelPauseMs) == WAIT_OBJECT_0) {
            return;
        }
    }
}

DWORD WINAPI StateFiles::work(void* parameter)
{
    // The thread's own share of the box: it outlives the owner when an open holds the thread past its end.
    const std::unique_ptr<std::shared_ptr<WorkBox>> share(static_cast<std::shared_ptr<WorkBox>*>(parameter));
    WorkBox& box = **share;
    for (;;) {
        WaitForSingleObject(box.wake.get(), INFINITE);
        WorkBox::Job job;
        {
            const CriticalSectionGuard guard(box.lock);
            if (box.end) {
                return 0;
            }
            if (!box.job) {
                continue;
            }
            job = std::move(*box.job);
            box.job.reset();
        }
        // No lock of anyone's is held here, whatever the opens do.
        FilesOutcome outcome = box.carryOut(job);
        const CriticalSectionGuard guard(box.lock);
        box.outcome = std::move(outcome);
        box.busy = false;
        SetEvent(box.done.get());
    }
}

bool StateFiles::request(FileRequest config, FileRequest usage, bool atStart)
{
    if ((config.work == FileWork::None && usage.work == FileWork::None) || !box_->wake || !box_->done) {
        return false;
    }
    {
        const CriticalSectionGuard guard(box_->lock);
        if (box_->busy || box_->outcome || box_->end) {
            return false;
        }
        box_->job = WorkBox::Job{std::move(config), std::move(usage), atStart};
        box_->busy = true;
        ResetEvent(box_->done.get());
    }
    if (!thread_) {
        auto* share = new std::shared_ptr<WorkBox>(box_);
        thread_.reset(CreateThread(nullptr, 0, work, share, 0, nullptr));
        if (!thread_) {
            delete share;
            const CriticalSectionGuard guard(box_->lock);
            box_->job.reset();
            box_->busy = false;
            SetEvent(box_->done.get());
            return false;
        }
    }
    SetEvent(box_->wake.get());
    return true;
}

bool StateFiles::workPending() const
{
    const CriticalSectionGuard guard(box_->lock);
    return box_->busy || box_->outcome;
}

bool StateFiles::waitForWork(DWORD timeoutMs) const
{
    return box_->done && WaitForSingleObject(box_->done.get(), timeoutMs) == WAIT_OBJECT_0;
}

std::optional<FilesOutcome> StateFiles::takeOutcome()
{
    std::optional<FilesOutcome> outcome;
    {
        const CriticalSectionGuard guard(box_->lock);
        outcome.swap(box_->outcome);
    }
    if (outcome) {
        settle(config_, configLoaded_, outcome->config);
        settle(usage_, usageLoaded_, outcome->usage);
    }
    return outcome;
}

SaveResult StateFiles::saveConfig(const AppConfig& config)
{
    return configLoaded_ ? config_.save(configFileText(config)) : SaveResult{ERROR_NOT_READY};
}

SaveResult StateFiles::saveUsage(const DailyUsage& usage)
{
    return usageLoaded_ ? usage_.save(usageFileText(usage)) : SaveResult{ERROR_NOT_READY};
}
