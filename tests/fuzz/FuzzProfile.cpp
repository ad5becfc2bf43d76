// Profile files as a user's disk may hold them: plain lines, enciphered
// lines, and anything else. Also the cipher layers on their own.
#include "app/Des.h"
#include "app/VideoProfile.h"
#include "tests/fuzz/FuzzSupport.h"

#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // Enciphering round-trips any bytes; deciphering anything either works or says why.
    if (app::DecipherText(app::EncipherText(text)) != text) zcfuzz::Fail("cipher round trip");
    if (app::Base64Decode(app::Base64Encode(text)) != text) zcfuzz::Fail("Base64 round trip");
    try {
        (void)app::DecipherText(text);
    } catch (const app::ECipherError&) {
    }

    // A profile from the file as it is, and from the same line enciphered.
    const std::string plainFile = zcfuzz::WriteScratchFile("plain.pf", text);
    const std::string cipherFile = zcfuzz::WriteScratchFile("cipher.pf", app::EncipherText(text));
    for (const std::string& file : {plainFile, cipherFile}) {
        app::TVideoProfile profile;
        profile.SetProfileName("unchanged");
        const app::TVideoProfile before = profile;
        try {
            profile.LoadProfileFromFile(file);
        } catch (const app::EProfileError&) {
            if (!(profile == before)) zcfuzz::Fail("a refused file changed the profile");
            continue;
        }
        // What was read is saved and must read back the same, or be refused before writing.
        const std::string saved = zcfuzz::ScratchPath("saved.pf");
        try {
            profile.SaveProfileToFile(saved);
        } catch (const app::EProfileError&) {
            continue;
        }
        app::TVideoProfile again;
        again.LoadProfileFromFile(saved);
        if (!(again == profile)) zcfuzz::Fail("a saved profile reads back different");
    }
    return 0;
}
