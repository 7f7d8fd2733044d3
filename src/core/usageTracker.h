// The whole policy: which seconds count, the day boundary, the five-minute
// warning, the last-minutes notices, the lock and the one more minute after
// an unlock on a spent day. Every change is saved at once.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "base/criticalSection.h"
#include "base/scopedHandles.h"
#include "core/backOff.h"
#include "core/idleProbe.h"
#include "storage/stateFiles.h"
#include "storage/usageRecords.h"

// Why the saves fail, worst last: a save refused because another program
// locked or holds the file counts as a state the program cannot keep.
enum class SaveFailure { None, Other, DiskFull, LockedOut };

struct TickResult {
    bool showWarning = false;
    bool lockNow = false;
    int32_t minuteNotice = 0;  // 3, 2 or 1: that minute's balloon; 0: none
    // config.json or data.json could not be read at the start, nor by the read
    // the first tick asked for (or the start's read never came back): the day
    // counts as spent, and its balloon says why. Once.
    bool stateUnreadable = false;
    // The first tick of a run of failed saves (and of a change in its cause):
    // that cause's balloon. None otherwise.
    SaveFailure saveFailure = SaveFailure::None;
};

// The session's lock as the system reports it. The session service's word is
// the system's own; the input desktop only shows whether the user's desktop
// is the one that takes input.
enum class SessionLock { Locked, Unlocked, DesktopUnlocked, Unknown };

// The clock's period. The first tick after a start counts no more than this:
// no tick before it marks where its time began.
inline constexpr uint32_t kTickPeriodMs = 1000;

// What a tick knows of the time since the previous one. Two clocks measure
// it: the time the machine was awake, from the unbiased interrupt time (sleep
// and hibernation are not in it), bounds what may count; the inputs' ages
// come from GetLastInputInfo against the tick count, which runs on through
// sleep, so five minutes after an input are five minutes of the tick count.
struct TickSpan {
    uint64_t awake = 0;      // 100-ns units of unbiased interrupt time between the two ticks
    uint64_t elapsedMs = 0;  // tick count between them, sleep included
    // The last input seen at or before the previous tick, as its age then; none known: empty.
    std::optional<uint64_t> previousInputAgeMs;
    // The last input as this tick sees it, as its age now.
    uint64_t inputAgeMs = 0;
};

// The active time of a span, in 100-ns units. An instant counts when an input
// came in the five minutes before it; of the inputs between two ticks only
// the last is known, so the instants that count are those within five minutes
// after one of the two inputs known. Sleep may have fallen on any of them:
// none of it counts. Never more than the time the machine was awake.
uint64_t activeTimeOf(const TickSpan& span);

// The local date, YYYY-MM-DD. The zone's offset counts only within the
// world's own (UTC-12 to UTC+14), however far a hand-made zone sets it.
std::wstring todayDateString();
// Seconds from a file plus seconds counted meanwhile, held at the largest count.
int64_t saturatingAdd(int64_t stored, int64_t counted);
// Whether a record of `recordDate` is over on `today` (both as todayDateString
// writes them). A record dated one or two days after today goes on.
bool isNewDay(const std::wstring& recordDate, const std::wstring& today);

// What the settings window changes of config.json: only the fields the parent
// set. While the file cannot be read, a field left alone keeps the file's value.
struct LimitChange {
    std::optional<int32_t> minutes;
    std::optional<bool> notifications;
};

// The tick runs on a thread of its own and the windows on theirs: every
// public operation holds the tracker's one lock for its whole length. No file
// is opened under it: the files' thread makes every open, and what it brings
// is taken at the next tick (or by an operation that waits for it).
class UsageTracker {
public:
    // Keeps its files beside the running executable.
    UsageTracker();
    // Keeps its files in `directory` (no trailing separator).
    explicit UsageTracker(const std::wstring& directory);
    UsageTracker(const std::wstring& directory, Installation installation);
    // Makes a last attempt at saves that are still pending.
    ~UsageTracker();
    UsageTracker(const UsageTracker&) = delete;
    UsageTracker& operator=(const UsageTracker&) = delete;

    // Asks the files' thread for the start's read and returns at once: until
    // its outcome is taken the day is not known, gives no time and is locked
    // about a minute from now, as a spent day.
    void load();
    TickResult tick();
    // Waits, holding no lock, for the work the files' thread has in hand, then
    // takes what it brought; false when the time ran out first.
    bool awaitFiles(DWORD timeoutMs);
    // Whether the state last published gives no time (a spent day, or one not
    // known): where the clock locks. Read without the lock, so a thread that
    // must never wait for it (the clock's watchdog) can ask.
    bool noTimeLeftSeen() const { return noTimeLeft_.load(); }
    // An unlock notification, with the session's state asked when it came.
    // True when it grants the one more minute: only after a lock the system
    // accepted, and never for a session that says it is locked.
    bool onSessionUnlock(SessionLock state);
    // The lock asked for by the last tick was accepted by the system.
    void onLockAccepted();
    // The lock asked for by the last tick was refused; ask again at the next tick.
    void onLockRefused();
    // A lock was accepted and no unlock has answered it yet.
    bool awaitsUnlock() const;
    // The session's state at a tick while a lock awaits its unlock. True when
    // the user is back at an unlocked session: an unlock went unreported, and
    // the one more minute has begun as after a reported one.
    bool onSessionLockState(SessionLock state);
    // Whether a tick should ask the session's state: while a lock awaits its
    // unlock, at every tick for the first minute, then every 5 s.
    bool lockStateDue() const;
    // A lock the system accepted that the session has not been seen to take
    // within the settling time since: another desktop may keep the input from it.
    bool lockUnconfirmed() const;
    // The input was switched back from another desktop to the program's own:
    // counted for the parent, and on a spent day the lock is asked again at
    // once, its settling time starting afresh.
    void onInputDesktopTakenBack();
    // How often since the start another desktop had the input and the program took it back.
    uint32_t inputDesktopTakeBacks() const;
    // Whether a tick should try the registration for the session's
    // notifications again after it failed: at every tick for a minute after
    // the first failure, then every 30 s.
    bool sessionRegistrationDue() const;
    void onSessionRegistrationFailed();

    // Nothing is left, and the limit counts as reached, while config.json or
    // data.json cannot be read, or while another program locks the program's
    // saves out: a state the program cannot read or keep gives no time.
    int32_t remainingSeconds() const;
    bool isLimitReached() const;
    bool stateReadable() const;
    // Why the last save of either file failed; None once both went through.
    SaveFailure saveFailure() const;
    // False while config.json could not be read: the limit and the notifications
    // flag in force are the defaults, not the parent's.
    bool configLoaded() const;
    int64_t usedSeconds() const;
    // A copy: the tick thread may change the record meanwhile.
    AppConfig config() const;

    // The operations that change settings return whether their file was
    // saved. A change that could not be saved is in force all the same and
    // saved by a later tick.
    bool setLimit(const LimitChange& change);
    bool setLimit(int32_t minutes, bool notifications) { return setLimit(LimitChange{minutes, notifications}); }
    void setLanguage(Language language);
    void setStatusWindowPosition(int32_t x, int32_t y);
    bool savedStatusWindowPosition(POINT& point) const;

    bool setPassword(const std::wstring& text);
    bool removePassword();
    bool hasPassword() const;
    // Whether the settings and Exit ask for a password: also while data.json,
    // which holds it, could not be read yet.
    bool settingsGuarded() const;
    bool exitGuarded() const;
    // False while data.json could not be read: the password cannot be checked.
    bool usageLoaded() const;
    bool checkPassword(const std::wstring& text) const;
    // A password typed at the prompt: checked, and counted toward the delay when wrong.
    bool tryPassword(const std::wstring& text);
    // How long the prompt holds back the answer to the next try: nothing for the
    // first three in a row, then 2 s, doubling up to a minute, until one is right.
    uint32_t passwordCheckDelayMs() const;
    bool requirePasswordOnExit() const;
    bool setRequirePasswordOnExit(bool required);
    // The process refuses to be ended by the account it limits. False while the
    // system refuses that protection; it is tried again at every tick.
    bool exitProtectionInForce() const;

    void resetDay();
    bool saveUsage();
    // Writes both files now, as the session ends; true when both reached the disk.
    bool saveAll();
    // Whether a change is still waiting to reach config.json or data.json.
    bool hasUnsavedChanges() const;

    const std::wstring& configPath() const { return files_.configPath(); }
    const std::wstring& dataPath() const { return files_.dataPath(); }

private:
    bool writeConfig();
    // What a save of a loaded file gave, kept in `failure` for that file.
    void noteSave(SaveFailure& failure, const SaveResult& result);
    bool savesLockedOut() const;
    void applyExitProtection();
    void retryFailedSaves();
    // What the files' thread brought, taken into the state in force; the
    // start's read is saved at once unless the caller saves at its end.
    void takeFiles(bool saveNow = true);
    void takeConfig(FileOutcome<AppConfig>& outcome);
    void takeUsage(FileOutcome<DailyUsage>& outcome);
    // The files' next work: files not loaded are read again (config.json with
    // the parent's settings to write over a file that holds no record of theirs,
    // once the parent has set a limit), files loaded but not held are created.
    void askFileWork();
    void publishDayState();
    void noteConfigChange(unsigned change);
    void hashPlainPassword();
    // Forgets the lock asked for, accepted or granted: none is due below the limit.
    void clearLockState();
    void armGraceMinute();
    // resetDay without the save, for a tick that saves once at its end.
    void startNewDay();
    void requestLock(TickResult& result);
    void grantGraceMinute();
    // The time between the previous tick and `now`, as a tick span.
    struct ClockReading {
        uint64_t awake = 0;  // unbiased interrupt time, 100-ns units
        uint64_t tick = 0;   // tick count, milliseconds
    };
    static ClockReading readClocks();
    TickSpan spanSinceLastTick(const ClockReading& now) const;
    // Adds the active time of a tick below the limit; returns the whole seconds added.
    int64_t countActiveTime(uint64_t active);

    mutable CriticalSection lock_;
    IdleProbe idleProbe_;
    AppConfig config_;
    DailyUsage usage_;
    StateFiles files_;
    uint64_t graceDeadline_ = 0;  // tick count at which the one more minute ends; 0: none
    bool lockIssued_ = false;
    bool lockRetry_ = false;  // the last lock was refused
    // The system accepted a lock since the last grant of the one more minute.
    bool lockAccepted_ = false;
    uint64_t lockAcceptedAt_ = 0;
    // The session was seen locked since the lock was accepted.
    bool lockSeenSinceAccepted_ = false;
    uint32_t inputDesktopTakeBacks_ = 0;
    uint64_t lockRequestedAt_ = 0;
    // The session's state as last asked while awaiting the unlock.
    SessionLock lastLockState_ = SessionLock::Unknown;
    uint64_t lastGrantAt_ = 0;
    BackOff lockStateAsks_;
    BackOff sessionRegistrations_;
    bool sessionRegistrationFailed_ = false;
    bool lockedSeenSinceGrant_ = false;
    // The file is behind the state in force: the end of this tick (or the
    // next one, after a failed write) writes it, once.
    bool configUnsaved_ = false;
    bool usageUnsaved_ = false;
    uint32_t wrongPasswordsInARow_ = 0;
    bool exitProtectionInForce_ = false;
    // The last change of the protection was carried out in full.
    bool protectionSettled_ = false;
    // Settings changed while config.json could not be read (ConfigChange bits):
    // newer than the file, so they win over it once it is read.
    unsigned configChangedMeanwhile_ = 0;
    // The balloon for files the start could not read: said once, when the
    // first read after the start's could not read them either, or when the
    // start's read has not come back at all.
    enum class UnreadableNotice { Waiting, AfterNextRead, Due, Said };
    UnreadableNotice unreadableNotice_ = UnreadableNotice::Waiting;
    // The start's read was asked for, at this tick count.
    bool loadAsked_ = false;
    uint64_t loadAskedAt_ = 0;
    std::atomic<bool> noTimeLeft_{true};
    // Why the last save of each file failed; None: it went through (or none was made).
    SaveFailure configSaveFailure_ = SaveFailure::None;
    SaveFailure usageSaveFailure_ = SaveFailure::None;
    // The cause the balloon last named in this run of failures, and one still to name.
    SaveFailure saveFailureNamed_ = SaveFailure::None;
    SaveFailure saveFailureNoticeDue_ = SaveFailure::None;
    // Tick count before which input is no sign of an unlock: it may have come
    // while the lock took hold, or on the lock screen.
    uint64_t inputIgnoredBefore_ = 0;
    // The clocks at the previous tick, or at the start before the first.
    std::optional<ClockReading> lastReading_;
    // The previous tick counted below the limit, on this day: the time since
    // it is known. Otherwise a tick counts one period at most, as at a start.
    bool spanStartKnown_ = false;
    // The last input the program has seen, on the tick count; empty: none yet.
    std::optional<uint64_t> lastInputSeen_;
    // Counted time below a whole second, 100-ns units, for the next tick.
    uint64_t activeRemainder_ = 0;
};
