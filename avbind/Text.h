// Text helpers of the option layer: text-to-number conversions (unreadable
// text raises EConvertError with the platform's usual wording), ASCII lower
// case and trimming.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace avbind {

class EConvertError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Decimal (optionally signed) or hexadecimal with "$" or "0x"; the whole text.
int StrToInt(const std::string& text);
std::int64_t StrToInt64(const std::string& text);
// Decimal floating point with '.', surrounding blanks allowed.
double StrToFloat(const std::string& text);
// As StrToInt, but false instead of an exception.
bool TryStrToInt(const std::string& text, int& value);

// ASCII letters in lower case; other bytes as they are.
std::string LowerCase(std::string text);
// Without leading and trailing blanks (space, tab, CR, LF).
std::string Trimmed(const std::string& text);

} // namespace avbind
