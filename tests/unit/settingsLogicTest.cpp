// The settings window's decisions: the limit field, the order of Apply's
// checks, and the password section's look in each state.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "i18n/strings.h"
#include "ui/settings/passwordWindow.h"
#include "ui/settings/settingsWindow.h"

namespace {

TEST(SettingsLimitText, ConvertsLikeADecimalReader)
{
    const struct {
        const wchar_t* text;
        int value;
    } cases[] = {
        {L"", 0},          {L"0", 0},          {L"1", 1},           {L"1440", 1440},     {L"1441", 1441},
        {L"9999", 9999},   {L"0090", 90},      {L" 12abc", 12},     {L"+5", 5},          {L"-3", -3},
        {L"abc", 0},       {L"\t\n 7", 7},     {L"+", 0},           {L"- 3", 0},         {L"12 34", 12},
        {L"--3", 0},       {L"  ", 0},         {L"0000", 0},        {L"x12", 0},         {L"-0", 0},
        // Far past int: saturates instead of wrapping into the valid range.
        {L"99999999999999", INT_MAX},          {L"-99999999999999", INT_MIN},
        {L"4294967297", INT_MAX},              {L"2147483647", INT_MAX},
        {L"-2147483648", INT_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseLimitText(c.text), c.value) << '"' << testing::PrintToString(std::wstring(c.text)) << '"';
    }
}

ApplyForm validForm()
{
    ApplyForm form;
    form.limitText = L"90";
    form.notifications = true;
    return form;
}

void expectNothingStored(const ApplyPlan& plan)
{
    EXPECT_FALSE(plan.newPassword.has_value());
    EXPECT_FALSE(plan.requirePasswordOnExit.has_value());
}

TEST(SettingsApplyPlan, LimitOutsideOneTo1440IsRefusedFirstAndStoresNothing)
{
    for (const wchar_t* limit : {L"", L"0", L"1441", L"9999", L"-3", L"abc", L"99999999999999"}) {
        ApplyForm form = validForm();
        form.limitText = limit;
        // The password fields are wrong too: the limit is still what gets reported.
        form.passwordEditActive = true;
        form.password = L"";
        form.confirmation = L"other";
        form.hadPassword = true;
        form.exitPasswordChecked = true;
        const ApplyPlan plan = planApply(form);
        EXPECT_EQ(plan.problem, ApplyProblem::InvalidLimit) << testing::PrintToString(std::wstring(limit));
        expectNothingStored(plan);
    }
}

TEST(SettingsApplyPlan, LimitBoundsAndLeadingZerosAreAccepted)
{
    const struct {
        const wchar_t* text;
        int minutes;
    } cases[] = {{L"1", 1}, {L"1440", 1440}, {L"0090", 90}, {L" 12abc", 12}, {L"+5", 5}};
    for (const auto& c : cases) {
        ApplyForm form = validForm();
        form.limitText = c.text;
        const ApplyPlan plan = planApply(form);
        EXPECT_EQ(plan.problem, ApplyProblem::None) << testing::PrintToString(std::wstring(c.text));
        EXPECT_EQ(plan.limitMinutes, c.minutes);
    }
}

TEST(SettingsApplyPlan, PasswordChecksInOrder)
{
    const struct {
        const char* name;
        bool visible;
        const wchar_t* password;
        const wchar_t* confirmation;
        ApplyProblem problem;
    } cases[] = {
        {"both empty", false, L"", L"", ApplyProblem::EmptyPassword},
        {"empty first, typed confirmation", false, L"", L"abc", ApplyProblem::EmptyPassword},
        {"empty while revealed", true, L"", L"abc", ApplyProblem::EmptyPassword},
        {"different texts", false, L"abc", L"abd", ApplyProblem::PasswordsDiffer},
        {"case differs", false, L"Secret", L"secret", ApplyProblem::PasswordsDiffer},
        {"trailing space differs", false, L"abc", L"abc ", ApplyProblem::PasswordsDiffer},
        {"confirmation empty", false, L"abc", L"", ApplyProblem::PasswordsDiffer},
        {"matching", false, L"abc", L"abc", ApplyProblem::None},
        {"revealed ignores the confirmation", true, L"abc", L"something else", ApplyProblem::None},
        {"spaces are a password", false, L"   ", L"   ", ApplyProblem::None},
    };
    for (const auto& c : cases) {
        ApplyForm form = validForm();
        form.passwordEditActive = true;
        form.passwordVisible = c.visible;
        form.password = c.password;
        form.confirmation = c.confirmation;
        form.exitPasswordChecked = true;
        const ApplyPlan plan = planApply(form);
        EXPECT_EQ(plan.problem, c.problem) << c.name;
        if (c.problem == ApplyProblem::None) {
            ASSERT_TRUE(plan.newPassword.has_value()) << c.name;
            EXPECT_EQ(*plan.newPassword, c.password) << c.name;
            EXPECT_EQ(plan.requirePasswordOnExit, std::optional<bool>(true)) << c.name;
            EXPECT_EQ(plan.limitMinutes, 90) << c.name;
        } else {
            expectNothingStored(plan);
        }
    }
}

TEST(SettingsApplyPlan, ExitFlagIsStoredOnlyWhenAPasswordExistsAfterwards)
{
    const struct {
        const char* name;
        bool hadPassword;
        bool editActive;
        bool exitChecked;
        std::optional<bool> stored;
    } cases[] = {
        {"no password, not entering", false, false, true, std::nullopt},
        {"stored password kept, checked", true, false, true, true},
        {"stored password kept, unchecked", true, false, false, false},
        {"new password, unchecked", false, true, false, false},
        {"changed password, checked", true, true, true, true},
    };
    for (const auto& c : cases) {
        ApplyForm form = validForm();
        form.hadPassword = c.hadPassword;
        form.passwordEditActive = c.editActive;
        form.password = L"pw";
        form.confirmation = L"pw";
        form.exitPasswordChecked = c.exitChecked;
        form.notifications = false;
        const ApplyPlan plan = planApply(form);
        ASSERT_EQ(plan.problem, ApplyProblem::None) << c.name;
        EXPECT_EQ(plan.requirePasswordOnExit, c.stored) << c.name;
        EXPECT_EQ(plan.newPassword.has_value(), c.editActive) << c.name;
        EXPECT_EQ(plan.notifications, std::optional<bool>(false)) << c.name;
    }
}

// While config.json cannot be read the window shows no value as the parent's:
// a field the parent left alone is neither checked nor stored.
TEST(SettingsApplyPlan, FieldsLeftAloneWhileTheSettingsAreNotReadAreNeitherCheckedNorStored)
{
    const struct {
        const char* name;
        bool notRead;
        const wchar_t* limit;
        std::optional<bool> notifications;
        ApplyProblem problem;
        std::optional<int> storedLimit;
        std::optional<bool> storedNotifications;
    } cases[] = {
        {"not read, both left alone", true, L"", std::nullopt, ApplyProblem::None, std::nullopt, std::nullopt},
        {"not read, blanks only", true, L"  ", std::nullopt, ApplyProblem::None, std::nullopt, std::nullopt},
        {"not read, limit typed", true, L"45", std::nullopt, ApplyProblem::None, 45, std::nullopt},
        {"not read, box set", true, L"", false, ApplyProblem::None, std::nullopt, false},
        {"not read, limit out of range", true, L"0", std::nullopt, ApplyProblem::InvalidLimit, std::nullopt,
         std::nullopt},
        {"read, empty limit", false, L"", true, ApplyProblem::InvalidLimit, std::nullopt, std::nullopt},
        {"read, both stored", false, L"30", true, ApplyProblem::None, 30, true},
    };
    for (const auto& c : cases) {
        ApplyForm form;
        form.settingsNotRead = c.notRead;
        form.limitText = c.limit;
        form.notifications = c.notifications;
        // Only the password changed: it passes whatever the other fields hold.
        form.passwordEditActive = true;
        form.password = L"pw";
        form.confirmation = L"pw";
        const ApplyPlan plan = planApply(form);
        EXPECT_EQ(plan.problem, c.problem) << c.name;
        EXPECT_EQ(plan.limitMinutes, c.storedLimit) << c.name;
        EXPECT_EQ(plan.notifications, c.storedNotifications) << c.name;
        EXPECT_EQ(plan.newPassword.has_value(), c.problem == ApplyProblem::None) << c.name;
    }
}

class SettingsApplyMessages : public testing::Test {
protected:
    void TearDown() override { setActiveLanguage(Language::English); }
};

TEST_F(SettingsApplyMessages, EachProblemHasItsBoxInBothLanguages)
{
    EXPECT_FALSE(applyProblemMessage(ApplyProblem::None).has_value());
    const struct {
        ApplyProblem problem;
        Language language;
        const wchar_t* text;
        const wchar_t* title;
    } cases[] = {
        {ApplyProblem::InvalidLimit, Language::English, L"Enter a daily limit from 1 to 1440 minutes.",
         L"Invalid limit"},
        {ApplyProblem::EmptyPassword, Language::English, L"Enter a password.", L"Password"},
        {ApplyProblem::PasswordsDiffer, Language::English, L"The passwords do not match.", L"Password"},
        {ApplyProblem::InvalidLimit, Language::Russian, L"Введите дневной лимит от 1 до 1440 минут.",
         L"Некорректный лимит"},
        {ApplyProblem::EmptyPassword, Language::Russian, L"Введите пароль.", L"Пароль"},
        {ApplyProblem::PasswordsDiffer, Language::Russian, L"Введённые пароли не совпадают.", L"Пароль"},
    };
    for (const auto& c : cases) {
        setActiveLanguage(c.language);
        const auto message = applyProblemMessage(c.problem);
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(localizedText(message->text), c.text);
        EXPECT_EQ(localizedText(message->title), c.title);
    }
}

TEST(SettingsPasswordSection, StateTable)
{
    struct Row {
        const char* name;
        PasswordSectionState state;
        PasswordSectionView view;
    };
    // view: checked, enabled, change/remove, entry, confirmation, exit enabled, exit unchecked
    const Row rows[] = {
        {"no password", {false, false, false, false}, {false, true, false, false, false, false, true}},
        {"no password, stale visible flag", {false, false, true, false}, {false, true, false, false, false, false, true}},
        {"entering from no password", {false, true, false, false}, {true, true, false, true, true, true, false}},
        {"revealed from no password", {false, true, true, false}, {true, true, false, true, false, true, false}},
        {"entering from password set", {true, true, false, true}, {true, false, false, true, true, true, false}},
        {"revealed from password set", {true, true, true, true}, {true, false, false, true, false, true, false}},
        {"password set", {true, false, false, false}, {true, false, true, false, false, true, false}},
        {"password set, stale visible flag", {true, false, true, true}, {true, false, true, false, false, true, false}},
    };
    for (const Row& row : rows) {
        const PasswordSectionView view = passwordSectionView(row.state);
        EXPECT_EQ(view.setPasswordChecked, row.view.setPasswordChecked) << row.name;
        EXPECT_EQ(view.setPasswordEnabled, row.view.setPasswordEnabled) << row.name;
        EXPECT_EQ(view.changeRemoveShown, row.view.changeRemoveShown) << row.name;
        EXPECT_EQ(view.passwordFieldShown, row.view.passwordFieldShown) << row.name;
        EXPECT_EQ(view.confirmationShown, row.view.confirmationShown) << row.name;
        EXPECT_EQ(view.exitPasswordEnabled, row.view.exitPasswordEnabled) << row.name;
        EXPECT_EQ(view.exitPasswordUnchecked, row.view.exitPasswordUnchecked) << row.name;
    }
}

TEST(SettingsControlText, DropsOnlyAHalfSurrogatePairAtTheEnd)
{
    const struct {
        std::wstring text;
        std::wstring kept;
    } cases[] = {
        {L"", L""},
        {L"abc", L"abc"},
        {std::wstring(L"ab") + L'\xD83D', L"ab"},
        {std::wstring(L"ab") + L'\xD83D' + L'\xDE00', std::wstring(L"ab") + L'\xD83D' + L'\xDE00'},
        {L"\x0416\x0416", L"\x0416\x0416"},
    };
    for (const auto& c : cases) {
        std::wstring text = c.text;
        dropDanglingHighSurrogate(text);
        EXPECT_EQ(text, c.kept);
    }
}

TEST(PasswordPromptOutcome, WrongRetriesAndRightFollowsTheMode)
{
    EXPECT_EQ(passwordOutcome(false, false), PasswordOutcome::Retry);
    EXPECT_EQ(passwordOutcome(false, true), PasswordOutcome::Retry);
    EXPECT_EQ(passwordOutcome(true, false), PasswordOutcome::OpenSettings);
    EXPECT_EQ(passwordOutcome(true, true), PasswordOutcome::ExitProgram);
}

}  // namespace
