// The real Updater binary on its command line: usage, rejected options and the checks each command
// makes before it needs a module or a server. Each run gets its own temporary directory as HOME.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char kBanner[] = "Updater (Version: 2.12.1 Feb 11 2026)\n";

std::string sReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string sGolden(const char* name) {
    return sReadFile(fs::path(HV_SOURCE_DIR) / "tests/unit/cli/golden" / name);
}

struct RunResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally in time
    std::string out, err;
};

struct RunOptions {
    bool withHome = true;
    uid_t uid = 0;  // run as this user id when non-zero (needs root)
};

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/updater_cli_e2e_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        chmod(dir_.c_str(), 0777);  // also usable by a run under another user id
        home_ = dir_ / "home";
        fs::create_directory(home_);
        chmod(home_.c_str(), 0777);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string store() const { return (dir_ / "store").string(); }

    RunResult run(const std::vector<std::string>& args, RunOptions options = {}) {
        const std::string binary = std::string(HV_BINARY_DIR) + "/app/Updater";
        std::vector<std::string> env{"PATH=/usr/bin:/bin"};
        if (options.withHome) env.push_back("HOME=" + home_.string());
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* value = getenv(name)) env.push_back(std::string(name) + "=" + value);
        std::vector<char*> argv{const_cast<char*>(binary.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        const fs::path outPath = dir_ / "stdout", errPath = dir_ / "stderr";

        RunResult result;
        pid_t pid = fork();
        if (pid < 0) return result;
        if (pid == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (in < 0 || out < 0 || err < 0) _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            if (chdir(dir_.c_str()) != 0) _exit(126);
            umask(022);
            if (options.uid != 0 && (setgid(options.uid) != 0 || setuid(options.uid) != 0))
                _exit(126);
            execve(binary.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        // Wait at most 20 s; a hung run is killed and reported.
        int status = 0;
        bool exited = false;
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            struct pollfd p = {pidfd, POLLIN, 0};
            exited = poll(&p, 1, 20000) == 1;
            close(pidfd);
        } else {
            for (int i = 0; i < 2000 && !exited; ++i) {
                exited = waitpid(pid, &status, WNOHANG) == pid;
                if (!exited) usleep(10000);
            }
            if (exited) pidfd = -2;  // already reaped
        }
        if (!exited) kill(pid, SIGKILL);
        if (pidfd != -2) waitpid(pid, &status, 0);
        EXPECT_TRUE(exited) << "Updater did not finish in time";
        if (exited && WIFEXITED(status)) result.status = WEXITSTATUS(status);
        result.out = sReadFile(outPath);
        result.err = sReadFile(errPath);
        return result;
    }

    // A user id without an entry in the user database, for runs that take the home directory from
    // HOME; 0 when the test cannot switch users.
    static uid_t sUnknownUser() {
        if (geteuid() != 0) return 0;
        for (uid_t uid = 54321; uid < 54400; ++uid)
            if (!getpwuid(uid)) return uid;
        return 0;
    }

    fs::path dir_, home_;
};

// A server address on loopback that refuses connections, so failed downloads end at once.
const char kDeadServer[] = "http://127.0.0.1:1/cgi/u";

const std::string kCopyrightPrefix = "Copyright";

// Banner and copyright on standard output.
void sExpectBannerAndCopyright(const std::string& out) {
    ASSERT_EQ(0u, out.rfind(kBanner, 0)) << out;
    std::string rest = out.substr(strlen(kBanner));
    EXPECT_EQ(0u, rest.rfind(kCopyrightPrefix, 0)) << out;
    EXPECT_NE(std::string::npos, rest.find("Kestrova")) << out;
    EXPECT_EQ(rest.size() - 1, rest.find('\n')) << "exactly one copyright line: " << out;
}

TEST_F(CliTest, NoArgumentsShowsShortUsage) {
    RunResult r = run({});
    EXPECT_EQ(0, r.status);
    sExpectBannerAndCopyright(r.out);
    EXPECT_EQ(sGolden("usage_short.txt"), r.err);
    EXPECT_FALSE(fs::exists(home_ / ".kestrova"));  // nothing is created for the usage
}

TEST_F(CliTest, HelpOptionsShowFullUsage) {
    const std::string full = sGolden("usage_full.txt");
    for (const char* help : {"-h", "-H", "--help", "--he"}) {
        RunResult r = run({help});
        EXPECT_EQ(0, r.status) << help;
        sExpectBannerAndCopyright(r.out);
        EXPECT_EQ(full, r.err) << help;
    }
    // A help option ends the parse: what follows is not read, so -X after it changes nothing.
    RunResult r = run({"-h", "-X", "0x10000", "-d", "zz"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(full, r.err);
}

TEST_F(CliTest, DebugMaskBeforeHelpShowsExtendedUsage) {
    RunResult r = run({"-X", "0x10000", "-h"});
    EXPECT_EQ(0, r.status);
    sExpectBannerAndCopyright(r.out);
    const std::string log = "\nApplication parameters:[Updater]\n\t[" + std::string(HV_BINARY_DIR) +
                            "/app/Updater]\n\t[-X]\n\t[0x10000]\n\t[-h]\n";
    EXPECT_EQ(log + sGolden("usage_full_extended.txt"), r.err);
}

TEST_F(CliTest, RejectionBeforeHelpIsShownButHelpWins) {
    RunResult r = run({"-d", "zz", "-h"});
    EXPECT_EQ(0, r.status);
    sExpectBannerAndCopyright(r.out);
    EXPECT_EQ("Invalid serial number obtained from argument [zz]\n" + sGolden("usage_full.txt"),
              r.err);
}

TEST_F(CliTest, RejectedOptionsFailWithShortUsage) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"-d", "0"}, "Invalid serial number obtained from argument [0]"},
        {{"-d", "12G4"}, "Invalid serial number obtained from argument [12G4]"},
        {{"-d", "0x12G4"}, "Invalid serial number obtained from argument [12G4]"},
        {{"-D", "-d=0X0"}, "Invalid serial number obtained from argument [0]"},
        {{"-r", "0"}, "Invalid router serial number obtained from argument [0]"},
        {{"-r", "0xZZ"}, "Invalid router serial number obtained from argument [ZZ]"},
        {{"-r", "D2720"}, nullptr},  // valid: for contrast, nothing is rejected
        {{"-t", "usb"},
         "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, "
         "RECOVER"},
        {{"-Y"}, "Unhandled command: [-Y]"},
    };
    for (const auto& c : cases) {
        RunResult r = run(c.args);
        sExpectBannerAndCopyright(r.out);
        if (!c.message) {
            EXPECT_EQ(0, r.status);
            EXPECT_EQ(sGolden("usage_short.txt"), r.err);
            continue;
        }
        EXPECT_EQ(1, r.status) << c.message;
        EXPECT_EQ(std::string(c.message) + "\n" + sGolden("usage_short.txt"), r.err);
        EXPECT_FALSE(fs::exists(home_ / ".kestrova"));
    }
}

TEST_F(CliTest, OverridePrefixIsAcceptedAndNamesNoCommand) {
    RunResult r = run({"-OVER"});
    EXPECT_EQ(0, r.status);
    sExpectBannerAndCopyright(r.out);
    EXPECT_EQ(sGolden("usage_short.txt"), r.err);
}

TEST_F(CliTest, CommandsThatDoNothingPrintOnlyTheBanner) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-I"}, {"-C"}, {"-Z", "x"}}) {
        fs::remove_all(store());
        std::vector<std::string> withStore = args;
        withStore.insert(withStore.end(), {"-i", store()});
        RunResult r = run(withStore);
        EXPECT_EQ(0, r.status) << args[0];
        EXPECT_EQ(kBanner, r.out) << args[0];
        EXPECT_EQ("", r.err) << args[0];
        EXPECT_TRUE(fs::is_directory(fs::path(store()) / "updater")) << args[0];
    }
}

TEST_F(CliTest, CommandsMissingWhatTheyNeed) {
    const std::string shortUsage = sGolden("usage_short.txt");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-G"}, "-G must specify a specific device via -d\n--help for usage information\n"},
        {{"-U"}, "Must specify the specific device to be updated\n"},
        {{"-U", "-t", "USB"}, "Must specify the specific device to be updated\n"},
        {{"-B"}, "Error must supply a serial number for the List Builds command\n" + shortUsage},
        {{"-L"},
         "Error must supply a serial number for the List Local Builds command\n" + shortUsage},
        {{"-N"}, "Must specify the serial port used for connecting\n"},
        // "-N" fails first and nothing further runs.
        {{"-N", "-G", "-d", "40F5849A"}, "Must specify the serial port used for connecting\n"},
        // "-d" followed by an option is dropped, so "-G" has no device.
        {{"-G", "-d", "-U"},
         "-G must specify a specific device via -d\n--help for usage information\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", store()});
        RunResult r = run(args);
        EXPECT_EQ(1, r.status) << c.args[0];
        EXPECT_EQ(kBanner, r.out) << c.args[0];
        EXPECT_EQ(c.err, r.err) << c.args[0];
    }
}

TEST_F(CliTest, DownloadAnnouncesDeviceAndBuild) {
    RunResult r = run({"-G", "-d", "0x40f5849a", "-u", kDeadServer, "-i", store()});
    EXPECT_EQ(0u, r.out.rfind(std::string(kBanner) +
                                  "Retrieving firmware for device with serial number 40F5849A\n"
                                  "No build specified\nUsing Latest build\n",
                              0))
        << r.out;
    r = run({"-G", "-d", "1", "-b", "0099", "-u", kDeadServer, "-i", store()});
    EXPECT_NE(std::string::npos, r.out.find("Retrieving firmware build 99\n")) << r.out;
}

TEST_F(CliTest, FailedDownloadDecidesTheStatusOnlyWithoutALaterCommand) {
    RunResult r = run({"-G", "-d", "40F5849A", "-u", kDeadServer, "-i", store()});
    EXPECT_EQ(1, r.status);
    // Discovery ends the run with 0 whatever happened to the download.
    r = run({"-G", "-D", "-d", "40F5849A", "-u", kDeadServer, "-i", store()});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Searching for Halvorine devices\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Discovered Devices: (USB)\n")) << r.out;
}

TEST_F(CliTest, SilentChipLetsLaterCommandsRun) {
    const std::string port = (dir_ / "no-such-port").string();
    RunResult r = run({"-N", "-s", port, "-B", "-u", kDeadServer, "-i", store()});
    EXPECT_EQ(1, r.status);
    size_t silent = r.err.find("Got no response from chip\n");
    size_t later = r.err.find("Error must supply a serial number for the List Builds command\n");
    ASSERT_NE(std::string::npos, silent) << r.err;
    ASSERT_NE(std::string::npos, later) << r.err;
    EXPECT_LT(silent, later);
}

TEST_F(CliTest, StoreRootThatCannotBeCreated) {
    const fs::path blocker = dir_ / "file";
    std::ofstream(blocker) << "not a directory";
    RunResult r = run({"-D", "-i", blocker.string()});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(kBanner, r.out);
    EXPECT_EQ("Could not find updater directory at " + blocker.string() + "/updater\n", r.err);
}

TEST_F(CliTest, DefaultStoreRootIsUnderTheHomeDirectory) {
    uid_t uid = sUnknownUser();
    if (uid == 0) GTEST_SKIP() << "needs root to run as a user without a user-database entry";
    RunResult r = run({"-I"}, {true, uid});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(kBanner, r.out);
    EXPECT_EQ("", r.err);
    const fs::path root = home_ / ".kestrova" / "updater";
    ASSERT_TRUE(fs::is_directory(root));
    struct stat st;
    ASSERT_EQ(0, stat(root.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    EXPECT_EQ(uid, st.st_uid);
}

TEST_F(CliTest, UnreadableHomeDirectoryFailsWithOnlyALogLine) {
    uid_t uid = sUnknownUser();
    if (uid == 0) GTEST_SKIP() << "needs root to run as a user without a user-database entry";
    RunResult r = run({"-D"}, {false, uid});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(kBanner, r.out);
    EXPECT_EQ("", r.err);
    r = run({"-X", "0x10000", "-D"}, {false, uid});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(kBanner, r.out);
    const std::string line = "Updater: FailedaDirectory_GetHomeDirectory()==> ";
    size_t at = r.err.find(line);
    ASSERT_NE(std::string::npos, at) << r.err;
    std::string code = r.err.substr(at + line.size());
    EXPECT_NE("0\n", code);
    EXPECT_EQ(code.size() - 1, code.find('\n')) << "the log line ends the output";
}

}  // namespace
