// Finds `"key" <spaces> : <spaces> value` in a file's text, the first place in
// the text where the whole form matches, with these value forms:
//   integer      -?\d+              (captures the sign and digits)
//   literal      a fixed word such as true or false
//   quotedText   "[^"]+"            (captures the text between the quotes)
//   escapedText  "(\\.|[^"\\])*"    (a JSON-style string; '.' is any byte but LF and CR)
//   quotedChoice "one of the words"
// Spaces are space, tab, LF, VT, FF and CR. The search runs in time linear in
// the text's length and uses no recursion, whatever the text holds.
#pragma once

#include <initializer_list>
#include <optional>
#include <string_view>

namespace pattern {

std::optional<std::string_view> findInteger(std::string_view text, std::string_view key);
bool hasLiteral(std::string_view text, std::string_view key, std::string_view literal);
std::optional<std::string_view> findQuotedText(std::string_view text, std::string_view key);
std::optional<std::string_view> findEscapedText(std::string_view text, std::string_view key);
std::optional<std::string_view> findQuotedChoice(std::string_view text, std::string_view key,
                                                 std::initializer_list<std::string_view> choices);

// Decimal digits with an optional leading '-', converted with a range check;
// false when the value lies outside [minimum, maximum].
bool parseDecimal(std::string_view digits, long long minimum, long long maximum, long long& value);

}  // namespace pattern
