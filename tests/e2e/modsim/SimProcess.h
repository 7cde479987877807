// SimProcess: runs hvmodsim as a child process for a test, waits for its ready line and stops it
// with SIGTERM on destruction. RawTcp: a byte-level TCP client with bounded waits.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace modsimtest {

using Bytes = std::vector<uint8_t>;

inline uint64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

inline std::string simPath() {
    return std::string(HV_BINARY_DIR) + "/sim/module/hvmodsim";
}

class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess() { stop(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator; false when it exits or prints no ready line within `limitMs`.
    bool start(const std::vector<std::string>& args, uint64_t limitMs = 5000) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        std::string path = simPath();
        std::vector<std::string> all{path};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // The simulator makes its own USB bus; it never runs under a test's preload library.
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string v = *e;
            if (v.rfind("LD_PRELOAD=", 0) != 0 && v.rfind("UMOCKDEV_DIR=", 0) != 0)
                env.push_back(v);
        }
        std::vector<char*> envp;
        for (auto& v : env) envp.push_back(const_cast<char*>(v.c_str()));
        envp.push_back(nullptr);
        uint64_t t0 = nowMs();
        int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        ::close(err[1]);
        outFd_ = out[0];
        errFd_ = err[0];
        fcntl(errFd_, F_SETFL, O_NONBLOCK);
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        std::string line;
        while (nowMs() - t0 < limitMs) {
            pollfd p{outFd_, POLLIN, 0};
            if (poll(&p, 1, int(limitMs - (nowMs() - t0))) <= 0) break;
            char c;
            ssize_t n = ::read(outFd_, &c, 1);
            if (n <= 0) break;
            if (c == '\n') {
                ready_ = line;
                startMs_ = nowMs() - t0;
                parseReady();
                return true;
            }
            line += c;
        }
        return false;
    }

    const std::string& readyLine() const { return ready_; }
    uint64_t startMs() const { return startMs_; }
    // "tcp", "pty" or "usb" endpoint of a module, "" when none.
    std::string where(const std::string& serial, const std::string& kind) const {
        auto it = endpoints_.find(serial + ":" + kind);
        return it == endpoints_.end() ? "" : it->second;
    }
    uint16_t tcpPort(const std::string& serial) const {
        std::string w = where(serial, "tcp");
        size_t c = w.rfind(':');
        return c == std::string::npos ? 0 : uint16_t(std::stoi(w.substr(c + 1)));
    }
    std::string value(const std::string& key) const {
        auto it = values_.find(key);
        return it == values_.end() ? "" : it->second;
    }
    // Whatever the simulator wrote to standard error so far.
    std::string errors() {
        char b[4096];
        ssize_t n;
        while ((n = ::read(errFd_, b, sizeof b)) > 0) err_.append(b, size_t(n));
        return err_;
    }
    pid_t pid() const { return pid_; }

    // SIGTERM and wait; the exit status, or -1 if it had to be killed.
    int stop(uint64_t limitMs = 3000) {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGTERM);
        int st = 0;
        uint64_t t0 = nowMs();
        int result = -1;
        while (true) {
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                result = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                break;
            }
            if (nowMs() - t0 > limitMs) {
                ::kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
                break;
            }
            usleep(5000);
        }
        pid_ = -1;
        if (outFd_ >= 0) ::close(outFd_);
        if (errFd_ >= 0) ::close(errFd_);
        outFd_ = errFd_ = -1;
        return result;
    }

  private:
    // Tokens "SERIAL:KIND=WHERE" and "KEY=VALUE", separated by spaces.
    void parseReady() {
        size_t p = 0;
        while (p < ready_.size()) {
            size_t q = ready_.find(' ', p);
            std::string tok = ready_.substr(p, q == std::string::npos ? std::string::npos : q - p);
            p = q == std::string::npos ? ready_.size() : q + 1;
            size_t eq = tok.find('=');
            if (eq == std::string::npos) continue;
            std::string key = tok.substr(0, eq), val = tok.substr(eq + 1);
            if (key.size() > 9 && key[8] == ':')
                endpoints_[key] = val;
            else
                values_[key] = val;
        }
    }

    pid_t pid_ = -1;
    int outFd_ = -1, errFd_ = -1;
    std::string ready_, err_;
    uint64_t startMs_ = 0;
    std::map<std::string, std::string> endpoints_, values_;
};

class RawTcp {
  public:
    ~RawTcp() { close(); }
    // 0 on success, else the errno of the connect.
    int connect(uint16_t port, const char* host = "127.0.0.1") {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, host, &a.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            int e = errno;
            close();
            return e;
        }
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return 0;
    }
    bool connected() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool send(const Bytes& b) {
        return fd_ >= 0 && ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
    }
    // Up to `n` bytes, waiting at most `limitMs` in all.
    Bytes recv(size_t n, uint64_t limitMs = 1000) {
        Bytes out;
        uint64_t t0 = nowMs();
        while (out.size() < n && fd_ >= 0) {
            uint64_t el = nowMs() - t0;
            if (el >= limitMs) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(limitMs - el)) <= 0) break;
            uint8_t b[256];
            ssize_t r = ::recv(fd_, b, std::min(sizeof b, n - out.size()), 0);
            if (r <= 0) {
                eof_ = true;
                break;
            }
            out.insert(out.end(), b, b + r);
        }
        return out;
    }
    // Sends and reads exactly as many bytes as `expect` has.
    Bytes exchange(const Bytes& req, size_t n, uint64_t limitMs = 1000) {
        send(req);
        return recv(n, limitMs);
    }
    // True when the peer closed the connection within `limitMs`.
    bool closedWithin(uint64_t limitMs) {
        uint64_t t0 = nowMs();
        while (fd_ >= 0 && nowMs() - t0 < limitMs) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(limitMs - (nowMs() - t0))) <= 0) return false;
            uint8_t b[64];
            ssize_t r = ::recv(fd_, b, sizeof b, 0);
            if (r <= 0) return true;
        }
        return false;
    }
    bool eof() const { return eof_; }

  private:
    int fd_ = -1;
    bool eof_ = false;
};

// A module's packet: address, size, data.
inline Bytes pkt(uint8_t address, Bytes data) {
    Bytes b{address, uint8_t(data.size())};
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

}  // namespace modsimtest
