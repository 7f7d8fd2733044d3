#include "storage/patternSearch.h"

#include <string>

namespace pattern {
namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

size_t skipSpaces(std::string_view text, size_t at)
{
    while (at < text.size() && isSpace(text[at])) {
        ++at;
    }
    return at;
}

// Where the value starts after `"key"\s*:\s*` at the key's position, if the
// separator is there.
std::optional<size_t> valueStart(std::string_view text, size_t keyAt, size_t keyLength)
{
    size_t at = skipSpaces(text, keyAt + keyLength);
    if (at >= text.size() || text[at] != ':') {
        return std::nullopt;
    }
    return skipSpaces(text, at + 1);
}

// Tries every occurrence of the quoted key in order, so the first place in the
// text where key, separator and value all match wins; `matchValue(start)`
// returns the captured value or nothing. Each value matcher stops inside the
// next occurrence of the key at the latest: spaces, digits and words stop at
// its opening quote, a quoted value at its opening or closing quote. So the
// stretches examined for successive occurrences overlap by less than one key
// and the whole search is linear in the text's length.
template <typename MatchValue>
std::optional<std::string_view> search(std::string_view text, std::string_view key, MatchValue matchValue)
{
    const std::string quotedKey = '"' + std::string(key) + '"';
    for (size_t keyAt = text.find(quotedKey); keyAt != std::string_view::npos;
         keyAt = text.find(quotedKey, keyAt + 1)) {
        const std::optional<size_t> start = valueStart(text, keyAt, quotedKey.size());
        if (!start) {
            continue;
        }
        if (std::optional<std::string_view> value = matchValue(*start)) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string_view> findInteger(std::string_view text, std::string_view key)
{
    return search(text, key, [text](size_t start) -> std::optional<std::string_view> {
        size_t at = start;
        if (at < text.size() && text[at] == '-' && at + 1 < text.size() && isDigit(text[at + 1])) {
            ++at;
        }
        const size_t digitsAt = at;
        while (at < text.size() && isDigit(text[at])) {
            ++at;
        }
        if (at == digitsAt) {
            return std::nullopt;
        }
        return text.substr(start, at - start);
    });
}

bool hasLiteral(std::string_view text, std::string_view key, std::string_view literal)
{
    return search(text, key, [text, literal](size_t start) -> std::optional<std::string_view> {
               if (text.substr(start, literal.size()) != literal) {
                   return std::nullopt;
               }
               return text.substr(start, literal.size());
           }).has_value();
}

std::optional<std::string_view> findQuotedText(std::string_view text, std::string_view key)
{
    return search(text, key, [text](size_t start) -> std::optional<std::string_view> {
        if (start >= text.size() || text[start] != '"') {
            return std::nullopt;
        }
        // The value runs to the next quote, which is at or before the next key.
        const size_t close = text.find('"', start + 1);
        if (close == std::string_view::npos || close == start + 1) {
            return std::nullopt;
        }
        return text.substr(start + 1, close - start - 1);
    });
}

std::optional<std::string_view> findEscapedText(std::string_view text, std::string_view key)
{
    return search(text, key, [text](size_t start) -> std::optional<std::string_view> {
        if (start >= text.size() || text[start] != '"') {
            return std::nullopt;
        }
        // The two alternatives begin with different bytes, so the value splits
        // into backslash pairs and single bytes in exactly one way, and only an
        // unpaired quote can close it. A backslash before LF, CR or the end of
        // the text pairs with nothing ('.' does not match line breaks), so the
        // value cannot be closed there. A later key never lies inside a failed
        // value: its closing quote follows no backslash and would close it.
        size_t at = start + 1;
        while (at < text.size()) {
            const char c = text[at];
            if (c == '"') {
                return text.substr(start + 1, at - start - 1);
            }
            if (c == '\\') {
                if (at + 1 >= text.size() || text[at + 1] == '\n' || text[at + 1] == '\r') {
                    return std::nullopt;
                }
                at += 2;
            } else {
                ++at;
            }
        }
        return std::nullopt;
    });
}

std::optional<std::string_view> findQuotedChoice(std::string_view text, std::string_view key,
                                                 std::initializer_list<std::string_view> choices)
{
    return search(text, key, [text, choices](size_t start) -> std::optional<std::string_view> {
        if (start >= text.size() || text[start] != '"') {
            return std::nullopt;
        }
        for (const std::string_view choice : choices) {
            if (text.substr(start + 1, choice.size()) == choice && start + 1 + choice.size() < text.size() &&
                text[start + 1 + choice.size()] == '"') {
                return text.substr(start + 1, choice.size());
            }
        }
        return std::nullopt;
    });
}

bool parseDecimal(std::string_view digits, long long minimum, long long maximum, long long& value)
{
    bool negative = false;
    if (!digits.empty() && digits.front() == '-') {
        negative = true;
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return false;
    }
    // Accumulate towards the sign so the most negative value fits as well.
    long long result = 0;
    for (const char c : digits) {
        if (!isDigit(c)) {
            return false;
        }
        const int digit = c - '0';
        if (negative) {
            if (result < (minimum + digit) / 10) {
                return false;
            }
            result = result * 10 - digit;
            if (result < minimum) {
                return false;
            }
        } else {
            if (result > (maximum - digit) / 10) {
                return false;
            }
            result = result * 10 + digit;
            if (result > maximum) {
                return false;
            }
        }
    }
    value = result;
    return true;
}

}  // namespace pattern
