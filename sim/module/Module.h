// Module: one simulated module's firmware, as the host sees it over a link.
//
// A Module answers the packets addressed to it (system entity UEIs, queries, the debug echo, the
// I2C entity, the firmware upgrade command set) on the link they came from, keeps the transfer
// state and the simulated flash, and restarts (loader start, reboot, reset) through timers of its
// Runtime. Link-level packets (magic, route, heartbeats) are the LinkSession's. The Runtime owns
// every module; all calls happen on the simulator's event thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Config.h"
#include "Flash.h"
#include "Wire.h"

namespace modsim {

class Module;

enum class ModuleEvent {
    DropLinks,      // close the module's current links now (fault); it stays reachable
    LoaderStarted,  // the loader runs now; a USB module leaves the bus and comes back
    Down,           // rebooting: links dropped, unreachable until Up
    Up,             // running again (after a reboot or reset)
    HeartbeatChanged,
};

// Services a module needs from the simulator that hosts it.
class Runtime {
  public:
    virtual ~Runtime() = default;
    virtual uint64_t nowMs() = 0;
    virtual uint64_t after(uint64_t ms, std::function<void()> fn) = 0;
    virtual void cancel(uint64_t timer) = 0;
    // Sends on the link `channel` if it still exists.
    virtual void sendOn(uint64_t channel, const Packet& p) = 0;
    virtual void log(const std::string& line) = 0;
    virtual void event(Module& m, ModuleEvent e) = 0;
};

class Module {
  public:
    Module(const ModuleConfig& cfg, Runtime& rt);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const ModuleConfig& config() const { return cfg_; }
    uint32_t serial() const { return cfg_.serial; }
    uint8_t address() const { return cfg_.address; }
    bool up() const { return up_; }
    bool inLoader() const { return loader_; }
    uint32_t version() const { return version_; }
    uint32_t build() const { return build_; }
    bool routed() const { return routed_; }
    uint32_t heartbeatMs() const { return heartbeatMs_; }
    std::string tag() const;

    // Puts `child` on this module's I2C bus; it reports this module as its router.
    void addChild(Module* child) {
        children_.push_back(child);
        child->router_ = cfg_.address;
    }
    const std::vector<Module*>& children() const { return children_; }
    Module* child(uint8_t address) const;

    // A packet addressed to this module arrived on `channel`.
    void handle(const Packet& p, uint64_t channel);
    // A new link to this module passed its first packet (answers a LOAD held for a reconnect).
    void linkOpened(uint64_t channel);
    void dumpFlash();

  private:
    void send(uint64_t ch, const Packet& p) { rt_.sendOn(ch, p); }
    void uei(const Packet& p, uint64_t ch);
    void systemGet(uint8_t option, const Packet& p, uint64_t ch);
    void systemSet(uint8_t option, const Packet& p, uint64_t ch);
    void systemBytesSet(uint8_t option, const std::vector<uint8_t>& value, uint64_t ch);
    void query(const Packet& p, uint64_t ch);
    void i2c(const Packet& p, uint64_t ch);
    void upgrade(const Packet& p, uint64_t ch);
    void storeRequest(const Packet& p, uint64_t ch);
    void sendError(uint64_t ch, uint8_t cmd, uint8_t replyOption, uint8_t index, uint8_t err);
    void sendBytes(uint64_t ch, uint8_t cmd, uint8_t option, uint8_t index,
                   const std::vector<uint8_t>& value);
    // Collects one chunk of a byte-string set; true with `done` when the string is complete.
    // False when the chunk was refused (an error reply has been sent).
    bool collectBytes(const Packet& p, uint64_t ch, uint8_t replyOption, bool& done);
    uint8_t hasUEI(uint8_t cmd, uint8_t option, uint8_t index, uint8_t flags) const;
    void restart(bool runNewImage);
    void applyImage();

    ModuleConfig cfg_;
    Runtime& rt_;
    std::vector<Module*> children_;

    bool up_ = true;
    bool loader_ = false;
    bool routed_ = false;
    uint32_t version_, build_;
    std::string name_;
    uint32_t heartbeatMs_;
    uint8_t router_;
    uint64_t bootMs_;
    uint8_t led_ = 1, bootSlot_ = 0, swOffset_ = 0, powerBehavior_ = 0, linkInterface_ = 0;
    uint8_t ledMax_ = 255;
    uint32_t powerLimitMax_ = 15000000;
    std::vector<uint8_t> powerConfig_;

    // byte-string set in progress
    struct Bytes {
        bool active = false;
        uint8_t cmd = 0, option = 0, index = 0, nextSeq = 0;
        std::vector<uint8_t> buf;
    } bytes_;

    // firmware transfer
    uint32_t writeAddress_ = 0;
    bool prepared_ = false;
    bool imageStartSet_ = false;
    uint32_t imageStart_ = 0;
    std::vector<uint8_t> pending_;
    uint32_t pendingSum_ = 0;
    std::vector<uint8_t> loaderImage_;
    uint32_t dataCount_ = 0, prepareCount_ = 0, sumCount_ = 0, writeCount_ = 0;
    bool loadReplyOwed_ = false;
    Flash flash_;
    std::vector<uint64_t> timers_;
    uint64_t restartTimer_ = 0;
};

}  // namespace modsim
