// Text-to-number conversions of the option layer. Unreadable text raises
// EConvertError with the platform's usual wording.
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

} // namespace avbind
