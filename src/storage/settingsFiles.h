// The exact text of config.json and data.json, and their readers.
#pragma once

#include <string>

#include "storage/textFiles.h"
#include "storage/usageRecords.h"

std::string configFileText(const AppConfig& config);
std::string usageFileText(const DailyUsage& usage);

// Fill the record from the file's text; fields the text does not supply keep
// their values. False when a required key is missing or a number does not fit.
bool parseConfigText(std::string_view text, AppConfig& config);
bool parseUsageText(std::string_view text, DailyUsage& usage);

// More than this is not a file of the program's.
inline constexpr size_t kMaxStateFileBytes = 1024 * 1024;
// One of the program's two files. Only an absent file means the defaults: one
// that another program holds, that is refused or that is absurdly large is
// there, and its values must not be written over.
FileState readStateFile(const std::wstring& path, std::string& bytes);

bool readConfigFile(const std::wstring& path, AppConfig& config);
bool readUsageFile(const std::wstring& path, DailyUsage& usage);
bool writeConfigFile(const std::wstring& path, const AppConfig& config);
bool writeUsageFile(const std::wstring& path, const DailyUsage& usage);
