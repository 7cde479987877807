// Fuzzes the block scan directly on an uncompressed block area (far easier for the fuzzer to
// shape than a deflate stream), then every reader and edit. The area sits in a buffer of exactly
// its size, so any read past its end is caught.
#include <cstring>
#include <memory>

#include "birdfile_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogToNowhere();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> area(new uint8_t[size ? size : 1]);
    if (size) memcpy(area.get(), data, size);
    BirdFile file;
    file.ScanBlocks(area.get(), uint32_t(size));
    FuzzExerciseBirdFile(file, area.get(), size);
    return 0;
}
