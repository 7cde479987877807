#include "cli/Parameters.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/Log.h"
#include "engine/aDirectory.h"

const char* const DEFAULT_UPDATE_HOST = "updates.kestrova.example";
const char* const DEFAULT_UPDATE_PORT = "80";
const char* const DEFAULT_SERVER_URL = "http://updates.kestrova.example/cgi/u";

const Option g_rgOptions[] = {
    {OPT_COMMAND, "-B", ARG_NONE},        {OPT_COMMAND, "-L", ARG_NONE},
    {OPT_COMMAND, "-D", ARG_NONE},        {OPT_COMMAND, "-G", ARG_NONE},
    {OPT_COMMAND, "-I", ARG_NONE},        {OPT_COMMAND, "-U", ARG_NONE},
    {OPT_COMMAND, "-OVERRIDE", ARG_NONE}, {OPT_COMMAND, "-N", ARG_NONE},
    {OPT_COMMAND, "-Y", ARG_NONE},        {OPT_COMMAND, "-C", ARG_NONE},
    {OPT_HELP, "-h", ARG_NONE},           {OPT_HELP, "-H", ARG_NONE},
    {OPT_PARAMETER, "-n", ARG_NONE},      {OPT_PARAMETER, "-X", ARG_REQUIRED},
    {OPT_PARAMETER, "-Z", ARG_REQUIRED},  {OPT_PARAMETER, "-m", ARG_REQUIRED},
    {OPT_PARAMETER, "-i", ARG_REQUIRED},  {OPT_PARAMETER, "-b", ARG_REQUIRED},
    {OPT_PARAMETER, "-d", ARG_REQUIRED},  {OPT_PARAMETER, "-t", ARG_REQUIRED},
    {OPT_PARAMETER, "-f", ARG_REQUIRED},  {OPT_PARAMETER, "-r", ARG_REQUIRED},
    {OPT_PARAMETER, "-s", ARG_REQUIRED},  {OPT_PARAMETER, "-o", ARG_REQUIRED},
    {OPT_PARAMETER, "-e", ARG_NONE},      {OPT_PARAMETER, "-l", ARG_REQUIRED},
    {OPT_PARAMETER, "-k", ARG_REQUIRED},  {OPT_PARAMETER, "-u", ARG_REQUIRED},
    {OPT_HELP, "--help", ARG_NONE},       {-1, nullptr, ARG_NONE},
};

namespace {

size_t sLeadingDashes(const char* text, size_t length) {
    size_t n = 0;
    while (n < length && text[n] == '-') ++n;
    return n;
}

// The table row named by the first `length` characters of `name`: an exact match, or else the one
// option text of which it is a proper prefix with the same leading dashes. Null when none or when
// the prefix is shared.
const Option* sFindOption(const char* name, size_t length) {
    for (const Option* row = g_rgOptions; row->kind != -1; ++row)
        if (strlen(row->text) == length && strncmp(row->text, name, length) == 0) return row;
    size_t dashes = sLeadingDashes(name, length);
    if (dashes == length) return nullptr;  // "-" or "--" alone abbreviate nothing
    const Option* found = nullptr;
    for (const Option* row = g_rgOptions; row->kind != -1; ++row) {
        size_t textLength = strlen(row->text);
        if (textLength <= length || sLeadingDashes(row->text, textLength) != dashes) continue;
        if (strncmp(row->text, name, length) != 0) continue;
        if (found) return nullptr;  // ambiguous
        found = row;
    }
    return found;
}

// Reads a serial number for "-d" or "-r"; 0 (with the error shown) when it is not valid.
uint32_t sSerialArgument(UpdaterDisplayInterface& display, const char* argument, bool router) {
    if (argument[0] == '0' && (argument[1] == 'x' || argument[1] == 'X')) {
        Log::log(DEBUG_Updater, router ? "Discarding '0x' router serial number prefix\n"
                                       : "Discarding '0x' serial number prefix\n");
        argument += 2;
    }
    char* end = nullptr;
    uint32_t value = _get_hex_arg(argument, &end);
    if (value == 0)
        display.message(UpdaterDisplayInterface::ERROR,
                        router ? "Invalid router serial number obtained from argument [%s]"
                               : "Invalid serial number obtained from argument [%s]",
                        argument);
    return value;
}

// Applies one accepted option; false when its handler rejects it.
bool sHandleOption(UpdaterDisplayInterface& display, const Option& option, const char* argument,
                   Parameters* params) {
    char* end = nullptr;
    if (option.kind == OPT_COMMAND) {
        switch (option.text[1]) {
            case 'B':
                params->commands.Set(CMD_LIST_BUILDS);
                break;
            case 'L':
                params->commands.Set(CMD_LIST_LOCAL_BUILDS);
                break;
            case 'D':
                params->commands.Set(CMD_DISCOVER);
                break;
            case 'G':
                params->commands.Set(CMD_GET_BUILD);
                break;
            case 'I':
                params->commands.Set(CMD_DEVICE_INFO);
                break;
            case 'U':
                params->commands.Set(CMD_UPDATE);
                break;
            case 'O':
                params->overrideModelCheck = true;
                break;
            case 'N':
                params->commands.Set(CMD_FINGERPRINT);
                break;
            case 'C':
                params->commands.Set(CMD_CHECK_BIRD);
                break;
            default:
                display.message(UpdaterDisplayInterface::ERROR, "Unhandled command: [%s]",
                                option.text);
                return false;
        }
        return true;
    }
    switch (option.text[1]) {
        case 'n':
            params->flagN = true;
            break;
        case 'e':
            params->echoBytes = true;
            break;
        case 'Z':
            params->commands.Set(CMD_Z);
            break;
        case 'X': {
            params->debugMaskGiven = true;
            bool hex = argument[0] == '0' && (argument[1] == 'x' || argument[1] == 'X');
            params->debugMask = static_cast<uint32_t>(strtoul(argument, &end, hex ? 16 : 10));
            if (end && *end != '\0')
                display.message(UpdaterDisplayInterface::ERROR,
                                "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                                option.text, end);
            else
                Log::ActivatePackage(params->debugMask);
            break;
        }
        case 'm':
            params->useUEIBytes = argument[0] == '1' || strncmp(argument, "true", 4) == 0;
            break;
        case 'i':
            params->storeDirectory = argument;
            break;
        case 'b':
            params->buildNumber = std::to_string(_get_int_arg(argument, &end));
            break;
        case 'd':
            params->serialNumber = sSerialArgument(display, argument, false);
            if (params->serialNumber == 0) return false;
            break;
        case 'r':
            params->routerSerialNumber = sSerialArgument(display, argument, true);
            if (params->routerSerialNumber == 0) return false;
            break;
        case 't':
            params->transportGiven = true;
            if (strncmp(argument, "USB", 3) == 0) {
                params->transport = 1;
            } else if (strncmp(argument, "TCP", 3) == 0) {
                params->transport = 2;
            } else if (strncmp(argument, "RECOVER", 7) == 0) {
                params->transport = RECOVER_TRANSPORT;
            } else {
                display.message(UpdaterDisplayInterface::ERROR,
                                "Invalid transport type:[%s]\nMust be one of the following: USB, "
                                "TCPIP, RECOVER",
                                argument);
                params->transport = 0;
                return false;
            }
            break;
        case 'f':
            params->birdFile = argument;
            break;
        case 's':
            params->serialPort = argument;
            break;
        case 'o':
            params->baudRate = _get_int_arg(argument, &end);
            break;
        case 'l':
            params->historyMessage = argument;
            break;
        case 'k':
            params->logFile = argument;
            break;
        case 'u':
            params->serverUrl = argument;
            break;
        default:
            return false;
    }
    return true;
}

uint32_t sDigitsArg(const char* text, char** end, int base) {
    if (!text || !text[0]) return 0;
    for (const char* c = text; *c; ++c) {
        bool digit =
            base == 16 ? isxdigit(static_cast<unsigned char>(*c)) != 0 : (*c >= '0' && *c <= '9');
        if (!digit) return 0;
    }
    // Values wider than 32 bits are refused rather than cut: a cut value names a different device
    // or build than the one typed.
    errno = 0;
    char* stop = nullptr;
    unsigned long long value = strtoull(text, &stop, base);
    if (errno == ERANGE || value > 0xFFFFFFFFull) return 0;
    if (end) *end = stop;
    return static_cast<uint32_t>(value);
}

}  // namespace

uint32_t _get_hex_arg(const char* text, char** end) {
    return sDigitsArg(text, end, 16);
}

uint32_t _get_int_arg(const char* text, char** end) {
    return sDigitsArg(text, end, 10);
}

int _get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv,
                Parameters* params) {
    if (!params) return 1;
    *params = Parameters();
    params->serverUrl = DEFAULT_SERVER_URL;
    if (argc > 0 && argv && argv[0]) {
        const char* name = argv[0];
        for (const char* c = argv[0]; *c; ++c)
            if (*c == '/' || *c == '\\') name = c + 1;
        params->applicationName = name;
    }
    char home[2048];
    if (aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone) params->homeDirectory = home;

    bool failed = false;
    for (int i = 1; i < argc && argv; ++i) {
        const char* arg = argv[i];
        if (!arg || arg[0] != '-') continue;  // plain words are ignored
        const char* equals = strchr(arg, '=');
        size_t nameLength = equals ? static_cast<size_t>(equals - arg) : strlen(arg);
        const Option* option = sFindOption(arg, nameLength);
        if (!option) continue;  // unknown or ambiguous: dropped

        const char* argument = nullptr;
        if (option->argument == ARG_REQUIRED) {
            if (equals) {
                argument = equals + 1;
            } else {
                // A missing argument drops the option; an argument that starts with "-" is read
                // as an option of its own on the next pass.
                if (i + 1 >= argc || !argv[i + 1] || argv[i + 1][0] == '-') continue;
                argument = argv[++i];
            }
        } else if (equals) {
            continue;  // a flag cannot take a value
        }

        if (option->kind == OPT_HELP) {
            params->commands.Set(CMD_HELP);
            params->helpRequested = true;
            failed = false;  // errors before the help option no longer count
            break;
        }
        if (!sHandleOption(display, *option, argument, params)) failed = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->applicationName.c_str());
    for (int i = 0; i < argc && argv; ++i) Log::log(DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");
    if (failed) return 1;
    return _validate_params(params);
}

int _validate_params(Parameters*) {
    return 0;
}

int _release_params(Parameters* params) {
    if (params) *params = Parameters();
    return 0;
}
