// Small platform services shared by every layer.
#pragma once

#include <cstdio>
#include <string>

namespace avbind {

// printf-style text.
template <class... A>
std::string Format(const char* format, A... args) {
    if constexpr (sizeof...(A) == 0) {
        return format;
    } else {
        const int n = std::snprintf(nullptr, 0, format, args...);
        std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
        if (n > 0) std::snprintf(text.data(), text.size() + 1, format, args...);
        return text;
    }
}

// Folder of the running program (from /proc/self/exe), without a trailing separator.
std::string ProgramFolder();

} // namespace avbind
