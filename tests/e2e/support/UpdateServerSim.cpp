#include "UpdateServerSim.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

UpdateServerSim::UpdateServerSim() {
    std::string pattern = (fs::temp_directory_path() / "hv-update-sim-XXXXXX").string();
    if (mkdtemp(&pattern[0])) root = pattern;
    dataDir = root + "/data";
    logPath = root + "/queries.log";
    fs::create_directories(dataDir);
}

UpdateServerSim::~UpdateServerSim() {
    Stop();
    std::error_code ignored;
    if (!root.empty()) fs::remove_all(root, ignored);
}

void UpdateServerSim::WriteFile(const std::string& relative, const std::string& bytes) const {
    const fs::path path = fs::path(dataDir) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool UpdateServerSim::Start(const std::vector<std::string>& extraArgs) {
    const std::string program = std::string(HV_BINARY_DIR) + "/sim/update_server/update_server";
    std::vector<std::string> args = {program, "--port", "0", "--dir", dataDir, "--log", logPath};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        close(out[0]);
        close(out[1]);
        error = "fork failed";
        return false;
    }
    if (child == 0) {
        // The simulator must not outlive a test that crashes.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    pid = child;

    // Read the ready line: "READY <port> <url>".
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    std::istringstream words(line);
    std::string ready;
    words >> ready >> port >> url;
    if (ready != "READY" || port <= 0 || url.empty()) {
        error = "the simulator did not get ready: [" + line + "]";
        Stop();
        return false;
    }
    return true;
}

bool UpdateServerSim::Stop() {
    if (pid <= 0) return true;
    kill(pid, SIGTERM);
    // Wait for the exit on a process descriptor, at most 5 s, then kill it outright.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        poll(&p, 1, 5000);
        close(pidfd);
    }
    int status = 0;
    bool clean = false;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    } else {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    pid = -1;
    return clean;
}

std::vector<std::string> UpdateServerSim::Queries() const {
    std::vector<std::string> queries;
    std::ifstream in(logPath, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) queries.push_back(line);
    return queries;
}

int UnusedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}
