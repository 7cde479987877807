// BirdFile: one BIRD firmware file, loaded whole into memory.
//
// A BIRD file is the plain header "bird" + a 16-bit format version, followed by one zlib stream
// holding the block area: a big-endian block count, typed blocks (type/flags byte, 32-bit length,
// contents) and a 32-bit checksum word. The object owns the inflated block area; every BirdBlock
// it hands out points into that buffer and stays valid for as long as the object (or the object
// it was moved into) lives. The edits (serial number, vector checksum, unscrambling) change the
// buffer in memory only; nothing is ever written back to disk.
//
// Diagnostics go to Log under DEBUG_BirdFile; DumpBlocks prints on standard output. One thread at
// a time may use an object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// One parsed block. Copied freely; it owns nothing.
struct BirdBlock {
    uint8_t type = 0;         // 0-31
    uint8_t flags = 0;        // 0-7, handed unchanged to the transfer protocol
    uint32_t length = 0;      // length of the contents
    uint32_t address = 0;     // target address for loader and firmware blocks, else 0
    uint8_t* data = nullptr;  // start of the contents (for loader/firmware: the address word)
};

class BirdFile {
  public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_LOADER_START = 5,
    };

    static constexpr char BIRD_FILE_SIGNATURE[5] = "bird";
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
    static constexpr size_t HEADER_SIZE = 6;
    static constexpr size_t INFO_FIELD_SIZE = 16;
    static constexpr size_t INFO_SIZE = 4 * INFO_FIELD_SIZE;
    static constexpr uint32_t DEFAULT_LOADER_START = 0x20000400;
    // Largest block area the reader inflates; a file that inflates to more is refused like any
    // other decompression error, so a compression bomb costs at most this much memory.
    static constexpr size_t MAX_BLOCK_AREA = 64u * 1024u * 1024u;
    // Largest file read at all. Deflate grows incompressible data only slightly, so a file of
    // this size could never inflate to a block area within MAX_BLOCK_AREA.
    static constexpr size_t MAX_FILE_SIZE = 2 * MAX_BLOCK_AREA;

    // An empty file: no path, no blocks. The target of a later move.
    BirdFile();
    // Loads the file; throws std::runtime_error("Failed to load bird data") when Load fails.
    explicit BirdFile(const std::string& path);
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile();

    // Header check only: exactly 6 bytes readable, "bird", both version bytes nonzero.
    static bool VerifyFile(const std::string& path);

    // Reads, inflates and parses the file named by path(). True when it was read and inflated.
    bool Load();
    // Inflates a block area into a new owned buffer (replacing the old one and its blocks).
    bool DecompressData(const uint8_t* compressed, size_t length);
    // Parses a block area. Block records point into `bytes`, which Load passes as the owned
    // buffer. False on a size or count mismatch; the blocks lying wholly inside are kept.
    bool ScanBlocks(const uint8_t* bytes, uint32_t size);
    bool FindSerialNumberOffsets();

    std::vector<BirdBlock> FindBlocks(uint8_t type) const;

    // BLOCK_INFO readers; 0, empty text or false without an info block.
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    bool ValidateModel(const std::string& model) const;
    // Where an i.MX RAM loader starts: the first BLOCK_LOADER_START word, or 0x20000400.
    uint32_t GetLoaderStartAddress() const;

    // In-memory edits of the firmware images.
    bool ReplaceSerialNumber(uint32_t serial);
    bool ReplaceVectorChecksum();
    bool DecodeFirmwareBlocks(const uint32_t chipId[4]);

    bool DumpBlocks(uint8_t type, FILE* out = stdout) const;
    bool ValidateData(const uint8_t* pattern, size_t length) const;

    const std::string& path() const { return path_; }
    uint32_t signature() const { return signature_; }
    uint32_t version() const { return version_; }
    uint32_t checksum() const { return checksum_; }
    uint32_t blockCount() const { return blockCount_; }
    const std::vector<BirdBlock>& blocks() const { return blocks_; }
    bool hasSerialOffsets() const { return hasSerialOffsets_; }
    uint32_t serialNumberOffset() const { return serialNumberOffset_; }
    uint32_t descriptorOffset() const { return descriptorOffset_; }
    const uint8_t* data() const { return data_.get(); }
    uint32_t dataSize() const { return dataSize_; }

  private:
    // The info block's field `index` (0-3) as a NUL-terminated copy of at most `limit`
    // characters; false without an info block. A short info block gives short fields.
    bool InfoField(size_t index, size_t limit, char* out) const;
    void Reset();

    std::string path_;
    uint32_t signature_ = 0;
    uint32_t version_ = 0;
    uint32_t checksum_ = 0;
    uint32_t blockCount_ = 0;
    std::vector<BirdBlock> blocks_;
    bool hasSerialOffsets_ = false;
    uint32_t serialNumberOffset_ = 0;
    uint32_t descriptorOffset_ = 0;
    std::unique_ptr<uint8_t[]> data_;
    uint32_t dataSize_ = 0;
};
