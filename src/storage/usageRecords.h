// The two persistent records: settings (config.json) and the current day (data.json).
#pragma once

#include <cstdint>
#include <string>

#include "i18n/strings.h"

struct AppConfig {
    int32_t dailyLimitMinutes = 120;
    bool showLastThreeMinuteNotifications = true;
    Language language = Language::English;
    int32_t statusWindowX = -1;
    int32_t statusWindowY = -1;
};

struct DailyUsage {
    std::wstring date;  // local date as YYYY-MM-DD
    int64_t usedSeconds = 0;
    bool warningShown = false;
    std::wstring settingsPassword;  // empty: no password
    bool requirePasswordOnExit = false;
    bool threeMinuteNotificationShown = false;
    bool twoMinuteNotificationShown = false;
    bool oneMinuteNotificationShown = false;
};
