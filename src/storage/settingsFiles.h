// The exact text of config.json and data.json, and their readers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/textFiles.h"
#include "storage/usageRecords.h"

std::string configFileText(const AppConfig& config);
std::string usageFileText(const DailyUsage& usage);

// Fill the record from the file's text; fields the text does not supply keep
// their values. False when a required key is missing or a number does not fit.
bool parseConfigText(std::string_view text, AppConfig& config);
bool parseUsageText(std::string_view text, DailyUsage& usage);

// Whether `text` is a whole file of the program's, as parseConfigText and
// parseUsageText read it: its last character other than white space is the
// closing brace (a file cut short, or a zeroed one, is not), and for data.json
// its date is a date. A file that is not whole holds no record to trust.
bool parseWholeConfigText(std::string_view text, AppConfig& config);
bool parseWholeUsageText(std::string_view text, DailyUsage& usage);

// The day number (days since 1970-01-01) of a "YYYY-MM-DD" date; false for anything else.
bool dayNumberOf(const std::wstring& date, int64_t& days);

// More than this is not a file of the program's.
inline constexpr size_t kMaxStateFileBytes = 1024 * 1024;

bool readConfigFile(const std::wstring& path, AppConfig& config);
bool readUsageFile(const std::wstring& path, DailyUsage& usage);
