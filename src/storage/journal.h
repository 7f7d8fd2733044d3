// The journal: add-only logs in the "journal" folder beside config.json and
// data.json, for an installation for another account. The account may read
// and append to them but never shorten them, so what the program wrote there
// outlives a rewrite of the two JSON files while the program is not running.
//
// Both logs hold one record per line, each ended by "\n":
//   day logs      "D 2026-12-11 3725": the date and the seconds used on it.
//   settings.log  "S seq=... limit=... notify=... exit=... verifier=... prev=...
//                  pub=... kdf=... salt=... nonce=... sealed=... tag=... sig=...",
//                  each field present in this order, "-" for none.
// An append starts with a line end when the file does not end with one
// (appendedBytes), so a torn append is always a line of its own. When read:
//   - a last line without its line end is an append in progress: ignored;
//   - a line that is the start of a record, or a line of NULs (what a power
//     cut leaves on NTFS), or the start of a record followed by NULs, is a
//     torn append: ignored wherever it sits;
//   - any other line that is not a whole record means the log was tampered
//     with, and so does a log over kMaxJournalBytes.
// A day record cut inside its count reads as a smaller count once the next
// append ends its line: counts only ever grow, so that never raises one. A
// settings record cannot be cut into another whole one (its signature has
// one length).
// Everything here works on bytes; journalFiles.h reads and writes the files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// More than this is not a log of the program's.
inline constexpr size_t kMaxJournalBytes = 1024 * 1024;
// One day log per program start and day change: more for one day means
// another program made them.
inline constexpr size_t kMaxDayLogsPerDay = 64;
// The longest local day (the one the clocks go back on).
inline constexpr int64_t kMaxDaySeconds = 25 * 3600;
inline constexpr size_t kDayLogRandomBytes = 16;

// ---- Appending ----

// What to append to a log whose bytes end with `fileTail` (its last byte is
// enough; empty for an empty file): a line end first when the file does not
// end with one, then `line` and its line end.
std::string appendedBytes(std::string_view fileTail, std::string_view line);

// ---- Day logs ----

// Whether `count` day logs for one day can all be the program's.
bool dayLogCountAllowed(size_t count);

// "day-<date>-<32 lowercase hex>.log" for a "YYYY-MM-DD" date and
// kDayLogRandomBytes random bytes; empty when either is malformed.
std::wstring dayLogName(std::wstring_view date, const std::vector<uint8_t>& random);
// The same with fresh random bytes from the system; empty on failure.
std::wstring newDayLogName(std::wstring_view date);
// Whether `name` is exactly a day log's name for `date`.
bool isDayLogNameFor(std::wstring_view name, std::wstring_view date);

// "D <date> <seconds>" without its line end; empty when the date is not a
// date or the seconds lie outside 0..kMaxDaySeconds.
std::string dayRecordLine(std::wstring_view date, int64_t usedSeconds);

struct DayRecord {
    std::wstring date;
    int64_t usedSeconds = 0;
};

// The records of one day log; nullopt when it was tampered with.
std::optional<std::vector<DayRecord>> parseDayLog(std::string_view bytes);

// The largest count recorded for `date` in `logs` (the bytes of each of
// today's day logs), 0 when there is none; records of other dates do not
// count. A program of the account may append records of its own: they can
// only raise the count. Nullopt when a log was tampered with or there are
// more logs than the program makes in a day.
std::optional<int64_t> largestDayCount(const std::vector<std::string>& logs, std::wstring_view date);

// ---- settings.log ----

// The settings the log protects.
struct JournalSettings {
    int32_t dailyLimitMinutes = 120;
    bool showLastThreeMinuteNotifications = true;
    bool requirePasswordOnExit = false;
    std::wstring passwordVerifier;  // the stored "pbkdf2-sha256$..." text; empty: no password
};

// The PBKDF2 cost of the key that seals a record's private key: the same as
// the password's verifier, which the account can read too.
uint64_t settingsSealIterations();

// The first record, written by setup: a fresh key pair sealed under
// `password`, signed by itself. With no verifier in `settings` the password
// must be empty and the record carries no key. Nullopt when the settings are
// out of range, the verifier does not match the password, or the system's
// cryptography fails.
std::optional<std::string> makeFirstSettingsRecord(const JournalSettings& settings, std::wstring_view password);

// The record that follows `previousLine` (a record, without its line end)
// with `newSettings`. While the previous record carries a key, the typed
// password must open it, and the new record is signed with it; with no key
// there it needs no signature. The new record keeps the previous key when the
// verifier stays the same; a changed verifier needs `newPassword` (which it
// must match) and gets a fresh key pair sealed under it; no verifier means no
// key. Nullopt when the typed password does not open the key, the settings
// are inconsistent, or the system's cryptography fails.
std::optional<std::string> makeNextSettingsRecord(std::string_view previousLine, const JournalSettings& newSettings,
                                                  std::wstring_view typedPassword,
                                                  std::optional<std::wstring_view> newPassword);

// SHA-256 of a record's line (without its line end) in lowercase hex: what
// setup keeps as the root and what the next record names as its previous.
// Empty on failure.
std::string settingsRecordDigest(std::string_view line);

// The record in force and what it says.
struct SettingsInForce {
    JournalSettings settings;
    uint64_t sequence = 0;
    std::string line;  // without its line end: the previous line for makeNextSettingsRecord
};

// The settings of the last record of the chain that starts with the record
// whose digest is `rootDigest` (lowercase hex). Nullopt (tampered) when the
// first record is not the root, when a record does not follow the one before
// it (its previous digest, a higher sequence, a signature by the previous
// record's key while that one has a key), and for any line that is neither a
// record nor a torn append; a fork or a replayed record is one of those.
std::optional<SettingsInForce> checkSettingsLog(std::string_view bytes, std::string_view rootDigest);
