// Helpers of the "-D" end-to-end tests: running the Updater binary (on the simulator's virtual USB
// bus when one is given) and cutting the device list out of what it printed.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "RunProgram.h"

namespace listingtest {

// Runs the Updater with `args` and its store under `work`; with a non-empty `umockdevDir` it sees
// that virtual USB bus instead of the machine's.
inline ProgramResult RunUpdater(const TempDirectory& work, std::vector<std::string> args,
                                const std::string& umockdevDir = "") {
    args.insert(args.end(), {"-i", work.path()});
    ProgramOptions options;
    options.workDir = work.path();
    options.timeoutMs = 30000;
    if (!umockdevDir.empty()) {
        options.env.push_back("UMOCKDEV_DIR=" + umockdevDir);
        options.env.push_back("LD_PRELOAD=libumockdev-preload.so.0");
    }
    return RunProgram(UpdaterBinary(), args, options);
}

// A preload library ahead of a sanitizer runtime upsets the runtime's link-order check; the
// Updater inherits these options from the test (RunProgram passes them on).
inline void AllowPreloadUnderSanitizers() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string value = asan ? asan : "";
    if (value.find("verify_asan_link_order") == std::string::npos)
        value += std::string(value.empty() ? "" : ":") + "verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", value.c_str(), 1);
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines from "Discovered Devices: (...)" to the end of the output; empty when it is missing.
inline std::vector<std::string> DeviceList(const std::string& out) {
    std::vector<std::string> lines = Lines(out);
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind("Discovered Devices: (", 0) == 0)
            return std::vector<std::string>(lines.begin() + long(i), lines.end());
    return {};
}

constexpr const char* kUsbHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name";
constexpr const char* kAddressHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
    "Device Name";

}  // namespace listingtest
