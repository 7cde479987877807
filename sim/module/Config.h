// Config: what the simulator hosts, read from its command line or a config file.
//
// The parser owns nothing beyond the returned values; it runs once on the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modsim {

// "the Nth" (n), or "the Nth and every later one" (onward). n = 0 never fires.
struct Nth {
    uint32_t n = 0;
    bool onward = false;
    bool hits(uint32_t count) const { return n != 0 && (count == n || (onward && count > n)); }
};

enum class LoadFault { None, AfterReconnect, Never };

struct Faults {
    Nth badSum;                // SUM answered with the byte sum plus one
    Nth noData;                // DATA not answered (and not taken)
    Nth noPrepare;             // PREPARE not answered
    Nth noWrite;               // WRITE not answered (and not written)
    Nth shortAck;              // DATA acknowledged with one byte less than sent (and not taken)
    uint32_t dropAfter = 0;    // the link is dropped once after this many received packets
    bool busy = false;         // TCP connections are refused
    uint32_t slowFlashMs = 0;  // WRITE answered only after this delay
    LoadFault load = LoadFault::None;
    bool noReturn = false;  // never comes back after REBOOT
};

struct ModuleConfig {
    uint32_t serial = 0;
    uint8_t model = 19;
    uint8_t address = 2;
    uint32_t version = 0;  // packed
    uint32_t build = 1000;
    std::string name;
    uint32_t features = 0x80000000u;
    bool ueiBytes = true;
    uint16_t blockSize = 512;
    uint32_t loadBase = 0x20000000u;
    bool startInLoader = false;
    bool tcp = false, usb = false, serialLink = false;
    uint16_t tcpPort = 0;
    uint32_t behind = 0;  // serial number of the router whose I2C bus it sits on
    uint32_t heartbeatMs = 0;
    uint32_t loaderDelayMs = 300;
    uint32_t rebootDelayMs = 500;
    int productId = -1;        // default: the model
    int loaderProductId = -1;  // default: the product id
    uint32_t uid[4] = {};
    std::string flashPath;
    Faults faults;
};

struct SimConfig {
    std::vector<ModuleConfig> modules;
    bool verbose = false;
    std::string probeInterface;  // empty: no probe answers
    std::string listenAddress;   // empty: 127.0.0.1, or any address when probing
    uint16_t vendorId = 0;       // 0: the maker's
};

// Packs a version the way modules report it.
uint32_t packVersion(uint8_t major, uint8_t minor, uint8_t patch);

// Parses argv (without argv[0]). On error returns false with a one-line message.
bool parseArgs(const std::vector<std::string>& args, SimConfig& out, std::string& error);
// Parses one --module specification ("key=value,key=value").
bool parseModuleSpec(const std::string& spec, size_t index, ModuleConfig& out, std::string& error);

extern const char* const kUsage;

}  // namespace modsim
