// "-D" end to end on the virtual USB bus: the real Updater binary lists the simulated modules
// attached to it, and the modules behind a simulated router on its I2C bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "ListingSupport.h"
#include "SimProcess.h"

using namespace listingtest;
using modsimtest::SimProcess;

namespace {

// Another program holding a module's USB interface: usb_holder, released by closing its input.
class UsbHolder {
  public:
    ~UsbHolder() { release(); }

    // True once the holder reports the claim (within 5 s).
    bool hold(const std::string& umockdevDir, const std::string& vendorId,
              const std::string& serial) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0) return false;
        if (pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return false;
        }
        std::vector<std::string> env{"UMOCKDEV_DIR=" + umockdevDir,
                                     "LD_PRELOAD=libumockdev-preload.so.0"};
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "PATH"})
            if (const char* value = getenv(name)) env.push_back(std::string(name) + "=" + value);
        std::vector<std::string> args{USB_HOLDER, vendorId, serial};
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        int rc = posix_spawn(&pid_, USB_HOLDER, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        if (rc != 0) {
            pid_ = -1;
            ::close(out[0]);
            return false;
        }
        std::string said;
        pollfd p{out[0], POLLIN, 0};
        char buffer[64];
        while (said.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0) {
            ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            said.append(buffer, size_t(n));
        }
        ::close(out[0]);
        return said == "held\n";
    }

    // Closes the holder's input and waits for it; its exit status, -1 when it did not run.
    int release() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
        if (pid_ <= 0) return -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
};

// Whether the simulator's log (-v) shows the module with that serial number receiving the name
// query: a packet to its address with a get (0x40) of system entity (3) option 32.
bool sNameQueried(const std::string& log, const std::string& serial, unsigned address) {
    for (const std::string& line : Lines(log)) {
        if (line.find("hvmodsim: " + serial + " ") != 0) continue;
        size_t at = line.find(" rx ");
        if (at == std::string::npos) continue;
        std::istringstream hex(line.substr(at + 4));
        std::vector<unsigned> bytes;
        for (unsigned byte; hex >> std::hex >> byte;) bytes.push_back(byte);
        if (bytes.size() >= 4 && bytes[0] == address && bytes[2] == 0x03 && bytes[3] == 0x60)
            return true;
    }
    return false;
}

class UsbListing : public ::testing::Test {
  protected:
    void SetUp() override { AllowPreloadUnderSanitizers(); }

    void start(const std::vector<std::string>& args) {
        ASSERT_TRUE(sim.start(args)) << sim.errors();
        bus = sim.value("UMOCKDEV_DIR");
        ASSERT_FALSE(bus.empty()) << sim.readyLine();
    }

    // The rows after the header, sorted (USB enumeration order is the bus's).
    static std::vector<std::string> sortedRows(std::vector<std::string> list) {
        if (list.size() < 2) return {};
        std::vector<std::string> rows(list.begin() + 2, list.end());
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    TempDirectory work{"hv_listing"};
    SimProcess sim;
    std::string bus;
};

// 2.10.3 is the last firmware without a stored name: it is not asked for one (the simulator would
// answer with its name), 2.10.4 is, and the row shows exactly the name it answered.
TEST_F(UsbListing, ListsEachModuleWithVersionBuildAndNameFrom2_10_4) {
    start(
        {"-v", "--module", "serial=40F50001,link=usb,address=4,version=2.10.3,build=1234,name=Old",
         "--module",
         "serial=40F50002,link=usb,address=6,model=21,version=2.10.4,build=99528558,name=Rack B"});
    ProgramResult r = RunUpdater(work, {"-D"}, bus);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> list = DeviceList(r.out);
    ASSERT_GE(list.size(), 2u) << r.out;
    EXPECT_EQ(list[0], "Discovered Devices: (USB)");
    EXPECT_EQ(list[1], kUsbHeader);
    const std::vector<std::string> want{
        "    40F50001  04       04      HV-Hub19       2.10.3 (      1234)         ",
        "    40F50002  06       06      HV-Hub21       2.10.4 (  99528558)         Rack B"};
    EXPECT_EQ(sortedRows(list), want) << r.out;
    EXPECT_NE(r.out.find("Searching for Halvorine devices\n"), std::string::npos) << r.out;

    const std::string log = sim.errors();
    EXPECT_FALSE(sNameQueried(log, "40F50001", 0x04)) << log;
    EXPECT_TRUE(sNameQueried(log, "40F50002", 0x06)) << log;
}

// A module another program has open stays in the list with its error row; the other is listed.
TEST_F(UsbListing, ModuleHeldByAnotherProgramListsWithItsErrorRow) {
    start({"--module", "serial=40F50011,link=usb,version=2.12.0,build=7,name=Free", "--module",
           "serial=40F50012,link=usb,version=2.12.0,build=8,name=Held"});
    const std::string where = sim.where("40F50012", "usb");
    ASSERT_FALSE(where.empty()) << sim.readyLine();
    UsbHolder holder;
    ASSERT_TRUE(holder.hold(bus, where.substr(0, where.find(':')), "40F50012"));

    ProgramResult r = RunUpdater(work, {"-D", "-t", "USB"}, bus);
    EXPECT_EQ(holder.release(), 0);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> rows = sortedRows(DeviceList(r.out));
    ASSERT_EQ(rows.size(), 2u) << r.out;
    EXPECT_EQ(rows[0],
              "    40F50011  02       02      HV-Hub19       2.12.0 (         7)         Free");
    const std::string prefix = "    40F50012  [Error (";
    const std::string suffix = "): Is someone else connected to this device?]";
    ASSERT_GT(rows[1].size(), prefix.size() + suffix.size()) << rows[1];
    EXPECT_EQ(rows[1].substr(0, prefix.size()), prefix);
    EXPECT_EQ(rows[1].substr(rows[1].size() - suffix.size()), suffix);
    const std::string code =
        rows[1].substr(prefix.size(), rows[1].size() - prefix.size() - suffix.size());
    EXPECT_GT(std::atoi(code.c_str()), 0) << rows[1];
}

TEST_F(UsbListing, NoModulesOnTheBus) {
    // A bus with one module of another vendor: nothing of ours to list.
    start({"--vendor", "0x1d6b", "--module", "serial=40F50021,link=usb"});
    ProgramResult r = RunUpdater(work, {"-D"}, bus);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(DeviceList(r.out),
              (std::vector<std::string>{"Discovered Devices: (USB)", "    No devices found."}))
        << r.out;
}

// The router sits at address 2 on USB, two modules on its I2C bus at 4 and 6. Without "-t" the
// router's link type is searched (USB is found first, so nothing is sent on any network) and the
// list prints as "Unknown" with the address column heading; rows of USB entries have no address.
// The scan does not ask the modules for their names.
TEST_F(UsbListing, ListsTheModulesBehindARouterSkippingItsOwnAddress) {
    start({"--module", "serial=40F50030,link=usb,address=2,model=16,version=2.12.0,build=30",
           "--module",
           "serial=40F50034,address=4,behind=40F50030,version=2.10.4,build=34,name=Left",
           "--module",
           "serial=40F50036,address=6,behind=40F50030,model=21,version=2.9.1,build=36,name=Right"});
    ProgramResult r = RunUpdater(work, {"-D", "-r", "40F50030", "-X", "0x101"}, bus);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Searching for Halvorine Network devices connected to 40F50030\n"),
              std::string::npos)
        << r.out;
    const std::vector<std::string> want{
        "Discovered Devices: (Unknown)", kAddressHeader,
        "    40F50034  04       02      HV-Hub19       2.10.4 (        34)         ",
        "    40F50036  06       02      HV-Hub21       2.9.1 (        36)         "};
    EXPECT_EQ(DeviceList(r.out), want) << r.out;

    // The router was found by its serial number on USB, its own address was never probed, and
    // every other even address up to 252 was.
    EXPECT_NE(r.err.find("NETWORK: Found device [40F50030] via link type [1]\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Searching Address 0x02\n"), std::string::npos) << r.err;
    for (const char* probed : {"Searching Address 0x04\n", "Searching Address 0xfc\n"})
        EXPECT_NE(r.err.find(probed), std::string::npos) << probed << r.err;
    EXPECT_EQ(r.err.find("Searching Address 0xfe\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Got Serial [0x40F50034]\n"), std::string::npos) << r.err;
}

// A router found but held by another program: the connection error is shown, nothing is listed.
TEST_F(UsbListing, RouterThatCannotBeConnectedListsNothing) {
    start({"--module", "serial=40F50050,link=usb,model=16", "--module",
           "serial=40F50054,address=4,behind=40F50050"});
    const std::string where = sim.where("40F50050", "usb");
    ASSERT_FALSE(where.empty()) << sim.readyLine();
    UsbHolder holder;
    ASSERT_TRUE(holder.hold(bus, where.substr(0, where.find(':')), "40F50050"));
    ProgramResult r = RunUpdater(work, {"-D", "-t", "USB", "-r", "40F50050"}, bus);
    EXPECT_EQ(holder.release(), 0);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(DeviceList(r.out),
              (std::vector<std::string>{"Discovered Devices: (USB)", "    No devices found."}))
        << r.out;
    std::vector<std::string> errors = Lines(r.err);
    ASSERT_EQ(errors.size(), 1u) << r.err;
    EXPECT_EQ(errors[0].rfind("Error ", 0), 0u) << r.err;
    EXPECT_EQ(errors[0].substr(errors[0].size() - std::string(" on connectFromSpec").size()),
              " on connectFromSpec")
        << r.err;
}

// With "-t USB" the router is looked for on USB only; one that is not there gives an empty list.
TEST_F(UsbListing, RouterNotFoundListsNothing) {
    start({"--module", "serial=40F50040,link=usb"});
    ProgramResult r = RunUpdater(work, {"-D", "-t", "USB", "-r", "40F5004F"}, bus);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(DeviceList(r.out),
              (std::vector<std::string>{"Discovered Devices: (USB)", "    No devices found."}))
        << r.out;
    EXPECT_EQ(r.out.find("Error"), std::string::npos) << r.out;
}

}  // namespace
