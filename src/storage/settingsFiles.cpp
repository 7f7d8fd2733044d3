#include "storage/settingsFiles.h"

#include <climits>

#include "storage/patternSearch.h"
#include "storage/textFiles.h"

namespace {

std::string boolText(bool value)
{
    return value ? "true" : "false";
}

std::string quoted(const std::wstring& text)
{
    return '"' + escapeJsonString(utf16ToUtf8(text)) + '"';
}

std::string keyLine(const char* key, const std::string& value, const char* ending)
{
    return std::string("  \"") + key + "\": " + value + ending;
}

bool toInt32(std::string_view digits, int32_t& value)
{
    long long parsed = 0;
    if (!pattern::parseDecimal(digits, INT32_MIN, INT32_MAX, parsed)) {
        return false;
    }
    value = static_cast<int32_t>(parsed);
    return true;
}

}  // namespace

std::string configFileText(const AppConfig& config)
{
    return "{\n" + keyLine("daily_limit_minutes", std::to_string(config.dailyLimitMinutes), ",\n") +
           keyLine("show_last_three_minute_notifications", boolText(config.showLastThreeMinuteNotifications), ",\n") +
           keyLine("language", '"' + languageCode(config.language) + '"', ",\n") +
           keyLine("status_window_x", std::to_string(config.statusWindowX), ",\n") +
           keyLine("status_window_y", std::to_string(config.statusWindowY), "\n") + "}\n";
}

std::string usageFileText(const DailyUsage& usage)
{
    // The password line ends without its comma; the comma stands alone on the
    // next line. Stored files look like this and stay byte-identical.
    return "{\n" + keyLine("date", quoted(usage.date), ",\n") +
           keyLine("used_seconds", std::to_string(usage.usedSeconds), ",\n") +
           keyLine("warning_shown", boolText(usage.warningShown), ",\n") +
           keyLine("settings_password", quoted(usage.settingsPassword), "\n,\n") +
           keyLine("require_password_on_exit", boolText(usage.requirePasswordOnExit), ",\n") +
           keyLine("three_minute_notification_shown", boolText(usage.threeMinuteNotificationShown), ",\n") +
           keyLine("two_minute_notification_shown", boolText(usage.twoMinuteNotificationShown), ",\n") +
           keyLine("one_minute_notification_shown", boolText(usage.oneMinuteNotificationShown), "\n") + "}\n";
}

bool parseConfigText(std::string_view text, AppConfig& config)
{
    const std::optional<std::string_view> limitDigits = pattern::findInteger(text, "daily_limit_minutes");
    if (!limitDigits) {
        return false;
    }
    int32_t limit = 0;
    if (!toInt32(*limitDigits, limit) || limit < 1 || limit > 1440) {
        return false;
    }
    config.dailyLimitMinutes = limit;
    config.showLastThreeMinuteNotifications =
        !pattern::hasLiteral(text, "show_last_three_minute_notifications", "false");
    if (const auto code = pattern::findQuotedChoice(text, "language", {"ru", "en"})) {
        config.language = languageFromCode(*code);
    }
    if (const auto x = pattern::findInteger(text, "status_window_x")) {
        if (const auto y = pattern::findInteger(text, "status_window_y")) {
            if (!toInt32(*x, config.statusWindowX) || !toInt32(*y, config.statusWindowY)) {
                return false;
            }
        }
    }
    return true;
}

bool parseUsageText(std::string_view text, DailyUsage& usage)
{
    const std::optional<std::string_view> date = pattern::findQuotedText(text, "date");
    if (!date) {
        return false;
    }
    const std::optional<std::string_view> seconds = pattern::findInteger(text, "used_seconds");
    if (!seconds) {
        return false;
    }
    usage.date = utf8ToUtf16(*date);
    long long used = 0;
    if (!pattern::parseDecimal(*seconds, LLONG_MIN, LLONG_MAX, used)) {
        return false;
    }
    usage.usedSeconds = used > 0 ? used : 0;
    usage.warningShown = pattern::hasLiteral(text, "warning_shown", "true");
    if (const auto password = pattern::findEscapedText(text, "settings_password")) {
        usage.settingsPassword = utf8ToUtf16(unescapeJsonString(*password));
    }
    usage.requirePasswordOnExit = pattern::hasLiteral(text, "require_password_on_exit", "true");
    usage.threeMinuteNotificationShown = pattern::hasLiteral(text, "three_minute_notification_shown", "true");
    usage.twoMinuteNotificationShown = pattern::hasLiteral(text, "two_minute_notification_shown", "true");
    usage.oneMinuteNotificationShown = pattern::hasLiteral(text, "one_minute_notification_shown", "true");
    return true;
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

// The readers take the first occurrence of each key, so text after the closing
// brace never matters; a missing brace means the file was cut short.
bool endsWithClosingBrace(std::string_view text)
{
    const size_t last = text.find_last_not_of(" \t\r\n");
    return last != std::string_view::npos && text[last] == '}';
}

}  // namespace

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

bool parseWholeConfigText(std::string_view text, AppConfig& config)
{
    AppConfig parsed = config;
    if (!endsWithClosingBrace(text) || !parseConfigText(text, parsed)) {
        return false;
    }
    config = parsed;
    return true;
}

bool parseWholeUsageText(std::string_view text, DailyUsage& usage)
{
    DailyUsage parsed = usage;
    int64_t day = 0;
    if (!endsWithClosingBrace(text) || !parseUsageText(text, parsed) || !dayNumberOf(parsed.date, day)) {
        return false;
    }
    usage = parsed;
    return true;
}

bool readConfigFile(const std::wstring& path, AppConfig& config)
{
    return parseConfigText(readWholeFile(path), config);
}

bool readUsageFile(const std::wstring& path, DailyUsage& usage)
{
    return parseUsageText(readWholeFile(path), usage);
}
