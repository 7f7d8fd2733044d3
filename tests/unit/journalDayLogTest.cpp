// Day logs as bytes: names, records, the largest count of a date, torn
// appends, and the bounds past which a log is not the program's.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "storage/journal.h"

using namespace std::string_literals;

namespace {

constexpr wchar_t kToday[] = L"2026-12-11";

std::vector<uint8_t> countingBytes()
{
    std::vector<uint8_t> bytes;
    for (uint8_t i = 0; i < kDayLogRandomBytes; ++i) {
        bytes.push_back(static_cast<uint8_t>(i * 17));
    }
    return bytes;
}

TEST(JournalDayLog, RecordsAndNamesHaveOneForm)
{
    EXPECT_EQ(dayRecordLine(kToday, 3725), "D 2026-12-11 3725");
    EXPECT_EQ(dayRecordLine(kToday, 0), "D 2026-12-11 0");
    EXPECT_EQ(dayRecordLine(kToday, kMaxDaySeconds), "D 2026-12-11 90000");
    for (const auto& [date, seconds] : {std::pair{L"2026-12-11", int64_t{-1}}, std::pair{L"2026-12-11", kMaxDaySeconds + 1},
                                        std::pair{L"2026-13-01", int64_t{5}}, std::pair{L"2026-1-11", int64_t{5}}}) {
        EXPECT_EQ(dayRecordLine(date, seconds), "") << seconds;
    }

    const std::wstring name = dayLogName(kToday, countingBytes());
    EXPECT_EQ(name, L"day-2026-12-11-00112233445566778899aabbccddeeff.log");
    EXPECT_TRUE(isDayLogNameFor(name, kToday));
    EXPECT_EQ(dayLogName(kToday, std::vector<uint8_t>(kDayLogRandomBytes - 1)), L"");
    EXPECT_EQ(dayLogName(L"2026-12-1x", countingBytes()), L"");
    for (const wchar_t* other : {L"day-2026-12-12-00112233445566778899aabbccddeeff.log",
                                 L"day-2026-12-11-00112233445566778899AABBCCDDEEFF.log",
                                 L"day-2026-12-11-00112233445566778899aabbccddeef.log",
                                 L"day-2026-12-11-00112233445566778899aabbccddeeff.log.tmp",
                                 L"day-2026-12-11-00112233445566778899aabbccddeeffx.log",
                                 L"day-2026-12-11_00112233445566778899aabbccddeeff.log", L"settings.log"}) {
        EXPECT_FALSE(isDayLogNameFor(other, kToday)) << other;
    }

    const std::wstring first = newDayLogName(kToday);
    const std::wstring second = newDayLogName(kToday);
    EXPECT_TRUE(isDayLogNameFor(first, kToday));
    EXPECT_TRUE(isDayLogNameFor(second, kToday));
    EXPECT_NE(first, second);
}

TEST(JournalDayLog, AnAppendStartsWithALineEndOnlyWhenTheFileLacksOne)
{
    const struct {
        std::string tail;
        const char* expected;
    } cases[] = {
        {"", "D 2026-12-11 5\n"},
        {"\n", "D 2026-12-11 5\n"},
        {"3", "\nD 2026-12-11 5\n"},
        {"\0"s, "\nD 2026-12-11 5\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(appendedBytes(c.tail, "D 2026-12-11 5"), c.expected) << static_cast<int>(c.tail.empty() ? -1 : c.tail[0]);
    }
}

// Exactly `size` bytes of records for today, the last one counting `last`,
// padded with empty lines (which read as torn appends).
std::string logOfSize(size_t size, int64_t last)
{
    const std::string record = dayRecordLine(kToday, last) + "\n";
    std::string log;
    while (log.size() + 2 * record.size() <= size) {
        log += dayRecordLine(kToday, 1) + "\n";
    }
    log += record;
    log.append(size - log.size(), '\n');
    return log;
}

TEST(JournalDayLog, TheLargestCountOfTheDateStandsAndAnythingElseIsTampered)
{
    const std::string bigLog = logOfSize(kMaxJournalBytes, 700);
    const struct {
        const char* what;
        std::vector<std::string> logs;
        std::optional<int64_t> expected;
    } cases[] = {
        {"no logs", {}, 0},
        {"a lower record later", {"D 2026-12-11 3725\nD 2026-12-11 100\n"}, 3725},
        {"records of other dates", {"D 2026-12-11 60\nD 2026-12-12 9000\nD 2026-12-10 8000\n"}, 60},
        {"only other dates", {"D 2026-12-10 500\n"}, 0},
        {"two day logs", {"D 2026-12-11 60\nD 2026-12-11 120\n", "D 2026-12-11 4000\n"}, 4000},
        {"an empty log", {"", "D 2026-12-11 30\n"}, 30},
        {"a torn append of NULs", {"D 2026-12-11 300\n\0\0\0\0\nD 2026-12-11 360\n"s}, 360},
        {"a torn start of a record", {"D 2026-12-11 300\nD 2026-1\nD 2026-12-11 360\n"}, 360},
        {"a torn start followed by NULs", {"D 2026-12-11 300\nD 2026-12-11 9\0\0\0\nD 2026-12-11 360\n"s}, 360},
        {"a whole record that never got its line end", {"D 2026-12-11 300\nD 2026-12-11 9000\0\0\nD 2026-12-11 360\n"s}, 360},
        {"an empty line", {"D 2026-12-11 300\n\n"}, 300},
        {"an unfinished last line", {"D 2026-12-11 300\nD 2026-12-11 9000"}, 300},
        {"an unfinished last line of anything", {"D 2026-12-11 300\nwhatever"}, 300},
        {"a line of garbage", {"D 2026-12-11 300\nhello\n"}, std::nullopt},
        {"garbage in the second log", {"D 2026-12-11 300\n", "D 2026-12-11 301\nD 2026-12-11 302 \n"}, std::nullopt},
        {"NULs before a record", {"\0\0D 2026-12-11 300\n"s}, std::nullopt},
        {"a line end of two characters", {"D 2026-12-11 300\r\n"}, std::nullopt},
        {"a count past the longest day", {"D 2026-12-11 90001\n"}, std::nullopt},
        {"a count with a leading zero", {"D 2026-12-11 0300\n"}, std::nullopt},
        {"a negative count", {"D 2026-12-11 -5\n"}, std::nullopt},
        {"a date that is none", {"D 2026-13-11 5\n"}, std::nullopt},
        {"a settings record", {"S seq=1 limit=120\n"}, std::nullopt},
        {"a log of exactly the bound", {bigLog}, 700},
        {"a log one byte over the bound", {bigLog + "\n"}, std::nullopt},
        {"64 logs", std::vector<std::string>(64, "D 2026-12-11 10\n"), 10},
        {"65 logs", std::vector<std::string>(65, "D 2026-12-11 10\n"), std::nullopt},
    };
    ASSERT_EQ(bigLog.size(), kMaxJournalBytes);
    for (const auto& c : cases) {
        EXPECT_EQ(largestDayCount(c.logs, kToday), c.expected) << c.what;
    }
    EXPECT_TRUE(dayLogCountAllowed(kMaxDayLogsPerDay));
    EXPECT_FALSE(dayLogCountAllowed(kMaxDayLogsPerDay + 1));
}

// Every cut of a record's append leaves a log that reads as before it. The
// next append's leading line end closes the cut line: a cut inside the count
// then reads as a smaller count (never more than the one being written), any
// other cut stays ignored.
TEST(JournalDayLog, EveryCutOfAnAppendIsIgnoredUntilTheNextAppendClosesIt)
{
    const std::string before = "D 2026-12-11 300\n";
    const std::string torn = appendedBytes(before, dayRecordLine(kToday, 86399));
    const size_t countAt = std::string("D 2026-12-11 ").size();
    for (size_t cut = 0; cut < torn.size(); ++cut) {
        for (const size_t nuls : {size_t{0}, size_t{7}}) {
            const std::string cutLog = before + torn.substr(0, cut) + std::string(nuls, '\0');
            EXPECT_EQ(largestDayCount({cutLog}, kToday), 300) << cut << " " << nuls;
            const int64_t cutCount = cut > countAt && nuls == 0 ? std::stoll(torn.substr(countAt, cut - countAt)) : 0;
            const std::string next = cutLog + appendedBytes(cutLog, dayRecordLine(kToday, 420));
            EXPECT_EQ(largestDayCount({next}, kToday), std::max<int64_t>(420, cutCount)) << cut << " " << nuls;
        }
    }
}

TEST(JournalDayLog, ParsedRecordsKeepTheirDatesAndOrder)
{
    const std::optional<std::vector<DayRecord>> records =
        parseDayLog("D 2026-12-10 86000\nD 2026-12-11 5\nD 2026-1\nD 2026-12-11 65\n");
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 3u);
    EXPECT_EQ((*records)[0].date, L"2026-12-10");
    EXPECT_EQ((*records)[0].usedSeconds, 86000);
    EXPECT_EQ((*records)[2].date, L"2026-12-11");
    EXPECT_EQ((*records)[2].usedSeconds, 65);
}

}  // namespace
