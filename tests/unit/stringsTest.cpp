#include <gtest/gtest.h>

#include "i18n/strings.h"

namespace {

class StringsTest : public testing::Test {
protected:
    void TearDown() override { setActiveLanguage(Language::English); }
};

TEST_F(StringsTest, FormatDurationDropsSecondsAndNeverWrapsHours)
{
    setActiveLanguage(Language::English);
    const struct {
        int seconds;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 h 0 min"},     {59, L"0 h 0 min"},    {-5, L"0 h 0 min"},
        {60, L"0 h 1 min"},    {3599, L"0 h 59 min"}, {3600, L"1 h 0 min"},
        {7260, L"2 h 1 min"},  {90061, L"25 h 1 min"}, {2147483647, L"596523 h 14 min"},
        {-2147483647 - 1, L"0 h 0 min"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatDuration(c.seconds), c.text) << c.seconds;
    }
}

TEST_F(StringsTest, RussianTableAndSharedRows)
{
    setActiveLanguage(Language::Russian);
    EXPECT_EQ(localizedText(StringId::MenuExit), L"Выход");
    EXPECT_EQ(formatDuration(3660), L"1 ч 1 мин");
    EXPECT_EQ(formatDuration(7260), L"2 ч 1 мин");
    // OK in Russian is Cyrillic О and К.
    EXPECT_EQ(localizedText(StringId::Ok), std::wstring(L"\x041E\x041A"));
    const std::wstring language = localizedText(StringId::MenuLanguage);
    const std::wstring russian = localizedText(StringId::MenuRussian);
    const std::wstring english = localizedText(StringId::MenuEnglish);
    setActiveLanguage(Language::English);
    EXPECT_EQ(localizedText(StringId::MenuLanguage), language);
    EXPECT_EQ(localizedText(StringId::MenuRussian), russian);
    EXPECT_EQ(localizedText(StringId::MenuEnglish), english);
    EXPECT_EQ(localizedText(StringId::Ok), L"OK");
}

TEST_F(StringsTest, EveryRowIsPresentInBothLanguagesAndOnlyTheSharedOnesAgree)
{
    for (int row = 0; row < kStringCount; ++row) {
        setActiveLanguage(Language::English);
        const std::wstring english = localizedText(static_cast<StringId>(row));
        setActiveLanguage(Language::Russian);
        const std::wstring russian = localizedText(static_cast<StringId>(row));
        EXPECT_FALSE(english.empty()) << row;
        EXPECT_FALSE(russian.empty()) << row;
        const bool shared = row == 0 || row == 11 || row == 13 || row == 14;
        EXPECT_EQ(english == russian, shared) << row;
    }
}

// The program's own rows follow the 42 of the table; each table keeps them in place.
TEST_F(StringsTest, TheProgramsOwnRowsFollowInBothTables)
{
    EXPECT_EQ(static_cast<int>(StringId::SettingsNotSaved), 42);
    EXPECT_EQ(static_cast<int>(StringId::ExitProtectionNotInForce), 43);
    EXPECT_EQ(static_cast<int>(StringId::PasswordNotCheckableYet), 44);
    EXPECT_EQ(static_cast<int>(StringId::HardeningRefused), 47);
    EXPECT_EQ(static_cast<int>(StringId::LimitUnknown), 50);
    EXPECT_EQ(static_cast<int>(StringId::InputDesktopTakenBack), kStringCount - 1);
    EXPECT_EQ(localizedText(StringId::SettingsNotSaved),
              L"The settings could not be saved. They apply now, and Hourwarden keeps trying to save them.");
    EXPECT_EQ(localizedText(StringId::ExitProtectionNotInForce),
              L"Exit protection refused by the system; retrying every second.");
    EXPECT_EQ(localizedText(StringId::PasswordNotCheckableYet), L"Cannot check the password yet. Try again soon.");
    EXPECT_EQ(localizedText(StringId::StateUnreadable),
              L"Hourwarden cannot read its files, so today counts as used up. A parent can repair them: see "
              L"\"When Windows misbehaves\" in the README.");
    EXPECT_EQ(localizedText(StringId::DiskFull),
              L"Hourwarden cannot save its files: the disk is full. Time is still counted.");
    EXPECT_EQ(localizedCountText(StringId::InputDesktopTakenBack, 12),
              L"Another desktop took the input since the start (times: 12); each time taken back and locked.");
    setActiveLanguage(Language::Russian);
    EXPECT_EQ(localizedText(StringId::DiskFull),
              L"Hourwarden не может сохранить свои файлы: диск заполнен. Время по-прежнему учитывается.");
    EXPECT_EQ(localizedCountText(StringId::InputDesktopTakenBack, 3),
              L"Другой рабочий стол забирал ввод с запуска (раз: 3); каждый раз — возврат и блокировка.");
    EXPECT_EQ(localizedText(StringId::SettingsNotSaved),
              L"Не удалось сохранить настройки. Они уже действуют, и Hourwarden продолжает попытки их сохранить.");
    EXPECT_EQ(localizedText(StringId::ExitProtectionNotInForce),
              L"Система отказала в защите от выхода; повтор каждую секунду.");
    EXPECT_EQ(localizedText(StringId::PasswordNotCheckableYet), L"Пароль пока нельзя проверить. Повторите позже.");
    EXPECT_EQ(localizedText(StringId::StateUnreadable),
              L"Hourwarden не может прочитать свои файлы, поэтому сегодняшнее время считается исчерпанным. "
              L"Исправить их может родитель: см. раздел «When Windows misbehaves» в README.");
}

TEST_F(StringsTest, AnyLanguageValueButEnglishSelectsRussian)
{
    setActiveLanguage(static_cast<Language>(7));
    EXPECT_EQ(localizedText(StringId::MenuExit), L"Выход");
    EXPECT_EQ(languageCode(static_cast<Language>(7)), "ru");
}

TEST_F(StringsTest, LanguageCodes)
{
    EXPECT_EQ(languageCode(Language::English), "en");
    EXPECT_EQ(languageCode(Language::Russian), "ru");
    EXPECT_EQ(languageFromCode("en"), Language::English);
    EXPECT_EQ(languageFromCode("ru"), Language::Russian);
    EXPECT_EQ(languageFromCode("EN"), Language::Russian);
    EXPECT_EQ(languageFromCode(""), Language::Russian);
}

}  // namespace
