#include "Module.h"

#include <cstdio>

#include "BirdWriter.h"
#include "api/aError.h"

namespace modsim {

namespace {

enum : uint8_t {
    kCmdSystem = 3,
    kCmdI2C = 8,
    kCmdDebug = 23,
    kCmdQuery = 73,
    kCmdStore = 92,
    kCmdUpgrade = 95,
};

enum : uint8_t {
    kUpInit = 0,
    kUpData = 1,
    kUpLoad = 2,
    kUpPrepare = 3,
    kUpSum = 4,
    kUpWrite = 5,
    kUpReboot = 6,
    kUpStatus = 7,
    kUpDataUEI = 10,
};

constexpr size_t kBytesLimit = 1u << 20;

bool isNotUEIPayload(uint8_t cmd) {
    switch (cmd) {
        case 0:
        case 1:
        case 2:
        case 4:
        case 8:
        case 9:
        case 23:
        case 24:
        case 73:
        case 94:
        case 95:
        case 173:
        case 175:
            return true;
        default:
            return false;
    }
}

enum class VT { U8, U32, Bytes, Call };
struct OptionInfo {
    uint8_t option;
    VT type;
    bool get, set, subindex;
};

constexpr OptionInfo kSystemOptions[] = {
    {1, VT::U8, true, false, false},    {2, VT::U8, true, true, false},
    {3, VT::U8, true, true, false},     {4, VT::U8, true, true, false},
    {6, VT::U8, true, true, false},     {7, VT::U32, true, false, false},
    {8, VT::U8, true, false, false},    {9, VT::U32, true, false, false},
    {10, VT::Call, false, true, false}, {11, VT::Call, false, true, false},
    {12, VT::U32, true, false, false},  {13, VT::U8, true, false, false},
    {14, VT::U8, true, false, false},   {15, VT::U8, true, true, false},
    {16, VT::U8, true, false, false},   {20, VT::U8, false, true, false},
    {21, VT::U32, true, false, false},  {22, VT::U32, true, false, false},
    {23, VT::U32, true, false, false},  {24, VT::Call, false, true, false},
    {25, VT::U32, true, false, false},  {26, VT::U32, true, false, false},
    {27, VT::U32, true, false, false},  {28, VT::U32, true, false, false},
    {29, VT::U8, true, false, false},   {30, VT::U8, true, true, false},
    {31, VT::Bytes, true, true, false}, {32, VT::Bytes, true, true, false},
    {33, VT::U32, true, false, false},  {34, VT::U32, true, true, false},
    {35, VT::U32, true, false, false},  {37, VT::Call, false, true, false},
    {38, VT::U8, true, true, false},    {39, VT::U32, true, false, true},
    {40, VT::U32, true, false, false},  {41, VT::U32, true, false, false},
    {42, VT::U8, true, true, false},    {43, VT::U32, true, false, false},
    {45, VT::U32, true, false, false},
};

const OptionInfo* findOption(uint8_t option) {
    for (const OptionInfo& o : kSystemOptions)
        if (o.option == option) return &o;
    return nullptr;
}

uint32_t sumOf(const uint8_t* b, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) s += b[i];
    return s;
}

}  // namespace

Module::Module(const ModuleConfig& cfg, Runtime& rt)
    : cfg_(cfg),
      rt_(rt),
      loader_(cfg.startInLoader),
      version_(cfg.version),
      build_(cfg.build),
      name_(cfg.name),
      heartbeatMs_(cfg.heartbeatMs),
      router_(cfg.address),
      bootMs_(rt.nowMs()),
      powerConfig_(16, 0) {}

Module::~Module() {
    if (restartTimer_) rt_.cancel(restartTimer_);
}

std::string Module::tag() const {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", cfg_.serial);
    return b;
}

Module* Module::child(uint8_t address) const {
    for (Module* c : children_)
        if (c->address() == address) return c;
    return nullptr;
}

void Module::handle(const Packet& p, uint64_t ch) {
    if (!up_ || p.size == 0) return;
    switch (p.data[0]) {
        case kCmdQuery:
            query(p, ch);
            return;
        case kCmdDebug:
            send(ch, Packet(cfg_.address, p.data, p.size));
            return;
        case kCmdI2C:
            i2c(p, ch);
            return;
        case kCmdUpgrade:
            upgrade(p, ch);
            return;
        default:
            break;
    }
    if (isNotUEIPayload(p.data[0])) {
        rt_.log(tag() + ": ignored command " + std::to_string(p.data[0]));
        return;
    }
    uei(p, ch);
}

void Module::linkOpened(uint64_t ch) {
    if (loadReplyOwed_ && up_) {
        loadReplyOwed_ = false;
        rt_.log(tag() + ": answering LOAD on the new link");
        send(ch, Packet(cfg_.address, {kCmdUpgrade, kUpLoad}));
    }
}

void Module::sendError(uint64_t ch, uint8_t cmd, uint8_t replyOption, uint8_t index, uint8_t err) {
    send(ch, Packet(cfg_.address, {cmd, replyOption, uint8_t(index | 0x80), err}));
}

void Module::sendBytes(uint64_t ch, uint8_t cmd, uint8_t option, uint8_t index,
                       const std::vector<uint8_t>& value) {
    size_t off = 0;
    uint8_t seq = 0;
    do {
        size_t n = std::min<size_t>(24, value.size() - off);
        Packet r(cfg_.address, {cmd, option, index});
        for (size_t i = 0; i < n; ++i) r.push(value[off + i]);
        off += n;
        r.push(uint8_t((seq & 0x7F) | (off < value.size() ? 0x80 : 0)));
        send(ch, r);
        seq = uint8_t((seq + 1) & 0x7F);
    } while (off < value.size());
}

bool Module::collectBytes(const Packet& p, uint64_t ch, uint8_t replyOption, bool& done) {
    done = false;
    uint8_t cmd = p.data[0], option = p.data[1], index = p.data[2] & 0x1F;
    if (p.size < 4) {
        bytes_.active = false;
        sendError(ch, cmd, replyOption, index, aErrShortCommand);
        return false;
    }
    uint8_t seqByte = p.data[p.size - 1];
    uint8_t seq = seqByte & 0x7F;
    bool more = (seqByte & 0x80) != 0;
    bool same =
        bytes_.active && bytes_.cmd == cmd && bytes_.option == option && bytes_.index == index;
    if (seq == 0) {
        bytes_ = Bytes();
        bytes_.active = true;
        bytes_.cmd = cmd;
        bytes_.option = option;
        bytes_.index = index;
    } else if (!same || seq != bytes_.nextSeq) {
        bytes_.active = false;
        sendError(ch, cmd, replyOption, index, aErrPacket);
        return false;
    }
    bytes_.buf.insert(bytes_.buf.end(), p.data + 3, p.data + p.size - 1);
    if (bytes_.buf.size() > kBytesLimit) {
        bytes_.active = false;
        sendError(ch, cmd, replyOption, index, aErrSize);
        return false;
    }
    bytes_.nextSeq = uint8_t((seq + 1) & 0x7F);
    if (!more) {
        bytes_.active = false;
        done = true;
    }
    return true;
}

void Module::uei(const Packet& p, uint64_t ch) {
    if (p.size < 3) return;
    uint8_t cmd = p.data[0], ob = p.data[1];
    bool get = (ob & 0x40) != 0, set = (ob & 0x80) != 0;
    uint8_t option = ob & 0x3F, index = p.data[2] & 0x1F;
    uint8_t replyOpt = set ? uint8_t(option | 0xC0) : option;
    if (get == set) {
        sendError(ch, cmd, ob, index, aErrParam);
        return;
    }
    if (cmd == kCmdStore) {
        storeRequest(p, ch);
        return;
    }
    if (cmd != kCmdSystem) {
        sendError(ch, cmd, replyOpt, index, aErrInvalidEntity);
        return;
    }
    if (index != 0) {
        sendError(ch, cmd, replyOpt, index, aErrIndexRange);
        return;
    }
    if (get)
        systemGet(option, p, ch);
    else
        systemSet(option, p, ch);
}

void Module::storeRequest(const Packet& p, uint64_t ch) {
    uint8_t option = p.data[1] & 0x3F, index = p.data[2] & 0x1F;
    uint8_t replyOpt = uint8_t(option | 0xC0);
    if (!(p.data[1] & 0x80) || option > 2) {
        sendError(ch, kCmdStore, (p.data[1] & 0x80) ? replyOpt : option, index, aErrInvalidOption);
        return;
    }
    if (p.size != 7) {
        sendError(ch, kCmdStore, replyOpt, index, aErrSize);
        return;
    }
    uint32_t target = get32(p.data + 3);
    if ((target >> 8) != kCmdSystem || (target & 0xFF) != 0) {
        sendError(ch, kCmdStore, replyOpt, index, aErrInvalidEntity);
        return;
    }
    if (option == 1) name_ = cfg_.name;
    send(ch, Packet(cfg_.address, {kCmdStore, replyOpt, index}));
}

void Module::systemGet(uint8_t option, const Packet& p, uint64_t ch) {
    const OptionInfo* info = findOption(option);
    if (!info || !info->get) {
        sendError(ch, kCmdSystem, option, 0, aErrInvalidOption);
        return;
    }
    if (info->type == VT::Bytes) {
        if (option == 32)
            sendBytes(ch, kCmdSystem, option, 0, std::vector<uint8_t>(name_.begin(), name_.end()));
        else
            sendBytes(ch, kCmdSystem, option, 0, powerConfig_);
        return;
    }
    uint8_t sub = 0;
    if (info->subindex) {
        if (p.size != 4) {
            sendError(ch, kCmdSystem, option, 0, aErrSize);
            return;
        }
        sub = p.data[3];
        if (sub > 3) {
            sendError(ch, kCmdSystem, option, 0, aErrIndexRange);
            return;
        }
    }
    uint64_t upMs = rt_.nowMs() - bootMs_;
    uint32_t v = 0;
    switch (option) {
        case 1:
            v = cfg_.address;
            break;
        case 2:
            v = router_;
            break;
        case 3:
            v = std::min<uint32_t>(255, heartbeatMs_ / 100);
            break;
        case 4:
            v = led_;
            break;
        case 6:
            v = bootSlot_;
            break;
        case 7:
            v = version_;
            break;
        case 8:
            v = cfg_.model;
            break;
        case 9:
            v = cfg_.serial;
            break;
        case 12:
            v = 5020000;
            break;  // input voltage, microvolts
        case 13:
            v = 0;
            break;
        case 14:
            v = cfg_.address;
            break;
        case 15:
            v = swOffset_;
            break;
        case 16:
            v = router_;
            break;
        case 21:
            v = 410000;
            break;  // input current, microamps
        case 22:
            v = uint32_t(upMs / 1000);
            break;
        case 23:
            v = 41500000;
            break;  // temperatures, micro-degrees Celsius
        case 25:
            v = 12010000;
            break;
        case 26:
            v = 250000;
            break;
        case 27:
            v = 36250000;
            break;
        case 28:
            v = 21000000;
            break;
        case 29:
            v = 1;
            break;
        case 30:
            v = powerBehavior_;
            break;
        case 33:
            v = 15000000;
            break;
        case 34:
            v = powerLimitMax_;
            break;
        case 35:
            v = 0;
            break;
        case 38:
            v = linkInterface_;
            break;
        case 39:
            v = cfg_.uid[sub];
            break;
        case 40:
            v = 3;
            break;
        case 41:
            v = 0;
            break;
        case 42:
            v = ledMax_;
            break;
        case 43:
            v = build_;
            break;
        case 45:
            v = cfg_.features;
            break;
        default:
            break;
    }
    Packet r(cfg_.address, {kCmdSystem, option, 0});
    if (info->type == VT::U8)
        r.push(uint8_t(v));
    else
        r.push32(v);
    send(ch, r);
}

void Module::systemSet(uint8_t option, const Packet& p, uint64_t ch) {
    const OptionInfo* info = findOption(option);
    uint8_t replyOpt = uint8_t(option | 0xC0);
    if (!info || !info->set) {
        sendError(ch, kCmdSystem, replyOpt, 0, aErrInvalidOption);
        return;
    }
    if (info->type == VT::Bytes) {
        bool done = false;
        if (collectBytes(p, ch, replyOpt, done) && done) {
            std::vector<uint8_t> value;
            value.swap(bytes_.buf);
            systemBytesSet(option, value, ch);
        }
        return;
    }
    size_t want = info->type == VT::U8 ? 1 : info->type == VT::U32 ? 4 : 0;
    if (size_t(p.size - 3) != want) {
        sendError(ch, kCmdSystem, replyOpt, 0, aErrSize);
        return;
    }
    uint32_t v = want == 1 ? p.data[3] : want == 4 ? get32(p.data + 3) : 0;
    Packet ack(cfg_.address, {kCmdSystem, replyOpt, 0});
    switch (option) {
        case 2:
            router_ = uint8_t(v);
            break;
        case 3:
            heartbeatMs_ = v * 100;
            send(ch, ack);
            rt_.event(*this, ModuleEvent::HeartbeatChanged);
            return;
        case 4:
            led_ = uint8_t(v);
            break;
        case 6:
            bootSlot_ = uint8_t(v);
            break;
        case 10:
            break;
        case 11:
            send(ch, ack);
            rt_.log(tag() + ": reset");
            restart(false);
            return;
        case 15:
            swOffset_ = uint8_t(v);
            break;
        case 20:
            if (v > 1) {
                sendError(ch, kCmdSystem, replyOpt, 0, aErrParam);
                return;
            }
            routed_ = v == 1;
            rt_.log(tag() + (routed_ ? ": routing to the host" : ": routing off"));
            break;
        case 24:
            break;
        case 30:
            powerBehavior_ = uint8_t(v);
            break;
        case 34:
            powerLimitMax_ = v;
            break;
        case 37:
            name_ = cfg_.name;
            led_ = 1;
            ledMax_ = 255;
            break;
        case 38:
            linkInterface_ = uint8_t(v);
            break;
        case 42:
            ledMax_ = uint8_t(v);
            break;
        default:
            break;
    }
    send(ch, ack);
}

void Module::systemBytesSet(uint8_t option, const std::vector<uint8_t>& value, uint64_t ch) {
    uint8_t replyOpt = uint8_t(option | 0xC0);
    if (option == 32) {
        if (value.size() > 32) {
            sendError(ch, kCmdSystem, replyOpt, 0, aErrSize);
            return;
        }
        name_.assign(value.begin(), value.end());
    } else {
        if (value.size() % 4 != 0 || value.size() > 64) {
            sendError(ch, kCmdSystem, replyOpt, 0, aErrSize);
            return;
        }
        powerConfig_ = value;
    }
    send(ch, Packet(cfg_.address, {kCmdSystem, replyOpt, 0}));
}

uint8_t Module::hasUEI(uint8_t cmd, uint8_t option, uint8_t index, uint8_t flags) const {
    bool wantGet = (flags & 0x40) != 0, wantSet = (flags & 0x80) != 0;
    if ((flags & 0x3F) != 0 || (wantGet && wantSet)) return aErrParam;
    switch (cmd) {
        case kCmdSystem: {
            if (index != 0) return aErrIndexRange;
            const OptionInfo* info = findOption(option);
            if (!info || (wantGet && !info->get) || (wantSet && !info->set))
                return aErrInvalidOption;
            return aErrNone;
        }
        case kCmdUpgrade:
            if (index != 0) return aErrIndexRange;
            if (option == kUpDataUEI)
                return (cfg_.ueiBytes && !wantGet) ? aErrNone : aErrInvalidOption;
            return aErrInvalidOption;
        case kCmdStore:
            if (index != 0) return aErrIndexRange;
            return (option <= 2 && !wantGet) ? aErrNone : aErrInvalidOption;
        default:
            return aErrInvalidEntity;
    }
}

void Module::query(const Packet& p, uint64_t ch) {
    if (p.size < 2) return;
    uint8_t q = p.data[1];
    Packet r(cfg_.address, p.data, p.size);
    auto expect = [&](uint8_t n) {
        if (p.size == n) return true;
        Packet e(cfg_.address, p.data, std::min<size_t>(p.size, 27));
        e.push(aErrSize);
        send(ch, e);
        return false;
    };
    switch (q) {
        case 255:
            if (!expect(2)) return;
            r.push32(build_);
            break;
        case 1:
            if (!expect(6)) return;
            r = Packet(cfg_.address, p.data, 5);
            r.push(hasUEI(p.data[2], p.data[3], p.data[4], p.data[5]));
            break;
        case 4: {
            if (!expect(3)) return;
            uint8_t c = p.data[2];
            bool known = c == kCmdSystem || c == kCmdUpgrade || c == kCmdStore || c == kCmdDebug ||
                         c == kCmdQuery || c == kCmdI2C;
            r.push(known ? 1 : 0);
            break;
        }
        case 5: {
            if (!expect(4)) return;
            uint8_t c = p.data[2];
            bool known = c == kCmdSystem || c == kCmdUpgrade || c == kCmdI2C;
            r.push(known && p.data[3] == 0 ? 1 : 0);
            break;
        }
        case 6:
            if (!expect(4)) return;
            r.push(0);
            break;
        default:
            if (r.size >= kMaxData) r.size = kMaxData - 1;
            r.push(aErrInvalidOption);
            break;
    }
    send(ch, r);
}

void Module::i2c(const Packet& p, uint64_t ch) {
    if (p.size < 4) return;
    uint8_t index = p.data[1], addr = p.data[2];
    auto reply = [&](uint8_t count, uint8_t status) {
        Packet r(cfg_.address, {kCmdI2C, index, addr, count, status});
        for (uint8_t i = 0; i < count; ++i) r.push(0);
        send(ch, r);
    };
    if (p.size == 4 && addr == 1) {  // pull-up
        reply(0, 0);
        return;
    }
    if (index != 0) {
        reply(0, 0x80 | aErrIndexRange);
        return;
    }
    if (p.size < 5) {
        reply(0, 0x80 | aErrShortCommand);
        return;
    }
    uint8_t length = p.data[3];
    bool read = (addr & 1) != 0;
    Module* target = child(uint8_t(addr & 0xFE));
    if (read) {
        if (p.size != 5 || length > 23) {
            reply(0, 0x80 | aErrSize);
        } else if (!target) {
            reply(0, 0x80 | aErrIO);
        } else {
            reply(length, 0);
        }
        return;
    }
    if (p.size != 5 + length) {
        reply(0, 0x80 | aErrSize);
        return;
    }
    reply(0, target ? 0 : (0x80 | aErrIO));
    char b[64];
    std::snprintf(b, sizeof b, ": I2C write to 0x%02X %s", addr,
                  target ? "acknowledged" : "not acknowledged");
    rt_.log(tag() + b);
}

void Module::upgrade(const Packet& p, uint64_t ch) {
    if (p.size < 2) return;
    uint8_t op = p.data[1];
    const Faults& f = cfg_.faults;
    auto status = [&](uint8_t s) { return Packet(cfg_.address, {kCmdUpgrade, kUpStatus, s}); };
    if (op == (kUpDataUEI | 0x80)) {
        uint8_t replyOpt = kUpDataUEI | 0xC0;
        uint8_t index = p.data[2] & 0x1F;
        bool done = false;
        if (!collectBytes(p, ch, replyOpt, done) || !done) return;
        std::vector<uint8_t> value;
        value.swap(bytes_.buf);
        if (!cfg_.ueiBytes) {
            sendError(ch, kCmdUpgrade, replyOpt, index, aErrInvalidOption);
            return;
        }
        ++dataCount_;
        if (f.noData.hits(dataCount_)) {
            rt_.log(tag() + ": fault: no reply to UEI data");
            return;
        }
        pending_.insert(pending_.end(), value.begin(), value.end());
        pendingSum_ += sumOf(value.data(), value.size());
        send(ch, Packet(cfg_.address, {kCmdUpgrade, replyOpt, index}));
        return;
    }
    switch (op) {
        case kUpInit: {
            pending_.clear();
            pendingSum_ = 0;
            prepared_ = false;
            Packet r(cfg_.address, {kCmdUpgrade, kUpInit});
            r.push32(cfg_.loadBase);
            send(ch, r);
            return;
        }
        case kUpData: {
            if (p.size < 3) return;
            ++dataCount_;
            uint8_t n = uint8_t(p.size - 2);
            if (f.noData.hits(dataCount_)) {
                rt_.log(tag() + ": fault: no reply to DATA " + std::to_string(dataCount_));
                return;
            }
            if (f.shortAck.hits(dataCount_)) {
                rt_.log(tag() + ": fault: short acknowledgement of DATA " +
                        std::to_string(dataCount_));
                send(ch, Packet(cfg_.address, {kCmdUpgrade, kUpData, uint8_t(n - 1)}));
                return;
            }
            if (pending_.size() + n > kBytesLimit) {
                send(ch, Packet(cfg_.address, {kCmdUpgrade, kUpData, 0}));
                return;
            }
            pending_.insert(pending_.end(), p.data + 2, p.data + p.size);
            pendingSum_ += sumOf(p.data + 2, n);
            send(ch, Packet(cfg_.address, {kCmdUpgrade, kUpData, n}));
            return;
        }
        case kUpPrepare: {
            if (p.size != 7) {
                send(ch, status(1));
                return;
            }
            ++prepareCount_;
            if (f.noPrepare.hits(prepareCount_)) {
                rt_.log(tag() + ": fault: no reply to PREPARE " + std::to_string(prepareCount_));
                return;
            }
            writeAddress_ = get32(p.data + 3);
            prepared_ = true;
            pending_.clear();
            pendingSum_ = 0;
            if (loader_ && !imageStartSet_) {
                imageStartSet_ = true;
                imageStart_ = writeAddress_;
            }
            Packet r = status(0);
            r.push16(cfg_.blockSize);
            send(ch, r);
            return;
        }
        case kUpSum: {
            ++sumCount_;
            uint32_t s = pendingSum_;
            if (f.badSum.hits(sumCount_)) {
                rt_.log(tag() + ": fault: wrong sum for SUM " + std::to_string(sumCount_));
                s += 1;
            }
            Packet r = status(0);
            r.push32(s);
            send(ch, r);
            return;
        }
        case kUpWrite: {
            if (p.size != 4) {
                send(ch, status(1));
                return;
            }
            ++writeCount_;
            if (f.noWrite.hits(writeCount_)) {
                rt_.log(tag() + ": fault: no reply to WRITE " + std::to_string(writeCount_));
                return;
            }
            uint16_t count = get16(p.data + 2);
            bool ok = loader_ && prepared_ && count == pending_.size() && count > 0;
            if (ok) {
                flash_.write(writeAddress_, pending_.data(), count);
                char b[80];
                std::snprintf(b, sizeof b, ": wrote %u bytes at %08X", unsigned(count),
                              writeAddress_);
                rt_.log(tag() + b);
                writeAddress_ += count;
                dumpFlash();
            } else {
                rt_.log(tag() + ": WRITE refused (" +
                        (loader_ ? "count differs from the piece" : "not in the loader") + ")");
            }
            pending_.clear();
            pendingSum_ = 0;
            Packet r = status(ok ? 0 : 1);
            if (f.slowFlashMs > 0) {
                rt_.after(f.slowFlashMs, [this, ch, r] { send(ch, r); });
            } else {
                send(ch, r);
            }
            return;
        }
        case kUpLoad: {
            loaderImage_ = pending_;
            pending_.clear();
            pendingSum_ = 0;
            prepared_ = false;
            imageStartSet_ = false;
            loader_ = true;
            rt_.log(tag() + ": loader started (" + std::to_string(loaderImage_.size()) + " bytes)");
            if (f.load == LoadFault::None)
                send(ch, Packet(cfg_.address, {kCmdUpgrade, kUpLoad}));
            else if (f.load == LoadFault::AfterReconnect)
                loadReplyOwed_ = true;
            rt_.event(*this, ModuleEvent::LoaderStarted);
            return;
        }
        case kUpReboot:
            rt_.log(tag() + ": reboot");
            restart(true);
            return;
        default:
            rt_.log(tag() + ": ignored upgrade option " + std::to_string(op));
            return;
    }
}

void Module::dumpFlash() {
    if (cfg_.flashPath.empty()) return;
    std::string err;
    if (!flash_.dump(cfg_.flashPath, err)) rt_.log(tag() + ": flash dump failed: " + err);
}

void Module::applyImage() {
    if (!imageStartSet_) {
        rt_.log(tag() + ": no firmware written; version and build unchanged");
        return;
    }
    std::vector<uint8_t> head = flash_.read(imageStart_, TEST_IMAGE_HEADER_SIZE);
    uint32_t v, b;
    char line[96];
    if (ReadTestFirmwareHeader(head.data(), head.size(), &v, &b)) {
        version_ = v;
        build_ = b;
        std::snprintf(line, sizeof line, ": running image at %08X: version %08X build %u",
                      imageStart_, v, b);
    } else {
        std::snprintf(line, sizeof line, ": no image header at %08X; version and build unchanged",
                      imageStart_);
    }
    rt_.log(tag() + line);
}

void Module::restart(bool runNewImage) {
    up_ = false;
    routed_ = false;
    bytes_ = Bytes();
    pending_.clear();
    pendingSum_ = 0;
    prepared_ = false;
    loadReplyOwed_ = false;
    if (runNewImage) dumpFlash();
    rt_.event(*this, ModuleEvent::Down);
    if (runNewImage && cfg_.faults.noReturn) {
        rt_.log(tag() + ": fault: never comes back");
        return;
    }
    if (restartTimer_) rt_.cancel(restartTimer_);
    restartTimer_ = rt_.after(cfg_.rebootDelayMs, [this, runNewImage] {
        restartTimer_ = 0;
        if (runNewImage && loader_) applyImage();
        loader_ = false;
        imageStartSet_ = false;
        up_ = true;
        bootMs_ = rt_.nowMs();
        rt_.log(tag() + ": up");
        rt_.event(*this, ModuleEvent::Up);
    });
}

}  // namespace modsim
