// Simulator: hosts the configured modules and the links that reach them.
//
// It owns the event loop, the modules, their endpoints (TCP listener, pty, virtual USB device),
// the probe responder and the link sessions, and is the modules' Runtime. A LinkSession is one
// live link: it cuts the received bytes into packets (raw, or COBS frames on a serial line),
// answers magic packets, takes route packets, sends and checks heartbeats, and hands every other
// packet to the module it is addressed to (the link's own module, or a module behind it on its
// I2C bus while routing is on: routeToMe(1), or a route packet with 1 on this link).
// Single-threaded: everything runs on the thread calling run().
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Config.h"
#include "EventLoop.h"
#include "Module.h"

namespace modsim {

class Simulator;

class LinkSession {
  public:
    using Writer = std::function<void(const std::vector<uint8_t>&)>;
    LinkSession(Simulator& sim, Module& owner, uint64_t id, bool framed, std::string where,
                Writer writer);
    ~LinkSession();
    LinkSession(const LinkSession&) = delete;
    LinkSession& operator=(const LinkSession&) = delete;

    void bytesIn(const uint8_t* bytes, size_t count);
    void send(const Packet& p);
    void restartHeartbeat();
    void close() { closed_ = true; }
    bool closed() const { return closed_; }
    Module& owner() { return owner_; }

  private:
    void packetIn(const Packet& p);
    void heartbeatTick();

    Simulator& sim_;
    Module& owner_;
    uint64_t id_;
    bool framed_;
    std::string where_;
    Writer writer_;
    PacketReader reader_;
    FrameReader frames_;
    bool closed_ = false;
    bool forceRoute_ = false;  // the host's route packet asked for routing on this link
    uint64_t received_ = 0;
    uint64_t hbTimer_ = 0;
    bool hbAwaiting_ = false;
    uint32_t hbMissed_ = 0;
};

class Endpoint {
  public:
    virtual ~Endpoint() = default;
    virtual void onEvent(ModuleEvent e) = 0;
    // "SERIAL:kind=where" for the ready line.
    virtual std::string describe() const = 0;
};

class Simulator : public Runtime {
  public:
    explicit Simulator(const SimConfig& cfg);
    ~Simulator() override;

    // Opens every endpoint; false with a one-line error.
    bool start(std::string& error);
    std::string readyLine() const;
    void run() { loop_.run(); }
    void stop() { loop_.stop(); }
    EventLoop& loop() { return loop_; }
    void dumpAllFlash();

    // Runtime
    uint64_t nowMs() override { return EventLoop::nowMs(); }
    uint64_t after(uint64_t ms, std::function<void()> fn) override;
    void cancel(uint64_t timer) override { loop_.cancel(timer); }
    void sendOn(uint64_t channel, const Packet& p) override;
    void log(const std::string& line) override;
    void event(Module& m, ModuleEvent e) override;

    // Sessions, for the endpoints.
    uint64_t openSession(Module& m, bool framed, const std::string& where,
                         LinkSession::Writer writer);
    void closeSession(uint64_t id);
    LinkSession* session(uint64_t id);
    void dropRequested(Module& m);  // the drop fault fired for m

    bool verbose() const { return cfg_.verbose; }
    in_addr listenAddress() const { return listen_; }
    const std::vector<std::unique_ptr<Module>>& modules() const { return modules_; }
    uint16_t vendorId() const;
    // The virtual USB bus, made by the first USB module (opaque here, see UsbEndpoint).
    std::shared_ptr<void> usbBus() const { return usbBus_; }
    void setUsbBus(std::shared_ptr<void> bus, const std::string& dir) {
        usbBus_ = std::move(bus);
        usbDir_ = dir;
    }
    bool tcpListening(const Module& m, uint16_t& port) const;

  private:
    SimConfig cfg_;
    EventLoop loop_;
    std::vector<std::unique_ptr<Module>> modules_;
    std::multimap<const Module*, std::unique_ptr<Endpoint>> endpoints_;
    std::unique_ptr<Endpoint> probe_;
    std::map<uint64_t, std::unique_ptr<LinkSession>> sessions_;
    std::vector<std::unique_ptr<LinkSession>> graveyard_;
    std::set<const Module*> dropped_;
    uint64_t nextSession_ = 1;
    in_addr listen_{};
    std::string usbDir_;
    std::shared_ptr<void> usbBus_;  // outlives the endpoints, goes before the loop
};

}  // namespace modsim
