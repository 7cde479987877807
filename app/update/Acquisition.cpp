// Firmware acquisition: downloading builds from the update server into the store, listing the
// server's and the store's builds, and loading a BIRD file for the update and recovery flows.
//
// A download runs its server transfer on one worker thread while the calling thread redraws the
// spinner every 100 ms; the worker is always joined before Download_Firmware returns. A downloaded
// build is decoded and checked as a BIRD file before it is stored, and it reaches its final name
// only by a rename, so a failed or interrupted download never replaces or truncates a stored
// build. The attributes change only after the file is in place.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "cli/Log.h"
#include "firmware/BirdFile.h"
#include "firmware/UpdaterStore.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"
#include "update/Updater.h"
#include "update/UpdaterInternal.h"

namespace {

constexpr UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::INFO;
constexpr UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::ERROR;

struct FreeDeleter {
    void operator()(unsigned char* p) const { free(p); }
};

}  // namespace

bool _leading_decimal(const std::string& text, uint32_t& value) {
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t') ++begin;
    if (*begin < '0' || *begin > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long n = strtoull(begin, &end, 10);
    if (errno == ERANGE || n > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(n);
    return true;
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& updaterDirectory,
                                                  const char* caller) {
    try {
        return std::make_unique<UpdaterStore>(updaterDirectory);
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s", caller,
                        e.what());
        return nullptr;
    }
}

bool _valid_build(unsigned serialNumber, unsigned build, const char* serverUrl) {
    UpdateServerRequest::BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl)) return false;
    for (const auto& entry : builds) {
        uint32_t number = 0;
        if (!_leading_decimal(entry.first, number)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
            number = 0;
        }
        if (number == build) return true;
    }
    return false;
}

uint32_t Updater::Download_Firmware(uint32_t serialNumber, const std::string& buildText,
                                    bool overrideModelCheck, bool noCal) {
    uint32_t build = 0;
    if (!buildText.empty() && !_leading_decimal(buildText, build)) {
        display.message(ERROR, "Build number '%s' must be an number", buildText.c_str());
        return 0;
    }
    if (serialNumber == 0) {
        display.message(ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(serverUrl)) {
        display.message(ERROR, "Server request failed for %s", serverUrl.c_str());
        return 0;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, updaterDirectory, "Download_Firmware");
    if (!store) return 0;

    UpdaterStoreItem device;
    if (!store->FindDevice(serialNumber, device)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            device = store->AddDevice(serialNumber);
        } catch (const std::runtime_error&) {
            display.message(ERROR, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string latestBuild, firmware;
    if (!UpdateServerRequest::QueryBuild(serialNumber, latestBuild, firmware, serverUrl)) {
        display.message(ERROR, "No build information for device");
        return 0;
    }
    if (build == 0 && !_leading_decimal(latestBuild, build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latestBuild.c_str());
        build = 0;
    }

    display.message(INFO, "Retrieving build %u", build);
    if (overrideModelCheck) {
        display.message(INFO, "Override specified, skipping validation of build %u", build);
    } else {
        display.message(INFO, "Validating build %u with server", build);
        if (!_valid_build(serialNumber, build, serverUrl.c_str())) {
            display.message(ERROR, "No valid build %u", build);
            return 0;
        }
        display.message(INFO, "Build %u is valid", build);
    }

    // The transfer runs on one worker; this thread animates the spinner until it is done.
    std::string birdText;
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread worker([&birdText, &done, serialNumber, firmware, url = serverUrl, noCal,
                        buildNumber = std::to_string(build)]() {
        bool ok = false;
        try {
            ok = UpdateServerRequest::GetBuild(serialNumber, firmware, buildNumber, birdText, url,
                                               noCal);
        } catch (...) {
            ok = false;
        }
        done.set_value(ok);
    });
    display.update_spinner(true, "Downloading");
    while (result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        display.update_spinner(true, "Downloading");
    bool transferred = result.get();
    display.update_spinner(false, "Downloading");
    worker.join();
    if (!transferred) {
        display.message(ERROR, "Download failed");
        return 0;
    }
    if (birdText.empty()) {
        display.message(ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string fileName = std::to_string(build) + ".bird";
    size_t length = 0;
    std::unique_ptr<unsigned char, FreeDeleter> bytes(
        base64_decode(birdText.data(), birdText.size(), &length));
    if (!bytes || length == 0) {
        display.message(ERROR, "Build %u from the server is not valid base64; nothing was stored",
                        build);
        return 0;
    }

    // Written under a hidden name first (names beginning with "." are not builds), checked as a
    // BIRD file, then renamed over the final name.
    const std::string partialName = "." + fileName + ".partial";
    const std::string partialPath = device.Path() + "/" + partialName;
    const std::string finalPath = device.Path() + "/" + fileName;
    aErr written = device.WriteFile(partialName, bytes.get(), length);
    bytes.reset();
    if (written != aErrNone) {
        display.message(ERROR, "Failed to write file with %d", static_cast<int>(written));
        remove(partialPath.c_str());
        return 0;
    }
    bool valid = BirdFile::VerifyFile(partialPath);
    if (valid) {
        try {
            BirdFile check(partialPath);
        } catch (const std::runtime_error&) {
            valid = false;
        }
    }
    if (!valid) {
        remove(partialPath.c_str());
        display.message(
            ERROR, "Build %u from the server is not a valid BIRD file; nothing was stored", build);
        return 0;
    }
    if (rename(partialPath.c_str(), finalPath.c_str()) != 0) {
        display.message(ERROR, "Failed to store %s: %s", finalPath.c_str(), strerror(errno));
        remove(partialPath.c_str());
        return 0;
    }

    device.attributes.Add("LATEST_DOWNLOAD", fileName);
    device.attributes.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeStamp());
    device.attributes.Save();
    return build;
}

uint32_t Updater::Download_Firmware(Fingerprint fingerprint, const std::string& buildText,
                                    bool overrideModelCheck) {
    uint32_t serial = 0, serverBuild = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, serial, serverBuild, serverUrl)) {
        display.message(ERROR,
                        "Failed to retrieve recovery information from Kestrova update server");
        return 0;
    }
    uint32_t build = 0;
    if (!_leading_decimal(buildText, build) || build == 0) build = serverBuild;
    return Download_Firmware(serial, std::to_string(build), overrideModelCheck, false);
}

BuildList Updater::Get_BuildList(uint32_t serialNumber) {
    UpdateServerRequest::BuildList builds;
    if (!UpdateServerRequest::ping(serverUrl)) {
        display.message(ERROR, "Server request failed for %s", serverUrl.c_str());
        return {};
    }
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl)) {
        display.message(ERROR, "Failed to retrieve builds for %08X", serialNumber);
        return {};
    }
    return builds;
}

BuildList Updater::Get_BuildListLocal(uint32_t serialNumber) {
    BuildList builds;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, updaterDirectory, "Get_BuildListLocal");
    if (!store) return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serialNumber, items);
    for (const UpdaterStoreItem& item : items) {
        std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string value;
        if (item.IsValid()) {
            std::string path = item.basePath + "/" + item.name;
            if (BirdFile::VerifyFile(path)) {
                try {
                    BirdFile bird(path);
                    std::string version = bird.GetVersion();
                    if (!version.empty()) {
                        value = version;
                        Log::log(DEBUG_Updater, "%s: version %s\n", path.c_str(), version.c_str());
                    }
                } catch (const std::runtime_error&) {
                    // A file that passes the header check but does not load has no version.
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, value);
    }
    return builds;
}

BirdFile Updater::load_bird(const char* verb, const std::string& birdFilePath,
                            uint32_t serialNumber, uint32_t build, bool allowDownload) {
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, updaterDirectory, "load_bird");
    if (!store) return BirdFile();
    if (!birdFilePath.empty()) {
        display.message(INFO, "%s from Birdfile: %s", verb, birdFilePath.c_str());
        return BirdFile(birdFilePath);
    }
    UpdaterStoreItem device = store->AddDevice(serialNumber);
    display.message(INFO, "%s firmware with build: %u", verb, build);
    const std::string fileName = std::to_string(build) + ".bird";
    try {
        return device.ReadBirdFile(fileName);
    } catch (const std::runtime_error&) {
        if (!allowDownload) throw std::runtime_error("Error reading birdfile");
    }
    display.message(INFO, "Downloading firmware build %u", build);
    Download_Firmware(serialNumber, std::to_string(build), false, false);
    return device.ReadBirdFile(fileName);
}
