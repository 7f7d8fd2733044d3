// The hand-written key search against the standard regular-expression engine
// with the files' own patterns, and its behaviour on huge and hostile texts.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <climits>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "storage/patternSearch.h"
#include "storage/settingsFiles.h"
#include "storage/textFiles.h"
#include "storageTestSupport.h"
#include "wholeFile.h"

using namespace std::string_literals;
using storage_test::fields;

namespace {

constexpr auto kLinearTimeBound = std::chrono::seconds(10);
constexpr size_t kHugeSize = 8 * 1024 * 1024;
// Short texts (std::regex recurses per character), but many of them.
constexpr int kRandomTexts = 50000;

// ---- The reference: std::regex with the patterns exactly as the files define them ----

struct ReferencePatterns {
    static std::regex make(const char* pattern) { return std::regex(pattern, std::regex::ECMAScript); }

    std::regex limit = make(R"re(\"daily_limit_minutes\"\s*:\s*(-?\d+))re");
    std::regex notificationsOff = make(R"re(\"show_last_three_minute_notifications\"\s*:\s*false)re");
    std::regex language = make(R"re(\"language\"\s*:\s*\"(ru|en)\")re");
    std::regex windowX = make(R"re(\"status_window_x\"\s*:\s*(-?\d+))re");
    std::regex windowY = make(R"re(\"status_window_y\"\s*:\s*(-?\d+))re");
    std::regex date = make(R"re(\"date\"\s*:\s*\"([^\"]+)\")re");
    std::regex usedSeconds = make(R"re(\"used_seconds\"\s*:\s*(-?\d+))re");
    std::regex warningShown = make(R"re(\"warning_shown\"\s*:\s*true)re");
    std::regex password = make(R"re(\"settings_password\"\s*:\s*\"((?:\\.|[^\"\\])*)\")re");
    std::regex requireOnExit = make(R"re(\"require_password_on_exit\"\s*:\s*true)re");
    std::regex threeShown = make(R"re(\"three_minute_notification_shown\"\s*:\s*true)re");
    std::regex twoShown = make(R"re(\"two_minute_notification_shown\"\s*:\s*true)re");
    std::regex oneShown = make(R"re(\"one_minute_notification_shown\"\s*:\s*true)re");
};

const ReferencePatterns& reference()
{
    static const ReferencePatterns patterns;
    return patterns;
}

bool convert(const std::string& digits, long long minimum, long long maximum, long long& value)
{
    try {
        const long long parsed = std::stoll(digits, nullptr, 10);
        if (parsed < minimum || parsed > maximum) {
            return false;
        }
        value = parsed;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// The reading steps for config.json, done with std::regex.
bool referenceConfig(const std::string& text, AppConfig& config)
{
    const ReferencePatterns& p = reference();
    std::smatch limit;
    if (!std::regex_search(text, limit, p.limit)) {
        return false;
    }
    long long minutes = 0;
    if (!convert(limit[1].str(), INT32_MIN, INT32_MAX, minutes) || minutes < 1 || minutes > 1440) {
        return false;
    }
    config.dailyLimitMinutes = static_cast<int32_t>(minutes);
    config.showLastThreeMinuteNotifications = !std::regex_search(text, p.notificationsOff);
    std::smatch language;
    if (std::regex_search(text, language, p.language)) {
        config.language = languageFromCode(language[1].str());
    }
    std::smatch x;
    std::smatch y;
    if (std::regex_search(text, x, p.windowX) && std::regex_search(text, y, p.windowY)) {
        long long value = 0;
        if (!convert(x[1].str(), INT32_MIN, INT32_MAX, value)) {
            return false;
        }
        config.statusWindowX = static_cast<int32_t>(value);
        if (!convert(y[1].str(), INT32_MIN, INT32_MAX, value)) {
            return false;
        }
        config.statusWindowY = static_cast<int32_t>(value);
    }
    return true;
}

// The reading steps for data.json, done with std::regex.
bool referenceUsage(const std::string& text, DailyUsage& usage)
{
    const ReferencePatterns& p = reference();
    std::smatch date;
    if (!std::regex_search(text, date, p.date)) {
        return false;
    }
    std::smatch seconds;
    if (!std::regex_search(text, seconds, p.usedSeconds)) {
        return false;
    }
    usage.date = utf8ToUtf16(date[1].str());
    long long used = 0;
    if (!convert(seconds[1].str(), LLONG_MIN, LLONG_MAX, used)) {
        return false;
    }
    usage.usedSeconds = used > 0 ? used : 0;
    usage.warningShown = std::regex_search(text, p.warningShown);
    std::smatch password;
    if (std::regex_search(text, password, p.password)) {
        usage.settingsPassword = utf8ToUtf16(unescapeJsonString(password[1].str()));
    }
    usage.requirePasswordOnExit = std::regex_search(text, p.requireOnExit);
    usage.threeMinuteNotificationShown = std::regex_search(text, p.threeShown);
    usage.twoMinuteNotificationShown = std::regex_search(text, p.twoShown);
    usage.oneMinuteNotificationShown = std::regex_search(text, p.oneShown);
    return true;
}

// Where and what the regex captured as group 1 (or the whole match for
// patterns without a group), as an offset into the text and the bytes.
std::optional<std::pair<size_t, std::string>> regexCapture(const std::string& text, const std::regex& pattern,
                                                           size_t group)
{
    std::smatch match;
    if (!std::regex_search(text, match, pattern)) {
        return std::nullopt;
    }
    return std::make_pair(static_cast<size_t>(match.position(group)), match[group].str());
}

std::optional<std::pair<size_t, std::string>> ownCapture(const std::string& text,
                                                         std::optional<std::string_view> found)
{
    if (!found) {
        return std::nullopt;
    }
    return std::make_pair(static_cast<size_t>(found->data() - text.data()), std::string(*found));
}

// Compares every search the readers make, capture position included.
void expectSameCaptures(const std::string& text)
{
    const ReferencePatterns& p = reference();
    const struct {
        const char* key;
        const std::regex& pattern;
    } integers[] = {{"daily_limit_minutes", p.limit},
                    {"status_window_x", p.windowX},
                    {"status_window_y", p.windowY},
                    {"used_seconds", p.usedSeconds}};
    for (const auto& c : integers) {
        EXPECT_EQ(ownCapture(text, pattern::findInteger(text, c.key)), regexCapture(text, c.pattern, 1)) << c.key;
    }
    const struct {
        const char* key;
        const char* literal;
        const std::regex& pattern;
    } literals[] = {{"show_last_three_minute_notifications", "false", p.notificationsOff},
                    {"warning_shown", "true", p.warningShown},
                    {"require_password_on_exit", "true", p.requireOnExit},
                    {"three_minute_notification_shown", "true", p.threeShown},
                    {"two_minute_notification_shown", "true", p.twoShown},
                    {"one_minute_notification_shown", "true", p.oneShown}};
    for (const auto& c : literals) {
        EXPECT_EQ(pattern::hasLiteral(text, c.key, c.literal), std::regex_search(text, c.pattern)) << c.key;
    }
    EXPECT_EQ(ownCapture(text, pattern::findQuotedChoice(text, "language", {"ru", "en"})),
              regexCapture(text, p.language, 1));
    EXPECT_EQ(ownCapture(text, pattern::findQuotedText(text, "date")), regexCapture(text, p.date, 1));
    EXPECT_EQ(ownCapture(text, pattern::findEscapedText(text, "settings_password")),
              regexCapture(text, p.password, 1));
}

// ---- Random texts, dense in what the patterns care about ----

const std::vector<std::string>& keyNames()
{
    static const std::vector<std::string> names = {
        "daily_limit_minutes", "show_last_three_minute_notifications", "language", "status_window_x",
        "status_window_y",     "date",
        "used_seconds",        "warning_shown",
        "settings_password",   "require_password_on_exit",
        "three_minute_notification_shown", "two_minute_notification_shown", "one_minute_notification_shown",
    };
    return names;
}

// ASCII only: some locales make \s match bytes above 0x7F, which the files'
// search rules do not.
const std::vector<std::string>& pieces()
{
    static const std::vector<std::string> list = {
        "\"", "\"", "\"", "\\", "\\", "\\\"", "\\\\", ":", ":", " ", " ", "\t", "\n", "\r", "\v", "\f", "\r\n",
        "-", "-", "0", "1", "7", "9", "12", "90.5", "1440", "1441", "2147483648", "9223372036854775808",
        "99999999999999999999", ".", ",", "{", "}", "a", "x", "/", "u0041", "\0"s, "\x7F",
        "true", "false", "True", "False", "tru", "fals", "ru", "en", "de", "\"ru\"", "\"en\"", "\"\"",
        "\"date", "date\"", "\"settings_password", "_password\"", "\"status_window_", "x\"", "y\"",
        "\"used_seconds\":", "_shown\"", "\"language",
    };
    return list;
}

class TextMaker {
public:
    explicit TextMaker(unsigned seed) : random_(seed) {}

    size_t below(size_t n) { return static_cast<size_t>(random_() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }

    std::string piece() { return pieces()[below(pieces().size())]; }
    std::string quotedKey() { return '"' + keyNames()[below(keyNames().size())] + '"'; }

    std::string spaces()
    {
        static const char kSpaces[] = {' ', '\t', '\n', '\v', '\f', '\r'};
        std::string run;
        for (size_t n = below(3); n > 0; --n) {
            run += kSpaces[below(sizeof kSpaces)];
        }
        return run;
    }

    // A key, a separator that may be broken, and a value-like run of pieces.
    std::string keyAndValue()
    {
        std::string text = quotedKey() + spaces();
        if (!chance(10)) {
            text += ':';
        }
        text += spaces();
        for (size_t n = 1 + below(4); n > 0; --n) {
            text += piece();
        }
        return text;
    }

    std::string soup()
    {
        std::string text;
        for (size_t n = 1 + below(14); n > 0; --n) {
            text += chance(45) ? keyAndValue() : piece();
        }
        return text;
    }

    std::string smallText(const std::string& alphabet, size_t maxLength)
    {
        std::string text(below(maxLength + 1), '\0');
        for (char& c : text) {
            c = alphabet[below(alphabet.size())];
        }
        return text;
    }

    int64_t number()
    {
        switch (below(4)) {
        case 0: return static_cast<int64_t>(below(3000)) - 100;
        case 1: return static_cast<int32_t>(random_());
        case 2: return static_cast<int64_t>((static_cast<uint64_t>(random_()) << 32) | random_());
        default: return static_cast<int64_t>(below(1441));
        }
    }

    AppConfig anyConfig()
    {
        return {static_cast<int32_t>(number()), chance(50), chance(50) ? Language::English : Language::Russian,
                static_cast<int32_t>(number()), static_cast<int32_t>(number())};
    }

    DailyUsage anyUsage()
    {
        DailyUsage u;
        u.date = utf8ToUtf16(smallText("2024-03-15\"\\", 12));
        u.usedSeconds = number();
        u.warningShown = chance(50);
        u.settingsPassword = utf8ToUtf16(smallText("ab\"\\\t\n\r :u0", 14));
        u.requirePasswordOnExit = chance(50);
        u.threeMinuteNotificationShown = chance(50);
        u.twoMinuteNotificationShown = chance(50);
        u.oneMinuteNotificationShown = chance(50);
        return u;
    }

    // A real file with a few random edits.
    std::string mutatedFile()
    {
        std::string text = chance(50) ? configFileText(anyConfig()) : usageFileText(anyUsage());
        for (size_t n = below(5); n > 0; --n) {
            const size_t at = below(text.size() + 1);
            switch (below(4)) {
            case 0: text.insert(at, piece()); break;
            case 1: text.erase(at, 1 + below(3)); break;
            case 2:
                if (at < text.size()) {
                    text[at] = piece()[0];
                }
                break;
            default: text.insert(at, keyAndValue()); break;
            }
        }
        return text;
    }

    std::string anyText() { return chance(50) ? soup() : mutatedFile(); }

private:
    std::mt19937 random_;
};

TEST(StorageRegexEquivalence, EverySearchCapturesWhatTheRegexCaptures)
{
    TextMaker maker(0x5EED1);
    for (int i = 0; i < kRandomTexts; ++i) {
        const std::string text = maker.anyText();
        SCOPED_TRACE(testing::Message() << "iteration " << i << ": " << testing::PrintToString(text));
        expectSameCaptures(text);
        if (HasFailure()) {
            return;
        }
    }
}

TEST(StorageRegexEquivalence, ReadersAgreeWithTheRegexReadersOnEveryField)
{
    TextMaker maker(0x5EED2);
    for (int i = 0; i < kRandomTexts; ++i) {
        const std::string text = maker.anyText();
        SCOPED_TRACE(testing::Message() << "iteration " << i << ": " << testing::PrintToString(text));

        const AppConfig startConfig = maker.anyConfig();
        AppConfig ownConfig = startConfig;
        AppConfig expectedConfig = startConfig;
        EXPECT_EQ(parseConfigText(text, ownConfig), referenceConfig(text, expectedConfig));
        EXPECT_EQ(fields(ownConfig), fields(expectedConfig));

        const DailyUsage startUsage = maker.anyUsage();
        DailyUsage ownUsage = startUsage;
        DailyUsage expectedUsage = startUsage;
        EXPECT_EQ(parseUsageText(text, ownUsage), referenceUsage(text, expectedUsage));
        EXPECT_EQ(fields(ownUsage), fields(expectedUsage));
        if (HasFailure()) {
            return;
        }
    }
}

// ---- parseDecimal ----

TEST(StoragePatternSearch, DecimalConversionChecksTheRangeExactly)
{
    const struct {
        const char* digits;
        long long minimum;
        long long maximum;
        std::optional<long long> value;
    } cases[] = {
        {"0", INT32_MIN, INT32_MAX, 0},
        {"-0", INT32_MIN, INT32_MAX, 0},
        {"000000000000000000000000000042", INT32_MIN, INT32_MAX, 42},
        {"2147483647", INT32_MIN, INT32_MAX, 2147483647},
        {"2147483648", INT32_MIN, INT32_MAX, std::nullopt},
        {"-2147483648", INT32_MIN, INT32_MAX, -2147483648LL},
        {"-2147483649", INT32_MIN, INT32_MAX, std::nullopt},
        {"4294967297", INT32_MIN, INT32_MAX, std::nullopt},
        {"9223372036854775807", LLONG_MIN, LLONG_MAX, LLONG_MAX},
        {"9223372036854775808", LLONG_MIN, LLONG_MAX, std::nullopt},
        {"-9223372036854775808", LLONG_MIN, LLONG_MAX, LLONG_MIN},
        {"-9223372036854775809", LLONG_MIN, LLONG_MAX, std::nullopt},
        {"18446744073709551617", LLONG_MIN, LLONG_MAX, std::nullopt},  // 2^64 + 1 must not wrap to 1
        {"", LLONG_MIN, LLONG_MAX, std::nullopt},
        {"-", LLONG_MIN, LLONG_MAX, std::nullopt},
        {"12a", LLONG_MIN, LLONG_MAX, std::nullopt},
        {"+5", LLONG_MIN, LLONG_MAX, std::nullopt},
    };
    for (const auto& c : cases) {
        long long value = 12345;
        const bool converted = pattern::parseDecimal(c.digits, c.minimum, c.maximum, value);
        EXPECT_EQ(converted, c.value.has_value()) << c.digits;
        EXPECT_EQ(value, c.value.value_or(12345)) << c.digits;
    }
}

// ---- Huge and hostile texts ----

template <typename Read>
void expectWithinBound(const char* name, Read read)
{
    const auto start = std::chrono::steady_clock::now();
    read();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, kLinearTimeBound) << name << " took "
                                         << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()
                                         << " ms";
}

std::string repeatToHugeSize(const std::string& unit)
{
    std::string text;
    text.reserve(kHugeSize + unit.size());
    while (text.size() < kHugeSize) {
        text += unit;
    }
    return text;
}

TEST(StorageLargeInputs, MegabyteValuesReadWithoutRecursion)
{
    // A password of several MiB, dense in escapes, through the disk and back.
    storage_test::ScratchDirectory dir;
    DailyUsage written;
    written.date = L"2024-03-15";
    written.usedSeconds = 12;
    std::string password(6 * 1024 * 1024, 'p');
    for (size_t i = 0; i < password.size(); i += 7) {
        password[i] = "\"\\\n\t\r"[i % 5];
    }
    written.settingsPassword = utf8ToUtf16(password);
    written.requirePasswordOnExit = true;
    ASSERT_TRUE(writeUsageFile(dir.file(L"data.json"), written));
    DailyUsage read;
    expectWithinBound("password of 6 MiB", [&] { EXPECT_TRUE(readUsageFile(dir.file(L"data.json"), read)); });
    EXPECT_EQ(fields(read), fields(written));

    // Digits: beyond 64 bits, unless they are leading zeros.
    const std::string digits(kHugeSize, '7');
    DailyUsage usage;
    expectWithinBound("8 MiB of digits", [&] {
        EXPECT_FALSE(parseUsageText("\"date\": \"d\", \"used_seconds\": " + digits, usage));
    });
    EXPECT_EQ(usage.date, L"d");
    EXPECT_EQ(usage.usedSeconds, 0);
    expectWithinBound("8 MiB of zeros", [&] {
        EXPECT_TRUE(parseUsageText("\"date\": \"d\", \"used_seconds\": " + std::string(kHugeSize, '0') + "9", usage));
    });
    EXPECT_EQ(usage.usedSeconds, 9);

    // Spaces of every kind between key, colon and value.
    std::string spaces(kHugeSize / 2, ' ');
    for (size_t i = 0; i < spaces.size(); i += 3) {
        spaces[i] = " \t\n\v\f\r"[i % 6];
    }
    AppConfig config;
    expectWithinBound("8 MiB of spaces", [&] {
        EXPECT_TRUE(parseConfigText("\"daily_limit_minutes\"" + spaces + ":" + spaces + "61", config));
    });
    EXPECT_EQ(config.dailyLimitMinutes, 61);

    // NUL bytes and invalid UTF-8 around and inside the values.
    const std::string junk = repeatToHugeSize("\0\xFF\xC3(\x80\0"s);
    usage = DailyUsage{};
    expectWithinBound("8 MiB of NUL and invalid UTF-8", [&] {
        EXPECT_TRUE(parseUsageText(junk + "\"date\": \"\0\xFF\", \"used_seconds\": 3, \"settings_password\": \""s +
                                       junk + "\"",
                                   usage));
    });
    EXPECT_EQ(usage.date, L"\0\uFFFD"s);
    EXPECT_EQ(usage.usedSeconds, 3);
    EXPECT_EQ(usage.settingsPassword.size(), utf8ToUtf16(junk).size());
    EXPECT_EQ(usage.settingsPassword.substr(0, 3), L"\0\uFFFD\uFFFD"s);
}

// Many occurrences of a key, each followed by a long value that fails late:
// a search that rescanned the text for every occurrence would need hours.
TEST(StorageLargeInputs, RepeatedFailingKeysStayLinear)
{
    const std::string longEscapes(400, 'e');
    std::string pairs;
    for (int i = 0; i < 200; ++i) {
        pairs += "\\\"\\\\";
    }
    const std::string spaces(300, ' ');
    const std::string valid = R"("date": "2024-03-15", "used_seconds": 8, "settings_password": "found", )"
                              R"("daily_limit_minutes": 62, "language": "ru", "status_window_x": 4, )"
                              R"("status_window_y": 5, "warning_shown": true)";
    const struct {
        const char* name;
        std::string unit;
    } hostile[] = {
        {"passwords broken by a backslash before LF", "\"settings_password\": \"" + pairs + longEscapes + "\\\n"},
        {"passwords broken by a backslash before CR", "\"settings_password\" : \"" + pairs + "\\\r"},
        {"keys with long spaces and no value", "\"used_seconds\"" + spaces + ":" + spaces + "-x"},
        {"keys with long spaces and no colon", "\"daily_limit_minutes\"" + spaces + "60"},
        {"empty dates", "\"date\": \"\","},
        {"cut-off languages", "\"language\": \"r"},
        {"almost false", "\"show_last_three_minute_notifications\":" + spaces + "fals"},
        {"almost true", "\"warning_shown\":" + spaces + "tru"},
        {"x without y", "\"status_window_x\": 4" + spaces},
        {"quotes only", "\"\"\"\""},
        {"backslashes only", "\\\\\\\\"},
        {"key prefixes", "\"status_window_\"settings_passwor\"date"},
    };
    for (const auto& h : hostile) {
        const std::string text = repeatToHugeSize(h.unit) + "\n" + valid;
        AppConfig config;
        DailyUsage usage;
        expectWithinBound(h.name, [&] {
            parseConfigText(text, config);
            parseUsageText(text, usage);
        });
        // What follows the hostile part is still found unless the hostile
        // part itself holds a match (its own x, or a broken value's tail).
        EXPECT_EQ(config.dailyLimitMinutes, 62) << h.name;
        EXPECT_EQ(config.language, Language::Russian) << h.name;
        EXPECT_EQ(usage.date, L"2024-03-15") << h.name;
        EXPECT_EQ(usage.usedSeconds, 8) << h.name;
        EXPECT_TRUE(usage.warningShown) << h.name;
        EXPECT_EQ(usage.settingsPassword, L"found") << h.name;
    }

    // An unterminated password that runs to the end of 8 MiB of pairs.
    std::string unterminated = "\"date\": \"d\", \"used_seconds\": 1, \"settings_password\": \"";
    unterminated += repeatToHugeSize("\\\"a");
    DailyUsage usage;
    usage.settingsPassword = L"kept";
    expectWithinBound("unterminated password", [&] { EXPECT_TRUE(parseUsageText(unterminated, usage)); });
    EXPECT_EQ(usage.settingsPassword, L"kept");
}

}  // namespace
