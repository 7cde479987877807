#include "Flash.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace modsim {

void Flash::write(uint32_t address, const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    uint64_t last = uint64_t(address) + count;
    if (last > (uint64_t(1) << 32)) count = size_t((uint64_t(1) << 32) - address);
    if (pages_.empty()) {
        low_ = address;
        high_ = uint64_t(address) + count;
    } else {
        if (address < low_) low_ = address;
        if (uint64_t(address) + count > high_) high_ = uint64_t(address) + count;
    }
    for (size_t i = 0; i < count;) {
        uint32_t a = uint32_t(address + i);
        uint32_t page = a / kPage * kPage;
        auto it = pages_.find(page);
        if (it == pages_.end()) {
            it = pages_.emplace(page, std::array<uint8_t, kPage>{}).first;
            it->second.fill(0xFF);
        }
        size_t off = a - page;
        size_t n = std::min(count - i, size_t(kPage) - off);
        std::memcpy(it->second.data() + off, bytes + i, n);
        i += n;
    }
}

std::vector<uint8_t> Flash::read(uint32_t address, size_t count) const {
    std::vector<uint8_t> out(count, 0xFF);
    for (size_t i = 0; i < count;) {
        uint64_t a64 = uint64_t(address) + i;
        if (a64 >= (uint64_t(1) << 32)) break;
        uint32_t a = uint32_t(a64);
        uint32_t page = a / kPage * kPage;
        size_t off = a - page;
        size_t n = std::min(count - i, size_t(kPage) - off);
        auto it = pages_.find(page);
        if (it != pages_.end()) std::memcpy(out.data() + i, it->second.data() + off, n);
        i += n;
    }
    return out;
}

bool Flash::dump(const std::string& path, std::string& error) const {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = tmp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    if (!pages_.empty()) {
        for (uint64_t a = low_; a < high_ && ok;) {
            size_t n = size_t(std::min<uint64_t>(high_ - a, 65536));
            std::vector<uint8_t> chunk = read(uint32_t(a), n);
            size_t done = 0;
            while (done < n) {
                ssize_t w = ::write(fd, chunk.data() + done, n - done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    ok = false;
                    break;
                }
                done += size_t(w);
            }
            a += n;
        }
    }
    if (!ok) error = tmp + ": " + std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = tmp + ": " + std::strerror(errno);
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = path + ": " + std::strerror(errno);
    }
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

}  // namespace modsim
