// Option text as a task's extra options carry it: parsed into key=value lines
// and handed one by one to a fresh engine, as the encoder does.
#include "encoder/TaskQueue.h"
#include "engine/Engine.h"
#include "tests/fuzz/FuzzSupport.h"

#include <exception>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zcfuzz::LoadMediaLibraries();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    engine::TCustomFFmpeg task(4);
    // The first byte picks whether a refused option stops the task or is only logged.
    task.SetHaltOnInvalidOption((data[0] & 1) != 0);
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (const encoder::TOptionLine& line : encoder::ParseOptionText(text)) {
        try {
            task.SetExtOption(line.Key, line.Value);
        } catch (const std::exception&) {
            // A refused option is a user's mistake, reported with a message.
        }
    }
    return 0;
}
