// The firmware-transfer entity and the loader and firmware stages. See UpdaterEntity.h.
#include "update/UpdaterEntity.h"

#include <cstring>
#include <vector>

#include "api/System.h"
#include "api/aProtocol.h"
#include "cli/Log.h"
#include "engine/aTime.h"
#include "firmware/BirdFile.h"

using Kestrova::Halvorine::Link;
using Kestrova::Halvorine::Module;
using Kestrova::Halvorine::SystemClass;

namespace {

constexpr UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::INFO;
constexpr UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::ERROR;
constexpr uint32_t kAddressBytes = 4;
constexpr uint32_t kReconnectAttempts = 5;
constexpr uint32_t kLoadReconnectDelayMs = 500;
constexpr int kFirmwareTries = 5;

uint32_t sGet32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint16_t sGet16(const uint8_t* p) {
    return uint16_t((uint16_t(p[0]) << 8) | p[1]);
}

uint32_t sByteSum(const uint8_t* data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += data[i];
    return sum;
}

}  // namespace

void UpdaterEntity::init(Module* module, uint8_t index, bool validate, bool noWait) {
    targetModule = module;
    validateBlocks = validate;
    noRebootWait = noWait;
    ueiDataSupported = false;
    EntityClass::init(module, cmdUPGRADE, index);
}

aErr UpdaterEntity::_receive(uint8_t option, uint8_t minimum, uint8_t* reply, uint8_t* length) {
    const uint8_t match[aPROTO_UPGRADE_MATCH_LENGTH] = {cmdUPGRADE, option};
    for (int attempt = 0; attempt < 2; ++attempt) {
        *length = aPROTO_UPGRADE_MATCH_LENGTH;
        aErr err = receivePacket(match, length, reply);
        if (err != aErrNone) return err;
        if (*length >= minimum) return aErrNone;
    }
    return aErrPacket;
}

aErr UpdaterEntity::LoaderInit() {
    const uint8_t request[] = {val_UPGRADE_INIT};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) return err;
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t length = aPROTO_UPGRADE_MATCH_LENGTH;
    const uint8_t match[] = {cmdUPGRADE, val_UPGRADE_INIT};
    err = receivePacket(match, &length, reply);
    if (err != aErrNone) return err;
    if (length < aPROTO_UPGRADE_INIT_REPLY_MIN) return aErrPacket;
    const uint32_t base = sGet32(reply + aPROTO_UPGRADE_LOAD_BASE_AT);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags,
                                    uint16_t& blockSize) {
    if (block == nullptr || length < kAddressBytes) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Transfer Prepare (addr=%08X, len=%u, flags=%u)\n",
             sGet32(block), length, unsigned(flags));
    const uint8_t request[] = {val_UPGRADE_PREPARE, flags, block[0], block[1], block[2], block[3]};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) return err;
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t got = 0;
    err = _receive(val_UPGRADE_STATUS, aPROTO_UPGRADE_PREPARE_REPLY_LENGTH, reply, &got);
    if (err != aErrNone) return err;
    if (reply[aPROTO_UPGRADE_STATUS_AT] != 0) return aErrInvalidOption;
    blockSize = sGet16(reply + aPROTO_UPGRADE_BLOCKSIZE_AT);
    return aErrNone;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
    targetModule->disconnect();
    aErr err = aErrConnection;
    for (uint32_t attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                 int(attempt), int(kReconnectAttempts));
        err = targetModule->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network_FIRM, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 int(delayMs));
        aTime_MSSleep(delayMs);
    }
    return err;
}

aErr UpdaterEntity::LoaderStart() {
    const uint8_t request[] = {val_UPGRADE_LOAD};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", int(err));
        return err;
    }
    const uint8_t match[] = {cmdUPGRADE, val_UPGRADE_LOAD};
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t length = aPROTO_UPGRADE_MATCH_LENGTH;
    if (receivePacket(match, &length, reply) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    err = _reconnect(kLoadReconnectDelayMs);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 int(err), aError_GetErrorText(err));
        return aErrTimeout;
    }
    length = aPROTO_UPGRADE_MATCH_LENGTH;
    err = receivePacket(match, &length, reply);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", int(err),
             aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (targetModule == nullptr) return aErrConnection;
    aErr err = targetModule->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", int(err));
    if (err == aErrNone) ueiDataSupported = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (targetModule == nullptr) return aErrConnection;
    SystemClass system;
    system.init(targetModule, 0);
    uint32_t features = 0;
    aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features),
             int(err));
    if (err != aErrNone) return err;
    if ((features & 0x80000000u) == 0) return aErrNone;
    Link* link = targetModule->getLink();
    if (link == nullptr) return aErrConnection;
    return link->enablePooledPackets(true);
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length,
                                               uint32_t& packets, uint32_t& sum) {
    aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", int(err));
        return err;
    }
    sum += sByteSum(data, length);
    packets = 1;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(length));
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t sum = 0;
    uint32_t sent = 0;
    aErr err = aErrNone;
    if (ueiDataSupported) {
        err = _block_transfer_uei_helper(data, length, packets, sum);
        if (err != aErrNone) return err;
        sent = length;
    } else {
        // One request buffer for the whole block: the option byte, then up to 26 image bytes.
        uint8_t request[1 + aPROTO_UPGRADE_DATA_MAX];
        request[0] = val_UPGRADE_DATA;
        const uint8_t match[] = {cmdUPGRADE, val_UPGRADE_DATA};
        uint8_t reply[aPROTO_MAX_DATA];
        uint32_t resends = 0;
        while (sent < length) {
            const uint32_t remaining = length - sent;
            const uint8_t n =
                uint8_t(remaining < aPROTO_UPGRADE_DATA_MAX ? remaining : aPROTO_UPGRADE_DATA_MAX);
            memcpy(request + 1, data + sent, n);
            err = sendPacket(cmdUPGRADE, uint8_t(1 + n), request);
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n",
                         int(err));
                return err;
            }
            uint8_t got = aPROTO_UPGRADE_MATCH_LENGTH;
            if (receivePacket(match, &got, reply) != aErrNone) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            const int accepted =
                got > aPROTO_UPGRADE_ACCEPTED_AT ? int(reply[aPROTO_UPGRADE_ACCEPTED_AT]) : -1;
            if (accepted != int(n)) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted,
                         int(n));
                // The same bytes go out again, a few times at most: a module that keeps taking
                // a different count is not going to take this piece.
                if (++resends > kMaxDataResends) {
                    err = aErrPacket;
                    break;
                }
                continue;
            }
            resends = 0;
            sum += sByteSum(data + sent, n);
            sent += n;
            ++packets;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     int(n), int(length - sent), int(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(sent), int(length));
    if (err != aErrNone || !validateBlocks) return err;

    const uint8_t request[] = {val_UPGRADE_SUM};
    (void)sendPacket(cmdUPGRADE, sizeof request, request);
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t got = 0;
    if (_receive(val_UPGRADE_STATUS, aPROTO_UPGRADE_SUM_REPLY_LENGTH, reply, &got) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = reply[aPROTO_UPGRADE_STATUS_AT];
    const uint32_t moduleSum = sGet32(reply + aPROTO_UPGRADE_SUM_AT);
    if (status == 0 && moduleSum == sum) {
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
                 unsigned(status), sum, moduleSum, int(packets));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", unsigned(status),
             sum, moduleSum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length) {
    if (block == nullptr || length < kAddressBytes) return aErrParam;
    uint32_t packets = 0;
    return _block_transfer(block + kAddressBytes, length - kAddressBytes, packets);
}

aErr UpdaterEntity::FirmwareWrite(uint32_t count) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             int(count));
    const uint8_t request[] = {val_UPGRADE_WRITE, uint8_t(count >> 8), uint8_t(count)};
    aErr err = sendPacket(cmdUPGRADE, sizeof request, request);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", int(err),
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t got = 0;
    err = _receive(val_UPGRADE_STATUS, aPROTO_UPGRADE_WRITE_REPLY_LENGTH, reply, &got);
    if (err != aErrNone || reply[aPROTO_UPGRADE_STATUS_AT] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
    if (block == nullptr || length < kAddressBytes) return aErrParam;
    // A block size of 0 would never make progress.
    if (blockSize == 0) return aErrParam;
    const uint32_t address = sGet32(block);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", address,
             int(length - kAddressBytes));
    uint32_t remaining = length - kAddressBytes;
    const uint8_t* data = block + kAddressBytes;
    Log::timestamped = false;
    display.display_progress(true);
    aErr err = aErrNone;
    while (remaining > 0 && err == aErrNone) {
        const uint32_t n = remaining < blockSize ? remaining : blockSize;
        uint32_t packets = 0;
        err = _block_transfer(data, n, packets);
        if (err != aErrNone) break;
        data += n;
        remaining -= n;
        display.update_progress(double(length - remaining) / double(length), nullptr);
        Log::log(DEBUG_Network_FIRM, "NETWORK: accepted %d bytes (%d remaining)\n", int(n),
                 int(remaining));
        err = FirmwareWrite(n);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             int(length - kAddressBytes - remaining), int(length - kAddressBytes));
    if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    const uint8_t request[] = {val_UPGRADE_REBOOT};
    aErr result = sendPacket(cmdUPGRADE, sizeof request, request);
    if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    const uint64_t start = aTime_GetMSTicks();
    bool timedOut = false;
    while (targetModule != nullptr && targetModule->isConnected()) {
        // The wait is bounded: a module that keeps its link up after REBOOT (or a link that
        // never reports the drop) must not hold the tool for ever.
        if (aTime_GetMSTicks() - start >= rebootWaitMs) {
            timedOut = true;
            break;
        }
        aTime_MSSleep(kRebootPollMs);
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (noRebootWait) break;
    }
    display.update_spinner(false, "Verifying Update");
    if (timedOut)
        display.message(INFO,
                        "The firmware was written, but the module was not seen restarting within "
                        "%u seconds",
                        unsigned(rebootWaitMs / 1000));
    return result;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& bird) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", int(err),
                 aError_GetErrorText(err));
        return err;
    }
    display.message(INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    int number = 1;
    uint32_t total = 0;
    aErr failed = aErrNone;
    for (const BirdBlock& block : blocks) {
        display.message(INFO, "Transferring loader block %d of %d, %d bytes", number,
                        int(blocks.size()), int(block.length));
        uint16_t blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Network_FIRM, "Error Preparing transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "Error loader transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
            failed = err;
            continue;
        }
        total += block.length;
        ++number;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", number - 1, int(total));
    display.display_progress(false);
    // A loader with a block missing is never started, even when later blocks went over.
    if (err == aErrNone && failed != aErrNone) err = failed;
    if (err == aErrNone) {
        display.message(INFO, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater,
                     "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(ERROR, "Error starting loader [%d, %s]", int(err),
                            aError_GetErrorText(err));
        }
    }
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& bird,
                        bool noRebootWait, bool useUEIBytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, noRebootWait);
    if (useUEIBytes && entity.CheckUEIDataSupport() == aErrNone)
        (void)entity.CheckPooledPacketsSupport();
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.path().c_str());
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    aErr err = aErrNone;
    unsigned number = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        for (int attempt = 0; attempt < kFirmwareTries; ++attempt) {
            display.message(INFO, "Transferring firmware block %u of %u, %d bytes", number,
                            unsigned(blocks.size()), int(block.length));
            if (attempt > 0) display.message(INFO, "  Retry %d", attempt);
            uint16_t blockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            // A block size of 0 is a broken answer: sending in pieces of 0 bytes would never end.
            if (err == aErrNone && blockSize == 0) err = aErrInvalidOption;
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "Error firmware transfer init: [%d, %s].\n", int(err),
                         aError_GetErrorText(err));
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone) break;
            Log::log(DEBUG_Network_FIRM, "Error firmware transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Network_FIRM, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++number;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", int(number - 1), int(total));
    if (err == aErrNone) err = entity.LoaderReboot(display);
    return err;
}
