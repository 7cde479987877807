// Parameters: the command line of one run of the tool.
//
// The option table g_rgOptions, the command bits (CommandsClass) and the Parameters record that
// _get_params fills from the argument vector. Rejected options are reported on the display as they
// are met; parser errors (unknown or ambiguous options, missing arguments) drop the option
// silently. main owns the record; everything here runs on the main thread.
#pragma once

#include <cstdint>
#include <string>

#include "cli/UpdaterDisplayInterface.h"

enum OptionKind : int32_t { OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2 };
enum OptionArgument : uint32_t { ARG_NONE = 0, ARG_REQUIRED = 1 };

struct Option {
    int32_t kind;  // an OptionKind, or -1 in the row that ends the table
    const char* text;
    uint32_t argument;  // an OptionArgument
};

// Ended by a row of kind -1 with no text.
extern const Option g_rgOptions[];

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_LIST_BUILDS = 0x4,
    CMD_GET_BUILD = 0x8,
    CMD_DEVICE_INFO = 0x10,
    CMD_CHECK_BIRD = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_LIST_LOCAL_BUILDS = 0x200,
    CMD_HELP = 0x80000000,
    // Some command was named (help excluded).
    CMD_ANY = CMD_DISCOVER | CMD_UPDATE | CMD_LIST_BUILDS | CMD_GET_BUILD | CMD_DEVICE_INFO |
              CMD_CHECK_BIRD | CMD_FINGERPRINT | CMD_Z | CMD_LIST_LOCAL_BUILDS,
};

class CommandsClass {
  public:
    // ORs the bits in; true when any bit is now set.
    bool Set(uint32_t commands) {
        bits |= commands;
        return bits != 0;
    }
    // True when any of the given bits is set.
    bool IsSet(uint32_t commands) const { return (bits & commands) != 0; }

    uint32_t bits = 0;
};

// The transport value of "-t RECOVER"; the others are linkType values (USB 1, TCPIP 2).
constexpr uint32_t RECOVER_TRANSPORT = 255;

struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;
    uint32_t routerSerialNumber = 0;
    uint32_t transport = 1;  // USB; 0 after an invalid "-t"
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string historyMessage;
    std::string buildNumber;  // decimal text; empty means the latest build
    bool echoBytes = false;
    std::string serverUrl;
    bool flagN = false;
    std::string storeDirectory;
    std::string applicationName;
    std::string homeDirectory;
    std::string logMode = "a+";
    std::string logFile = "Updater.log";
    bool overrideModelCheck = false;
    bool useUEIBytes = true;
    uint32_t debugMask = 0;
    bool debugMaskGiven = false;
    bool helpRequested = false;
};

// Host and port of the default update server, and its URL.
extern const char* const DEFAULT_UPDATE_HOST;
extern const char* const DEFAULT_UPDATE_PORT;
extern const char* const DEFAULT_SERVER_URL;

// Resets *params to its defaults, then reads the options. 0 when every option was accepted (or a
// help option ended the parse), 1 when at least one was rejected.
int _get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv,
                Parameters* params);
int _validate_params(Parameters* params);
int _release_params(Parameters* params);

// The value of text in base 16 (or 10) when every character is a hexadecimal (or decimal) digit
// and the value fits in 32 bits; otherwise 0 with *end untouched. An empty text gives 0.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
