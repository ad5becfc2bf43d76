// Language files and the format texts in them. The input is: product tag line,
// version line, then the language file content. The format fill is tried on the content too.
#include "app/IniFile.h"
#include "app/Language.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zcfuzz::TPieces pieces(data, size);
    const std::string tag = pieces.Next(), version = pieces.Next();
    const std::string content(pieces.Rest());

    const std::string settings = zcfuzz::WriteScratchFile("config.ini", "[app]\nversion=1\n");
    try {
        app::TIniFile(settings).WriteString("app", "version", version);
    } catch (const app::EIniFileError&) {
        // A version with a line break cannot be stored; the file keeps "1".
    }
    const app::TLanguageTexts texts =
        app::LoadLanguage(zcfuzz::WriteScratchFile("lang.ini", content), settings, tag);
    (void)texts.Caption("frmMain", "Caption");

    try {
        (void)app::FormatTagText(content, {tag, version, tag});
    } catch (const app::EFormatError&) {
    }
    return 0;
}
