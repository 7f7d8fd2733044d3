#include "core/usageTracker.h"

#include <cwchar>

#include "core/passwordHash.h"
#include "core/processProtection.h"
#include "core/timeSource.h"
#include "storage/settingsFiles.h"
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
// A file held at start is tried for about five seconds before the program runs without it.
constexpr int kStartReadAttempts = 50;
constexpr DWORD kStartReadPauseMs = 100;
constexpr uint32_t kFirstPasswordDelayMs = 2000;
constexpr uint32_t kMaxPasswordDelayMs = 60000;

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

std::wstring todayDateString()
{
    SYSTEMTIME now = {};
    activeTimeSource().localTime(&now);
    wchar_t text[11] = {};
    swprintf(text, 11, L"%04u-%02u-%02u", static_cast<unsigned>(now.wYear), static_cast<unsigned>(now.wMonth),
             static_cast<unsigned>(now.wDay));
    return text;
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

// The day number of a "YYYY-MM-DD" date; false for anything else.
bool dayNumberOf(const std::wstring& date, int64_t& days)
{
    if (date.size() != 10 || date[4] != L'-' || date[7] != L'-') {
        return false;
    }
    unsigned parts[3] = {};
    const size_t starts[3] = {0, 5, 8};
    const size_t lengths[3] = {4, 2, 2};
    for (int i = 0; i < 3; ++i) {
        for (size_t at = starts[i]; at < starts[i] + lengths[i]; ++at) {
            if (date[at] < L'0' || date[at] > L'9') {
                return false;
            }
            parts[i] = parts[i] * 10 + static_cast<unsigned>(date[at] - L'0');
        }
    }
    if (parts[1] < 1 || parts[1] > 12 || parts[2] < 1 || parts[2] > 31) {
        return false;
    }
    days = daysFromCivil(parts[0], parts[1], parts[2]);
    return true;
}

}  // namespace

// A record dated the day after today is what moving the time zone back across
// midnight leaves: that day goes on, or each move back and forth would bring
// a fresh allowance. Any other change of date starts a new day.
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
    return record != now + 1;
}

UsageTracker::UsageTracker() : UsageTracker(executableDirectory()) {}

UsageTracker::UsageTracker(const std::wstring& directory)
    : configPath_(directory + L"\\config.json"),
      dataPath_(directory + L"\\data.json"),
      lockStateAsks_(kQuickBackOffMs, kLockStatePeriodMs),
      sessionRegistrations_(kQuickBackOffMs, kSessionRegistrationPeriodMs)
{
}

UsageTracker::~UsageTracker()
{
    const CriticalSectionGuard guard(lock_);
    retryFailedSaves();
}

void UsageTracker::load()
{
    const CriticalSectionGuard guard(lock_);
    removeStaleTempFiles(configPath_);
    removeStaleTempFiles(dataPath_);
    HANDLE watch = FindFirstChangeNotificationW(directoryOf(configPath_).c_str(), FALSE,
                                                FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
                                                    FILE_NOTIFY_CHANGE_LAST_WRITE);
    directoryWatch_.reset(watch != INVALID_HANDLE_VALUE ? watch : nullptr);

    // A backup or scanning tool at logon may hold a file for a moment.
    std::string configBytes;
    std::string usageBytes;
    FileState configState = FileState::Unreadable;
    FileState usageState = FileState::Unreadable;
    for (int attempt = 0; attempt < kStartReadAttempts; ++attempt) {
        if (configState == FileState::Unreadable) {
            configState = readStateFile(configPath_, configBytes);
        }
        if (usageState == FileState::Unreadable) {
            usageState = readStateFile(dataPath_, usageBytes);
        }
        if (configState != FileState::Unreadable && usageState != FileState::Unreadable) {
            break;
        }
        Sleep(kStartReadPauseMs);
    }

    // Not loaded: the program runs on the defaults and never writes that file
    // until it can read it (each tick tries), so the parent's values are not lost.
    configLoaded_ = configState != FileState::Unreadable;
    if (configState == FileState::Read) {
        parseConfigText(configBytes, config_);
    }
    writeConfig();
    setLanguage(config_.language);

    usageLoaded_ = usageState != FileState::Unreadable;
    if (usageState != FileState::Read || !parseUsageText(usageBytes, usage_)) {
        usage_.date = todayDateString();
        saveUsage();
    }
    // Before anything else can take time, and before any window exists.
    applyExitProtection();
    hashPlainPassword();
    if (isNewDay(usage_.date, todayDateString())) {
        resetDay();
    }
    if (isLimitReached()) {
        // Started on a spent day: lock about a minute from now.
        armGraceMinute();
    }
}

TickResult UsageTracker::tick()
{
    const CriticalSectionGuard guard(lock_);
    // Every tick, counted or not: a change must not wait for the next counted second.
    loadHeldFiles();
    retryFailedSaves();
    undoOutsideEdits();
    // Threads are born protected; only a protection (or a release) that the
    // system refused is asked for again, and the threads started since where
    // the system does not give them the protection at birth.
    if (!protectionSettled_ || (exitProtectionInForce_ && laterThreadsNeedAPass())) {
        applyExitProtection();
    }
    // Whatever changed in this tick reaches data.json in one save, at its end.
    bool changed = false;
    if (isNewDay(usage_.date, todayDateString())) {
        startNewDay();
        changed = true;
    }
    TickResult result;
    if (!isLimitReached() && idleProbe_.isUserActive()) {
        usage_.usedSeconds += 1;
        changed = true;
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
            for (const Notice& notice : kNotices) {
                if (remaining == notice.secondsLeft && !(usage_.*notice.shown)) {
                    usage_.*notice.shown = true;
                    result.minuteNotice = notice.minutes;
                    break;
                }
            }
        }
        if (remaining == 0) {
            requestLock(result);
        }
    } else if (isLimitReached() && !lockIssued_) {
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
    if (changed) {
        saveUsage();
    }
    return result;
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
        lastLockState_ = SessionLock::Unknown;
        lockStateAsks_.start(lockAcceptedAt_);
    }
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
    return usageLoaded_;
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

bool UsageTracker::setLimit(int32_t minutes, bool notifications)
{
    const CriticalSectionGuard guard(lock_);
    if (minutes < kMinLimitMinutes || minutes > kMaxLimitMinutes) {
        return false;
    }
    config_.dailyLimitMinutes = minutes;
    config_.showLastThreeMinuteNotifications = notifications;
    const bool written = writeConfig();
    if (isLimitReached() && !lockIssued_) {
        // Also moves a deadline already armed, and turns a refused lock into a fresh minute.
        lockRetry_ = false;
        armGraceMinute();
    }
    return written;
}

void UsageTracker::setLanguage(Language language)
{
    const CriticalSectionGuard guard(lock_);
    config_.language = language;
    setActiveLanguage(language);
    writeConfig();
}

void UsageTracker::setStatusWindowPosition(int32_t x, int32_t y)
{
    const CriticalSectionGuard guard(lock_);
    config_.statusWindowX = x;
    config_.statusWindowY = y;
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
    return hasPassword() || !usageLoaded_;
}

bool UsageTracker::exitGuarded() const
{
    const CriticalSectionGuard guard(lock_);
    return (requirePasswordOnExit() && hasPassword()) || !usageLoaded_;
}

bool UsageTracker::checkPassword(const std::wstring& text) const
{
    const CriticalSectionGuard guard(lock_);
    if (!usageLoaded_) {
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
            saveUsage();
        }
    }
}

// A file that could not be read at start is read again at every tick; once it
// can be, the parent's values in it come back into force.
void UsageTracker::loadHeldFiles()
{
    std::string bytes;
    if (!configLoaded_) {
        const FileState state = readStateFile(configPath_, bytes);
        if (state != FileState::Unreadable) {
            configLoaded_ = true;
            if (state == FileState::Read) {
                parseConfigText(bytes, config_);
                setActiveLanguage(config_.language);
            }
            writeConfig();
        }
    }
    if (!usageLoaded_) {
        const FileState state = readStateFile(dataPath_, bytes);
        if (state == FileState::Unreadable) {
            return;
        }
        usageLoaded_ = true;
        DailyUsage stored;
        if (state == FileState::Read && parseUsageText(bytes, stored)) {
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
        saveUsage();
        applyExitProtection();
        hashPlainPassword();
        if (isLimitReached() && !lockIssued_ && graceDeadline_ == 0) {
            armGraceMinute();
        }
    }
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
    usage_.warningShown = false;
    usage_.threeMinuteNotificationShown = false;
    usage_.twoMinuteNotificationShown = false;
    usage_.oneMinuteNotificationShown = false;
    graceDeadline_ = 0;
    lockIssued_ = false;
    lockRetry_ = false;
    lockAccepted_ = false;
    lastLockState_ = SessionLock::Unknown;
}

bool UsageTracker::saveUsage()
{
    const CriticalSectionGuard guard(lock_);
    if (!usageLoaded_) {
        return false;  // never over the parent's file
    }
    usageUnsaved_ = !writeUsageFile(dataPath_, usage_);
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
    if (!configLoaded_) {
        return false;
    }
    configUnsaved_ = !writeConfigFile(configPath_, config_);
    return !configUnsaved_;
}

// While the program runs, the state in force is its own: a file that another
// program (or Notepad) changed, replaced or deleted gets that state back. The
// directory's change notification spares the reads while nothing changed; without
// one, both files are compared at every tick.
void UsageTracker::undoOutsideEdits()
{
    if (directoryWatch_) {
        if (WaitForSingleObject(directoryWatch_.get(), 0) != WAIT_OBJECT_0) {
            return;
        }
        FindNextChangeNotification(directoryWatch_.get());
    }
    // Bounded reads: a file blown up to gigabytes is written over, not read.
    std::string bytes;
    if (!configUnsaved_ && (readStateFile(configPath_, bytes) != FileState::Read || bytes != configFileText(config_))) {
        writeConfig();
    }
    if (!usageUnsaved_ && (readStateFile(dataPath_, bytes) != FileState::Read || bytes != usageFileText(usage_))) {
        saveUsage();
    }
}

// A file that another program holds open (a scanner, a backup) refuses the
// write for a while; each file is written again in full from its record, so
// the newest values reach the disk as soon as it lets go.
void UsageTracker::retryFailedSaves()
{
    if (configUnsaved_) {
        writeConfig();
    }
    if (usageUnsaved_) {
        saveUsage();
    }
}
