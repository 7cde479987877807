// hvmodsim on the virtual USB bus: a libusb client, started with the bus's environment from the
// simulator's ready line, sees the module's identity and talks to it over its bulk endpoints.
#include <gtest/gtest.h>

#include "SimProcess.h"

using namespace modsimtest;

namespace {

// Runs the client with the simulator's bus; its output, or "" when it could not be started.
std::string runClient(const std::string& umockdevDir, const std::vector<std::string>& steps) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("UMOCKDEV_DIR=", 0) != 0 && v.rfind("LD_PRELOAD=", 0) != 0 &&
            v.rfind("ASAN_OPTIONS=", 0) != 0)
            env.push_back(v);
    }
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") +
                  "verify_asan_link_order=0");
    env.push_back("UMOCKDEV_DIR=" + umockdevDir);
    env.push_back("LD_PRELOAD=libumockdev-preload.so.0");
    std::vector<char*> envp;
    for (auto& v : env) envp.push_back(const_cast<char*>(v.c_str()));
    envp.push_back(nullptr);
    std::vector<std::string> args{MODSIM_USB_CLIENT, "2f5a", "40F5849A"};
    args.insert(args.end(), steps.begin(), steps.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return "";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    std::string printed;
    if (rc == 0) {
        char buf[256];
        ssize_t n;
        while ((n = ::read(out[0], buf, sizeof buf)) > 0) printed.append(buf, size_t(n));
        int st = 0;
        waitpid(pid, &st, 0);
    }
    ::close(out[0]);
    return printed;
}

class ModsimUsb : public ::testing::Test {
  protected:
    void start(const std::string& extra = "") {
        // Under ThreadSanitizer the simulator's bus runs inside uninstrumented umockdev and GLib,
        // whose own locking it cannot see; the bus's suppressions cover those libraries.
        std::string tsan = std::getenv("TSAN_OPTIONS") ? std::getenv("TSAN_OPTIONS") : "";
        if (tsan.find("suppressions=") == std::string::npos) {
            tsan += std::string(tsan.empty() ? "" : ":") + "suppressions=" + HV_SOURCE_DIR +
                    "/sim/vusb/tsan.supp";
            setenv("TSAN_OPTIONS", tsan.c_str(), 1);
        }
        ASSERT_TRUE(sim.start({"--module",
                               "serial=40F5849A,address=4,model=19,link=usb,loader_pid=0x93,"
                               "loader_delay=200,reboot_delay=200" +
                                   extra}))
            << sim.errors();
        dir = sim.value("UMOCKDEV_DIR");
        ASSERT_FALSE(dir.empty()) << sim.readyLine();
    }
    // The simulator exits 0 on SIGTERM; under a sanitizer a report changes that.
    void TearDown() override { EXPECT_EQ(sim.stop(), 0) << sim.errors(); }
    SimProcess sim;
    std::string dir;
};

}  // namespace

TEST_F(ModsimUsb, AppearsWithTheMakersIdentity) {
    start();
    EXPECT_EQ(sim.where("40F5849A", "usb"), "2f5a:0013");
    EXPECT_EQ(runClient(dir, {"info"}),
              "pid=0013 serial=40F5849A interface=ff/88/10 in=81 out=01\n");
}

TEST_F(ModsimUsb, AnswersOverItsBulkEndpoints) {
    start();
    EXPECT_EQ(runClient(dir, {"xfer", "AD00", "2", "xfer", "0403034920", "9"}),
              "0400\n040703090040F5849A\n");
}

TEST_F(ModsimUsb, LeavesTheBusOnLoadAndComesBackAsItsLoader) {
    start();
    EXPECT_EQ(runClient(dir, {"xfer", "04025F02", "4", "gone", "2000", "back", "3000", "info"}),
              "04025F02\ngone\nback pid=0093\n"
              "pid=0093 serial=40F5849A interface=ff/88/10 in=81 out=01\n");
    // REBOOT: gone again, back with the firmware's product id.
    EXPECT_EQ(runClient(dir, {"xfer", "04025F06", "0", "gone", "2000", "back", "3000"}),
              "\ngone\nback pid=0013\n");
}
