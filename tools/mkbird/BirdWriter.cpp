#include "BirdWriter.h"

#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

void PutBE32(Bytes& out, uint32_t value) {
    out.push_back(uint8_t(value >> 24));
    out.push_back(uint8_t(value >> 16));
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

uint32_t ReadBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

Bytes AddressThen(uint32_t address, const Bytes& image) {
    Bytes contents;
    contents.reserve(image.size() + 4);
    PutBE32(contents, address);
    contents.insert(contents.end(), image.begin(), image.end());
    return contents;
}

std::string Field16(const std::string& text) {
    std::string field = text.substr(0, 16);
    field.resize(16, ' ');
    return field;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) return false;
    *value = v;
    return true;
}

bool ParseHex(const std::string& text, Bytes* out) {
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], '\0'};
        char* end = nullptr;
        long v = strtol(pair, &end, 16);
        if (*end != '\0' || !isxdigit(static_cast<unsigned char>(pair[0]))) return false;
        out->push_back(uint8_t(v));
    }
    return true;
}

bool ReadWholeFile(const std::string& path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// SOURCE := file=PATH | hex=.. | fill=N[:BYTE] | random=N[:SEED] | image=V:B:SIZE | text=WORD
bool ParseSource(const std::string& word, const std::string& baseDir, Bytes* out,
                 std::string* error) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) {
        *error = "expected a source (file=, hex=, fill=, random=, image=, text=): " + word;
        return false;
    }
    const std::string kind = word.substr(0, eq);
    const std::string arg = word.substr(eq + 1);
    auto split = [](const std::string& s) {
        std::vector<std::string> parts;
        std::stringstream ss(s);
        std::string part;
        while (std::getline(ss, part, ':')) parts.push_back(part);
        return parts;
    };
    uint64_t a = 0, b = 0, c = 0;
    if (kind == "file") {
        std::string path =
            !arg.empty() && arg[0] != '/' && !baseDir.empty() ? baseDir + "/" + arg : arg;
        if (!ReadWholeFile(path, out)) {
            *error = "cannot read " + path;
            return false;
        }
        return true;
    }
    if (kind == "hex") {
        if (!ParseHex(arg, out)) {
            *error = "bad hex bytes: " + arg;
            return false;
        }
        return true;
    }
    if (kind == "text") {
        out->assign(arg.begin(), arg.end());
        return true;
    }
    const std::vector<std::string> parts = split(arg);
    if (kind == "fill" && (parts.size() == 1 || parts.size() == 2) &&
        ParseNumber(parts[0], 1u << 30, &a) &&
        (parts.size() == 1 || ParseNumber(parts[1], 255, &b))) {
        out->assign(size_t(a), uint8_t(b));
        return true;
    }
    if (kind == "random" && (parts.size() == 1 || parts.size() == 2) &&
        ParseNumber(parts[0], 1u << 30, &a) &&
        (parts.size() == 1 || ParseNumber(parts[1], 0xFFFFFFFF, &b))) {
        *out = PseudoRandomBytes(size_t(a), uint32_t(b));
        return true;
    }
    if (kind == "image" && parts.size() == 3 && ParseNumber(parts[0], 0xFFFFFFFF, &a) &&
        ParseNumber(parts[1], 0xFFFFFFFF, &b) && ParseNumber(parts[2], 1u << 30, &c) &&
        c >= TEST_IMAGE_HEADER_SIZE) {
        *out = MakeTestFirmwareImage(uint32_t(a), uint32_t(b), size_t(c));
        return true;
    }
    *error = "bad source: " + word;
    return false;
}

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::stringstream ss(line);
    std::string w;
    while (ss >> w) words.push_back(w);
    return words;
}

}  // namespace

BirdWriter& BirdWriter::Signature(const std::string& fourBytes) {
    signature_ = fourBytes;
    return *this;
}

BirdWriter& BirdWriter::Version(uint16_t version) {
    version_ = version;
    return *this;
}

BirdWriter& BirdWriter::Loader(uint32_t address, const Bytes& image, uint8_t flags) {
    return Raw(TypeByte(LOADER, flags), AddressThen(address, image));
}

BirdWriter& BirdWriter::Firmware(uint32_t address, const Bytes& image, uint8_t flags) {
    return Raw(TypeByte(FIRMWARE, flags), AddressThen(address, image));
}

BirdWriter& BirdWriter::SerialOffsets(uint32_t serialNumberAddress, uint32_t descriptorAddress) {
    Bytes contents;
    PutBE32(contents, serialNumberAddress);
    PutBE32(contents, descriptorAddress);
    return Raw(TypeByte(SERIAL_OFFSETS, 0), contents);
}

BirdWriter& BirdWriter::Info(const std::string& build, const std::string& version,
                             const std::string& serial, const std::string& model) {
    const std::string text = Field16(build) + Field16(version) + Field16(serial) + Field16(model);
    return Raw(TypeByte(INFO, 0), Bytes(text.begin(), text.end()));
}

BirdWriter& BirdWriter::Info(uint32_t build, const std::string& version, uint32_t serial,
                             const std::string& model) {
    char serialText[9];
    snprintf(serialText, sizeof serialText, "%08X", serial);
    return Info(std::to_string(build), version, serialText, model);
}

BirdWriter& BirdWriter::LoaderStart(uint32_t address) {
    Bytes contents;
    PutBE32(contents, address);
    return Raw(TypeByte(LOADER_START, 0), contents);
}

BirdWriter& BirdWriter::Raw(uint8_t typeByte, const Bytes& contents) {
    blocks_.push_back(Block{typeByte, contents, false, 0});
    return *this;
}

BirdWriter& BirdWriter::Raw(uint8_t typeByte, const Bytes& contents, uint32_t declaredLength) {
    blocks_.push_back(Block{typeByte, contents, true, declaredLength});
    return *this;
}

BirdWriter& BirdWriter::ReportedCount(uint32_t count) {
    countSet_ = true;
    count_ = count;
    return *this;
}

BirdWriter& BirdWriter::Checksum(uint32_t checksum) {
    checksumSet_ = true;
    checksum_ = checksum;
    return *this;
}

BirdWriter& BirdWriter::OmitChecksum() {
    omitChecksum_ = true;
    return *this;
}

BirdWriter& BirdWriter::Trailing(const Bytes& bytes) {
    trailing_.insert(trailing_.end(), bytes.begin(), bytes.end());
    return *this;
}

Bytes BirdWriter::BlockArea() const {
    Bytes area;
    PutBE32(area, countSet_ ? count_ : uint32_t(blocks_.size()));
    for (const Block& block : blocks_) {
        area.push_back(block.typeByte);
        PutBE32(area, block.declared ? block.declaredLength : uint32_t(block.contents.size()));
        area.insert(area.end(), block.contents.begin(), block.contents.end());
    }
    if (!omitChecksum_) {
        PutBE32(area,
                checksumSet_ ? checksum_ : uint32_t(crc32(0, area.data(), uInt(area.size()))));
    }
    area.insert(area.end(), trailing_.begin(), trailing_.end());
    return area;
}

Bytes CompressBytes(const Bytes& bytes) {
    uLongf size = compressBound(uLong(bytes.size()));
    Bytes out(size);
    if (compress(out.data(), &size, bytes.data(), uLong(bytes.size())) != Z_OK) return Bytes();
    out.resize(size);
    return out;
}

Bytes BirdFileFromArea(const Bytes& area, const std::string& signature, uint16_t version) {
    Bytes file(signature.begin(), signature.end());
    file.push_back(uint8_t(version >> 8));
    file.push_back(uint8_t(version));
    const Bytes compressed = CompressBytes(area);
    file.insert(file.end(), compressed.begin(), compressed.end());
    return file;
}

Bytes BirdWriter::FileBytes() const {
    return BirdFileFromArea(BlockArea(), signature_, version_);
}

bool BirdWriter::WriteFile(const std::string& path, std::string* error, bool areaOnly) const {
    const Bytes bytes = areaOnly ? BlockArea() : FileBytes();
    FILE* out = fopen(path.c_str(), "wb");
    if (!out) {
        if (error) *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    const bool closed = fclose(out) == 0;
    if (!ok || !closed) {
        if (error) *error = "cannot write " + path;
        return false;
    }
    return true;
}

Bytes PseudoRandomBytes(size_t count, uint32_t seed) {
    Bytes out(count);
    uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    for (size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        out[i] = uint8_t(state >> 24);
    }
    return out;
}

Bytes MakeTestFirmwareImage(uint32_t packedVersion, uint32_t build, size_t size) {
    if (size < TEST_IMAGE_HEADER_SIZE) size = TEST_IMAGE_HEADER_SIZE;
    Bytes image(TEST_IMAGE_MAGIC, TEST_IMAGE_MAGIC + 4);
    PutBE32(image, packedVersion);
    PutBE32(image, build);
    const Bytes filler = PseudoRandomBytes(size - TEST_IMAGE_HEADER_SIZE, build);
    image.insert(image.end(), filler.begin(), filler.end());
    return image;
}

bool ReadTestFirmwareHeader(const uint8_t* image, size_t length, uint32_t* packedVersion,
                            uint32_t* build) {
    if (!image || length < TEST_IMAGE_HEADER_SIZE || memcmp(image, TEST_IMAGE_MAGIC, 4) != 0) {
        return false;
    }
    if (packedVersion) *packedVersion = ReadBE32(image + 4);
    if (build) *build = ReadBE32(image + 8);
    return true;
}

bool ParseBirdDescription(const std::string& text, const std::string& baseDir, BirdWriter* writer,
                          std::string* error) {
    std::stringstream lines(text);
    std::string line;
    int number = 0;
    std::string why;
    auto fail = [&](const std::string& message) {
        if (error) *error = "line " + std::to_string(number) + ": " + message;
        return false;
    };
    while (std::getline(lines, line)) {
        ++number;
        const std::vector<std::string> w = Words(line);
        if (w.empty() || w[0][0] == '#') continue;
        const std::string& op = w[0];
        uint64_t a = 0, b = 0;
        if (op == "info") {
            // Fields are separated by "|" and may hold spaces.
            const size_t start = line.find("info") + 4;
            std::string rest = line.substr(start);
            rest.erase(0, rest.find_first_not_of(" \t"));
            std::vector<std::string> fields;
            std::stringstream ss(rest);
            std::string f;
            while (std::getline(ss, f, '|')) fields.push_back(f);
            if (fields.size() != 4) return fail("info needs BUILD|VERSION|SERIAL|MODEL");
            writer->Info(fields[0], fields[1], fields[2], fields[3]);
        } else if (op == "signature" && w.size() == 2) {
            writer->Signature(w[1]);
        } else if (op == "version" && w.size() == 2 && ParseNumber(w[1], 0xFFFF, &a)) {
            writer->Version(uint16_t(a));
        } else if ((op == "loader" || op == "firmware") && (w.size() == 3 || w.size() == 4)) {
            if (!ParseNumber(w[1], 0xFFFFFFFF, &a)) return fail("bad address " + w[1]);
            uint64_t flags = 0;
            if (w.size() == 4) {
                if (w[2].compare(0, 6, "flags=") != 0 || !ParseNumber(w[2].substr(6), 7, &flags)) {
                    return fail("bad flags " + w[2]);
                }
            }
            Bytes image;
            if (!ParseSource(w.back(), baseDir, &image, &why)) return fail(why);
            if (op == "loader") {
                writer->Loader(uint32_t(a), image, uint8_t(flags));
            } else {
                writer->Firmware(uint32_t(a), image, uint8_t(flags));
            }
        } else if (op == "serial-offsets" && w.size() == 3 && ParseNumber(w[1], 0xFFFFFFFF, &a) &&
                   ParseNumber(w[2], 0xFFFFFFFF, &b)) {
            writer->SerialOffsets(uint32_t(a), uint32_t(b));
        } else if (op == "loader-start" && w.size() == 2 && ParseNumber(w[1], 0xFFFFFFFF, &a)) {
            writer->LoaderStart(uint32_t(a));
        } else if (op == "block" && (w.size() == 3 || w.size() == 4)) {
            if (!ParseNumber(w[1], 0xFF, &a)) return fail("bad type byte " + w[1]);
            Bytes contents;
            if (!ParseSource(w.back(), baseDir, &contents, &why)) return fail(why);
            if (w.size() == 4) {
                if (w[2].compare(0, 7, "length=") != 0 ||
                    !ParseNumber(w[2].substr(7), 0xFFFFFFFF, &b)) {
                    return fail("bad length " + w[2]);
                }
                writer->Raw(uint8_t(a), contents, uint32_t(b));
            } else {
                writer->Raw(uint8_t(a), contents);
            }
        } else if (op == "count" && w.size() == 2 && ParseNumber(w[1], 0xFFFFFFFF, &a)) {
            writer->ReportedCount(uint32_t(a));
        } else if (op == "checksum" && w.size() == 2 && ParseNumber(w[1], 0xFFFFFFFF, &a)) {
            writer->Checksum(uint32_t(a));
        } else if (op == "no-checksum" && w.size() == 1) {
            writer->OmitChecksum();
        } else if (op == "trailing" && w.size() == 2) {
            Bytes bytes;
            if (!ParseSource(w[1], baseDir, &bytes, &why)) return fail(why);
            writer->Trailing(bytes);
        } else {
            return fail("cannot read: " + line);
        }
    }
    return true;
}
