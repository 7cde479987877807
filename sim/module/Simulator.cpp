#include "Simulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "UsbEndpoint.h"
#include "api/aProtocol.h"

namespace modsim {

// ---------------------------------------------------------------------------------------------
// LinkSession

LinkSession::LinkSession(Simulator& sim, Module& owner, uint64_t id, bool framed, std::string where,
                         Writer writer)
    : sim_(sim),
      owner_(owner),
      id_(id),
      framed_(framed),
      where_(std::move(where)),
      writer_(std::move(writer)) {
    restartHeartbeat();
}

LinkSession::~LinkSession() {
    if (hbTimer_) sim_.cancel(hbTimer_);
}

void LinkSession::bytesIn(const uint8_t* bytes, size_t count) {
    uint64_t now = sim_.nowMs();
    for (size_t i = 0; i < count && !closed_; ++i) {
        Packet p;
        if (framed_) {
            FrameReader::Result r = frames_.feed(bytes[i], p);
            if (r == FrameReader::Bad) {
                sim_.log(owner_.tag() + " " + where_ + ": bad frame dropped");
                continue;
            }
            if (r == FrameReader::Good) packetIn(p);
        } else if (reader_.feed(bytes[i], now, p)) {
            packetIn(p);
        }
    }
}

void LinkSession::packetIn(const Packet& p) {
    if (sim_.verbose()) sim_.log(owner_.tag() + " " + where_ + " rx " + p.hex());
    ++received_;
    if (received_ == 1) {
        owner_.linkOpened(id_);
        for (Module* c : owner_.children()) c->linkOpened(id_);
    }
    uint32_t dropAfter = owner_.config().faults.dropAfter;
    if (dropAfter != 0 && received_ == dropAfter) {
        sim_.dropRequested(owner_);
        if (closed_) return;
    }
    if (p.address == 0xAD) {
        if (p.size == 0 && owner_.up()) send(Packet(owner_.address(), {}));
        return;
    }
    if (p.address == 0xAF) {
        // The route packet (1 when a host's link starts, 0 when it stops) routes the traffic of
        // the modules behind this one to this link, as routeToMe does.
        if (p.size == 1) {
            forceRoute_ = p.data[0] != 0;
            sim_.log(owner_.tag() + " " + where_ + ": route " + std::to_string(p.data[0]));
        }
        return;
    }
    if (p.address == 0 || (p.address & 1)) {
        sim_.log(owner_.tag() + " " + where_ + ": ignored packet to odd address " + p.hex());
        return;
    }
    if (p.address == owner_.address()) {
        if (p.size == 2 && p.data[0] == 0) {  // the host's answer to a heartbeat
            if (p.data[1] != 2) sim_.log(owner_.tag() + ": wrong heartbeat answer " + p.hex());
            hbAwaiting_ = false;
            return;
        }
        owner_.handle(p, id_);
        return;
    }
    Module* c = owner_.child(p.address);
    if (c && (owner_.routed() || forceRoute_) && owner_.up()) {
        c->handle(p, id_);
        return;
    }
    if (sim_.verbose()) sim_.log(owner_.tag() + " " + where_ + ": nobody at that address");
}

void LinkSession::send(const Packet& p) {
    if (closed_) return;
    if (p.address == 0 || (p.address & 1) || p.size > kMaxData) {
        sim_.log(owner_.tag() + ": refused to send " + p.hex());
        return;
    }
    if (sim_.verbose()) sim_.log(owner_.tag() + " " + where_ + " tx " + p.hex());
    writer_(framed_ ? frameEncode(p) : p.bytes());
}

void LinkSession::restartHeartbeat() {
    if (hbTimer_) sim_.cancel(hbTimer_);
    hbTimer_ = 0;
    hbAwaiting_ = false;
    uint32_t ms = owner_.heartbeatMs();
    if (ms > 0) hbTimer_ = sim_.after(ms, [this] { heartbeatTick(); });
}

void LinkSession::heartbeatTick() {
    hbTimer_ = 0;
    if (closed_) return;
    if (owner_.up()) {
        if (hbAwaiting_) {
            ++hbMissed_;
            sim_.log(owner_.tag() + " " + where_ + ": heartbeat not answered (" +
                     std::to_string(hbMissed_) + ")");
        }
        hbAwaiting_ = true;
        send(Packet(owner_.address(), {0, 0}));
    }
    uint32_t ms = owner_.heartbeatMs();
    if (ms > 0) hbTimer_ = sim_.after(ms, [this] { heartbeatTick(); });
}

// ---------------------------------------------------------------------------------------------
// Endpoints

namespace {

bool setNonBlocking(int fd) {
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

// A module's TCP port: one link at a time; more connections are closed at once.
class TcpEndpoint : public Endpoint {
  public:
    TcpEndpoint(Simulator& sim, Module& m) : sim_(sim), m_(m), port_(m.config().tcpPort) {}
    ~TcpEndpoint() override {
        dropConn();
        closeListener();
    }

    bool open(std::string& error) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listenFd_ < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        int one = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr = sim_.listenAddress();
        a.sin_port = htons(port_);
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            error = "bind to TCP port " + std::to_string(port_) + ": " + std::strerror(errno);
            closeListener();
            return false;
        }
        socklen_t len = sizeof a;
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        // A busy module keeps its port but never listens, so connections are refused.
        if (m_.config().faults.busy) return true;
        if (::listen(listenFd_, 4) != 0) {
            error = std::string("listen: ") + std::strerror(errno);
            closeListener();
            return false;
        }
        sim_.loop().watch(listenFd_, POLLIN, [this](short) { onAccept(); });
        return true;
    }

    void onEvent(ModuleEvent e) override {
        switch (e) {
            case ModuleEvent::DropLinks:
                sim_.log(m_.tag() + " tcp: dropping the connection");
                dropConn();
                break;
            case ModuleEvent::Down:
                // Listener first: a host that sees the link drop and reconnects at once must be
                // refused, not let into the backlog of a port that is about to close.
                closeListener();
                dropConn();
                break;
            case ModuleEvent::Up:
                if (listenFd_ < 0) reopen();
                break;
            default:
                break;
        }
    }

    std::string describe() const override {
        char b[64];
        in_addr a = sim_.listenAddress();
        inet_ntop(AF_INET, &a, b, sizeof b);
        return m_.tag() + ":tcp=" + b + ":" + std::to_string(port_);
    }

    bool listening(uint16_t& port) const {
        port = port_;
        return listenFd_ >= 0;
    }

  private:
    void reopen() {
        std::string err;
        if (!open(err)) {
            sim_.log(m_.tag() + " tcp: " + err + "; retrying");
            reopenTimer_ = sim_.after(100, [this] {
                reopenTimer_ = 0;
                reopen();
            });
        }
    }

    void closeListener() {
        if (reopenTimer_) sim_.cancel(reopenTimer_);
        reopenTimer_ = 0;
        if (listenFd_ < 0) return;
        sim_.loop().unwatch(listenFd_);
        ::close(listenFd_);
        listenFd_ = -1;
    }

    void onAccept() {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        // A host that reconnects closes its old connection just before; take in what is left
        // of it first so its end is seen before the new one is judged busy.
        while (connFd_ >= 0) {
            pollfd p{connFd_, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) break;
            onConn(p.revents);
        }
        if (connFd_ >= 0 || !m_.up()) {
            sim_.log(m_.tag() + " tcp: connection closed (busy)");
            ::close(fd);
            return;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connFd_ = fd;
        out_.clear();
        sim_.loop().watch(fd, POLLIN, [this](short ev) { onConn(ev); });
        session_ =
            sim_.openSession(m_, false, "tcp", [this](const std::vector<uint8_t>& b) { write(b); });
        sim_.log(m_.tag() + " tcp: connected");
    }

    void onConn(short ev) {
        if (ev & POLLOUT) flush();
        if (connFd_ < 0) return;
        if (ev & (POLLIN | POLLHUP | POLLERR)) {
            uint8_t buf[4096];
            ssize_t n = ::read(connFd_, buf, sizeof buf);
            if (n > 0) {
                if (LinkSession* s = sim_.session(session_)) s->bytesIn(buf, size_t(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                sim_.log(m_.tag() + " tcp: host closed the connection");
                dropConn();
            }
        }
    }

    void write(const std::vector<uint8_t>& bytes) {
        if (connFd_ < 0) return;
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        if (out_.size() > (1u << 20)) {
            sim_.log(m_.tag() + " tcp: host not reading; dropping the connection");
            dropConn();
            return;
        }
        flush();
    }

    void flush() {
        while (connFd_ >= 0 && !out_.empty()) {
            ssize_t n = ::send(connFd_, out_.data(), out_.size(), MSG_NOSIGNAL);
            if (n > 0) {
                out_.erase(out_.begin(), out_.begin() + n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
            dropConn();
            return;
        }
        if (connFd_ >= 0)
            sim_.loop().setEvents(connFd_, short(POLLIN | (out_.empty() ? 0 : POLLOUT)));
    }

    void dropConn() {
        if (connFd_ < 0) return;
        sim_.loop().unwatch(connFd_);
        ::close(connFd_);
        connFd_ = -1;
        out_.clear();
        sim_.closeSession(session_);
        session_ = 0;
    }

    Simulator& sim_;
    Module& m_;
    uint16_t port_;
    int listenFd_ = -1;
    int connFd_ = -1;
    uint64_t session_ = 0;
    uint64_t reopenTimer_ = 0;
    std::vector<uint8_t> out_;
};

// A module's serial line: the slave side of a pty, COBS frames with CRC-8. The simulator keeps
// a slave descriptor of its own so the line survives the host closing and reopening it.
class PtyEndpoint : public Endpoint {
  public:
    PtyEndpoint(Simulator& sim, Module& m) : sim_(sim), m_(m) {}
    ~PtyEndpoint() override {
        if (session_) sim_.closeSession(session_);
        if (master_ >= 0) {
            sim_.loop().unwatch(master_);
            ::close(master_);
        }
        if (slave_ >= 0) ::close(slave_);
    }

    bool open(std::string& error) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            error = std::string("pty: ") + std::strerror(errno);
            return false;
        }
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0) {
            error = std::string("ptsname: ") + std::strerror(errno);
            return false;
        }
        path_ = name;
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            error = path_ + ": " + std::strerror(errno);
            return false;
        }
        termios t{};
        if (tcgetattr(slave_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(slave_, TCSANOW, &t);
        }
        setNonBlocking(master_);
        sim_.loop().watch(master_, POLLIN, [this](short) { onRead(); });
        session_ = sim_.openSession(m_, true, "serial",
                                    [this](const std::vector<uint8_t>& b) { write(b); });
        return true;
    }

    void onEvent(ModuleEvent e) override {
        if (e == ModuleEvent::DropLinks)
            sim_.log(m_.tag() + " serial: a serial line cannot be dropped");
    }

    std::string describe() const override { return m_.tag() + ":pty=" + path_; }

  private:
    void onRead() {
        uint8_t buf[1024];
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            if (LinkSession* s = sim_.session(session_)) s->bytesIn(buf, size_t(n));
        }
    }

    void write(const std::vector<uint8_t>& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (!full_) sim_.log(m_.tag() + " serial: nobody reads the line; frames dropped");
                full_ = true;
                return;
            }
        }
        full_ = false;
    }

    Simulator& sim_;
    Module& m_;
    int master_ = -1, slave_ = -1;
    bool full_ = false;
    std::string path_;
    uint64_t session_ = 0;
};

// Answers the TCP/IP probe (16 bytes to 232.2.2.2:9888) for every module with a TCP port that is
// up, with a 16-byte answer to the prober's port 9889.
class ProbeEndpoint : public Endpoint {
  public:
    ProbeEndpoint(Simulator& sim, in_addr iface) : sim_(sim), iface_(iface) {}
    ~ProbeEndpoint() override {
        if (fd_ >= 0) {
            sim_.loop().unwatch(fd_);
            ::close(fd_);
        }
        if (out_ >= 0) ::close(out_);
    }

    bool open(std::string& error) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        out_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || out_ < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(9888);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            error = std::string("bind to UDP port 9888: ") + std::strerror(errno);
            return false;
        }
        ip_mreq mr{};
        inet_pton(AF_INET, "232.2.2.2", &mr.imr_multiaddr);
        mr.imr_interface = iface_;
        if (setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof mr) != 0) {
            error = std::string("joining 232.2.2.2: ") + std::strerror(errno);
            return false;
        }
        sockaddr_in b{};
        b.sin_family = AF_INET;
        b.sin_addr = iface_;
        if (::bind(out_, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0) {
            error = std::string("bind to the probe interface: ") + std::strerror(errno);
            return false;
        }
        sim_.loop().watch(fd_, POLLIN, [this](short) { onProbe(); });
        return true;
    }

    void onEvent(ModuleEvent) override {}
    std::string describe() const override {
        char b[32];
        inet_ntop(AF_INET, &iface_, b, sizeof b);
        return std::string("probe=") + b;
    }

  private:
    void onProbe() {
        uint8_t buf[64];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n != 16 || buf[0] != 1) return;
        char who[32];
        inet_ntop(AF_INET, &from.sin_addr, who, sizeof who);
        sim_.log(std::string("probe from ") + who);
        from.sin_port = htons(9889);
        for (const auto& m : sim_.modules()) {
            uint16_t port = 0;
            if (!m->up() || !sim_.tcpListening(*m, port)) continue;
            uint8_t ans[16] = {};
            ans[0] = 1;
            ans[1] = m->address();
            ans[2] = uint8_t(port);
            ans[3] = uint8_t(port >> 8);
            uint32_t s = m->serial();
            for (int i = 0; i < 4; ++i) ans[4 + i] = uint8_t(s >> (8 * i));
            std::memcpy(ans + 8, &iface_.s_addr, 4);
            ans[12] = m->config().model;
            ::sendto(out_, ans, sizeof ans, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
        }
    }

    Simulator& sim_;
    in_addr iface_;
    int fd_ = -1, out_ = -1;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Simulator

Simulator::Simulator(const SimConfig& cfg) : cfg_(cfg) {
    for (const ModuleConfig& mc : cfg_.modules)
        modules_.push_back(std::make_unique<Module>(mc, *this));
    for (auto& m : modules_) {
        if (m->config().behind == 0) continue;
        for (auto& r : modules_)
            if (r->serial() == m->config().behind) r->addChild(m.get());
    }
}

Simulator::~Simulator() {
    probe_.reset();
    endpoints_.clear();
    sessions_.clear();
    graveyard_.clear();
    usbBus_.reset();
}

uint16_t Simulator::vendorId() const {
    return cfg_.vendorId != 0 ? cfg_.vendorId : HALVORINE_VENDOR_ID;
}

bool Simulator::start(std::string& error) {
    std::string listen = cfg_.listenAddress;
    if (listen.empty()) listen = cfg_.probeInterface.empty() ? "127.0.0.1" : cfg_.probeInterface;
    if (inet_pton(AF_INET, listen.c_str(), &listen_) != 1) {
        error = "not an IPv4 address: " + listen;
        return false;
    }
    for (auto& m : modules_) {
        const ModuleConfig& c = m->config();
        if (c.tcp) {
            auto ep = std::make_unique<TcpEndpoint>(*this, *m);
            if (!ep->open(error)) return false;
            endpoints_.emplace(m.get(), std::move(ep));
        }
        if (c.serialLink) {
            auto ep = std::make_unique<PtyEndpoint>(*this, *m);
            if (!ep->open(error)) return false;
            endpoints_.emplace(m.get(), std::move(ep));
        }
        if (c.usb) {
            std::unique_ptr<Endpoint> ep = makeUsbEndpoint(*this, *m, error);
            if (!ep) return false;
            endpoints_.emplace(m.get(), std::move(ep));
        }
    }
    if (!cfg_.probeInterface.empty()) {
        in_addr iface{};
        if (inet_pton(AF_INET, cfg_.probeInterface.c_str(), &iface) != 1) {
            error = "not an IPv4 address: " + cfg_.probeInterface;
            return false;
        }
        auto p = std::make_unique<ProbeEndpoint>(*this, iface);
        if (!p->open(error)) return false;
        probe_ = std::move(p);
    }
    return true;
}

std::string Simulator::readyLine() const {
    std::string line = "hvmodsim ready";
    for (const auto& m : modules_) {
        auto range = endpoints_.equal_range(m.get());
        for (auto it = range.first; it != range.second; ++it) line += " " + it->second->describe();
        if (m->config().behind != 0) {
            char b[48];
            std::snprintf(b, sizeof b, " %08X:behind=%08X@%u", m->serial(), m->config().behind,
                          unsigned(m->address()));
            line += b;
        }
    }
    if (probe_) line += " " + probe_->describe();
    if (!usbDir_.empty()) line += " UMOCKDEV_DIR=" + usbDir_;
    return line;
}

bool Simulator::tcpListening(const Module& m, uint16_t& port) const {
    auto range = endpoints_.equal_range(&m);
    for (auto it = range.first; it != range.second; ++it)
        if (auto* t = dynamic_cast<TcpEndpoint*>(it->second.get())) return t->listening(port);
    return false;
}

void Simulator::dumpAllFlash() {
    for (auto& m : modules_) m->dumpFlash();
}

uint64_t Simulator::after(uint64_t ms, std::function<void()> fn) {
    return loop_.after(ms, std::move(fn));
}

void Simulator::sendOn(uint64_t channel, const Packet& p) {
    if (LinkSession* s = session(channel)) s->send(p);
}

void Simulator::log(const std::string& line) {
    if (!cfg_.verbose) return;
    std::fprintf(stderr, "hvmodsim: %s\n", line.c_str());
    std::fflush(stderr);
}

void Simulator::event(Module& m, ModuleEvent e) {
    if (e == ModuleEvent::HeartbeatChanged) {
        for (auto& s : sessions_)
            if (&s.second->owner() == &m) s.second->restartHeartbeat();
        return;
    }
    auto range = endpoints_.equal_range(&m);
    for (auto it = range.first; it != range.second; ++it) it->second->onEvent(e);
}

uint64_t Simulator::openSession(Module& m, bool framed, const std::string& where,
                                LinkSession::Writer writer) {
    uint64_t id = nextSession_++;
    sessions_[id] = std::make_unique<LinkSession>(*this, m, id, framed, where, std::move(writer));
    return id;
}

void Simulator::closeSession(uint64_t id) {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    it->second->close();
    // The session may be on the call stack (a packet that made the module drop its link), so it
    // is destroyed from the loop, not here.
    graveyard_.push_back(std::move(it->second));
    sessions_.erase(it);
    loop_.after(0, [this] { graveyard_.clear(); });
}

LinkSession* Simulator::session(uint64_t id) {
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : it->second.get();
}

void Simulator::dropRequested(Module& m) {
    if (!dropped_.insert(&m).second) return;
    log(m.tag() + ": fault: dropping the link");
    event(m, ModuleEvent::DropLinks);
}

}  // namespace modsim
