#include "storage/journal.h"

#include <cstring>
#include <span>

#include "core/journalCrypto.h"
#include "core/passwordHash.h"
#include "storage/settingsFiles.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr std::string_view kNone = "-";
constexpr std::string_view kVerifierPrefix = "pbkdf2-sha256$";
// Far longer than the program's own verifier, short enough to keep lines short.
constexpr size_t kMaxVerifierLength = 256;
constexpr uint64_t kMaxSequence = 999999999999999;
constexpr size_t kSealSaltBytes = 16;
constexpr std::wstring_view kDayLogPrefix = L"day-";
constexpr std::wstring_view kDayLogSuffix = L".log";

// ---- Values ----

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isLowerHex(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f');
}

bool isBase64Character(char c)
{
    return c != '\0' && std::strchr(kBase64Alphabet, c) != nullptr;
}

std::string hexOf(const std::vector<uint8_t>& bytes)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const uint8_t byte : bytes) {
        text.push_back(kHexDigits[byte >> 4]);
        text.push_back(kHexDigits[byte & 15]);
    }
    return text;
}

std::string asciiOf(std::wstring_view text)
{
    std::string ascii;
    ascii.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == 0 || c > 0x7e) {
            return {};
        }
        ascii.push_back(static_cast<char>(c));
    }
    return ascii;
}

std::wstring wideOf(std::string_view ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// Decimal digits without a leading zero (but "0" itself), at most `maxDigits`.
bool parseNumber(std::string_view text, size_t maxDigits, uint64_t minimum, uint64_t maximum, uint64_t& value)
{
    if (text.empty() || text.size() > maxDigits || (text[0] == '0' && text.size() > 1)) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (!isDigit(c)) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value >= minimum && value <= maximum;
}

bool startOfNumber(std::string_view text, size_t maxDigits)
{
    if (text.size() >= maxDigits || (!text.empty() && text[0] == '0')) {
        return false;
    }
    for (const char c : text) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

bool isDate(std::string_view text)
{
    int64_t day = 0;
    return text.size() == 10 && dayNumberOf(wideOf(text), day);
}

bool startOfDate(std::string_view text)
{
    if (text.size() >= 10) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == 4 || i == 7 ? text[i] != '-' : !isDigit(text[i])) {
            return false;
        }
    }
    return true;
}

size_t base64Length(size_t bytes)
{
    return (bytes + 2) / 3 * 4;
}

bool startOfBase64(std::string_view text, size_t bytes)
{
    if (text.size() >= base64Length(bytes)) {
        return false;
    }
    for (const char c : text) {
        if (!isBase64Character(c)) {
            return false;
        }
    }
    return true;
}

bool decodeExact(std::string_view text, size_t bytes, std::vector<uint8_t>& value)
{
    return text.size() == base64Length(bytes) && decodeBase64(text, value) && value.size() == bytes;
}

// The verifier's form as the password check reads it: iterations, a salt and
// a 32-byte hash.
bool isVerifier(std::string_view text)
{
    if (text.size() > kMaxVerifierLength || !text.starts_with(kVerifierPrefix)) {
        return false;
    }
    const std::string_view fields = text.substr(kVerifierPrefix.size());
    const size_t first = fields.find('$');
    const size_t second = first == std::string_view::npos ? first : fields.find('$', first + 1);
    if (second == std::string_view::npos) {
        return false;
    }
    uint64_t iterations = 0;
    std::vector<uint8_t> salt;
    std::vector<uint8_t> hash;
    return parseNumber(fields.substr(0, first), 10, 1, 10ull * kPasswordHashIterations, iterations) &&
           decodeBase64(fields.substr(first + 1, second - first - 1), salt) && !salt.empty() &&
           decodeBase64(fields.substr(second + 1), hash) && hash.size() == kPasswordHashBytes;
}

bool startOfVerifier(std::string_view text)
{
    if (text.size() <= kVerifierPrefix.size()) {
        return kVerifierPrefix.starts_with(text);
    }
    if (text.size() >= kMaxVerifierLength || !text.starts_with(kVerifierPrefix)) {
        return false;
    }
    for (const char c : text.substr(kVerifierPrefix.size())) {
        if (!isBase64Character(c) && c != '$') {
            return false;
        }
    }
    return true;
}

bool isDigest(std::string_view text)
{
    if (text.size() != 2 * kSha256Bytes) {
        return false;
    }
    for (const char c : text) {
        if (!isLowerHex(c)) {
            return false;
        }
    }
    return true;
}

bool startOfDigest(std::string_view text)
{
    if (text.size() >= 2 * kSha256Bytes) {
        return false;
    }
    for (const char c : text) {
        if (!isLowerHex(c)) {
            return false;
        }
    }
    return true;
}

// ---- Lines as fields ----

// One field of a record: the label before it, and what its value may be.
struct Field {
    std::string_view label;
    bool (*whole)(std::string_view value);
    // Whether more characters could make the value whole (the empty value included).
    bool (*start)(std::string_view value);
};

enum class Match { Whole, Start, No };

// Matches `line` against the fields, which follow one another with nothing
// between them; a value runs to the next space. On Whole, `values` holds them.
Match matchFields(std::string_view line, std::span<const Field> fields, std::vector<std::string_view>& values)
{
    values.clear();
    size_t at = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        const Field& field = fields[i];
        const std::string_view rest = line.substr(at);
        if (rest.size() < field.label.size()) {
            return field.label.starts_with(rest) ? Match::Start : Match::No;
        }
        if (!rest.starts_with(field.label)) {
            return Match::No;
        }
        at += field.label.size();
        const size_t end = line.find(' ', at);
        const bool last = i + 1 == fields.size();
        const std::string_view value = line.substr(at, end == std::string_view::npos ? end : end - at);
        if (end == std::string_view::npos) {
            if (last && field.whole(value)) {
                values.push_back(value);
                return Match::Whole;
            }
            return field.whole(value) || field.start(value) ? Match::Start : Match::No;
        }
        if (last || !field.whole(value)) {
            return Match::No;
        }
        values.push_back(value);
        at = end;
    }
    return Match::No;
}

// What a line of a log is.
enum class LineKind { Record, Torn, Foreign };

// A record is whole; a torn append is the start of one, possibly followed by
// the NULs a power cut leaves (a whole record followed by NULs never got its
// line end, so it is torn too).
LineKind kindOfLine(std::string_view line, std::span<const Field> fields, std::vector<std::string_view>& values)
{
    const Match match = matchFields(line, fields, values);
    if (match != Match::No) {
        return match == Match::Whole ? LineKind::Record : LineKind::Torn;
    }
    const size_t kept = line.find_last_not_of('\0');
    if (kept == line.size() - 1) {
        return LineKind::Foreign;
    }
    std::vector<std::string_view> ignored;
    return kept == std::string_view::npos || matchFields(line.substr(0, kept + 1), fields, ignored) != Match::No
               ? LineKind::Torn
               : LineKind::Foreign;
}

// The lines that ended with a line end; the last one without is still being appended.
std::vector<std::string_view> finishedLines(std::string_view bytes)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n', start)) {
        lines.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// ---- Day records ----

bool wholeSeconds(std::string_view value)
{
    uint64_t seconds = 0;
    return parseNumber(value, 5, 0, kMaxDaySeconds, seconds);
}

bool startOfSeconds(std::string_view value)
{
    return startOfNumber(value, 5);
}

constexpr Field kDayFields[] = {
    {"D ", isDate, startOfDate},
    {" ", wholeSeconds, startOfSeconds},
};

// ---- Settings records ----

constexpr size_t kSequenceDigits = 15;
constexpr size_t kLimitDigits = 4;
constexpr size_t kIterationDigits = 7;

template <size_t Bytes>
bool wholeBase64OrNone(std::string_view value)
{
    std::vector<uint8_t> decoded;
    return value == kNone || decodeExact(value, Bytes, decoded);
}

template <size_t Bytes>
bool startOfBase64Of(std::string_view value)
{
    return startOfBase64(value, Bytes);
}

bool wholeSequence(std::string_view value)
{
    uint64_t sequence = 0;
    return parseNumber(value, kSequenceDigits, 1, kMaxSequence, sequence);
}

bool startOfSequence(std::string_view value)
{
    return startOfNumber(value, kSequenceDigits);
}

bool wholeLimit(std::string_view value)
{
    uint64_t limit = 0;
    return parseNumber(value, kLimitDigits, 1, 1440, limit);
}

bool startOfLimit(std::string_view value)
{
    return startOfNumber(value, kLimitDigits);
}

bool wholeFlag(std::string_view value)
{
    return value == "0" || value == "1";
}

bool startOfFlag(std::string_view value)
{
    return value.empty();
}

bool wholeVerifierOrNone(std::string_view value)
{
    return value == kNone || isVerifier(value);
}

bool wholeDigestOrNone(std::string_view value)
{
    return value == kNone || isDigest(value);
}

bool wholeIterationsOrNone(std::string_view value)
{
    uint64_t iterations = 0;
    return value == kNone || parseNumber(value, kIterationDigits, 1, 10ull * kPasswordHashIterations, iterations);
}

bool startOfIterations(std::string_view value)
{
    return startOfNumber(value, kIterationDigits);
}

enum SettingsField { kSequence, kLimit, kNotify, kExit, kVerifier, kPrevious, kPublic, kIterations, kSalt, kNonce,
                     kSealedKey, kTag, kSignature, kFieldCount };

constexpr Field kSettingsFields[kFieldCount] = {
    {"S seq=", wholeSequence, startOfSequence},
    {" limit=", wholeLimit, startOfLimit},
    {" notify=", wholeFlag, startOfFlag},
    {" exit=", wholeFlag, startOfFlag},
    {" verifier=", wholeVerifierOrNone, startOfVerifier},
    {" prev=", wholeDigestOrNone, startOfDigest},
    {" pub=", wholeBase64OrNone<kEcdsaPublicBlobBytes>, startOfBase64Of<kEcdsaPublicBlobBytes>},
    {" kdf=", wholeIterationsOrNone, startOfIterations},
    {" salt=", wholeBase64OrNone<kSealSaltBytes>, startOfBase64Of<kSealSaltBytes>},
    {" nonce=", wholeBase64OrNone<kSealNonceBytes>, startOfBase64Of<kSealNonceBytes>},
    {" sealed=", wholeBase64OrNone<kEcdsaPrivateBlobBytes>, startOfBase64Of<kEcdsaPrivateBlobBytes>},
    {" tag=", wholeBase64OrNone<kSealTagBytes>, startOfBase64Of<kSealTagBytes>},
    {" sig=", wholeBase64OrNone<kEcdsaSignatureBytes>, startOfBase64Of<kEcdsaSignatureBytes>},
};

// The private key of a record, sealed under its password.
struct SealedKey {
    std::vector<uint8_t> publicBlob;
    uint64_t iterations = 0;
    std::vector<uint8_t> salt;
    Sealed sealed;
};

struct SettingsRecord {
    uint64_t sequence = 0;
    JournalSettings settings;
    std::string previousDigest;      // empty: the first record
    std::optional<SealedKey> key;    // none exactly when there is no password
    std::vector<uint8_t> signature;  // empty: unsigned
    std::string_view signedText;     // the line up to its signature field
};

// A whole settings record: its fields, and a key exactly with a verifier.
LineKind readSettingsLine(std::string_view line, SettingsRecord& record)
{
    std::vector<std::string_view> values;
    const LineKind kind = kindOfLine(line, kSettingsFields, values);
    if (kind != LineKind::Record) {
        return kind;
    }
    uint64_t number = 0;
    parseNumber(values[kSequence], kSequenceDigits, 1, kMaxSequence, record.sequence);
    parseNumber(values[kLimit], kLimitDigits, 1, 1440, number);
    record.settings.dailyLimitMinutes = static_cast<int32_t>(number);
    record.settings.showLastThreeMinuteNotifications = values[kNotify] == "1";
    record.settings.requirePasswordOnExit = values[kExit] == "1";
    record.settings.passwordVerifier = values[kVerifier] == kNone ? std::wstring() : wideOf(values[kVerifier]);
    record.previousDigest = values[kPrevious] == kNone ? std::string() : std::string(values[kPrevious]);
    size_t keyFields = 0;
    for (const SettingsField field : {kPublic, kIterations, kSalt, kNonce, kSealedKey, kTag}) {
        keyFields += values[field] == kNone ? 0 : 1;
    }
    const bool hasVerifier = values[kVerifier] != kNone;
    if (keyFields != 0 && (keyFields != 6 || !hasVerifier)) {
        return LineKind::Foreign;
    }
    if (hasVerifier) {
        if (keyFields == 0) {
            return LineKind::Foreign;
        }
        SealedKey key;
        decodeBase64(values[kPublic], key.publicBlob);
        parseNumber(values[kIterations], kIterationDigits, 1, 10ull * kPasswordHashIterations, key.iterations);
        decodeBase64(values[kSalt], key.salt);
        decodeBase64(values[kNonce], key.sealed.nonce);
        decodeBase64(values[kSealedKey], key.sealed.ciphertext);
        decodeBase64(values[kTag], key.sealed.tag);
        if (!hasPublicBlobHeader(key.publicBlob)) {
            return LineKind::Foreign;
        }
        record.key = std::move(key);
    }
    if (values[kSignature] != kNone) {
        decodeBase64(values[kSignature], record.signature);
    }
    record.signedText = line.substr(0, line.size() - values[kSignature].size() - kSettingsFields[kSignature].label.size());
    return LineKind::Record;
}

std::string flagText(bool value)
{
    return value ? "1" : "0";
}

bool settingsInRange(const JournalSettings& settings)
{
    return settings.dailyLimitMinutes >= 1 && settings.dailyLimitMinutes <= 1440 &&
           (settings.passwordVerifier.empty() || isVerifier(asciiOf(settings.passwordVerifier)));
}

// The record's line up to its signature field.
std::string unsignedText(uint64_t sequence, const JournalSettings& settings, std::string_view previousDigest,
                         const SealedKey* key)
{
    const auto orNone = [key](const auto& value) {
        return key != nullptr ? value() : std::string(kNone);
    };
    std::string text = "S seq=" + std::to_string(sequence);
    text += " limit=" + std::to_string(settings.dailyLimitMinutes);
    text += " notify=" + flagText(settings.showLastThreeMinuteNotifications);
    text += " exit=" + flagText(settings.requirePasswordOnExit);
    text += " verifier=" + (settings.passwordVerifier.empty() ? std::string(kNone) : asciiOf(settings.passwordVerifier));
    text += " prev=" + (previousDigest.empty() ? std::string(kNone) : std::string(previousDigest));
    text += " pub=" + orNone([key] { return encodeBase64(key->publicBlob); });
    text += " kdf=" + orNone([key] { return std::to_string(key->iterations); });
    text += " salt=" + orNone([key] { return encodeBase64(key->salt); });
    text += " nonce=" + orNone([key] { return encodeBase64(key->sealed.nonce); });
    text += " sealed=" + orNone([key] { return encodeBase64(key->sealed.ciphertext); });
    text += " tag=" + orNone([key] { return encodeBase64(key->sealed.tag); });
    return text;
}

// `text` with its signature field: signed by `signingKey`, or "-" without one.
std::optional<std::string> signedLine(std::string text, const SecretBytes* signingKey)
{
    if (signingKey == nullptr) {
        return text + " sig=" + std::string(kNone);
    }
    const std::optional<std::vector<uint8_t>> signature = signMessage(*signingKey, text);
    if (!signature) {
        return std::nullopt;
    }
    return text + " sig=" + encodeBase64(*signature);
}

// A fresh key pair with its private half sealed under `password`; the
// private half stays in `privateBlob` for signing.
std::optional<SealedKey> freshSealedKey(std::wstring_view password, SecretBytes& privateBlob)
{
    std::optional<SigningKeyPair> pair = generateSigningKey();
    std::optional<std::vector<uint8_t>> salt = randomBytes(kSealSaltBytes);
    if (!pair || !salt) {
        return std::nullopt;
    }
    const SecretBytes sealKey = sealKeyFromPassword(password, *salt, settingsSealIterations());
    if (sealKey.size() != kSealKeyBytes) {
        return std::nullopt;
    }
    std::optional<Sealed> sealed = sealBytes(sealKey, pair->privateBlob, pair->publicBlob);
    if (!sealed) {
        return std::nullopt;
    }
    SealedKey key;
    key.publicBlob = std::move(pair->publicBlob);
    key.iterations = settingsSealIterations();
    key.salt = std::move(*salt);
    key.sealed = std::move(*sealed);
    privateBlob = std::move(pair->privateBlob);
    return key;
}

std::optional<SecretBytes> openSealedKey(const SealedKey& key, std::wstring_view password)
{
    const SecretBytes sealKey = sealKeyFromPassword(password, key.salt, key.iterations);
    if (sealKey.size() != kSealKeyBytes) {
        return std::nullopt;
    }
    return openSealed(sealKey, key.sealed, key.publicBlob);
}

}  // namespace

// ---- Appending ----

std::string appendedBytes(std::string_view fileTail, std::string_view line)
{
    std::string bytes;
    bytes.reserve(line.size() + 2);
    if (!fileTail.empty() && fileTail.back() != '\n') {
        bytes.push_back('\n');
    }
    bytes.append(line);
    bytes.push_back('\n');
    return bytes;
}

// ---- Day logs ----

bool dayLogCountAllowed(size_t count)
{
    return count <= kMaxDayLogsPerDay;
}

std::wstring dayLogName(std::wstring_view date, const std::vector<uint8_t>& random)
{
    if (!isDate(asciiOf(date)) || random.size() != kDayLogRandomBytes) {
        return {};
    }
    return std::wstring(kDayLogPrefix) + std::wstring(date) + L"-" + wideOf(hexOf(random)) +
           std::wstring(kDayLogSuffix);
}

std::wstring newDayLogName(std::wstring_view date)
{
    const std::optional<std::vector<uint8_t>> random = randomBytes(kDayLogRandomBytes);
    return random ? dayLogName(date, *random) : std::wstring();
}

bool isDayLogNameFor(std::wstring_view name, std::wstring_view date)
{
    const size_t hexAt = kDayLogPrefix.size() + date.size() + 1;
    const size_t hexLength = 2 * kDayLogRandomBytes;
    if (!isDate(asciiOf(date)) || name.size() != hexAt + hexLength + kDayLogSuffix.size() ||
        !name.starts_with(kDayLogPrefix) || name.substr(kDayLogPrefix.size(), date.size()) != date ||
        name[hexAt - 1] != L'-' || !name.ends_with(kDayLogSuffix)) {
        return false;
    }
    for (const wchar_t c : name.substr(hexAt, hexLength)) {
        if (c > 0x7f || !isLowerHex(static_cast<char>(c))) {
            return false;
        }
    }
    return true;
}

std::string dayRecordLine(std::wstring_view date, int64_t usedSeconds)
{
    const std::string ascii = asciiOf(date);
    if (!isDate(ascii) || usedSeconds < 0 || usedSeconds > kMaxDaySeconds) {
        return {};
    }
    return "D " + ascii + " " + std::to_string(usedSeconds);
}

std::optional<std::vector<DayRecord>> parseDayLog(std::string_view bytes)
{
    if (bytes.size() > kMaxJournalBytes) {
        return std::nullopt;
    }
    std::vector<DayRecord> records;
    std::vector<std::string_view> values;
    for (const std::string_view line : finishedLines(bytes)) {
        const LineKind kind = kindOfLine(line, kDayFields, values);
        if (kind == LineKind::Foreign) {
            return std::nullopt;
        }
        if (kind == LineKind::Record) {
            uint64_t seconds = 0;
            parseNumber(values[1], 5, 0, kMaxDaySeconds, seconds);
            records.push_back({wideOf(values[0]), static_cast<int64_t>(seconds)});
        }
    }
    return records;
}

std::optional<int64_t> largestDayCount(const std::vector<std::string>& logs, std::wstring_view date)
{
    if (!dayLogCountAllowed(logs.size())) {
        return std::nullopt;
    }
    int64_t largest = 0;
    for (const std::string& log : logs) {
        const std::optional<std::vector<DayRecord>> records = parseDayLog(log);
        if (!records) {
            return std::nullopt;
        }
        for (const DayRecord& record : *records) {
            if (record.date == date && record.usedSeconds > largest) {
                largest = record.usedSeconds;
            }
        }
    }
    return largest;
}

// ---- settings.log ----

uint64_t settingsSealIterations()
{
    return kPasswordHashIterations;
}

std::string settingsRecordDigest(std::string_view line)
{
    const std::optional<std::vector<uint8_t>> digest = sha256Of(line);
    return digest ? hexOf(*digest) : std::string();
}

std::optional<std::string> makeFirstSettingsRecord(const JournalSettings& settings, std::wstring_view password)
{
    if (!settingsInRange(settings)) {
        return std::nullopt;
    }
    if (settings.passwordVerifier.empty()) {
        if (!password.empty()) {
            return std::nullopt;
        }
        return signedLine(unsignedText(1, settings, {}, nullptr), nullptr);
    }
    if (!verifyPasswordHash(password, settings.passwordVerifier)) {
        return std::nullopt;
    }
    SecretBytes privateBlob;
    const std::optional<SealedKey> key = freshSealedKey(password, privateBlob);
    if (!key) {
        return std::nullopt;
    }
    return signedLine(unsignedText(1, settings, {}, &*key), &privateBlob);
}

std::optional<std::string> makeNextSettingsRecord(std::string_view previousLine, const JournalSettings& newSettings,
                                                  std::wstring_view typedPassword,
                                                  std::optional<std::wstring_view> newPassword)
{
    SettingsRecord previous;
    if (readSettingsLine(previousLine, previous) != LineKind::Record || !settingsInRange(newSettings) ||
        previous.sequence >= kMaxSequence) {
        return std::nullopt;
    }
    // The previous key first: without the password nothing else is worth doing.
    SecretBytes signingKey;
    if (previous.key) {
        std::optional<SecretBytes> opened = openSealedKey(*previous.key, typedPassword);
        if (!opened) {
            return std::nullopt;
        }
        signingKey = std::move(*opened);
    }
    const bool newVerifier = !newSettings.passwordVerifier.empty() &&
                             newSettings.passwordVerifier != previous.settings.passwordVerifier;
    std::optional<SealedKey> key;
    SecretBytes newPrivateBlob;
    if (newPassword) {
        if (!newVerifier || newPassword->empty() || !verifyPasswordHash(*newPassword, newSettings.passwordVerifier)) {
            return std::nullopt;
        }
        key = freshSealedKey(*newPassword, newPrivateBlob);
        if (!key) {
            return std::nullopt;
        }
    } else if (newVerifier) {
        return std::nullopt;
    } else if (!newSettings.passwordVerifier.empty()) {
        key = previous.key;
    }
    const std::string digest = settingsRecordDigest(previousLine);
    if (digest.empty()) {
        return std::nullopt;
    }
    return signedLine(unsignedText(previous.sequence + 1, newSettings, digest, key ? &*key : nullptr),
                      previous.key ? &signingKey : nullptr);
}

std::optional<SettingsInForce> checkSettingsLog(std::string_view bytes, std::string_view rootDigest)
{
    if (bytes.size() > kMaxJournalBytes) {
        return std::nullopt;
    }
    std::optional<SettingsRecord> previous;
    std::string_view previousLine;
    std::string previousDigest;
    for (const std::string_view line : finishedLines(bytes)) {
        SettingsRecord record;
        const LineKind kind = readSettingsLine(line, record);
        if (kind == LineKind::Foreign) {
            return std::nullopt;
        }
        if (kind == LineKind::Torn) {
            continue;
        }
        const std::string digest = settingsRecordDigest(line);
        if (digest.empty()) {
            return std::nullopt;
        }
        // The root signs itself; every other record is signed by the key of
        // the one it follows, while that one has a key.
        const SettingsRecord& signer = previous ? *previous : record;
        if (previous ? record.previousDigest != previousDigest || record.sequence <= previous->sequence
                     : digest != rootDigest || !record.previousDigest.empty()) {
            return std::nullopt;
        }
        if (signer.key ? !verifyMessage(signer.key->publicBlob, record.signedText, record.signature)
                       : !record.signature.empty()) {
            return std::nullopt;
        }
        previous = std::move(record);
        previousLine = line;
        previousDigest = digest;
    }
    if (!previous) {
        return std::nullopt;
    }
    SettingsInForce inForce;
    inForce.settings = previous->settings;
    inForce.sequence = previous->sequence;
    inForce.line = std::string(previousLine);
    return inForce;
}
