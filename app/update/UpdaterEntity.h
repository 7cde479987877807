// UpdaterEntity: the firmware-transfer entity (cmdUPGRADE) of a running module, and the two
// transfer stages built on it.
//
// The entity speaks the byte-level exchange that pushes a boot loader image into a module and
// starts it (INIT, PREPARE, DATA or one UEI byte string, SUM, LOAD), then pushes firmware pieces to
// the running loader and commits each to flash (PREPARE, DATA, SUM, WRITE), and finally restarts
// the module (REBOOT). Every exchange is one request and one reply matched on its first two data
// bytes, waited for with the link's standard 1000 ms limit; numbers are big-endian.
//
// Ownership: the entity keeps a plain pointer to the Module given to init, which must outlive it
// (the module owns the link). Threads: the caller's thread only; one exchange at a time.
#pragma once

#include <cstdint>

#include "api/Entity.h"
#include "api/Module.h"
#include "api/aError.h"
#include "cli/UpdaterDisplayInterface.h"

class BirdFile;

class UpdaterEntity : public Kestrova::Halvorine::EntityClass {
  public:
    // Resends of one DATA packet whose acknowledged count differs from what was sent, before the
    // block transfer gives up with aErrPacket (and the caller retries the block from PREPARE).
    static constexpr uint32_t kMaxDataResends = 3;
    // Longest wait for the link to drop after REBOOT.
    static constexpr uint32_t kRebootWaitMs = 20000;
    static constexpr uint32_t kRebootPollMs = 250;

    UpdaterEntity() = default;
    ~UpdaterEntity() override = default;

    // Binds the entity to `module` (cmdUPGRADE, `index`) and clears the UEI data support flag.
    void init(Kestrova::Halvorine::Module* module, uint8_t index, bool validateBlocks,
              bool noRebootWait);

    aErr LoaderInit();
    // PREPARE for the block whose first 4 bytes are its target address; `blockSize` is the size
    // of the pieces the module takes. `length` is only logged.
    aErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);
    aErr LoaderStart();
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();
    // One block transfer of a loader block's image (the block less its address word).
    aErr LoaderTransfer(const uint8_t* block, uint32_t length);
    // The image of a firmware block in pieces of `blockSize`, each summed and written.
    aErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(uint32_t count);
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    bool UEIDataSupported() const { return ueiDataSupported; }
    // Shortens the REBOOT wait bound (tests).
    void SetRebootWaitLimit(uint32_t ms) { rebootWaitMs = ms; }

  private:
    aErr _reconnect(uint32_t delayMs);
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& packets);
    aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& packets,
                                    uint32_t& sum);
    // Waits for a reply starting with cmdUPGRADE, `option` that has at least `minimum` data
    // bytes; a shorter one is the late answer of an earlier exchange and is passed over once.
    aErr _receive(uint8_t option, uint8_t minimum, uint8_t* reply, uint8_t* length);

    Kestrova::Halvorine::Module* targetModule = nullptr;
    bool validateBlocks = true;
    bool noRebootWait = false;
    bool ueiDataSupported = false;
    uint32_t rebootWaitMs = kRebootWaitMs;
};

// The two stages of an update, used by the update flow. Each makes its own entity on index 0.
aErr _transfer_loader(UpdaterDisplayInterface& display, Kestrova::Halvorine::Module& module,
                      BirdFile& bird);
aErr _transfer_firmware(UpdaterDisplayInterface& display, Kestrova::Halvorine::Module& module,
                        BirdFile& bird, bool noRebootWait, bool useUEIBytes);
