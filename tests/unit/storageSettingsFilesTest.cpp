// The exact bytes of config.json and data.json, and how their readers take
// any text apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/settingsFiles.h"
#include "storage/textFiles.h"
#include "storageTestSupport.h"
#include "wholeFile.h"

using namespace std::string_literals;
using storage_test::fields;
using storage_test::ScratchDirectory;

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

std::string withCrLf(const std::string& text)
{
    std::string result;
    for (const char c : text) {
        if (c == '\n') {
            result += '\r';
        }
        result += c;
    }
    return result;
}

// A record unlike the defaults in every field, so "left unchanged" shows.
AppConfig startConfig()
{
    return {77, false, Language::Russian, 11, 22};
}

AppConfig config(int32_t limit, bool notifications, Language language, int32_t x, int32_t y)
{
    return {limit, notifications, language, x, y};
}

DailyUsage startUsage()
{
    DailyUsage usage;
    usage.date = L"2000-01-01";
    usage.usedSeconds = 42;
    usage.warningShown = true;
    usage.settingsPassword = L"old";
    usage.requirePasswordOnExit = true;
    usage.threeMinuteNotificationShown = true;
    usage.twoMinuteNotificationShown = false;
    usage.oneMinuteNotificationShown = true;
    return usage;
}

DailyUsage usage(std::wstring date, int64_t used, bool warning, std::wstring password, bool requireOnExit, bool three,
                 bool two, bool one)
{
    DailyUsage u;
    u.date = std::move(date);
    u.usedSeconds = used;
    u.warningShown = warning;
    u.settingsPassword = std::move(password);
    u.requirePasswordOnExit = requireOnExit;
    u.threeMinuteNotificationShown = three;
    u.twoMinuteNotificationShown = two;
    u.oneMinuteNotificationShown = one;
    return u;
}

DailyUsage freshDay()
{
    DailyUsage u;
    u.date = L"2024-03-15";
    return u;
}

// ---- Exact bytes ----

TEST(StorageFileText, DefaultConfigIsExact)
{
    EXPECT_EQ(configFileText(AppConfig{}),
              "{\n"
              "  \"daily_limit_minutes\": 120,\n"
              "  \"show_last_three_minute_notifications\": true,\n"
              "  \"language\": \"en\",\n"
              "  \"status_window_x\": -1,\n"
              "  \"status_window_y\": -1\n"
              "}\n");
}

TEST(StorageFileText, FreshDayIsExactWithTheLoneCommaLine)
{
    EXPECT_EQ(usageFileText(freshDay()),
              "{\n"
              "  \"date\": \"2024-03-15\",\n"
              "  \"used_seconds\": 0,\n"
              "  \"warning_shown\": false,\n"
              "  \"settings_password\": \"\"\n"
              ",\n"
              "  \"require_password_on_exit\": false,\n"
              "  \"three_minute_notification_shown\": false,\n"
              "  \"two_minute_notification_shown\": false,\n"
              "  \"one_minute_notification_shown\": false\n"
              "}\n");
}

TEST(StorageFileText, OtherValuesAreWrittenInTheSameLayout)
{
    EXPECT_EQ(configFileText(config(1440, false, Language::Russian, -5, 70000)),
              "{\n"
              "  \"daily_limit_minutes\": 1440,\n"
              "  \"show_last_three_minute_notifications\": false,\n"
              "  \"language\": \"ru\",\n"
              "  \"status_window_x\": -5,\n"
              "  \"status_window_y\": 70000\n"
              "}\n");
    // Any language value other than English is written as "ru".
    EXPECT_NE(configFileText(config(1, true, static_cast<Language>(7), -2147483647 - 1, 2147483647))
                  .find("  \"language\": \"ru\",\n  \"status_window_x\": -2147483648,\n"
                        "  \"status_window_y\": 2147483647\n}\n"),
              std::string::npos);

    EXPECT_EQ(usageFileText(usage(L"2024-12-31", 9223372036854775807, true, L"a\"b\\c\td\ne\rf\u0416", true, true,
                                  false, true)),
              "{\n"
              "  \"date\": \"2024-12-31\",\n"
              "  \"used_seconds\": 9223372036854775807,\n"
              "  \"warning_shown\": true,\n"
              "  \"settings_password\": \"a\\\"b\\\\c\\td\\ne\\rf\xD0\x96\"\n"
              ",\n"
              "  \"require_password_on_exit\": true,\n"
              "  \"three_minute_notification_shown\": true,\n"
              "  \"two_minute_notification_shown\": false,\n"
              "  \"one_minute_notification_shown\": true\n"
              "}\n");
}

// ---- Reading config.json ----

struct ConfigCase {
    const char* name;
    std::string text;
    bool result;
    AppConfig expected;
    AppConfig start = startConfig();
};

TEST(StorageConfigReader, FollowsTheSearchRules)
{
    const AppConfig s = startConfig();
    const std::string defaults = configFileText(AppConfig{});
    const ConfigCase cases[] = {
        {"defaults file", defaults, true, AppConfig{}},
        {"keys in any order on one line",
         R"({"status_window_y": 7, "language": "en", "status_window_x": 3, )"
         R"("show_last_three_minute_notifications": true, "daily_limit_minutes": 45})",
         true, config(45, true, Language::English, 3, 7)},
        {"every kind of space around the colon",
         "\"daily_limit_minutes\" \t\n\v\f\r:\r\n\t 30\n\"language\"\f:\v\"en\"", true,
         config(30, true, Language::English, 11, 22)},
        {"extra keys and text around", "junk {\"other\": 5, \"daily_limit_minutes\": 10} \"more\": [1, 2] tail", true,
         config(10, true, Language::Russian, 11, 22)},
        {"first occurrence wins",
         R"("daily_limit_minutes": 10, "daily_limit_minutes": 20, "status_window_x": 1, "status_window_y": 2, )"
         R"("status_window_x": 3, "status_window_y": 4, "language": "en", "language": "ru")",
         true, config(10, true, Language::English, 1, 2)},
        {"first place where the whole pattern matches wins",
         R"("daily_limit_minutes": "120", "daily_limit_minutes": 20, "language": "de", "language": "en")", true,
         config(20, true, Language::English, 11, 22)},
        {"a later false turns the notifications off",
         R"("daily_limit_minutes": 5, "show_last_three_minute_notifications": true,)"
         R"( "show_last_three_minute_notifications": false)",
         true, config(5, false, Language::Russian, 11, 22), config(77, true, Language::Russian, 11, 22)},
        {"byte-order mark", kBom + configFileText(config(60, false, Language::English, 5, 6)), true,
         config(60, false, Language::English, 5, 6)},
        {"CR LF line breaks", withCrLf(configFileText(config(61, false, Language::English, -7, 8))), true,
         config(61, false, Language::English, -7, 8)},
        {"NUL bytes between keys", "\0\"daily_limit_minutes\": 15\0\0\"language\": \"en\"\0"s, true,
         config(15, true, Language::English, 11, 22)},
        {"limit 1", R"("daily_limit_minutes": 1)", true, config(1, true, Language::Russian, 11, 22)},
        {"limit 1440", R"("daily_limit_minutes": 1440)", true, config(1440, true, Language::Russian, 11, 22)},
        {"limit 90.5 reads as 90", R"("daily_limit_minutes": 90.5)", true, config(90, true, Language::Russian, 11, 22)},
        {"leading zeros", R"("daily_limit_minutes": 0060)", true, config(60, true, Language::Russian, 11, 22)},
        {"limit 0", R"("daily_limit_minutes": 0, "language": "en")", false, s},
        {"limit 1441", R"("daily_limit_minutes": 1441, "language": "en")", false, s},
        {"limit -5", R"("daily_limit_minutes": -5)", false, s},
        {"limit -0", R"("daily_limit_minutes": -0)", false, s},
        {"limit in quotes", R"("daily_limit_minutes": "120", "language": "en")", false, s},
        {"limit with a plus", R"("daily_limit_minutes": +60)", false, s},
        {"minus apart from the digits", R"("daily_limit_minutes": - 60)", false, s},
        {"limit 2^31", R"("daily_limit_minutes": 2147483648, "language": "en")", false, s},
        {"limit 2^32 + 1 (would wrap to 1)", R"("daily_limit_minutes": 4294967297)", false, s},
        {"limit beyond 64 bits", R"("daily_limit_minutes": 123456789012345678901234567890)", false, s},
        {"limit missing", R"("language": "en", "status_window_x": 1, "status_window_y": 2)", false, s},
        {"key without quotes", R"(daily_limit_minutes: 60)", false, s},
        {"key without colon", R"("daily_limit_minutes" 60)", false, s},
        {"key in other case", R"("Daily_limit_minutes": 60)", false, s},
        {"empty text", "", false, s},
        {"False with a capital F keeps notifications on", R"("daily_limit_minutes": 5, )"
                                                          R"("show_last_three_minute_notifications": False)",
         true, config(5, true, Language::Russian, 11, 22)},
        {"false in quotes keeps notifications on",
         R"("daily_limit_minutes": 5, "show_last_three_minute_notifications": "false")", true,
         config(5, true, Language::Russian, 11, 22)},
        {"a word starting with false turns them off",
         R"("daily_limit_minutes": 5, "show_last_three_minute_notifications": falsehood)", true,
         config(5, false, Language::Russian, 11, 22), config(77, true, Language::Russian, 11, 22)},
        {"language de is ignored", R"("daily_limit_minutes": 5, "language": "de")", true,
         config(5, true, Language::English, 11, 22), config(77, false, Language::English, 11, 22)},
        {"language ru", R"("daily_limit_minutes": 5, "language": "ru")", true,
         config(5, true, Language::Russian, 11, 22), config(77, false, Language::English, 11, 22)},
        {"language RU is ignored", R"("daily_limit_minutes": 5, "language": "RU")", true,
         config(5, true, Language::English, 11, 22), config(77, false, Language::English, 11, 22)},
        {"language with a space is ignored", R"("daily_limit_minutes": 5, "language": "ru ")", true,
         config(5, true, Language::English, 11, 22), config(77, false, Language::English, 11, 22)},
        {"language without quotes is ignored", R"("daily_limit_minutes": 5, "language": ru)", true,
         config(5, true, Language::English, 11, 22), config(77, false, Language::English, 11, 22)},
        {"x without y leaves both", R"("daily_limit_minutes": 5, "status_window_x": 100)", true,
         config(5, true, Language::Russian, 11, 22)},
        {"y without x leaves both", R"("daily_limit_minutes": 5, "status_window_y": 100)", true,
         config(5, true, Language::Russian, 11, 22)},
        {"x in quotes leaves both", R"("daily_limit_minutes": 5, "status_window_x": "1", "status_window_y": 2)", true,
         config(5, true, Language::Russian, 11, 22)},
        {"-5 and 70000 are stored as they are", R"("daily_limit_minutes": 5, "status_window_x": -5, )"
                                                R"("status_window_y": 70000)",
         true, config(5, true, Language::Russian, -5, 70000)},
        {"32-bit extremes", R"("daily_limit_minutes": 5, "status_window_x": -2147483648, )"
                            R"("status_window_y": 2147483647)",
         true, config(5, true, Language::Russian, -2147483647 - 1, 2147483647)},
        {"y beyond 32 bits: x stored, then false",
         R"("daily_limit_minutes": 45, "language": "en", "status_window_x": 100, "status_window_y": 2147483648)",
         false, config(45, true, Language::English, 100, 22)},
        {"x beyond 32 bits: neither stored, false",
         R"("daily_limit_minutes": 45, "language": "en", "status_window_x": -2147483649, "status_window_y": 5)",
         false, config(45, true, Language::English, 11, 22)},
    };
    for (const ConfigCase& c : cases) {
        AppConfig read = c.start;
        EXPECT_EQ(parseConfigText(c.text, read), c.result) << c.name;
        EXPECT_EQ(fields(read), fields(c.expected)) << c.name;
    }
}

// ---- Reading data.json ----

struct UsageCase {
    const char* name;
    std::string text;
    bool result;
    DailyUsage expected;
};

TEST(StorageUsageReader, FollowsTheSearchRules)
{
    const DailyUsage s = startUsage();
    const auto day = [](int64_t used, bool warning, std::wstring password, bool requireOnExit, bool three, bool two,
                        bool one) {
        return usage(L"2024-03-15", used, warning, std::move(password), requireOnExit, three, two, one);
    };
    // Keeps the start record's password: its key is missing or does not match.
    const auto dayKeepingPassword = [&](int64_t used) { return day(used, false, L"old", false, false, false, false); };
    const std::string head = R"("date": "2024-03-15", "used_seconds": 5, )";
    const DailyUsage full = usage(L"2023-11-02", 3600, true, L"pw", true, false, true, false);

    const UsageCase cases[] = {
        {"fresh day file", usageFileText(freshDay()), true, freshDay()},
        {"keys in any order on one line",
         R"({"one_minute_notification_shown": false, "settings_password": "pw", "two_minute_notification_shown": )"
         R"(true, "used_seconds": 3600, "require_password_on_exit": true, "date": "2023-11-02", )"
         R"("three_minute_notification_shown": false, "warning_shown": true})",
         true, full},
        {"byte-order mark", kBom + usageFileText(full), true, full},
        {"CR LF line breaks", withCrLf(usageFileText(full)), true, full},
        {"every kind of space",
         "\"date\"\t:\n\"2024-03-15\"\v\"used_seconds\"\f\r:\n 5 \"warning_shown\"\r\n:\ttrue", true,
         usage(L"2024-03-15", 5, true, L"old", false, false, false, false)},
        {"used -50 reads as 0", R"("date": "2024-03-15", "used_seconds": -50)", true, dayKeepingPassword(0)},
        {"used 90.5 reads as 90", R"("date": "2024-03-15", "used_seconds": 90.5)", true, dayKeepingPassword(90)},
        {"largest count", R"("date": "2024-03-15", "used_seconds": 9223372036854775807)", true,
         dayKeepingPassword(9223372036854775807)},
        {"most negative count reads as 0", R"("date": "2024-03-15", "used_seconds": -9223372036854775808)", true,
         dayKeepingPassword(0)},
        {"empty date", R"("date": "", "used_seconds": 5)", false, s},
        {"an empty date is passed over for a later one", R"("date": "", "used_seconds": 5, "date": "2024-03-15")",
         true, dayKeepingPassword(5)},
        {"date missing", R"("used_seconds": 5, "settings_password": "x")", false, s},
        {"date without quotes", R"("date": 2024-03-15, "used_seconds": 5)", false, s},
        {"count missing", R"("date": "2024-03-15", "settings_password": "x")", false, s},
        {"count in quotes", R"("date": "2024-03-15", "used_seconds": "5")", false, s},
        {"empty text", "", false, s},
        {"count beyond 64 bits: date taken, the rest not read",
         R"("date": "2024-03-15", "used_seconds": 9223372036854775808, "warning_shown": false, )"
         R"("settings_password": "new", "require_password_on_exit": false)",
         false, usage(L"2024-03-15", 42, true, L"old", true, true, false, true)},
        {"count below -2^63", R"("date": "2024-03-15", "used_seconds": -9223372036854775809)", false,
         usage(L"2024-03-15", 42, true, L"old", true, true, false, true)},
        {"date taken as written, without unescaping",
         R"("date": "20\n24\\x", "used_seconds": 1)", true,
         usage(L"20\\n24\\\\x", 1, false, L"old", false, false, false, false)},
        {"date spanning a line break", "\"date\": \"a\nb\", \"used_seconds\": 1", true,
         usage(L"a\nb", 1, false, L"old", false, false, false, false)},
        {"date in UTF-8", "\"date\": \"\xD0\xB4\xD0\xB5\xD0\xBD\xD1\x8C\", \"used_seconds\": 1", true,
         usage(L"\u0434\u0435\u043D\u044C", 1, false, L"old", false, false, false, false)},
        {"invalid UTF-8 in the date", "\"date\": \"x\xFF\", \"used_seconds\": 1", true,
         usage(L"x\uFFFD", 1, false, L"old", false, false, false, false)},
        {"flags are true only when the file says true",
         head + R"("warning_shown": True, "require_password_on_exit": "true", )"
                R"("three_minute_notification_shown": 1, "two_minute_notification_shown": false)",
         true, dayKeepingPassword(5)},
        {"a later true counts", head + R"("warning_shown": false, "warning_shown": true, )"
                                       R"("one_minute_notification_shown": trueish)",
         true, day(5, true, L"old", false, false, false, true)},
        {"password \\u0041 stays five characters", head + R"("settings_password": "\u0041")", true,
         day(5, false, L"u0041", false, false, false, false)},
        {"empty password clears it", head + R"("settings_password": "")", true,
         day(5, false, L"", false, false, false, false)},
        {"escapes in the password", head + R"("settings_password": "a\"b\\c\/d\te\nf\rg\qh")", true,
         day(5, false, L"a\"b\\c/d\te\nf\rgqh", false, false, false, false)},
        {"raw line break and NUL in the password", head + "\"settings_password\": \"a\nb\0c\""s, true,
         day(5, false, L"a\nb\0c"s, false, false, false, false)},
        {"invalid UTF-8 in the password", head + "\"settings_password\": \"\xC3(\x80\"", true,
         day(5, false, L"\uFFFD(\uFFFD", false, false, false, false)},
        {"lone backslash before LF: password left as it was",
         head + "\"settings_password\": \"ab\\\ncd\", \"warning_shown\": true", true,
         day(5, true, L"old", false, false, false, false)},
        {"lone backslash before CR: password left as it was", head + "\"settings_password\": \"ab\\\rcd\"", true,
         dayKeepingPassword(5)},
        {"unterminated password", head + R"("settings_password": "abc)", true, dayKeepingPassword(5)},
        {"password ending in a lone backslash", head + "\"settings_password\": \"abc\\", true, dayKeepingPassword(5)},
        {"a broken password is passed over for a later one",
         head + "\"settings_password\": \"ab\\\n\", \"settings_password\": \"second\"", true,
         day(5, false, L"second", false, false, false, false)},
        {"an escaped quote does not end the password",
         head + R"("settings_password": "x\"settings_password\": \"y")", true,
         day(5, false, L"x\"settings_password\": \"y", false, false, false, false)},
        {"password without quotes is ignored", head + R"("settings_password": secret)", true, dayKeepingPassword(5)},
    };
    for (const UsageCase& c : cases) {
        DailyUsage read = s;
        EXPECT_EQ(parseUsageText(c.text, read), c.result) << c.name;
        EXPECT_EQ(fields(read), fields(c.expected)) << c.name;
    }
}

TEST(StorageUsageReader, PasswordSurvivesAWriteAndARead)
{
    const std::wstring passwords[] = {
        L"q\"uote \\back\tslash\nline \u041F\u0430\u0440\u043E\u043B\u044C",
        L"\\",
        L"\\\"",
        L"ends with backslash\\",
        L"\r\n\t\"\"\\\\",
        L"\u0416\xD83D\xDE00 \u20AC",
    };
    for (const std::wstring& password : passwords) {
        DailyUsage written = freshDay();
        written.settingsPassword = password;
        written.usedSeconds = 77;
        const std::string text = usageFileText(written);
        DailyUsage read = startUsage();
        ASSERT_TRUE(parseUsageText(text, read));
        EXPECT_EQ(fields(read), fields(written));
    }
    DailyUsage written = freshDay();
    written.settingsPassword = passwords[0];
    const std::string text = usageFileText(written);
    EXPECT_NE(text.find(R"("settings_password": "q\"uote \\back\tslash\nline )"), std::string::npos) << text;
    EXPECT_EQ(text.find('\t'), std::string::npos);
}

// ---- Through the disk ----

TEST(StorageFiles, WriteAndReadBackThroughTheDisk)
{
    ScratchDirectory dir;
    const std::wstring configPath = dir.file(L"config.json");
    const std::wstring dataPath = dir.file(L"data.json");

    const AppConfig writtenConfig = config(333, false, Language::Russian, -20, 40);
    ASSERT_TRUE(writeConfigFile(configPath, writtenConfig));
    EXPECT_EQ(readWholeFile(configPath), configFileText(writtenConfig));
    AppConfig readConfig;
    EXPECT_TRUE(readConfigFile(configPath, readConfig));
    EXPECT_EQ(fields(readConfig), fields(writtenConfig));

    const DailyUsage writtenUsage = usage(L"2024-03-15", 4321, true, L"\u0416\"x", false, true, true, false);
    ASSERT_TRUE(writeUsageFile(dataPath, writtenUsage));
    EXPECT_EQ(readWholeFile(dataPath), usageFileText(writtenUsage));
    DailyUsage readUsage;
    EXPECT_TRUE(readUsageFile(dataPath, readUsage));
    EXPECT_EQ(fields(readUsage), fields(writtenUsage));

    EXPECT_EQ(dir.entries(), (std::vector<std::wstring>{L"config.json", L"data.json"}));
}

TEST(StorageFiles, MissingFilesReadAsFailuresAndChangeNothing)
{
    ScratchDirectory dir;
    AppConfig readConfig = startConfig();
    EXPECT_FALSE(readConfigFile(dir.file(L"config.json"), readConfig));
    EXPECT_EQ(fields(readConfig), fields(startConfig()));
    DailyUsage readUsage = startUsage();
    EXPECT_FALSE(readUsageFile(dir.file(L"data.json"), readUsage));
    EXPECT_EQ(fields(readUsage), fields(startUsage()));

    EXPECT_FALSE(writeConfigFile(dir.file(L"missing\\config.json"), AppConfig{}));
    EXPECT_FALSE(writeUsageFile(dir.file(L"missing\\data.json"), freshDay()));
    EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
