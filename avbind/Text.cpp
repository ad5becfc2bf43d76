#include "avbind/Text.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace avbind {

namespace {

bool ParseInt64(const std::string& text, std::int64_t& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    unsigned long long magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        if (magnitude > (ULLONG_MAX - static_cast<unsigned>(digit)) / static_cast<unsigned>(base)) return false;
        magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    const unsigned long long limit = negative ? 1ULL + static_cast<unsigned long long>(INT64_MAX)
                                              : static_cast<unsigned long long>(INT64_MAX);
    if (magnitude > limit) return false;
    value = negative ? static_cast<std::int64_t>(0ULL - magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

[[noreturn]] void NotInteger(const std::string& text) {
    throw EConvertError("'" + text + "' is not a valid integer value");
}

} // namespace

bool TryStrToInt(const std::string& text, int& value) {
    std::int64_t v = 0;
    if (!ParseInt64(text, v) || v < INT_MIN || v > INT_MAX) return false;
    value = static_cast<int>(v);
    return true;
}

int StrToInt(const std::string& text) {
    int value = 0;
    if (!TryStrToInt(text, value)) NotInteger(text);
    return value;
}

std::int64_t StrToInt64(const std::string& text) {
    std::int64_t value = 0;
    if (!ParseInt64(text, value)) NotInteger(text);
    return value;
}

double StrToFloat(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    if (first != std::string::npos) {
        const std::string trimmed = text.substr(first, last - first + 1);
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(trimmed.c_str(), &end);
        // Only plain decimal forms: no hexadecimal floats, infinities or NaNs.
        const bool plain = trimmed.find_first_of("xXnNiI") == std::string::npos;
        if (plain && end && *end == '\0' && errno != ERANGE && std::isfinite(value)) return value;
    }
    throw EConvertError("'" + text + "' is not a valid floating point value");
}

std::string LowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace avbind
