// BirdWriter: builds BIRD firmware files for tests, benchmarks and simulators.
//
// A BirdWriter collects blocks in order and produces the block area (big-endian block count,
// blocks, checksum word) or the whole file ("bird", the format version, the block area compressed
// with zlib's compress). Everything the reader must cope with can be made on purpose: any type and
// flag byte, a declared length that differs from the contents, a wrong count, a missing checksum,
// bytes after the checksum. The checksum word, unless set, is the zlib CRC-32 of the block area
// before it (the reader keeps it but checks nothing).
//
// Test firmware images. A firmware image made for the module simulators starts with a 12-byte
// header that the simulator reads back to answer version and build queries:
//     offset 0  4 bytes  magic "HVFW"
//     offset 4  4 bytes  packed firmware version (the word a module reports), big-endian
//     offset 8  4 bytes  build number, big-endian
// followed by filler bytes. MakeTestFirmwareImage writes one, ReadTestFirmwareHeader reads one.
//
// Description text (mkbird's input, ParseBirdDescription): one directive per line, "#" starts a
// comment line, numbers in C notation (0x.. hex, decimal).
//     signature TEXT                      file signature (default "bird")
//     version N                           16-bit format version (default 0x0101)
//     loader ADDRESS [flags=N] SOURCE     BLOCK_LOADER with the image from SOURCE
//     firmware ADDRESS [flags=N] SOURCE   BLOCK_FIRMWARE
//     serial-offsets SERIAL DESCRIPTOR    BLOCK_SERIAL_OFFSETS with the two addresses
//     info BUILD|VERSION|SERIAL|MODEL     BLOCK_INFO, four fields padded with spaces to 16
//     loader-start ADDRESS                BLOCK_LOADER_START
//     block TYPEBYTE [length=N] SOURCE    any block; length= declares a length other than the
//                                         contents' own
//     count N                             block count word other than the number of blocks
//     checksum N                          checksum word other than the CRC-32
//     no-checksum                         leave the checksum word out
//     trailing SOURCE                     bytes after the checksum word
// SOURCE is one of: file=PATH (relative to the description's folder), hex=0011AABB,
// fill=N[:BYTE] (N bytes of BYTE, default 0), random=N[:SEED] (N pseudo-random bytes),
// image=VERSION:BUILD:SIZE (a test firmware image as above), text=WORD.
//
// Plain values; no global state; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

class BirdWriter {
  public:
    // Block types of the format.
    enum : uint8_t { LOADER = 0, FIRMWARE = 1, SERIAL_OFFSETS = 2, INFO = 4, LOADER_START = 5 };

    static uint8_t TypeByte(uint8_t type, uint8_t flags) {
        return uint8_t((type & 0x1F) | ((flags & 0x07) << 5));
    }

    BirdWriter& Signature(const std::string& fourBytes);
    BirdWriter& Version(uint16_t version);

    BirdWriter& Loader(uint32_t address, const Bytes& image, uint8_t flags = 0);
    BirdWriter& Firmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
    BirdWriter& SerialOffsets(uint32_t serialNumberAddress, uint32_t descriptorAddress);
    // Each field is cut or padded with spaces to 16 characters.
    BirdWriter& Info(const std::string& build, const std::string& version,
                     const std::string& serial, const std::string& model);
    BirdWriter& Info(uint32_t build, const std::string& version, uint32_t serial,
                     const std::string& model);
    BirdWriter& LoaderStart(uint32_t address);
    // Any block; `declaredLength` replaces the contents' own length in the block header.
    BirdWriter& Raw(uint8_t typeByte, const Bytes& contents);
    BirdWriter& Raw(uint8_t typeByte, const Bytes& contents, uint32_t declaredLength);

    BirdWriter& ReportedCount(uint32_t count);
    BirdWriter& Checksum(uint32_t checksum);
    BirdWriter& OmitChecksum();
    BirdWriter& Trailing(const Bytes& bytes);

    size_t BlockCount() const { return blocks_.size(); }
    // The uncompressed block area.
    Bytes BlockArea() const;
    // The whole file: header and compressed block area.
    Bytes FileBytes() const;
    // Writes FileBytes() (or BlockArea() when `areaOnly`) to `path`; false with a one-line error.
    bool WriteFile(const std::string& path, std::string* error, bool areaOnly = false) const;

  private:
    struct Block {
        uint8_t typeByte;
        Bytes contents;
        bool declared;
        uint32_t declaredLength;
    };
    std::string signature_ = "bird";
    uint16_t version_ = 0x0101;
    std::vector<Block> blocks_;
    bool countSet_ = false;
    uint32_t count_ = 0;
    bool checksumSet_ = false;
    uint32_t checksum_ = 0;
    bool omitChecksum_ = false;
    Bytes trailing_;
};

// zlib's compress of `bytes`.
Bytes CompressBytes(const Bytes& bytes);
// The header and the compressed block area, for a block area made by hand.
Bytes BirdFileFromArea(const Bytes& area, const std::string& signature = "bird",
                       uint16_t version = 0x0101);

constexpr char TEST_IMAGE_MAGIC[5] = "HVFW";
constexpr size_t TEST_IMAGE_HEADER_SIZE = 12;
// A test firmware image of `size` bytes (at least the header's 12): header, then filler bytes
// drawn from a small generator seeded with the build.
Bytes MakeTestFirmwareImage(uint32_t packedVersion, uint32_t build, size_t size);
bool ReadTestFirmwareHeader(const uint8_t* image, size_t length, uint32_t* packedVersion,
                            uint32_t* build);

// `count` pseudo-random bytes from `seed`; the same seed gives the same bytes.
Bytes PseudoRandomBytes(size_t count, uint32_t seed);

// Fills `writer` from a description (see above). `baseDir` resolves relative file= paths.
// False with a one-line error naming the line.
bool ParseBirdDescription(const std::string& text, const std::string& baseDir, BirdWriter* writer,
                          std::string* error);
