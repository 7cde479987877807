// Wire: the module side's packet record and byte codecs.
//
// The simulator frames its own packets rather than borrowing the host library's codecs, so that a
// framing mistake on either side shows up as a test failure instead of being shared. Plain values
// and pure functions; any thread may use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace modsim {

constexpr size_t kMaxData = 28;

struct Packet {
    uint8_t address = 0;
    uint8_t size = 0;
    uint8_t data[kMaxData] = {};

    Packet() = default;
    Packet(uint8_t addr, std::initializer_list<uint8_t> bytes);
    Packet(uint8_t addr, const uint8_t* bytes, size_t count);
    // Appends a byte; false (and nothing changed) when the packet is full.
    bool push(uint8_t byte);
    bool push16(uint16_t v) { return push(uint8_t(v >> 8)) && push(uint8_t(v)); }
    bool push32(uint32_t v) { return push16(uint16_t(v >> 16)) && push16(uint16_t(v)); }
    // Byte form: address, size, data.
    std::vector<uint8_t> bytes() const;
    std::string hex() const;
};

uint16_t get16(const uint8_t* p);
uint32_t get32(const uint8_t* p);

// Cuts a raw byte stream (USB, TCP) into packets. A byte gap longer than the reset time drops a
// partial packet, which is how the module side gets back in step after the host lost track.
class PacketReader {
  public:
    explicit PacketReader(uint64_t resetGapMs = 250) : resetGapMs_(resetGapMs) {}
    // Feeds one byte received at `nowMs`; true when it completed `out`.
    bool feed(uint8_t byte, uint64_t nowMs, Packet& out);
    void reset() { have_ = 0; }

  private:
    uint64_t resetGapMs_;
    uint64_t lastMs_ = 0;
    Packet cur_;
    size_t have_ = 0;  // bytes of the current packet received (address, size, data)
};

// CRC-8, reflected polynomial 0x8C (Dallas/Maxim), initial 0, no final XOR.
uint8_t crc8(const uint8_t* bytes, size_t count);

// COBS: `encoded` has no zero byte; the frame delimiter is added by frameEncode.
std::vector<uint8_t> cobsEncode(const uint8_t* bytes, size_t count);
// Empty result with ok=false when a code byte points past the end.
std::vector<uint8_t> cobsDecode(const uint8_t* bytes, size_t count, bool& ok);

// One packet as a serial frame: COBS(address, size, data, crc8) followed by 0x00.
std::vector<uint8_t> frameEncode(const Packet& p);

// Collects serial bytes into frames and checks them.
class FrameReader {
  public:
    enum Result { None, Good, Bad };
    Result feed(uint8_t byte, Packet& out);

  private:
    std::vector<uint8_t> buf_;
    bool overlong_ = false;
};

}  // namespace modsim
