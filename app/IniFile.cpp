#include "app/IniFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

enum class TEncoding { Utf8, Utf8Bom, Utf16Le };

struct TLine {
    std::string Text; // UTF-8, without its line ending
    std::string Eol;  // "\n", "\r\n" or "" (last line without one)
};

struct TDocument {
    TEncoding Encoding = TEncoding::Utf8;
    std::vector<TLine> Lines;
};

const char* const kBlanks = " \t";

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(kBlanks);
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(kBlanks);
    return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y) return false;
    }
    return true;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Lone surrogates and a trailing odd byte become U+FFFD: a damaged file still reads.
std::string Utf16LeToUtf8(const std::string& bytes, size_t from) {
    std::string out;
    out.reserve(bytes.size());
    const size_t units = (bytes.size() - from) / 2;
    auto unit = [&](size_t i) -> char16_t {
        return char16_t(uint8_t(bytes[from + 2 * i]) | (uint8_t(bytes[from + 2 * i + 1]) << 8));
    };
    for (size_t i = 0; i < units; ++i) {
        char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            char32_t c = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            AppendUtf8(out, c);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    if ((bytes.size() - from) % 2) AppendUtf8(out, 0xFFFD);
    return out;
}

void AppendUtf16Le(std::string& out, char32_t c) {
    auto put = [&](char16_t u) {
        out += char(u & 0xFF);
        out += char(u >> 8);
    };
    if (c >= 0x10000) {
        c -= 0x10000;
        put(char16_t(0xD800 + (c >> 10)));
        put(char16_t(0xDC00 + (c & 0x3FF)));
    } else {
        put(char16_t(c));
    }
}

// The length of the well-formed UTF-8 sequence at s[i] (its code point in
// `c`), or 0 when the bytes there are not one.
int DecodeUtf8At(const std::string& s, size_t i, char32_t& c) {
    const uint8_t b = uint8_t(s[i]);
    const int len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + size_t(len) > s.size()) return 0;
    c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k < len; ++k) {
        const uint8_t cb = uint8_t(s[i + size_t(k)]);
        if ((cb & 0xC0) != 0x80) return 0;
        c = (c << 6) | (cb & 0x3F);
    }
    if ((len == 2 && c < 0x80) || (len == 3 && c < 0x800) || (len == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return len;
}

bool IsValidUtf8(const std::string& s) {
    char32_t c;
    for (size_t i = 0; i < s.size();) {
        const int len = DecodeUtf8At(s, i, c);
        if (len == 0) return false;
        i += size_t(len);
    }
    return true;
}

// Invalid UTF-8 sequences become U+FFFD (UTF-16 cannot carry raw bytes).
std::string Utf8ToUtf16Le(const std::string& s) {
    std::string out;
    out.reserve(s.size() * 2);
    size_t i = 0;
    while (i < s.size()) {
        char32_t c;
        const int len = DecodeUtf8At(s, i, c);
        AppendUtf16Le(out, len ? c : 0xFFFD);
        i += len ? size_t(len) : 1;
    }
    return out;
}

// Reads the whole file. Empty optional when it does not exist; throws
// EIniFileError when `strict` and it exists but cannot be read.
std::optional<std::string> ReadBytes(const std::string& fileName, bool strict) {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || !strict) return std::nullopt;
        throw EIniFileError("Unable to read " + fileName + ": " + std::strerror(errno));
    }
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            data.append(buf, size_t(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            const int err = errno;
            ::close(fd);
            if (!strict) return std::nullopt;
            throw EIniFileError("Unable to read " + fileName + ": " + std::strerror(err));
        }
    }
    ::close(fd);
    return data;
}

TDocument Decode(const std::string& bytes) {
    TDocument doc;
    std::string text;
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        doc.Encoding = TEncoding::Utf16Le;
        text = Utf16LeToUtf8(bytes, 2);
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        doc.Encoding = TEncoding::Utf8Bom;
        text = bytes.substr(3);
    } else {
        text = bytes;
    }
    // Lines end in LF, CRLF or a lone CR; each keeps its own ending.
    TLine line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\n' && c != '\r') {
            line.Text += c;
            continue;
        }
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            line.Eol = "\r\n";
            ++i;
        } else {
            line.Eol = std::string(1, c);
        }
        doc.Lines.push_back(std::move(line));
        line = TLine{};
    }
    if (!line.Text.empty()) doc.Lines.push_back(std::move(line));
    return doc;
}

std::string Encode(const TDocument& doc) {
    std::string text;
    for (const TLine& l : doc.Lines) text += l.Text + l.Eol;
    switch (doc.Encoding) {
    case TEncoding::Utf16Le: return "\xFF\xFE" + Utf8ToUtf16Le(text);
    case TEncoding::Utf8Bom: return "\xEF\xBB\xBF" + text;
    case TEncoding::Utf8: break;
    }
    return text;
}

TDocument Load(const std::string& fileName) {
    auto bytes = ReadBytes(fileName, false);
    return bytes ? Decode(*bytes) : TDocument{};
}

// Section header name of a line, if it is one.
std::optional<std::string> SectionOf(const std::string& line) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] != '[') return std::nullopt;
    const size_t close = t.find(']');
    return Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

// Key and value of a line, if it is a key line.
bool KeyOf(const std::string& line, std::string& key, std::string* value = nullptr) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '[') return false;
    const size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    if (key.empty()) return false;
    if (value) *value = Trim(t.substr(eq + 1));
    return true;
}

// Index of the first header named `section`, or -1. Names in the file are
// read without surrounding blanks, so the asked name is compared that way too.
long FindSection(const TDocument& doc, const std::string& section) {
    const std::string wanted = Trim(section);
    for (size_t i = 0; i < doc.Lines.size(); ++i) {
        auto name = SectionOf(doc.Lines[i].Text);
        if (name && SameName(*name, wanted)) return long(i);
    }
    return -1;
}

// Index one past the last line of the section starting at `header`.
size_t SectionEnd(const TDocument& doc, size_t header) {
    size_t i = header + 1;
    while (i < doc.Lines.size() && !SectionOf(doc.Lines[i].Text)) ++i;
    return i;
}

std::optional<std::string> Lookup(const std::string& fileName, const std::string& section, const std::string& key) {
    const TDocument doc = Load(fileName);
    const long header = FindSection(doc, section);
    if (header < 0) return std::nullopt;
    const size_t end = SectionEnd(doc, size_t(header));
    const std::string wanted = Trim(key);
    std::string k, v;
    for (size_t i = size_t(header) + 1; i < end; ++i) {
        if (KeyOf(doc.Lines[i].Text, k, &v) && SameName(k, wanted)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            return v;
        }
    }
    return std::nullopt;
}

std::string DefaultEol(const TDocument& doc) {
    for (const TLine& l : doc.Lines)
        if (!l.Eol.empty()) return l.Eol;
    return "\n";
}

std::string ErrorText(const std::string& fileName, int err) {
    return "Unable to write to " + fileName + ": " + std::strerror(err);
}

// Writes `bytes` to a temporary file in the target's folder and renames it
// over the target; on any failure the target is untouched.
void ReplaceFile(const std::string& fileName, const std::string& bytes) {
    namespace fs = std::filesystem;
    // A settings file that is a link keeps being a link: write its target.
    fs::path target = fileName;
    std::error_code ec;
    if (fs::is_symlink(target, ec)) {
        fs::path resolved = fs::read_symlink(target, ec);
        if (!ec) target = resolved.is_absolute() ? resolved : target.parent_path() / resolved;
    }
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string tmp = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) throw EIniFileError(ErrorText(fileName, errno));
    auto fail = [&](int err) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw EIniFileError(ErrorText(fileName, err));
    };
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        done += size_t(n);
    }
    struct stat st {};
    const mode_t mode = ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0) fail(errno);
    if (::fsync(fd) != 0) fail(errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw EIniFileError(ErrorText(fileName, err));
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw EIniFileError(ErrorText(fileName, err));
    }
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// Read-modify-write of one file must not interleave within the process.
std::mutex gWriteMutex;

} // namespace

bool IniParseInteger(const std::string& text, int& value) {
    const std::string t = Trim(text);
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    int base = 10;
    if (t.compare(i, 2, "0x") == 0 || t.compare(i, 2, "0X") == 0) {
        base = 16;
        i += 2;
    } else if (i < t.size() && t[i] == '$') {
        base = 16;
        ++i;
    }
    if (i >= t.size()) return false;
    long long v = 0;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v * base + d;
        if (v > (long long)INT_MAX + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    value = int(v);
    return true;
}

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
    auto v = Lookup(FFileName, section, key);
    return v ? *v : def;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    auto v = Lookup(FFileName, section, key);
    int result;
    return v && IniParseInteger(*v, result) ? result : def;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return Lookup(FFileName, section, key).has_value();
}

std::vector<std::string> TIniFile::ReadSections() const {
    std::vector<std::string> out;
    for (const TLine& l : Load(FFileName).Lines)
        if (auto name = SectionOf(l.Text)) out.push_back(*name);
    return out;
}

std::vector<std::string> TIniFile::ReadSectionKeys(const std::string& section) const {
    std::vector<std::string> out;
    const TDocument doc = Load(FFileName);
    const long header = FindSection(doc, section);
    if (header < 0) return out;
    const size_t end = SectionEnd(doc, size_t(header));
    std::string k;
    for (size_t i = size_t(header) + 1; i < end; ++i)
        if (KeyOf(doc.Lines[i].Text, k)) out.push_back(k);
    return out;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    const std::string sec = Trim(section), k = Trim(key);
    // Such names or values would add lines or keys the caller never wrote.
    if (sec.empty() || HasLineBreak(sec) || sec.find(']') != std::string::npos)
        throw EIniFileError("Unable to write to " + FFileName + ": invalid section name");
    if (k.empty() || HasLineBreak(k) || k.find('=') != std::string::npos || k[0] == '[' || k[0] == ';')
        throw EIniFileError("Unable to write to " + FFileName + ": invalid key name");
    if (HasLineBreak(value)) throw EIniFileError("Unable to write to " + FFileName + ": line break in value");

    std::lock_guard lock(gWriteMutex);
    auto bytes = ReadBytes(FFileName, true);
    TDocument doc = bytes ? Decode(*bytes) : TDocument{};
    // A UTF-16 file cannot hold bytes that are not UTF-8 text: storing a
    // replacement character instead would report success for another value.
    if (doc.Encoding == TEncoding::Utf16Le && (!IsValidUtf8(sec) || !IsValidUtf8(k) || !IsValidUtf8(value)))
        throw EIniFileError("Unable to write to " + FFileName + ": text is not valid UTF-8");
    const std::string eol = DefaultEol(doc);
    auto insert = [&](size_t at, std::string text) {
        if (at > 0 && doc.Lines[at - 1].Eol.empty()) doc.Lines[at - 1].Eol = eol;
        doc.Lines.insert(doc.Lines.begin() + long(at), TLine{std::move(text), eol});
    };

    const long header = FindSection(doc, sec);
    if (header < 0) {
        insert(doc.Lines.size(), "[" + sec + "]");
        insert(doc.Lines.size(), k + "=" + value);
    } else {
        const size_t end = SectionEnd(doc, size_t(header));
        size_t last = size_t(header); // last non-blank line of the section
        bool replaced = false;
        std::string found;
        for (size_t i = size_t(header) + 1; i < end; ++i) {
            std::string& text = doc.Lines[i].Text;
            if (KeyOf(text, found) && SameName(found, k)) {
                // Keep the key as the file spells it, with its indentation.
                const size_t eq = text.find('=');
                std::string left = text.substr(0, eq);
                left.erase(left.find_last_not_of(kBlanks) + 1);
                text = left + "=" + value;
                replaced = true;
                break;
            }
            if (!Trim(text).empty()) last = i;
        }
        if (!replaced) insert(last + 1, k + "=" + value);
    }
    ReplaceFile(FFileName, Encode(doc));
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

} // namespace app
