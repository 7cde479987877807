#include "firmware/BirdFile.h"

#include <zlib.h>

#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "cli/Log.h"
#include "engine/aFile.h"

namespace {

// Big-endian readers over a bounded buffer; bytes beyond `size` read as 0.
uint32_t GetInt(const uint8_t* bytes, size_t size, size_t offset) {
    if (!bytes || offset > size || size - offset < 4) return 0;
    const uint8_t* p = bytes + offset;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint16_t GetShort(const uint8_t* bytes, size_t size, size_t offset) {
    if (!bytes || offset > size || size - offset < 2) return 0;
    return uint16_t((bytes[offset] << 8) | bytes[offset + 1]);
}

// Words inside firmware images are little-endian (the target's own byte order).
uint32_t GetLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void PutLE32(uint8_t* p, uint32_t value) {
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

constexpr size_t kBlockHeaderSize = 5;  // type/flags byte + 32-bit length
constexpr size_t kAddressSize = 4;      // address word leading loader and firmware contents

bool HasAddress(uint8_t type) {
    return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE;
}

// The image of a loader or firmware block: the contents after the address word.
bool ImageOf(const BirdBlock& block, uint8_t** image, uint32_t* length) {
    if (!block.data || block.length < kAddressSize) return false;
    *image = block.data + kAddressSize;
    *length = block.length - uint32_t(kAddressSize);
    return true;
}

// True when [offset, offset + size) lies inside the image placed at `address`.
bool InsideImage(uint32_t address, uint32_t imageLength, uint32_t offset, uint32_t size) {
    return address <= offset && uint64_t(offset) + size <= uint64_t(address) + imageLength;
}

}  // namespace

constexpr char BirdFile::BIRD_FILE_SIGNATURE[5];

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const std::string& path) : path_(path) {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other) return *this;
    path_ = std::move(other.path_);
    signature_ = other.signature_;
    version_ = other.version_;
    checksum_ = other.checksum_;
    blockCount_ = other.blockCount_;
    // The buffer moves as a pointer, so the block records keep pointing at live contents.
    blocks_ = std::move(other.blocks_);
    hasSerialOffsets_ = other.hasSerialOffsets_;
    serialNumberOffset_ = other.serialNumberOffset_;
    descriptorOffset_ = other.descriptorOffset_;
    data_ = std::move(other.data_);
    dataSize_ = other.dataSize_;
    other.Reset();
    other.path_.clear();
    return *this;
}

BirdFile::~BirdFile() = default;

void BirdFile::Reset() {
    signature_ = version_ = checksum_ = 0;
    blockCount_ = 0;
    blocks_.clear();
    hasSerialOffsets_ = false;
    serialNumberOffset_ = descriptorOffset_ = 0;
    data_.reset();
    dataSize_ = 0;
}

bool BirdFile::VerifyFile(const std::string& path) {
    aFile* file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    uint8_t header[HEADER_SIZE] = {};
    size_t count = 0;
    aErr err = aFile_Read(file, header, sizeof header, &count);
    aFile_Close(&file);
    return err == aErrNone && count == HEADER_SIZE && memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 &&
           header[4] != 0 && header[5] != 0;
}

bool BirdFile::Load() {
    const char* path = path_.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
    if (!aFile_Exists(path)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
        return false;
    }
    aFile* file = aFile_Open(path, aFileModeReadOnly);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err),
                 path);
        aFile_Close(&file);
        return false;
    }

    bool result = false;
    std::unique_ptr<uint8_t[]> bytes;
    size_t count = 0;
    if (size > MAX_FILE_SIZE) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(aErrSize), path);
    } else {
        // One buffer, one read of the whole file.
        bytes.reset(new (std::nothrow) uint8_t[size ? size : 1]);
        err = bytes ? aFile_Read(file, bytes.get(), size, &count) : aErrMemory;
        if (err != aErrNone) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), path);
        } else if (count < size) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                     path, count, size);
        } else {
            signature_ = GetInt(bytes.get(), size, 0);
            version_ = GetShort(bytes.get(), size, 4);
            // A file of 6 bytes or fewer has no block area; inflating nothing fails below.
            const uint8_t* area = bytes.get() + (size > HEADER_SIZE ? HEADER_SIZE : size);
            size_t areaLength = size > HEADER_SIZE ? size - HEADER_SIZE : 0;
            if (DecompressData(area, areaLength)) {
                ScanBlocks(data_.get(), dataSize_);
                FindSerialNumberOffsets();
                result = true;
            }
        }
    }

    if (!FindBlocks(BLOCK_SERIAL_OFFSETS).empty()) {
        hasSerialOffsets_ = true;
        FindSerialNumberOffsets();
    }
    bytes.reset();
    aFile_Close(&file);
    return result;
}

bool BirdFile::DecompressData(const uint8_t* compressed, size_t length) {
    // The old buffer goes, and with it every block record that pointed into it.
    data_.reset();
    dataSize_ = 0;
    blocks_.clear();
    blockCount_ = 0;

    // Start at 8 times the compressed size, which fits nearly every build in one call; a block
    // area that compresses better is retried with a larger buffer up to MAX_BLOCK_AREA.
    size_t capacity = length > MAX_BLOCK_AREA / 8 ? MAX_BLOCK_AREA : length * 8;
    int status = Z_DATA_ERROR;
    for (;;) {
        std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[capacity ? capacity : 1]);
        if (!buffer) {
            status = Z_MEM_ERROR;
            break;
        }
        static const Bytef kNothing = 0;
        uLongf produced = uLongf(capacity);
        status = !compressed && length
                     ? Z_STREAM_ERROR
                     : uncompress(buffer.get(), &produced, compressed ? compressed : &kNothing,
                                  uLong(length));
        if (status == Z_OK) {
            data_ = std::move(buffer);
            dataSize_ = uint32_t(produced);
            return true;
        }
        // Z_BUF_ERROR from uncompress means the output buffer filled up; truncated input is
        // reported as Z_DATA_ERROR.
        if (status != Z_BUF_ERROR || capacity >= MAX_BLOCK_AREA) break;
        capacity = capacity > MAX_BLOCK_AREA / 4 ? MAX_BLOCK_AREA : (capacity ? capacity * 4 : 64);
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", status);
    return false;
}

bool BirdFile::ScanBlocks(const uint8_t* bytes, uint32_t size) {
    blockCount_ = 0;
    blocks_.clear();
    if (!bytes) size = 0;
    const uint32_t reported = GetInt(bytes, size, 0);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(reported));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    // Positions and the bytes left are kept signed and wide, so an area too short for its count
    // word or its checksum shows up as a negative remainder instead of wrapping around.
    int64_t pos = 4;
    int64_t remaining = int64_t(size) - 4;
    while (remaining > 4) {
        const size_t at = size_t(pos);
        BirdBlock block;
        const uint8_t typeByte = bytes[at];
        block.type = typeByte & BIRD_FILE_TYPE_MASK;
        block.flags = uint8_t((typeByte & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = GetInt(bytes, size, at + 1);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 int(block.length));
        // Contents that would run past the end of the data end the scan: the blocks before it
        // are kept, and what follows is taken as checksum and left-over bytes.
        if (uint64_t(block.length) > uint64_t(remaining) - kBlockHeaderSize) break;
        const size_t contents = at + kBlockHeaderSize;
        block.data = const_cast<uint8_t*>(bytes) + contents;
        if (HasAddress(block.type) && block.length >= kAddressSize) {
            block.address = GetInt(bytes, size, contents);
        }
        if (block.type == BLOCK_INFO) {
            for (size_t f = 0; f < 4; ++f) {
                char field[INFO_FIELD_SIZE + 1] = {};
                size_t offset = f * INFO_FIELD_SIZE;
                if (offset < block.length) {
                    size_t n = block.length - offset;
                    memcpy(field, block.data + offset, n < INFO_FIELD_SIZE ? n : INFO_FIELD_SIZE);
                }
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", field);
            }
        }
        const int64_t advance = int64_t(kBlockHeaderSize) + block.length;
        pos += advance;
        remaining -= advance;
        blocks_.push_back(block);
        ++blockCount_;
    }

    if (remaining >= 4) {
        checksum_ = GetInt(bytes, size, size_t(pos));
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum_);
    }
    remaining -= 4;  // negative: the area ended before its checksum word
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(remaining));
        return false;
    }
    if (blockCount_ != reported) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(blockCount_), int(reported));
        return false;
    }
    return true;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount_ == 0) return false;
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_SERIAL_OFFSETS) continue;
        if (!block.data || block.length < 8) return false;
        serialNumberOffset_ = GetInt(block.data, block.length, 0);
        descriptorOffset_ = GetInt(block.data, block.length, 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 int(serialNumberOffset_), int(descriptorOffset_));
        return true;
    }
    return false;
}

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks_) {
        if (block.type == type) found.push_back(block);
    }
    return found;
}

bool BirdFile::InfoField(size_t index, size_t limit, char* out) const {
    out[0] = '\0';
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_INFO) continue;
        size_t offset = index * INFO_FIELD_SIZE;
        size_t n = 0;
        if (block.data && offset < block.length) {
            n = block.length - offset;
            if (n > limit) n = limit;
            memcpy(out, block.data + offset, n);
        }
        out[n] = '\0';
        return true;
    }
    return false;
}

uint32_t BirdFile::GetSerialNumber() const {
    char field[INFO_FIELD_SIZE + 1];
    if (!InfoField(2, 8, field)) return 0;
    return uint32_t(strtoul(field, nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const {
    return GetSerialNumber() == serial;
}

uint32_t BirdFile::GetBuild() const {
    char field[INFO_FIELD_SIZE + 1];
    if (!InfoField(0, 15, field)) return 0;
    return uint32_t(strtoul(field, nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    char field[INFO_FIELD_SIZE + 1];
    if (!InfoField(1, 15, field)) return std::string();
    char* space = strchr(field, ' ');
    if (space) *space = '\0';
    return std::string(field);
}

bool BirdFile::ValidateModel(const std::string& model) const {
    char field[INFO_FIELD_SIZE + 1];
    if (!InfoField(3, INFO_FIELD_SIZE, field)) return false;
    size_t n = strlen(field);
    while (n > 0 && field[n - 1] == ' ') field[--n] = '\0';
    if (strncmp(field, model.c_str(), model.size()) != 0) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, model.c_str());
    return true;
}

uint32_t BirdFile::GetLoaderStartAddress() const {
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_LOADER_START) continue;
        if (block.data && block.length >= 4) return GetInt(block.data, block.length, 0);
        break;
    }
    return DEFAULT_LOADER_START;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    bool result = false;
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_FIRMWARE) continue;
        uint8_t* image = nullptr;
        uint32_t imageLength = 0;
        if (!ImageOf(block, &image, &imageLength)) continue;
        if (serialNumberOffset_ != 0) {
            result = true;
            if (InsideImage(block.address, imageLength, serialNumberOffset_, 4)) {
                uint8_t* word = image + (serialNumberOffset_ - block.address);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         GetLE32(word), serial);
                PutLE32(word, serial);
            }
        }
        if (descriptorOffset_ != 0 &&
            InsideImage(block.address, imageLength, descriptorOffset_, 16)) {
            // The descriptor string is 16-bit characters; only their low bytes change.
            uint8_t* chars = image + (descriptorOffset_ - block.address);
            for (size_t i = 0; i < 8; ++i) chars[2 * i] = uint8_t(text[i]);
            result = true;
        }
    }
    return result;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_FIRMWARE || block.address != 0) continue;
        uint8_t* image = nullptr;
        uint32_t imageLength = 0;
        if (!ImageOf(block, &image, &imageLength) || imageLength < 32) continue;
        uint32_t sum = 0;
        for (size_t w = 0; w < 7; ++w) {
            if (w != 5) sum += GetLE32(image + 4 * w);
        }
        const uint32_t check = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 GetLE32(image + 28), check);
        PutLE32(image + 28, check);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t chipId[4]) {
    uint8_t key[16];
    for (size_t w = 0; w < 4; ++w) {
        for (size_t b = 0; b < 4; ++b) key[4 * w + b] = uint8_t(chipId[w] >> (24 - 8 * b));
    }
    for (const BirdBlock& block : blocks_) {
        if (block.type != BLOCK_FIRMWARE) continue;
        uint8_t* image = nullptr;
        uint32_t imageLength = 0;
        if (!ImageOf(block, &image, &imageLength)) continue;
        uint8_t previous = 0;
        for (uint32_t j = 0; j < imageLength; ++j) {
            previous = uint8_t(image[j] ^ key[j & 15] ^ previous);
            image[j] = previous;
        }
    }
    return true;
}

bool BirdFile::DumpBlocks(uint8_t type, FILE* out) const {
    fprintf(out, "BIRDFILE: BLOCK DUMP [%s]\n", path_.c_str());
    for (const BirdBlock& block : blocks_) {
        if (block.type != type) continue;
        char text[51] = {};
        size_t used = 0;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                text[used] = '\0';
                fprintf(out, " %s\r\n%06d: ", text, int(i));
                used = 0;
            }
            const uint8_t byte = block.data[i];
            fprintf(out, "%02X ", byte);
            text[used++] = isprint(byte) ? char(byte) : ' ';
        }
        text[used] = '\0';
        fprintf(out, " %s\n", text);
    }
    fprintf(out, "\n");
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, size_t length) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path_.c_str());
    bool found = false;
    if (pattern && length > 0) {
        for (const BirdBlock& block : blocks_) {
            if (block.type != BLOCK_FIRMWARE || !block.data || block.length < length) continue;
            const uint8_t* end = block.data + (block.length - length) + 1;
            for (const uint8_t* p = block.data; p < end; ++p) {
                p = static_cast<const uint8_t*>(memchr(p, pattern[0], size_t(end - p)));
                if (!p) break;
                if (memcmp(p, pattern, length) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", int(p - block.data));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}
