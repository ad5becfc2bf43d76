// Settings, product and language files are INI files a user can edit. The
// input is: section, key and value lines, then the file content.
#include "app/IniFile.h"
#include "tests/fuzz/FuzzSupport.h"

#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zcfuzz::TPieces pieces(data, size);
    const std::string section = pieces.Next(), key = pieces.Next(), value = pieces.Next();
    const std::string content(pieces.Rest());
    app::TIniFile ini(zcfuzz::WriteScratchFile("fuzz.ini", content));

    for (const std::string& s : ini.ReadSections())
        for (const std::string& k : ini.ReadSectionKeys(s)) {
            (void)ini.ReadString(s, k, "");
            (void)ini.ReadInteger(s, k, 0);
            if (!ini.ValueExists(s, k)) zcfuzz::Fail("a listed key does not exist: [" + s + "] " + k);
        }
    int parsed = 0;
    (void)app::IniParseInteger(value, parsed);

    // A write either is refused and leaves the file alone, or reads back.
    try {
        ini.WriteString(section, key, value);
    } catch (const app::EIniFileError&) {
        return 0;
    }
    std::string expected = value;
    // Reading trims blanks and one pair of matching quotes, so compare what survives that.
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!expected.empty() && blank(expected.front())) expected.erase(expected.begin());
    while (!expected.empty() && blank(expected.back())) expected.pop_back();
    if (expected.size() >= 2 && (expected.front() == '"' || expected.front() == '\'') &&
        expected.back() == expected.front())
        expected = expected.substr(1, expected.size() - 2);
    if (const std::string back = ini.ReadString(section, key, "\x01missing"); back != expected)
        zcfuzz::Fail("[" + zcfuzz::Escaped(section) + "] " + zcfuzz::Escaped(key) + ": wrote " +
                     zcfuzz::Escaped(value) + ", read " + zcfuzz::Escaped(back));
    return 0;
}
