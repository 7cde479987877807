// What both BIRD fuzz targets do with a parsed file: every reader and every edit, with checks of
// the invariant that block records lie inside the data they were parsed from.
#pragma once

#include <cstdlib>

#include "FuzzSupport.h"
#include "firmware/BirdFile.h"

inline void FuzzExerciseBirdFile(BirdFile& file, const uint8_t* begin, size_t size) {
    for (const BirdBlock& block : file.blocks()) {
        if (block.data < begin || block.data + block.length > begin + size) abort();
    }
    if (file.blockCount() != file.blocks().size()) abort();
    (void)file.GetBuild();
    (void)file.GetVersion();
    (void)file.GetSerialNumber();
    (void)file.ValidateModel("USBHub3p");
    (void)file.ValidateModel("");
    (void)file.GetLoaderStartAddress();
    (void)file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    file.FindSerialNumberOffsets();
    file.ReplaceSerialNumber(0x0012ABCD);
    file.ReplaceVectorChecksum();
    const uint32_t id[4] = {0x01234567, 0x89ABCDEF, 0x02468ACE, 0x13579BDF};
    file.DecodeFirmwareBlocks(id);
    const uint8_t pattern[] = {0xCD, 0xAB};
    file.ValidateData(pattern, sizeof pattern);
    file.DumpBlocks(BirdFile::BLOCK_INFO, FuzzDevNull());
}
