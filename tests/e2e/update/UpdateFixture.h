// Shared pieces of the "-U" end-to-end tests: BIRD files made for the module simulator, the image
// a module's flash must hold after an update, and runs of the real Updater binary with a store of
// their own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "RunProgram.h"
#include "SimProcess.h"
#include "api/aDefs.h"
#include "api/aError.h"
#include "api/aVersion.h"

namespace updatetest {

namespace fs = std::filesystem;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr char kSerialText[] = "40F5849A";
constexpr uint8_t kModel = 19;

constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFirmwareAddress = 0x00010000;
constexpr uint32_t kSerialAt = kFirmwareAddress + 0x200;      // serial number word (LE)
constexpr uint32_t kDescriptorAt = kFirmwareAddress + 0x210;  // USB serial string (UTF-16)
constexpr uint32_t kNewBuild = 4242;

inline std::string sRead(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string sModelName() {
    const char* name = aDefs_GetModelName(kModel);
    return name ? name : "";
}

// The firmware image of the test files: the simulator's header (version, build), then filler.
inline Bytes sImage(size_t size) {
    return MakeTestFirmwareImage(aVersion_Pack(2, 15, 3), kNewBuild, size);
}

// The image as it must arrive in flash once the serial number has been stamped into it.
inline Bytes sStamped(Bytes image, uint32_t serial) {
    const uint32_t at = kSerialAt - kFirmwareAddress;
    for (int i = 0; i < 4; ++i) image[at + size_t(i)] = uint8_t(serial >> (8 * i));
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    const uint32_t d = kDescriptorAt - kFirmwareAddress;
    for (int i = 0; i < 8; ++i) image[d + size_t(2 * i)] = uint8_t(text[i]);
    return image;
}

struct BirdSpec {
    size_t firmwareSize = 3000;
    size_t loaderSize = 700;
    bool generic = true;      // with a serial-offsets block
    uint32_t fileSerial = 0;  // serial number in the info block (device-specific images)
    std::string model = sModelName();
};

inline bool sWriteBird(const std::string& path, const BirdSpec& spec) {
    Bytes loader(spec.loaderSize);
    for (size_t i = 0; i < loader.size(); ++i) loader[i] = uint8_t(i * 7 + 3);
    BirdWriter writer;
    writer.Loader(kLoaderAddress, loader).Firmware(kFirmwareAddress, sImage(spec.firmwareSize));
    if (spec.generic) writer.SerialOffsets(kSerialAt, kDescriptorAt);
    writer.Info(kNewBuild, "2.15.3", spec.fileSerial, spec.model);
    std::string error;
    return writer.WriteFile(path, &error);
}

// A store and a working directory of its own, and runs of build/app/Updater in it.
class UpdaterRun {
  public:
    fs::path store() const { return fs::path(work.path()) / "updater"; }
    fs::path settings() const { return store() / kSerialText / ".settings"; }
    std::string path(const std::string& name) const { return work.path() + "/" + name; }

    ProgramResult run(std::vector<std::string> args, const std::vector<std::string>& env = {},
                      int timeoutMs = 60000) {
        // An update server nobody listens on: no -U path here needs one.
        args.insert(args.end(), {"-i", work.path(), "-u", "http://127.0.0.1:9/"});
        ProgramOptions options;
        options.workDir = work.path();
        options.env = env;
        options.timeoutMs = timeoutMs;
        return RunProgram(UpdaterBinary(), args, options);
    }

    TempDirectory work{"hv_update"};
};

}  // namespace updatetest
