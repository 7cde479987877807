// Fuzzes BirdFile loading from a whole file: header, inflation, block scan, then every reader
// and edit on what was loaded.
#include <stdexcept>

#include "birdfile_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogToNowhere();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryFile input(data, size);
    if (!input.ok()) return 0;
    (void)BirdFile::VerifyFile(input.path());
    try {
        BirdFile loaded(input.path());
        BirdFile file;
        file = std::move(loaded);
        FuzzExerciseBirdFile(file, file.data(), file.dataSize());
    } catch (const std::runtime_error&) {
    }
    return 0;
}
