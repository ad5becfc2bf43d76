// The application's INI files (settings, product file, language files) with
// private-profile semantics: section and key names compare case-insensitively,
// the first matching section and the first matching key in it win, every
// query reads the file afresh, and a write changes one line (or adds the
// missing section or key) and keeps every other line as it was.
//
// Encodings: UTF-8 with or without a byte-order mark, and UTF-16LE with a
// byte-order mark. Texts are UTF-8 in the interface; a write keeps the file's
// encoding and line endings. New files are UTF-8 without a mark, LF endings.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace app {

// Raised when a write cannot be completed; the file is then unchanged.
class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TIniFile {
public:
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return FFileName; }

    // A missing or unreadable file, section or key yields `def`. The value is
    // the text after the first "=", blanks around it removed, and one pair of
    // matching quotes around the whole value removed.
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // Decimal, or hexadecimal after "0x"/"$"; an optional sign; any other text
    // (or a value out of range) yields `def`.
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    bool ValueExists(const std::string& section, const std::string& key) const;

    // Names of all sections, and the keys of the first section named `section`,
    // in file order (duplicates kept as they appear).
    std::vector<std::string> ReadSections() const;
    std::vector<std::string> ReadSectionKeys(const std::string& section) const;

    // Replaces the value of the first matching key, or adds the key at the end
    // of the first matching section, or adds the section at the end of the
    // file. The new content is written to a temporary file beside the old one
    // and renamed over it, so a failed write leaves the file as it was.
    // Throws EIniFileError on failure, and for names or values that would
    // change the file's structure (line breaks, "=" in a key, "]" in a section).
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);

private:
    std::string FFileName;
};

// Parses an integer the way ReadInteger does; false when `text` is not one.
bool IniParseInteger(const std::string& text, int& value);

} // namespace app
