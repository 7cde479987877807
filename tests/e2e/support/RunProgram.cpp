#include "RunProgram.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
std::string sReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
}  // namespace

std::string UpdaterBinary() {
    return std::string(HV_BINARY_DIR) + "/app/Updater";
}

TempDirectory::TempDirectory(const char* prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "_XXXXXX";
    if (mkdtemp(&pattern[0])) path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
}

ProgramResult RunProgram(const std::string& binary, const std::vector<std::string>& args,
                         const ProgramOptions& options) {
    std::vector<std::string> env{"PATH=/usr/bin:/bin"};
    for (const char* name :
         {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS", "HOME", "TMPDIR"})
        if (const char* value = getenv(name)) env.push_back(std::string(name) + "=" + value);
    for (const std::string& e : options.env) env.push_back(e);
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    const std::string dir = options.workDir.empty() ? "/tmp" : options.workDir;
    char outPattern[] = "/tmp/hv_run_out_XXXXXX", errPattern[] = "/tmp/hv_run_err_XXXXXX";
    int outFd = mkstemp(outPattern), errFd = mkstemp(errPattern);
    ProgramResult result;
    if (outFd < 0 || errFd < 0) return result;

    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || chdir(dir.c_str()) != 0) _exit(126);
        dup2(in, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        execve(binary.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(outFd);
    close(errFd);
    if (pid > 0) {
        int status = 0;
        bool exited = false;
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            struct pollfd p = {pidfd, POLLIN, 0};
            exited = poll(&p, 1, options.timeoutMs) == 1;
            close(pidfd);
        }
        if (!exited) kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        result.timedOut = !exited;
        if (exited && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    }
    result.out = sReadFile(outPattern);
    result.err = sReadFile(errPattern);
    unlink(outPattern);
    unlink(errPattern);
    return result;
}
