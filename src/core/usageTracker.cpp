#include "core/usageTracker.h"

#include <algorithm>
#include <cwchar>
#include <utility>

#include "core/passwordHash.h"
#include "core/processProtection.h"
#include "core/timeSource.h"
#include "storage/settingsFiles.h"
#include "storage/stateFiles.h"
#include "storage/textFiles.h"

namespace {

constexpr uint64_t kGraceMinuteMs = 60000;
// Time the system may take to show the lock screen after accepting the lock.
constexpr uint64_t kLockSettleMs = 5000;
// An accepted lock that the session does not confirm is asked for again this often.
constexpr uint64_t kLockRepeatMs = 30000;
// A second unlock this soon after a grant, with no lock seen between, is not a new one.
constexpr uint64_t kUnlockEchoMs = 3000;
// While a lock awaits its unlock, the session's state is asked at every tick
// for a minute, then every 5 s; a refused registration for the session's
// notifications is tried again at every tick for a minute, then every 30 s.
constexpr uint64_t kQuickBackOffMs = 60000;
constexpr uint64_t kLockStatePeriodMs = 5000;
constexpr uint64_t kSessionRegistrationPeriodMs = 30000;
constexpr int32_t kWarningSeconds = 300;
constexpr int32_t kMinLimitMinutes = 1;
constexpr int32_t kMaxLimitMinutes = 1440;
constexpr uint32_t kFreePasswordTries = 3;
// A start's read not back after twice its retries' time (an open held by
// another program) gets the unreadable balloon all the same.
constexpr uint64_t kStartReadOverdueMs = 2ull * kStartReadAttempts * kStartReadPauseMs;
// The settings window waits this long for config.json to be read or taken
// over; past it the change applies, and is saved once the file thread is back.
constexpr DWORD kSettingsFileWaitMs = 2000;
constexpr uint32_t kFirstPasswordDelayMs = 2000;
// The unbiased interrupt time and FILETIME count in 100-ns units.
constexpr uint64_t kUnitsPerMs = 10000;
constexpr uint64_t kUnitsPerSecond = 1000 * kUnitsPerMs;
constexpr int64_t kUnitsPerMinute = 60 * static_cast<int64_t>(kUnitsPerSecond);
// The world's zones: local time runs from 12 hours behind UTC to 14 ahead.
constexpr int64_t kEarliestZoneOffset = -12 * 60 * kUnitsPerMinute;
constexpr int64_t kLatestZoneOffset = 14 * 60 * kUnitsPerMinute;
constexpr uint32_t kMaxPasswordDelayMs = 60000;

// What the settings changed while config.json could not be read.
enum ConfigChange : unsigned {
    kLimitChanged = 1u << 0,
    kLanguageChanged = 1u << 1,
    kPositionChanged = 1u << 2,
    kNotificationsChanged = 1u << 3,
};

// What a failed save means. A byte-range lock or a refused share is another
// program's doing, and any program of the account can do it at will: counting
// on in memory would let it keep the day's count off the disk for as long as
// it likes (lost at sign-out), so the day counts as spent until a save goes
// through. A full disk or a failing device is not the account's doing alone
// (the system, updates and other accounts fill disks too): a child is not
// locked out for it; the count goes on in memory and a balloon says why.
SaveFailure failureOf(const SaveResult& result)
{
    switch (result.error) {
    case ERROR_SUCCESS:
        return SaveFailure::None;
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION:
        return SaveFailure::LockedOut;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return SaveFailure::DiskFull;
    default:
        return SaveFailure::Other;
    }
}

}  // namespace

int64_t saturatingAdd(int64_t stored, int64_t counted)
{
    // Both are counts of seconds, never below 0; a file may hold any count.
    if (stored < 0) {
        stored = 0;
    }
    if (counted < 0) {
        counted = 0;
    }
    return stored > INT64_MAX - counted ? INT64_MAX : stored + counted;
}

namespace {

// A calendar time as 100-ns units since 1601; false when it is no date.
bool unitsOf(const SYSTEMTIME& time, int64_t& units)
{
    FILETIME asFileTime = {};
    if (!SystemTimeToFileTime(&time, &asFileTime)) {
        return false;
    }
    units = static_cast<int64_t>((static_cast<uint64_t>(asFileTime.dwHighDateTime) << 32) | asFileTime.dwLowDateTime);
    return true;
}

}  // namespace

uint64_t activeTimeOf(const TickSpan& span)
{
    // The span's axis runs from 0 (the previous tick) to `length` (this one),
    // in the tick count's time. The tick count moves in steps of 10 to 16 ms:
    // when it shows less than the awake time, that is its step, not time.
    const uint64_t length = std::max(span.elapsedMs * kUnitsPerMs, span.awake);
    const uint64_t asleep = length - span.awake;
    const uint64_t window = uint64_t{kActiveWindowMs} * kUnitsPerMs;

    // The previous input keeps the start of the span active while it is young enough.
    uint64_t earlyEnd = 0;
    if (span.previousInputAgeMs && *span.previousInputAgeMs < kActiveWindowMs) {
        earlyEnd = std::min(length, window - *span.previousInputAgeMs * kUnitsPerMs);
    }
    // This tick's input came `age` before its end, perhaps before the span began.
    const uint64_t age = span.inputAgeMs * kUnitsPerMs;
    uint64_t lateStart = 0;
    uint64_t lateEnd = 0;
    if (age < length + window) {
        lateStart = age < length ? length - age : 0;
        lateEnd = age <= window ? length : length + window - age;
    }
    // Between the two, inputs may have come or not: nothing is known, nothing counts.
    uint64_t active = 0;
    if (lateEnd <= lateStart) {
        active = earlyEnd;
    } else if (lateStart <= earlyEnd) {
        active = std::max(earlyEnd, lateEnd);
    } else {
        active = earlyEnd + (lateEnd - lateStart);
    }
    // The machine may have slept in any part of the span, the active part included.
    active = active > asleep ? active - asleep : 0;
    return std::min(active, span.awake);
}

// A zone set by hand may put local time days away from UTC: only as far as
// the world's zones go counts, so a date is never further off than the
// two-day rule of isNewDay already allows.
std::wstring todayDateString()
{
    SYSTEMTIME local = {};
    SYSTEMTIME utc = {};
    activeTimeSource().localTime(&local);
    activeTimeSource().utcTime(&utc);
    SYSTEMTIME today = local;
    int64_t localUnits = 0;
    int64_t utcUnits = 0;
    if (unitsOf(local, localUnits) && unitsOf(utc, utcUnits)) {
        // Read a moment apart, the two differ by the zone's offset and that moment.
        const int64_t offset = std::clamp(localUnits - utcUnits, kEarliestZoneOffset, kLatestZoneOffset);
        const uint64_t units = static_cast<uint64_t>(utcUnits + offset);
        FILETIME asFileTime = {static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
        SYSTEMTIME bounded = {};
        if (FileTimeToSystemTime(&asFileTime, &bounded)) {
            today = bounded;
        }
    }
    wchar_t text[11] = {};
    swprintf(text, 11, L"%04u-%02u-%02u", static_cast<unsigned>(today.wYear), static_cast<unsigned>(today.wMonth),
             static_cast<unsigned>(today.wDay));
    return text;
}

// A record dated a day or two after today is what moving the time zone back
// across midnight leaves (the world's zones span 26 hours): that day goes on,
// or each move back and forth would bring a fresh allowance. Any other change
// of date, a clock corrected back by days included, starts a new day.
bool isNewDay(const std::wstring& recordDate, const std::wstring& today)
{
    if (recordDate == today) {
        return false;
    }
    int64_t record = 0;
    int64_t now = 0;
    if (!dayNumberOf(recordDate, record) || !dayNumberOf(today, now)) {
        return true;
    }
    return record != now + 1 && record != now + 2;
}

UsageTracker::UsageTracker() : UsageTracker(executableDirectory()) {}

UsageTracker::UsageTracker(const std::wstring& directory) : UsageTracker(directory, installationOf(directory)) {}

UsageTracker::UsageTracker(const std::wstring& directory, Installation installation)
    : files_(directory, installation),
      lockStateAsks_(kQuickBackOffMs, kLockStatePeriodMs),
      sessionRegistrations_(kQuickBackOffMs, kSessionRegistrationPeriodMs)
{
}

UsageTracker::~UsageTracker()
{
    const CriticalSectionGuard guard(lock_);
    // Through the files held; a file never created keeps the defaults it would have had.
    retryFailedSaves();
}

void UsageTracker::load()
{
    const CriticalSectionGuard guard(lock_);
    // A file not read is never written until it can be read (each tick asks
    // again), so the parent's values are not lost; meanwhile the day counts as spent.
    usage_.date = todayDateString();
    // The exit guard holds while data.json is not read, and so does the protection.
    applyExitProtection();
    // A day not known is locked about a minute from now, as a spent one; a read
    // that brings time left ends that.
    armGraceMinute();
    loadAsked_ = true;
    loadAskedAt_ = activeTimeSource().tickCount64();
    unreadableNotice_ = UnreadableNotice::Waiting;
    // A file missing where that means the defaults is created with them.
    files_.request({FileWork::Read, configFileText(config_)}, {FileWork::Read, usageFileText(usage_)}, true);
    publishDayState();
}

bool UsageTracker::awaitFiles(DWORD timeoutMs)
{
    const bool done = files_.waitForWork(timeoutMs);
    const CriticalSectionGuard guard(lock_);
    takeFiles();
    return done;
}

void UsageTracker::publishDayState()
{
    noTimeLeft_.store(isLimitReached());
}

TickResult UsageTracker::tick()
{
    const CriticalSectionGuard guard(lock_);
    // The time since the previous tick ends here, however long the rest takes.
    const ClockReading now = readClocks();
    const TickSpan span = spanSinceLastTick(now);
    lastReading_ = now;
    // Every tick, counted or not: a change must not wait for the next counted second.
    // What it brings is saved at the tick's end, with the tick's own changes.
    takeFiles(false);
    // Threads are born protected; only a protection (or a release) that the
    // system refused is asked for again, and the threads started since where
    // the system does not give them the protection at birth.
    if (!protectionSettled_ || (exitProtectionInForce_ && laterThreadsNeedAPass())) {
        applyExitProtection();
    }
    // Whatever changed in this tick reaches each file in one save, at its end.
    if (isNewDay(usage_.date, todayDateString())) {
        startNewDay();
        usageUnsaved_ = true;
    }
    if (!isLimitReached()) {
        // A raised limit, or a file read at last: no lock is due.
        clearLockState();
    }
    TickResult result;
    if (unreadableNotice_ == UnreadableNotice::Waiting && loadAsked_ &&
        now.tick - loadAskedAt_ >= kStartReadOverdueMs) {
        unreadableNotice_ = UnreadableNotice::Due;
    }
    if (unreadableNotice_ == UnreadableNotice::Due) {
        unreadableNotice_ = UnreadableNotice::Said;
        result.stateUnreadable = !stateReadable();
    }
    if (isLimitReached()) {
        // Nothing counts past the limit: should it be raised, the time from
        // here to the next tick is not the user's either.
        spanStartKnown_ = false;
    }
    if (!isLimitReached()) {
        // The input is asked only below the limit: past it nothing counts.
        const std::optional<uint64_t> seenBefore = lastInputSeen_;
        uint64_t input = 0;
        if (idleProbe_.lastInputAt(now.tick, &input)) {
            TickSpan measured = span;
            measured.inputAgeMs = now.tick - input;
            // An input older than the one seen before is the same one, as far as anything shows.
            if (seenBefore && *seenBefore > input) {
                measured.inputAgeMs = now.tick - *seenBefore;
            }
            if (!seenBefore || input > *seenBefore) {
                lastInputSeen_ = input;
            }
            uint64_t active = 0;
            if (spanStartKnown_) {
                active = activeTimeOf(measured);
            } else if (measured.inputAgeMs <= kActiveWindowMs) {
                // No tick below the limit marks where this span's time began
                // (the first since the start, a new day, or the limit left
                // behind): it stands for one period, as at a start, counted
                // when the user is active now.
                active = std::min(span.awake, uint64_t{kTickPeriodMs} * kUnitsPerMs);
            }
            spanStartKnown_ = true;
            const int32_t before = remainingSeconds();
            if (countActiveTime(active) > 0) {
                usageUnsaved_ = true;
                const int32_t remaining = remainingSeconds();
                if (!usage_.warningShown && remaining > 0 && remaining <= kWarningSeconds) {
                    usage_.warningShown = true;
                    result.showWarning = true;
                }
                if (config_.showLastThreeMinuteNotifications) {
                    struct Notice {
                        int32_t secondsLeft;
                        bool DailyUsage::*shown;
                        int32_t minutes;
                    };
                    static constexpr Notice kNotices[] = {
                        {180, &DailyUsage::threeMinuteNotificationShown, 3},
                        {120, &DailyUsage::twoMinuteNotificationShown, 2},
                        {60, &DailyUsage::oneMinuteNotificationShown, 1},
                    };
                    // A late tick may pass several marks: each counts as shown,
                    // and only the lowest one's balloon comes, since it is the
                    // news. None with the lock: no minute is left to announce.
                    int32_t due = 0;
                    for (const Notice& notice : kNotices) {
                        if (remaining <= notice.secondsLeft && before > notice.secondsLeft &&
                            !(usage_.*notice.shown)) {
                            usage_.*notice.shown = true;
                            due = notice.minutes;
                        }
                    }
                    result.minuteNotice = remaining > 0 ? due : 0;
                }
                if (remaining == 0) {
                    requestLock(result);
                }
            }
        }
    } else if (!lockIssued_) {
        const bool graceOver = graceDeadline_ != 0 && activeTimeSource().tickCount64() >= graceDeadline_;
        if (lockRetry_ || graceOver) {
            requestLock(result);
        }
    } else if (awaitsUnlock() && lastLockState_ != SessionLock::Locked &&
               activeTimeSource().tickCount64() - lockRequestedAt_ >= kLockRepeatMs) {
        // Accepted, but the session does not say it is locked: ask again. On a
        // locked session the request fails and nothing changes.
        requestLock(result);
    }
    retryFailedSaves();
    // Named once per run of failed saves, after this tick's own attempt: one
    // that went through at last needs no balloon.
    const SaveFailure namedNow = std::exchange(saveFailureNoticeDue_, SaveFailure::None);
    result.saveFailure = saveFailure() != SaveFailure::None ? namedNow : SaveFailure::None;
    askFileWork();
    publishDayState();
    return result;
}

UsageTracker::ClockReading UsageTracker::readClocks()
{
    const TimeSource& time = activeTimeSource();
    return ClockReading{time.unbiasedTime(), time.tickCount64()};
}

TickSpan UsageTracker::spanSinceLastTick(const ClockReading& now) const
{
    TickSpan span;
    if (!lastReading_) {
        // The first tick: as if the previous one came one period ago.
        span.awake = uint64_t{kTickPeriodMs} * kUnitsPerMs;
        span.elapsedMs = kTickPeriodMs;
        return span;
    }
    // Neither clock goes back; a reading that did would count nothing.
    span.awake = now.awake > lastReading_->awake ? now.awake - lastReading_->awake : 0;
    span.elapsedMs = now.tick > lastReading_->tick ? now.tick - lastReading_->tick : 0;
    if (lastInputSeen_) {
        span.previousInputAgeMs = lastReading_->tick > *lastInputSeen_ ? lastReading_->tick - *lastInputSeen_ : 0;
    }
    return span;
}

// The count stops at the limit: time past it went by before the tick could
// lock, and was never the user's to have. Counted, it would eat into a limit
// the parent raises later that day, which gives that many more minutes from
// then on; the lock comes at the limit either way.
int64_t UsageTracker::countActiveTime(uint64_t active)
{
    const uint64_t total = activeRemainder_ + active;
    const int64_t left = remainingSeconds();
    int64_t seconds = static_cast<int64_t>(total / kUnitsPerSecond);
    activeRemainder_ = total % kUnitsPerSecond;
    if (seconds >= left) {
        seconds = left;
        activeRemainder_ = 0;
    }
    usage_.usedSeconds = saturatingAdd(usage_.usedSeconds, seconds);
    return seconds;
}

void UsageTracker::requestLock(TickResult& result)
{
    const uint64_t now = activeTimeSource().tickCount64();
    lockIssued_ = true;
    // A retry still pending from a refused lock is answered by this request.
    lockRetry_ = false;
    lockRequestedAt_ = now;
    inputIgnoredBefore_ = now + kLockSettleMs;
    result.lockNow = true;
}

void UsageTracker::onLockAccepted()
{
    const CriticalSectionGuard guard(lock_);
    if (!lockIssued_ || !isLimitReached()) {
        return;
    }
    if (!lockAccepted_) {
        lockAccepted_ = true;
        lockAcceptedAt_ = activeTimeSource().tickCount64();
        lockSeenSinceAccepted_ = false;
        lastLockState_ = SessionLock::Unknown;
        lockStateAsks_.start(lockAcceptedAt_);
    }
}

bool UsageTracker::lockUnconfirmed() const
{
    const CriticalSectionGuard guard(lock_);
    return awaitsUnlock() && !lockSeenSinceAccepted_ &&
           activeTimeSource().tickCount64() - lockAcceptedAt_ > kLockSettleMs;
}

void UsageTracker::onInputDesktopTakenBack()
{
    const CriticalSectionGuard guard(lock_);
    ++inputDesktopTakeBacks_;
    if (!isLimitReached()) {
        return;
    }
    TickResult askedAgain;
    requestLock(askedAgain);
    if (lockAccepted_) {
        // The lock accepted before never reached the input: the one asked now settles afresh.
        lockAcceptedAt_ = lockRequestedAt_;
        lockSeenSinceAccepted_ = false;
        lastLockState_ = SessionLock::Unknown;
        lockStateAsks_.start(lockAcceptedAt_);
    }
}

uint32_t UsageTracker::inputDesktopTakeBacks() const
{
    const CriticalSectionGuard guard(lock_);
    return inputDesktopTakeBacks_;
}

bool UsageTracker::awaitsUnlock() const
{
    const CriticalSectionGuard guard(lock_);
    return lockIssued_ && lockAccepted_ && isLimitReached();
}

bool UsageTracker::lockStateDue() const
{
    const CriticalSectionGuard guard(lock_);
    return awaitsUnlock() && lockStateAsks_.due(activeTimeSource().tickCount64());
}

bool UsageTracker::sessionRegistrationDue() const
{
    const CriticalSectionGuard guard(lock_);
    return sessionRegistrations_.due(activeTimeSource().tickCount64());
}

void UsageTracker::onSessionRegistrationFailed()
{
    const CriticalSectionGuard guard(lock_);
    const uint64_t now = activeTimeSource().tickCount64();
    if (!sessionRegistrationFailed_) {
        sessionRegistrationFailed_ = true;
        sessionRegistrations_.start(now);
    }
    sessionRegistrations_.attempted(now);
}

bool UsageTracker::onSessionLockState(SessionLock state)
{
    const CriticalSectionGuard guard(lock_);
    // A changed date is for the next tick to start afresh.
    if (!awaitsUnlock() || isNewDay(usage_.date, todayDateString())) {
        return false;
    }
    const uint64_t now = activeTimeSource().tickCount64();
    lockStateAsks_.attempted(now);
    lastLockState_ = state;
    switch (state) {
    case SessionLock::Locked:
        lockedSeenSinceGrant_ = true;
        lockSeenSinceAccepted_ = true;
        // Input so far may have been typed on the lock screen.
        inputIgnoredBefore_ = now;
        return false;
    case SessionLock::Unknown:
        // How the lock screen's secure desktop looks from inside the session;
        // once the user is back at the desktop the state can be read again.
        inputIgnoredBefore_ = now;
        return false;
    case SessionLock::Unlocked:
        // The session service's own word: the unlock was missed. No input is
        // needed, since a film or a game pad moves no input timer.
        if (now - lockAcceptedAt_ <= kLockSettleMs) {
            return false;
        }
        grantGraceMinute();
        return true;
    case SessionLock::DesktopUnlocked:
        break;
    }
    uint32_t idle = 0;
    if (now <= inputIgnoredBefore_ || !idleProbe_.idleMilliseconds(&idle) || idle >= now - inputIgnoredBefore_) {
        return false;
    }
    // Input at the user's desktop after the lock: the lock never took hold,
    // or its unlock was not reported. Either way the user works again.
    grantGraceMinute();
    return true;
}

bool UsageTracker::onSessionUnlock(SessionLock state)
{
    const CriticalSectionGuard guard(lock_);
    if (isNewDay(usage_.date, todayDateString())) {
        resetDay();
        return false;
    }
    if (state == SessionLock::Locked) {
        // Whatever sent it, the session is locked: nothing to grant.
        lockedSeenSinceGrant_ = true;
        lockSeenSinceAccepted_ = true;
        return false;
    }
    // Anyone can send the notification: only an unlock that answers a lock
    // the system accepted counts, and a repeat of the one just granted does not.
    const uint64_t now = activeTimeSource().tickCount64();
    const bool echo = lastGrantAt_ != 0 && now - lastGrantAt_ < kUnlockEchoMs && !lockedSeenSinceGrant_;
    if (!isLimitReached() || !lockAccepted_ || echo) {
        return false;
    }
    grantGraceMinute();
    return true;
}

void UsageTracker::grantGraceMinute()
{
    lockIssued_ = false;
    lockRetry_ = false;
    lockAccepted_ = false;
    lastLockState_ = SessionLock::Unknown;
    lastGrantAt_ = activeTimeSource().tickCount64();
    lockedSeenSinceGrant_ = false;
    armGraceMinute();
}

void UsageTracker::onLockRefused()
{
    const CriticalSectionGuard guard(lock_);
    // A lock the system took before stands: the request was a repeat, and on
    // a locked session it fails. Otherwise staying in the locked state would
    // let the user work on unhindered.
    if (lockIssued_ && !lockAccepted_ && isLimitReached()) {
        lockIssued_ = false;
        lockRetry_ = true;
    }
}

int32_t UsageTracker::remainingSeconds() const
{
    const CriticalSectionGuard guard(lock_);
    if (!stateReadable() || savesLockedOut()) {
        return 0;
    }
    const int64_t remaining = static_cast<int64_t>(config_.dailyLimitMinutes) * 60 - usage_.usedSeconds;
    if (remaining <= 0) {
        return 0;
    }
    return remaining > INT32_MAX ? INT32_MAX : static_cast<int32_t>(remaining);
}

bool UsageTracker::isLimitReached() const
{
    const CriticalSectionGuard guard(lock_);
    return remainingSeconds() == 0;
}

int64_t UsageTracker::usedSeconds() const
{
    const CriticalSectionGuard guard(lock_);
    return usage_.usedSeconds;
}

bool UsageTracker::usageLoaded() const
{
    const CriticalSectionGuard guard(lock_);
    return files_.usageLoaded();
}

bool UsageTracker::configLoaded() const
{
    const CriticalSectionGuard guard(lock_);
    return files_.configLoaded();
}

bool UsageTracker::stateReadable() const
{
    const CriticalSectionGuard guard(lock_);
    return files_.configLoaded() && files_.usageLoaded();
}

SaveFailure UsageTracker::saveFailure() const
{
    const CriticalSectionGuard guard(lock_);
    return std::max(configSaveFailure_, usageSaveFailure_);
}

bool UsageTracker::savesLockedOut() const
{
    return saveFailure() == SaveFailure::LockedOut;
}

void UsageTracker::noteSave(SaveFailure& failure, const SaveResult& result)
{
    const bool wasLockedOut = savesLockedOut();
    failure = failureOf(result);
    if (!wasLockedOut && savesLockedOut() && isLimitReached() && !lockIssued_ && graceDeadline_ == 0) {
        // The day is spent from here on, as at a start on files that cannot
        // be read: the lock about a minute from now.
        armGraceMinute();
    }
    const SaveFailure now = saveFailure();
    if (now == SaveFailure::None) {
        saveFailureNamed_ = SaveFailure::None;
        saveFailureNoticeDue_ = SaveFailure::None;
    } else if (now != saveFailureNamed_) {
        saveFailureNamed_ = now;
        saveFailureNoticeDue_ = now;
    }
}

bool UsageTracker::exitProtectionInForce() const
{
    const CriticalSectionGuard guard(lock_);
    return exitProtectionInForce_;
}

AppConfig UsageTracker::config() const
{
    const CriticalSectionGuard guard(lock_);
    return config_;
}

bool UsageTracker::setLimit(const LimitChange& change)
{
    {
        const CriticalSectionGuard guard(lock_);
        if (change.minutes && (*change.minutes < kMinLimitMinutes || *change.minutes > kMaxLimitMinutes)) {
            return false;
        }
        if (change.minutes) {
            config_.dailyLimitMinutes = *change.minutes;
            noteConfigChange(kLimitChanged);
        }
        if (change.notifications) {
            config_.showLastThreeMinuteNotifications = *change.notifications;
            noteConfigChange(kNotificationsChanged);
        }
    }
    // config.json not read yet: read now, or taken over with the parent's
    // settings. The window thread waits a moment for the files' thread, holding
    // no lock; it takes two rounds when other work was out when it asked.
    const ULONGLONG deadline = GetTickCount64() + kSettingsFileWaitMs;
    for (int round = 0; round < 2; ++round) {
        {
            const CriticalSectionGuard guard(lock_);
            takeFiles();
            if (files_.configLoaded()) {
                break;
            }
            askFileWork();
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || !files_.waitForWork(static_cast<DWORD>(deadline - now))) {
            break;
        }
    }
    const CriticalSectionGuard guard(lock_);
    takeFiles();
    bool written = false;
    if (files_.configLoaded()) {
        written = writeConfig();
    } else {
        configUnsaved_ = true;
    }
    if (!isLimitReached()) {
        clearLockState();
    } else if (!lockIssued_) {
        // Also moves a deadline already armed, and turns a refused lock into a fresh minute.
        lockRetry_ = false;
        armGraceMinute();
    }
    publishDayState();
    return written;
}

void UsageTracker::setLanguage(Language language)
{
    const CriticalSectionGuard guard(lock_);
    config_.language = language;
    noteConfigChange(kLanguageChanged);
    setActiveLanguage(language);
    writeConfig();
}

void UsageTracker::setStatusWindowPosition(int32_t x, int32_t y)
{
    const CriticalSectionGuard guard(lock_);
    config_.statusWindowX = x;
    config_.statusWindowY = y;
    noteConfigChange(kPositionChanged);
    writeConfig();
}

bool UsageTracker::savedStatusWindowPosition(POINT& point) const
{
    const CriticalSectionGuard guard(lock_);
    if (config_.statusWindowX == -1 || config_.statusWindowY == -1) {
        return false;
    }
    point.x = config_.statusWindowX;
    point.y = config_.statusWindowY;
    return true;
}

bool UsageTracker::setPassword(const std::wstring& text)
{
    const CriticalSectionGuard guard(lock_);
    const std::wstring hashed = hashPassword(text);
    if (hashed.empty()) {
        // Never keep the password itself: the old one stays in force.
        return false;
    }
    usage_.settingsPassword = hashed;
    applyExitProtection();
    return saveUsage();
}

bool UsageTracker::removePassword()
{
    const CriticalSectionGuard guard(lock_);
    usage_.settingsPassword.clear();
    usage_.requirePasswordOnExit = false;
    applyExitProtection();
    return saveUsage();
}

bool UsageTracker::hasPassword() const
{
    const CriticalSectionGuard guard(lock_);
    return !usage_.settingsPassword.empty();
}

bool UsageTracker::settingsGuarded() const
{
    const CriticalSectionGuard guard(lock_);
    return hasPassword() || !usageLoaded();
}

bool UsageTracker::exitGuarded() const
{
    const CriticalSectionGuard guard(lock_);
    return (requirePasswordOnExit() && hasPassword()) || !usageLoaded();
}

bool UsageTracker::checkPassword(const std::wstring& text) const
{
    const CriticalSectionGuard guard(lock_);
    if (!usageLoaded()) {
        return false;  // the password in force is not known yet
    }
    if (!hasPassword()) {
        return text.empty();
    }
    if (!isPasswordHash(usage_.settingsPassword)) {
        // Still the plain password of an older file: its hash could not be made at start.
        return text == usage_.settingsPassword;
    }
    return verifyPasswordHash(text, usage_.settingsPassword);
}

void UsageTracker::hashPlainPassword()
{
    if (hasPassword() && !isPasswordHash(usage_.settingsPassword)) {
        // An older file keeps the password itself: keep only its hash from now on.
        const std::wstring hashed = hashPassword(usage_.settingsPassword);
        if (!hashed.empty()) {
            usage_.settingsPassword = hashed;
            usageUnsaved_ = true;
        }
    }
}

// A file that could not be read at start is read again at every tick; once it
// can be, the parent's values in it come back into force. Each is saved at the
// end of the tick, with whatever else the tick changed.
void UsageTracker::takeFiles(bool saveNow)
{
    std::optional<FilesOutcome> outcome = files_.takeOutcome();
    if (!outcome) {
        return;
    }
    takeConfig(outcome->config);
    takeUsage(outcome->usage);
    if (outcome->atStart) {
        // Both files as the program writes them, held from now on.
        if (saveNow) {
            retryFailedSaves();
        }
        // Both files read: nothing to say. Otherwise the next read decides.
        unreadableNotice_ = stateReadable() ? UnreadableNotice::Said : UnreadableNotice::AfterNextRead;
    } else if (unreadableNotice_ == UnreadableNotice::AfterNextRead) {
        unreadableNotice_ = stateReadable() ? UnreadableNotice::Said : UnreadableNotice::Due;
    }
    if (!isLimitReached()) {
        // Time left: the lock of the day not known is over.
        clearLockState();
    } else if (!lockIssued_ && graceDeadline_ == 0) {
        armGraceMinute();
    }
    publishDayState();
}

void UsageTracker::askFileWork()
{
    if (!loadAsked_ || files_.workPending()) {
        return;
    }
    FileRequest config;
    FileRequest usage;
    if (!files_.configLoaded()) {
        // Only a limit the parent set takes the place of a file without a
        // record (or missing where setup made it): the defaults are nobody's choice.
        const bool adopt = (configChangedMeanwhile_ & kLimitChanged) != 0;
        config = {adopt ? FileWork::ReadOrAdopt : FileWork::Read, configFileText(config_)};
    } else if (!files_.configHeld()) {
        config = {FileWork::Create, configFileText(config_)};
    }
    if (!files_.usageLoaded()) {
        usage = {FileWork::Read, usageFileText(usage_)};
    } else if (!files_.usageHeld()) {
        usage = {FileWork::Create, usageFileText(usage_)};
    }
    files_.request(std::move(config), std::move(usage));
}

void UsageTracker::noteConfigChange(unsigned change)
{
    if (!files_.configLoaded()) {
        configChangedMeanwhile_ |= change;
    }
}

void UsageTracker::takeConfig(FileOutcome<AppConfig>& outcome)
{
    if (!outcome.asked || !files_.configLoaded()) {
        return;
    }
    if (outcome.state == StateRead::Unusable) {
        // Taken over with the parent's settings: those in force are theirs, and
        // any changed since the text was made are saved at the tick's end.
        configChangedMeanwhile_ = 0;
        configUnsaved_ = true;
        return;
    }
    if (outcome.state != StateRead::Read && outcome.state != StateRead::Defaults) {
        return;  // created for the defaults in force
    }
    AppConfig stored = outcome.record;
    // Settings changed meanwhile came after the file was written: the latest change wins.
    if ((configChangedMeanwhile_ & kLimitChanged) != 0) {
        stored.dailyLimitMinutes = config_.dailyLimitMinutes;
    }
    if ((configChangedMeanwhile_ & kNotificationsChanged) != 0) {
        stored.showLastThreeMinuteNotifications = config_.showLastThreeMinuteNotifications;
    }
    if ((configChangedMeanwhile_ & kLanguageChanged) != 0) {
        stored.language = config_.language;
    }
    if ((configChangedMeanwhile_ & kPositionChanged) != 0) {
        stored.statusWindowX = config_.statusWindowX;
        stored.statusWindowY = config_.statusWindowY;
    }
    configChangedMeanwhile_ = 0;
    config_ = stored;
    setActiveLanguage(config_.language);
    configUnsaved_ = true;
}

void UsageTracker::takeUsage(FileOutcome<DailyUsage>& outcome)
{
    if (!outcome.asked || !files_.usageLoaded()) {
        return;
    }
    if (outcome.state != StateRead::Read && outcome.state != StateRead::Defaults) {
        return;  // created for the defaults in force
    }
    if (outcome.state == StateRead::Read) {
        const DailyUsage& stored = outcome.record;
        usage_.settingsPassword = stored.settingsPassword;
        usage_.requirePasswordOnExit = stored.requirePasswordOnExit;
        if (!isNewDay(stored.date, usage_.date)) {
            // The same day: its seconds and notices, with those counted meanwhile.
            const int64_t countedMeanwhile = usage_.usedSeconds;
            usage_.date = stored.date;
            usage_.usedSeconds = saturatingAdd(stored.usedSeconds, countedMeanwhile);
            usage_.warningShown = stored.warningShown || usage_.warningShown;
            usage_.threeMinuteNotificationShown =
                stored.threeMinuteNotificationShown || usage_.threeMinuteNotificationShown;
            usage_.twoMinuteNotificationShown =
                stored.twoMinuteNotificationShown || usage_.twoMinuteNotificationShown;
            usage_.oneMinuteNotificationShown =
                stored.oneMinuteNotificationShown || usage_.oneMinuteNotificationShown;
        }
    }
    usageUnsaved_ = true;
    applyExitProtection();
    hashPlainPassword();
}

bool UsageTracker::tryPassword(const std::wstring& text)
{
    const CriticalSectionGuard guard(lock_);
    const bool correct = checkPassword(text);
    wrongPasswordsInARow_ = correct ? 0 : wrongPasswordsInARow_ + 1;
    return correct;
}

uint32_t UsageTracker::passwordCheckDelayMs() const
{
    const CriticalSectionGuard guard(lock_);
    if (wrongPasswordsInARow_ < kFreePasswordTries) {
        return 0;
    }
    const uint32_t doublings = wrongPasswordsInARow_ - kFreePasswordTries;
    // Past five doublings the cap holds; the shift must not overflow either.
    if (doublings >= 5) {
        return kMaxPasswordDelayMs;
    }
    const uint32_t delay = kFirstPasswordDelayMs << doublings;
    return delay < kMaxPasswordDelayMs ? delay : kMaxPasswordDelayMs;
}

void UsageTracker::applyExitProtection()
{
    // Only while the exit password guards the program: the account it limits must not end it either.
    const bool wanted = exitGuarded();
    const bool applied = protectProcess(wanted);
    protectionSettled_ = applied;
    exitProtectionInForce_ = wanted && applied;
}

bool UsageTracker::requirePasswordOnExit() const
{
    const CriticalSectionGuard guard(lock_);
    return usage_.requirePasswordOnExit;
}

bool UsageTracker::setRequirePasswordOnExit(bool required)
{
    const CriticalSectionGuard guard(lock_);
    usage_.requirePasswordOnExit = required;
    applyExitProtection();
    return saveUsage();
}

void UsageTracker::resetDay()
{
    const CriticalSectionGuard guard(lock_);
    startNewDay();
    saveUsage();
}

void UsageTracker::startNewDay()
{
    usage_.date = todayDateString();
    usage_.usedSeconds = 0;
    activeRemainder_ = 0;
    // The time since the previous tick belongs to the day before, at least in part.
    spanStartKnown_ = false;
    usage_.warningShown = false;
    usage_.threeMinuteNotificationShown = false;
    usage_.twoMinuteNotificationShown = false;
    usage_.oneMinuteNotificationShown = false;
    clearLockState();
}

void UsageTracker::clearLockState()
{
    graceDeadline_ = 0;
    lockIssued_ = false;
    lockRetry_ = false;
    lockAccepted_ = false;
    lastLockState_ = SessionLock::Unknown;
}

bool UsageTracker::saveUsage()
{
    const CriticalSectionGuard guard(lock_);
    // Never over the parent's file while it could not be read: the change waits.
    const SaveResult saved = files_.saveUsage(usage_);
    usageUnsaved_ = !saved;
    if (files_.usageLoaded()) {
        noteSave(usageSaveFailure_, saved);
    }
    return !usageUnsaved_;
}

bool UsageTracker::saveAll()
{
    const CriticalSectionGuard guard(lock_);
    writeConfig();
    saveUsage();
    return !hasUnsavedChanges();
}

bool UsageTracker::hasUnsavedChanges() const
{
    const CriticalSectionGuard guard(lock_);
    return configUnsaved_ || usageUnsaved_;
}

void UsageTracker::armGraceMinute()
{
    graceDeadline_ = activeTimeSource().tickCount64() + kGraceMinuteMs;
}

bool UsageTracker::writeConfig()
{
    const SaveResult saved = files_.saveConfig(config_);
    configUnsaved_ = !saved;
    if (files_.configLoaded()) {
        noteSave(configSaveFailure_, saved);
    }
    return !configUnsaved_;
}

// A write that failed (a full disk, a file another program locked) is made
// again at every tick from the state in force, until it goes through.
void UsageTracker::retryFailedSaves()
{
    if (configUnsaved_) {
        writeConfig();
    }
    if (usageUnsaved_) {
        saveUsage();
    }
}
