// Both splitters. The input is: delimiter line, then the source.
#include "app/PathsAndLinks.h"
#include "app/VideoProfile.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zcfuzz::TPieces pieces(data, size);
    const std::string delimiter = pieces.Next();
    const std::string source(pieces.Rest());

    const std::vector<std::string> all = app::TVideoProfile::split(source, delimiter);
    if (!delimiter.empty()) {
        // The pieces joined with the delimiter give the source back.
        std::string joined;
        for (std::size_t i = 0; i < all.size(); ++i) joined += (i ? delimiter : "") + all[i];
        if (joined != source) zcfuzz::Fail("profile split does not join back");
    }
    for (const std::string& piece : app::TfrmCommon::split(source, delimiter)) {
        if (piece.empty()) zcfuzz::Fail("common split gave an empty piece");
        if (!delimiter.empty() && piece.find(delimiter) != std::string::npos)
            zcfuzz::Fail("common split left a delimiter in a piece");
    }
    return 0;
}
