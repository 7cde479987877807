#include "Config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

namespace modsim {

const char* const kUsage =
    "usage: hvmodsim [-v] [--probe ADDR] [--listen ADDR] [--vendor ID] [--config FILE]\n"
    "                --module KEY=VALUE[,KEY=VALUE...] [--module ...]\n"
    "Module keys: serial (hex), model, address, version (a.b.c or packed 0x...), build, name,\n"
    "  features, uei_bytes (0/1), block, load_base, mode (firmware/loader), link (tcp, usb,\n"
    "  serial, joined with +), port, behind (router serial), heartbeat (ms), loader_delay (ms),\n"
    "  reboot_delay (ms), pid, loader_pid, uid (w0:w1:w2:w3 hex), flash (dump path),\n"
    "  fault-sum, fault-nodata, fault-noprepare, fault-nowrite, fault-shortack (N or N+),\n"
    "  fault-drop (packets), fault-busy (1), fault-slowflash (ms),\n"
    "  fault-load (reconnect/never), fault-noreturn (1), fault-nouei (1)\n";

uint32_t packVersion(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | (uint32_t(major) << 16) | (uint32_t(minor) << 8) | patch;
    return (uint32_t(major & 0xF) << 28) | (uint32_t(minor & 0xF) << 24) | patch;
}

namespace {

bool toNumber(const std::string& s, int base, uint64_t max, uint64_t& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > max || s[0] == '-') return false;
    out = v;
    return true;
}

bool toNth(const std::string& s, Nth& out) {
    std::string n = s;
    out.onward = false;
    if (!n.empty() && n.back() == '+') {
        out.onward = true;
        n.pop_back();
    }
    uint64_t v;
    if (!toNumber(n, 10, 0xFFFFFFFFu, v)) return false;
    out.n = uint32_t(v);
    return true;
}

bool toVersion(const std::string& s, uint32_t& out) {
    uint64_t v;
    if (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0) {
        if (!toNumber(s.substr(2), 16, 0xFFFFFFFFu, v)) return false;
        out = uint32_t(v);
        return true;
    }
    size_t a = s.find('.'), b = s.find('.', a == std::string::npos ? a : a + 1);
    if (a == std::string::npos || b == std::string::npos) return false;
    uint64_t ma, mi, pa;
    if (!toNumber(s.substr(0, a), 10, 255, ma) ||
        !toNumber(s.substr(a + 1, b - a - 1), 10, 255, mi) ||
        !toNumber(s.substr(b + 1), 10, 255, pa))
        return false;
    out = packVersion(uint8_t(ma), uint8_t(mi), uint8_t(pa));
    return true;
}

// Splits at commas not preceded by a backslash; "\," stands for a comma.
std::vector<std::string> splitSpec(const std::string& spec) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < spec.size(); ++i) {
        if (spec[i] == '\\' && i + 1 < spec.size() && spec[i + 1] == ',') {
            parts.back() += ',';
            ++i;
        } else if (spec[i] == ',') {
            parts.emplace_back();
        } else {
            parts.back() += spec[i];
        }
    }
    return parts;
}

bool readConfigFile(const std::string& path, std::vector<std::string>& args, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read config file " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        size_t s = line.find_first_not_of(" \t\r");
        if (s == std::string::npos || line[s] == '#') continue;
        line = line.substr(s);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t sp = line.find_first_of(" \t");
        if (sp == std::string::npos) {
            args.push_back(line);
        } else {
            args.push_back(line.substr(0, sp));
            size_t v = line.find_first_not_of(" \t", sp);
            args.push_back(line.substr(v));
        }
    }
    return true;
}

}  // namespace

bool parseModuleSpec(const std::string& spec, size_t index, ModuleConfig& m, std::string& error) {
    m = ModuleConfig();
    m.serial = 0x10000001u + uint32_t(index);
    m.version = packVersion(2, 15, 0);
    m.uid[0] = 0x4B455354u;
    bool haveName = false;
    for (const std::string& kv : splitSpec(spec)) {
        if (kv.empty()) continue;
        size_t eq = kv.find('=');
        if (eq == std::string::npos) {
            error = "module key without value: " + kv;
            return false;
        }
        std::string k = kv.substr(0, eq), v = kv.substr(eq + 1);
        uint64_t n = 0;
        bool ok = true;
        auto num = [&](int base, uint64_t max) { return ok = toNumber(v, base, max, n); };
        if (k == "serial") {
            std::string h = (v.rfind("0x", 0) == 0) ? v.substr(2) : v;
            if ((ok = toNumber(h, 16, 0xFFFFFFFFu, n)) && n != 0)
                m.serial = uint32_t(n);
            else
                ok = false;
        } else if (k == "model") {
            if (num(0, 255)) m.model = uint8_t(n);
        } else if (k == "address") {
            if (num(0, 254) && n != 0 && n % 2 == 0)
                m.address = uint8_t(n);
            else
                ok = false;
        } else if (k == "version") {
            ok = toVersion(v, m.version);
        } else if (k == "build") {
            if (num(0, 0xFFFFFFFFu)) m.build = uint32_t(n);
        } else if (k == "name") {
            if (v.size() > 32) ok = false;
            m.name = v;
            haveName = true;
        } else if (k == "features") {
            if (num(0, 0xFFFFFFFFu)) m.features = uint32_t(n);
        } else if (k == "uei_bytes") {
            if (num(10, 1)) m.ueiBytes = n == 1;
        } else if (k == "fault-nouei") {
            if (num(10, 1)) m.ueiBytes = n == 0;
        } else if (k == "block") {
            if (num(0, 65535)) m.blockSize = uint16_t(n);
        } else if (k == "load_base") {
            if (num(0, 0xFFFFFFFFu)) m.loadBase = uint32_t(n);
        } else if (k == "mode") {
            if (v == "loader")
                m.startInLoader = true;
            else if (v == "firmware")
                m.startInLoader = false;
            else
                ok = false;
        } else if (k == "link") {
            m.tcp = m.usb = m.serialLink = false;
            size_t p = 0;
            while (ok && p <= v.size()) {
                size_t q = v.find('+', p);
                std::string t = v.substr(p, q == std::string::npos ? std::string::npos : q - p);
                if (t == "tcp")
                    m.tcp = true;
                else if (t == "usb")
                    m.usb = true;
                else if (t == "serial")
                    m.serialLink = true;
                else
                    ok = false;
                if (q == std::string::npos) break;
                p = q + 1;
            }
        } else if (k == "port") {
            if (num(10, 65535)) m.tcpPort = uint16_t(n);
        } else if (k == "behind") {
            std::string h = (v.rfind("0x", 0) == 0) ? v.substr(2) : v;
            if ((ok = toNumber(h, 16, 0xFFFFFFFFu, n)) && n != 0)
                m.behind = uint32_t(n);
            else
                ok = false;
        } else if (k == "heartbeat") {
            if (num(10, 3600000)) m.heartbeatMs = uint32_t(n);
        } else if (k == "loader_delay") {
            if (num(10, 600000)) m.loaderDelayMs = uint32_t(n);
        } else if (k == "reboot_delay") {
            if (num(10, 600000)) m.rebootDelayMs = uint32_t(n);
        } else if (k == "pid") {
            if (num(0, 0x7FFF)) m.productId = int(n);
        } else if (k == "loader_pid") {
            if (num(0, 0xFFFF)) m.loaderProductId = int(n);
        } else if (k == "uid") {
            size_t p = 0;
            for (int i = 0; i < 4 && ok; ++i) {
                size_t q = v.find(':', p);
                if ((q == std::string::npos) != (i == 3)) {
                    ok = false;
                    break;
                }
                ok = toNumber(v.substr(p, q == std::string::npos ? std::string::npos : q - p), 16,
                              0xFFFFFFFFu, n);
                m.uid[i] = uint32_t(n);
                p = q + 1;
            }
        } else if (k == "flash") {
            ok = !v.empty();
            m.flashPath = v;
        } else if (k == "fault-sum") {
            ok = toNth(v, m.faults.badSum);
        } else if (k == "fault-nodata") {
            ok = toNth(v, m.faults.noData);
        } else if (k == "fault-noprepare") {
            ok = toNth(v, m.faults.noPrepare);
        } else if (k == "fault-nowrite") {
            ok = toNth(v, m.faults.noWrite);
        } else if (k == "fault-shortack") {
            ok = toNth(v, m.faults.shortAck);
        } else if (k == "fault-drop") {
            if (num(10, 0xFFFFFFFFu)) m.faults.dropAfter = uint32_t(n);
        } else if (k == "fault-busy") {
            if (num(10, 1)) m.faults.busy = n == 1;
        } else if (k == "fault-slowflash") {
            if (num(10, 600000)) m.faults.slowFlashMs = uint32_t(n);
        } else if (k == "fault-load") {
            if (v == "reconnect")
                m.faults.load = LoadFault::AfterReconnect;
            else if (v == "never")
                m.faults.load = LoadFault::Never;
            else
                ok = false;
        } else if (k == "fault-noreturn") {
            if (num(10, 1)) m.faults.noReturn = n == 1;
        } else {
            error = "unknown module key: " + k;
            return false;
        }
        if (!ok) {
            error = "bad value for module key " + k + ": " + v;
            return false;
        }
    }
    if (!m.tcp && !m.usb && !m.serialLink && m.behind == 0) m.tcp = true;
    if (m.behind != 0 && (m.tcp || m.usb || m.serialLink)) {
        error = "a module behind a router has no link of its own";
        return false;
    }
    if (!haveName) {
        char b[24];
        std::snprintf(b, sizeof b, "Sim %08X", m.serial);
        m.name = b;
    }
    if (m.uid[1] == 0 && m.uid[2] == 0 && m.uid[3] == 0) {
        m.uid[1] = 0x524F5641u;
        m.uid[2] = m.serial;
        m.uid[3] = uint32_t(m.model) << 8 | m.address;
    }
    if (m.productId < 0) m.productId = m.model;
    if (m.loaderProductId < 0) m.loaderProductId = m.productId;
    return true;
}

bool parseArgs(const std::vector<std::string>& argsIn, SimConfig& out, std::string& error) {
    out = SimConfig();
    std::vector<std::string> args;
    for (size_t i = 0; i < argsIn.size(); ++i) {
        if (argsIn[i] == "--config") {
            if (i + 1 >= argsIn.size()) {
                error = "--config needs a file";
                return false;
            }
            if (!readConfigFile(argsIn[++i], args, error)) return false;
        } else {
            args.push_back(argsIn[i]);
        }
    }
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        std::string v;
        if (a == "-v" || a == "--verbose") {
            out.verbose = true;
        } else if (a == "--module") {
            if (!value(v)) return false;
            ModuleConfig m;
            if (!parseModuleSpec(v, out.modules.size(), m, error)) return false;
            out.modules.push_back(m);
        } else if (a == "--probe") {
            if (!value(v)) return false;
            out.probeInterface = v;
        } else if (a == "--listen") {
            if (!value(v)) return false;
            out.listenAddress = v;
        } else if (a == "--vendor") {
            if (!value(v)) return false;
            uint64_t n;
            if (!toNumber(v, 0, 0xFFFF, n) || n == 0) {
                error = "bad vendor id: " + v;
                return false;
            }
            out.vendorId = uint16_t(n);
        } else {
            error = "unknown option: " + a;
            return false;
        }
    }
    if (out.modules.empty()) {
        error = "no module given (--module)";
        return false;
    }
    std::set<uint32_t> serials;
    for (const ModuleConfig& m : out.modules) {
        if (!serials.insert(m.serial).second) {
            error = "two modules with one serial number";
            return false;
        }
    }
    for (const ModuleConfig& m : out.modules) {
        if (m.behind == 0) continue;
        bool found = false;
        for (const ModuleConfig& r : out.modules) {
            if (r.serial != m.behind) continue;
            found = r.behind == 0;
            if (r.address == m.address) {
                error = "a module behind a router shares the router's address";
                return false;
            }
        }
        if (!found) {
            error = "behind= names no router with a link of its own";
            return false;
        }
        for (const ModuleConfig& o : out.modules)
            if (&o != &m && o.behind == m.behind && o.address == m.address) {
                error = "two modules behind one router at one address";
                return false;
            }
    }
    return true;
}

}  // namespace modsim
