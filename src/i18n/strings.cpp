#include "i18n/strings.h"

#include <array>
#include <atomic>

namespace {

using Table = std::array<std::wstring_view, kStringCount>;

// Rows whose text is the same constant in both tables share it.
constexpr std::wstring_view kAppTitle = L"Hourwarden";
constexpr std::wstring_view kLanguageMenu = L"Язык / Language";
constexpr std::wstring_view kRussianItem = L"Русский";
constexpr std::wstring_view kEnglishItem = L"English";

constexpr Table kRussian = {
    kAppTitle,
    L"Осталось сегодня:",
    L"ч",
    L"мин",
    L"Использовано",
    L"Осталось",
    L"Использовано",
    L"Осталось сегодня",
    L"Лимит",
    L"Настройки",
    L"Настройки",
    kLanguageMenu,
    L"Выход",
    kRussianItem,
    kEnglishItem,
    L"Настройки Hourwarden",
    L"Дневной лимит (минуты):",
    L"Установить пароль",
    L"Изменить пароль",
    L"Удалить пароль",
    L"Пароль:",
    L"Повторите пароль:",
    L"Показать пароль",
    L"Запрашивать пароль при выходе",
    L"Показывать уведомления в последние 3 минуты",
    L"Применить",
    L"Отмена",
    L"\u041E\u041A",  // Cyrillic О and К, not Latin letters
    L"Введите дневной лимит от 1 до 1440 минут.",
    L"Некорректный лимит",
    L"Введите пароль.",
    L"Пароль",
    L"Введённые пароли не совпадают.",
    L"Удалить пароль и отключить запрос пароля при выходе?",
    L"Пароль Hourwarden",
    L"Введите пароль для доступа к настройкам:",
    L"Неверный пароль.",
    L"До окончания разрешенного времени работы осталось 5 минут.",
    L"До окончания времени осталось 3 минуты",
    L"До окончания времени осталось 2 минуты",
    L"До окончания времени осталась 1 минута",
    L"Лимит времени исчерпан. До повторной блокировки осталась 1 минута.",
    L"Не удалось сохранить настройки. Они уже действуют, и Hourwarden продолжает попытки их сохранить.",
    L"Система отказала в защите от выхода; повтор каждую секунду.",
    L"Пароль пока нельзя проверить. Повторите позже.",
    L"Выход из Hourwarden",
    L"Введите пароль для выхода из Hourwarden:",
    L"Система отказала в защите от чужого кода.",
    L"Hourwarden не может прочитать свои файлы, поэтому сегодняшнее время считается исчерпанным. "
    L"Исправить их может родитель: см. раздел «When Windows misbehaves» в README.",
    L"Сохранённые настройки сейчас не читаются. Заполните только то, что меняете.",
    L"неизвестен",
    L"Другая программа заблокировала файлы Hourwarden, поэтому сегодняшнее время считается исчерпанным, "
    L"пока она их не отпустит.",
    L"Hourwarden не может сохранить свои файлы: диск заполнен. Время по-прежнему учитывается.",
    L"Hourwarden не может сохранить свои файлы. Время по-прежнему учитывается, сохранение повторяется.",
    L"Другой рабочий стол забирал ввод с запуска (раз: {n}); каждый раз — возврат и блокировка.",
};

constexpr Table kEnglish = {
    kAppTitle,
    L"Remaining today:",
    L"h",
    L"min",
    L"Used",
    L"Remaining",
    L"Used",
    L"Remaining today",
    L"Limit",
    L"Settings",
    L"Settings",
    kLanguageMenu,
    L"Exit",
    kRussianItem,
    kEnglishItem,
    L"Hourwarden Settings",
    L"Daily limit (minutes):",
    L"Set password",
    L"Change password",
    L"Remove password",
    L"Password:",
    L"Confirm password:",
    L"Show password",
    L"Require password on exit",
    L"Show notifications in the last 3 minutes",
    L"Apply",
    L"Cancel",
    L"OK",
    L"Enter a daily limit from 1 to 1440 minutes.",
    L"Invalid limit",
    L"Enter a password.",
    L"Password",
    L"The passwords do not match.",
    L"Remove the password and disable the password prompt on exit?",
    L"Hourwarden Password",
    L"Enter the password to access settings:",
    L"Incorrect password.",
    L"There are 5 minutes left of the allowed computer time.",
    L"3 minutes remaining",
    L"2 minutes remaining",
    L"1 minute remaining",
    L"The time limit has been reached. One minute remains before the computer is locked again.",
    L"The settings could not be saved. They apply now, and Hourwarden keeps trying to save them.",
    L"Exit protection refused by the system; retrying every second.",
    L"Cannot check the password yet. Try again soon.",
    L"Exit Hourwarden",
    L"Enter the password to exit Hourwarden:",
    L"Windows refused the protection against foreign code.",
    L"Hourwarden cannot read its files, so today counts as used up. A parent can repair them: see "
    L"\"When Windows misbehaves\" in the README.",
    L"The saved settings cannot be read now. Fill in only what you change.",
    L"unknown",
    L"Another program has locked Hourwarden's files, so today counts as used up until it lets go.",
    L"Hourwarden cannot save its files: the disk is full. Time is still counted.",
    L"Hourwarden cannot save its files. Time is still counted, and the save is retried.",
    L"Another desktop took the input since the start (times: {n}); each time taken back and locked.",
};

// A late read of config.json on the clock's thread may switch it while a window reads it.
std::atomic<Language> activeLanguage{Language::English};

const Table& activeTable()
{
    return activeLanguage == Language::English ? kEnglish : kRussian;
}

}  // namespace

std::wstring localizedText(StringId id)
{
    return std::wstring(activeTable()[static_cast<size_t>(id)]);
}

std::wstring formatDuration(int seconds)
{
    const int total = seconds > 0 ? seconds : 0;
    const int hours = total / 3600;
    const int minutes = (total % 3600) / 60;
    return std::to_wstring(hours) + L' ' + localizedText(StringId::HoursAbbrev) + L' ' +
           std::to_wstring(minutes) + L' ' + localizedText(StringId::MinutesAbbrev);
}

std::wstring localizedCountText(StringId id, uint64_t count)
{
    constexpr std::wstring_view kCountMark = L"{n}";
    std::wstring text = localizedText(id);
    const size_t at = text.find(kCountMark);
    if (at != std::wstring::npos) {
        text.replace(at, kCountMark.size(), std::to_wstring(count));
    }
    return text;
}

Language currentLanguage()
{
    return activeLanguage;
}

void setActiveLanguage(Language value)
{
    activeLanguage = value;
}

std::string languageCode(Language value)
{
    return value == Language::English ? "en" : "ru";
}

Language languageFromCode(std::string_view code)
{
    return code == "en" ? Language::English : Language::Russian;
}
