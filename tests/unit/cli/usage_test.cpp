// Usage texts against their golden files, and the banner lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "api/aDefs.h"
#include "cli/Parameters.h"
#include "cli/Printers.h"
#include "cli/Usage.h"
#include "server/UpdateServerRequest.h"

namespace {

std::string sReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string sGolden(const char* name) {
    return sReadFile(std::string(HV_SOURCE_DIR) + "/tests/unit/cli/golden/" + name);
}

// Runs fn with standard error sent to a temporary file and returns what was written.
template <typename Fn>
std::string sCaptureStderr(Fn fn) {
    FILE* file = tmpfile();
    EXPECT_NE(nullptr, file);
    if (!file) return {};
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(fileno(file), STDERR_FILENO);
    fn();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    rewind(file);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    fclose(file);
    return text;
}

TEST(UsageTest, TextsMatchGoldenFiles) {
    const struct {
        bool extended, full;
        const char* golden;
    } cases[] = {
        {false, false, "usage_short.txt"},
        {true, false, "usage_short.txt"},  // extended needs full
        {false, true, "usage_full.txt"},
        {true, true, "usage_full_extended.txt"},
    };
    for (const auto& c : cases) {
        std::string want = sGolden(c.golden);
        ASSERT_FALSE(want.empty()) << c.golden;
        EXPECT_EQ(want, sCaptureStderr([&] { _display_usage(c.extended, c.full); })) << c.golden;
    }
}

TEST(UsageTest, ExtendedTextNamesTheDefaultServer) {
    std::string text = sCaptureStderr([] { _display_usage(true, true); });
    std::string line = std::string("                                Default: ") +
                       DEFAULT_UPDATE_HOST + ":" + DEFAULT_UPDATE_PORT + "\n";
    EXPECT_NE(std::string::npos, text.find(line));
    EXPECT_EQ(std::string("http://") + DEFAULT_UPDATE_HOST + "/cgi/u", DEFAULT_SERVER_URL);
    EXPECT_STREQ(UpdateServerRequest::default_url, DEFAULT_SERVER_URL)
        << "the server client and the command line name the same default server";
    // Reserved for documentation: never resolves to a real host.
    std::string host = DEFAULT_UPDATE_HOST;
    EXPECT_EQ(".example", host.substr(host.size() - 8));
}

class LineDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { lines.push_back(text); }
    void error_message(const char* text) override { lines.push_back(std::string("E:") + text); }
    std::vector<std::string> lines;
};

TEST(BannerTest, VersionAndCopyrightAreOneInfoLineEach) {
    LineDisplay display;
    _display_app_version(display);
    _display_copyright(display);
    ASSERT_EQ(2u, display.lines.size());
    EXPECT_EQ("Updater (Version: 2.12.1 Feb 11 2026)", display.lines[0]);
    EXPECT_NE(std::string::npos, display.lines[1].find("Kestrova"));
    EXPECT_EQ(std::string::npos, display.lines[1].find('\n'));
}

TEST(PrinterTest, FingerprintAndEmptyLists) {
    LineDisplay display;
    Fingerprint fingerprint;
    fingerprint.words[0] = 0x1;
    fingerprint.words[1] = 0xABCDEF01;
    fingerprint.words[2] = 0;
    fingerprint.words[3] = 0xFFFFFFFF;
    _display_fingerprint(display, fingerprint);
    _display_builds(display, {}, 0x40F5849A);
    _display_device_list(display, {}, 0);
    _display_device_list(display, {}, USB);
    const std::vector<std::string> want{"[ 00000001 ABCDEF01 00000000 FFFFFFFF ]",
                                        "No builds found for device [40F5849A]",
                                        "Discovered Devices: (Unknown)",
                                        "    No devices found.",
                                        "Discovered Devices: (USB)",
                                        "    No devices found."};
    EXPECT_EQ(want, display.lines);
}

TEST(PrinterTest, DeviceRows) {
    LineDisplay display;
    DeviceInfo usb;
    usb.spec.type = USB;
    usb.spec.serial_num = 0x40F5849A;
    usb.spec.module = 6;
    usb.spec.router = 2;
    usb.spec.model = aMODULE_HUB19;
    usb.modelName = "not printed";  // the printer names the model from its number
    usb.versionMajor = 2;
    usb.versionMinor = 10;
    usb.versionPatch = 4;
    usb.build = 99528558;
    usb.deviceName = "rack-3";
    DeviceInfo held = usb;
    held.error = aErrBusy;
    DeviceInfo net = usb;
    net.spec.type = TCPIP;
    const uint8_t ip[4] = {192, 0, 2, 7};
    memcpy(&net.spec.ip_address, ip, 4);
    net.error = aErrConnection;  // a TCP/IP entry keeps its columns even after a failure
    _display_device_list(display, {usb, held}, USB);
    _display_device_list(display, {net}, TCPIP);
    const std::vector<std::string> want{
        "Discovered Devices: (USB)",
        "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
        "    40F5849A  06       02      HV-Hub19       2.10.4 (  99528558)         rack-3",
        "    40F5849A  [Error (5): Is someone else connected to this device?]",
        "Discovered Devices: (TCPIP)",
        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]    "
        "   Device Name",
        "    40F5849A  06       02      HV-Hub19       2.10.4 (  99528558)        [192.0.2.7]     "
        "   rack-3"};
    EXPECT_EQ(want, display.lines);
}

// Rows come newest version first; a version that is not three numbers follows the others.
TEST(PrinterTest, BuildRowsArePaddedAndCut) {
    LineDisplay display;
    _display_builds(display, {{"99528558", "2.10.4"}, {"1234567890123456789", "v"}}, 0xA);
    const std::vector<std::string> want{
        "Build List for device [0000000A]:\n", "Build          \tVersion        ",
        "99528558       \t2.10.4         ", "123456789012345\tv              "};
    EXPECT_EQ(want, display.lines);
}

}  // namespace
