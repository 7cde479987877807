// Option parsing: argument vectors against the Parameters record and the messages they produce.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cli/Log.h"
#include "cli/Parameters.h"
#include "cli/UpdaterDisplayInterface.h"

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { lines.emplace_back(INFO, text); }
    void error_message(const char* text) override { lines.emplace_back(ERROR, text); }
    std::vector<std::pair<Level, std::string>> lines;
};

struct ParseCase {
    const char* name;
    std::vector<const char*> args;  // after argv[0]
    int result;
    std::function<void(Parameters&)> expect;  // applied to the defaults
    std::vector<std::string> errors;          // error messages, in order
};

Parameters sDefaults() {
    Parameters p;
    p.serverUrl = DEFAULT_SERVER_URL;
    p.applicationName = "Updater";
    return p;
}

void sExpectSame(const Parameters& want, const Parameters& got) {
    EXPECT_EQ(want.commands.bits, got.commands.bits);
    EXPECT_EQ(want.serialNumber, got.serialNumber);
    EXPECT_EQ(want.routerSerialNumber, got.routerSerialNumber);
    EXPECT_EQ(want.transport, got.transport);
    EXPECT_EQ(want.transportGiven, got.transportGiven);
    EXPECT_EQ(want.serialPort, got.serialPort);
    EXPECT_EQ(want.baudRate, got.baudRate);
    EXPECT_EQ(want.moduleAddress, got.moduleAddress);
    EXPECT_EQ(want.birdFile, got.birdFile);
    EXPECT_EQ(want.historyMessage, got.historyMessage);
    EXPECT_EQ(want.buildNumber, got.buildNumber);
    EXPECT_EQ(want.echoBytes, got.echoBytes);
    EXPECT_EQ(want.serverUrl, got.serverUrl);
    EXPECT_EQ(want.flagN, got.flagN);
    EXPECT_EQ(want.storeDirectory, got.storeDirectory);
    EXPECT_EQ(want.applicationName, got.applicationName);
    EXPECT_EQ(want.logMode, got.logMode);
    EXPECT_EQ(want.logFile, got.logFile);
    EXPECT_EQ(want.overrideModelCheck, got.overrideModelCheck);
    EXPECT_EQ(want.useUEIBytes, got.useUEIBytes);
    EXPECT_EQ(want.debugMask, got.debugMask);
    EXPECT_EQ(want.debugMaskGiven, got.debugMaskGiven);
    EXPECT_EQ(want.helpRequested, got.helpRequested);
}

const auto kNone = [](Parameters&) {};

const ParseCase kCases[] = {
    {"no arguments", {}, 0, kNone, {}},
    {"plain words are ignored",
     {"foo", "-D", "bar"},
     0,
     [](Parameters& p) { p.commands.bits = CMD_DISCOVER; },
     {}},
    {"commands accumulate",
     {"-G", "-U", "-B", "-L", "-N", "-I", "-C"},
     0,
     [](Parameters& p) {
         p.commands.bits = CMD_GET_BUILD | CMD_UPDATE | CMD_LIST_BUILDS | CMD_LIST_LOCAL_BUILDS |
                           CMD_FINGERPRINT | CMD_DEVICE_INFO | CMD_CHECK_BIRD;
     },
     {}},
    {"options are case sensitive",
     {"-d", "40F5849A", "-g"},
     0,
     [](Parameters& p) { p.serialNumber = 0x40F5849A; },
     {}},
    {"serial with lower-case 0x prefix",
     {"-d", "0x40f5849a"},
     0,
     [](Parameters& p) { p.serialNumber = 0x40F5849A; },
     {}},
    {"serial with 0X prefix",
     {"-d", "0X40F5849A"},
     0,
     [](Parameters& p) { p.serialNumber = 0x40F5849A; },
     {}},
    {"serial after =", {"-d=40F5849A"}, 0, [](Parameters& p) { p.serialNumber = 0x40F5849A; }, {}},
    {"short serial", {"-d", "0F5849A"}, 0, [](Parameters& p) { p.serialNumber = 0x0F5849A; }, {}},
    {"serial 0 is invalid",
     {"-d", "0"},
     1,
     kNone,
     {"Invalid serial number obtained from argument [0]"}},
    {"serial with a non-hex digit",
     {"-d", "12G4"},
     1,
     kNone,
     {"Invalid serial number obtained from argument [12G4]"}},
    {"invalid serial shown without its prefix",
     {"-d", "0x12G4"},
     1,
     kNone,
     {"Invalid serial number obtained from argument [12G4]"}},
    {"empty serial after =",
     {"-d="},
     1,
     kNone,
     {"Invalid serial number obtained from argument []"}},
    {"serial wider than 32 bits is refused",
     {"-d", "140F5849A"},
     1,
     kNone,
     {"Invalid serial number obtained from argument [140F5849A]"}},
    {"router serial",
     {"-r", "0xD272031D"},
     0,
     [](Parameters& p) { p.routerSerialNumber = 0xD272031D; },
     {}},
    {"router serial invalid",
     {"-r", "0x0"},
     1,
     kNone,
     {"Invalid router serial number obtained from argument [0]"}},
    {"rejections are all reported",
     {"-d", "zz", "-r", "yy", "-D"},
     1,
     [](Parameters& p) { p.commands.bits = CMD_DISCOVER; },
     {"Invalid serial number obtained from argument [zz]",
      "Invalid router serial number obtained from argument [yy]"}},
    {"-d as last argument is dropped",
     {"-D", "-d"},
     0,
     [](Parameters& p) { p.commands.bits = CMD_DISCOVER; },
     {}},
    {"-d followed by an option is dropped, the option counts",
     {"-d", "-D"},
     0,
     [](Parameters& p) { p.commands.bits = CMD_DISCOVER; },
     {}},
    {"a value starting with - is not taken", {"-d", "-5"}, 0, kNone, {}},
    {"joined short form is not an option", {"-d40F5849A"}, 0, kNone, {}},
    {"clumped flags are not options", {"-DU"}, 0, kNone, {}},
    {"flag with = value is dropped", {"-D=1", "-e=yes"}, 0, kNone, {}},
    {"lone dashes are dropped", {"-", "--"}, 0, kNone, {}},
    {"-OV selects -OVERRIDE", {"-OV"}, 0, [](Parameters& p) { p.overrideModelCheck = true; }, {}},
    {"-OVER selects -OVERRIDE",
     {"-OVER"},
     0,
     [](Parameters& p) { p.overrideModelCheck = true; },
     {}},
    {"-O selects -OVERRIDE", {"-O"}, 0, [](Parameters& p) { p.overrideModelCheck = true; }, {}},
    {"a longer text is no prefix", {"-OVERRIDEX"}, 0, kNone, {}},
    {"prefix needs the same dashes", {"-help"}, 0, kNone, {}},
    {"-Y is rejected", {"-Y"}, 1, kNone, {"Unhandled command: [-Y]"}},
    {"-h",
     {"-h"},
     0,
     [](Parameters& p) {
         p.commands.bits = CMD_HELP;
         p.helpRequested = true;
     },
     {}},
    {"-H",
     {"-H"},
     0,
     [](Parameters& p) {
         p.commands.bits = CMD_HELP;
         p.helpRequested = true;
     },
     {}},
    {"--he selects --help",
     {"--he"},
     0,
     [](Parameters& p) {
         p.commands.bits = CMD_HELP;
         p.helpRequested = true;
     },
     {}},
    {"help ends the parse",
     {"-h", "-d", "zz", "-D"},
     0,
     [](Parameters& p) {
         p.commands.bits = CMD_HELP;
         p.helpRequested = true;
     },
     {}},
    {"errors before help no longer count",
     {"-d", "zz", "-Y", "--help"},
     0,
     [](Parameters& p) {
         p.commands.bits = CMD_HELP;
         p.helpRequested = true;
     },
     {"Invalid serial number obtained from argument [zz]", "Unhandled command: [-Y]"}},
    {"-t USB", {"-t", "USB"}, 0, [](Parameters& p) { p.transportGiven = true; }, {}},
    {"-t TCPIP",
     {"-t", "TCPIP"},
     0,
     [](Parameters& p) {
         p.transport = 2;
         p.transportGiven = true;
     },
     {}},
    {"-t TCP",
     {"-t", "TCP"},
     0,
     [](Parameters& p) {
         p.transport = 2;
         p.transportGiven = true;
     },
     {}},
    {"-t RECOVER",
     {"-t", "RECOVER"},
     0,
     [](Parameters& p) {
         p.transport = RECOVER_TRANSPORT;
         p.transportGiven = true;
     },
     {}},
    {"-t usb is invalid",
     {"-t", "usb"},
     1,
     [](Parameters& p) {
         p.transport = 0;
         p.transportGiven = true;
     },
     {"Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"}},
    {"-t RECOVE is invalid",
     {"-t", "RECOVE"},
     1,
     [](Parameters& p) {
         p.transport = 0;
         p.transportGiven = true;
     },
     {"Invalid transport type:[RECOVE]\nMust be one of the following: USB, TCPIP, RECOVER"}},
    {"-b number", {"-b", "99528558"}, 0, [](Parameters& p) { p.buildNumber = "99528558"; }, {}},
    {"-b leading zeros", {"-b", "0099"}, 0, [](Parameters& p) { p.buildNumber = "99"; }, {}},
    {"-b abc gives 0", {"-b", "abc"}, 0, [](Parameters& p) { p.buildNumber = "0"; }, {}},
    {"-o abc gives 0 silently", {"-o", "abc"}, 0, [](Parameters& p) { p.baudRate = 0; }, {}},
    {"-o 9600", {"-o", "9600"}, 0, [](Parameters& p) { p.baudRate = 9600; }, {}},
    {"-m 0", {"-m", "0"}, 0, [](Parameters& p) { p.useUEIBytes = false; }, {}},
    {"-m false", {"-m", "false"}, 0, [](Parameters& p) { p.useUEIBytes = false; }, {}},
    {"-m 1", {"-m", "1"}, 0, kNone, {}},
    {"-m trueish", {"-m", "truex"}, 0, kNone, {}},
    {"-m tru", {"-m", "tru"}, 0, [](Parameters& p) { p.useUEIBytes = false; }, {}},
    {"texts are stored unchanged",
     {"-i", "/tmp/x y", "-f", "a.bird", "-s", "/dev/ttyS0", "-l", "msg", "-k", "my.log", "-u",
      "http://127.0.0.1:1/cgi/u"},
     0,
     [](Parameters& p) {
         p.storeDirectory = "/tmp/x y";
         p.birdFile = "a.bird";
         p.serialPort = "/dev/ttyS0";
         p.historyMessage = "msg";
         p.logFile = "my.log";
         p.serverUrl = "http://127.0.0.1:1/cgi/u";
     },
     {}},
    {"flags",
     {"-e", "-n"},
     0,
     [](Parameters& p) {
         p.echoBytes = true;
         p.flagN = true;
     },
     {}},
    {"-Z consumes its argument",
     {"-Z", "-D"},
     0,
     [](Parameters& p) { p.commands.bits = CMD_DISCOVER; },
     {}},
    {"-Z x", {"-Z", "x"}, 0, [](Parameters& p) { p.commands.bits = CMD_Z; }, {}},
    {"-X hexadecimal",
     {"-X", "0x10000"},
     0,
     [](Parameters& p) {
         p.debugMask = 0x10000;
         p.debugMaskGiven = true;
     },
     {}},
    {"-X decimal",
     {"-X=16"},
     0,
     [](Parameters& p) {
         p.debugMask = 16;
         p.debugMaskGiven = true;
     },
     {}},
    {"-X with left-over characters",
     {"-X", "12z"},
     0,
     [](Parameters& p) {
         p.debugMask = 12;
         p.debugMaskGiven = true;
     },
     {"Invalid format for \"-X\" parameter, unprocessed characters [z]"}},
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {
  protected:
    void SetUp() override { Log::package_bitmask = 0; }
    void TearDown() override { Log::package_bitmask = 0; }
};

TEST_P(ParseTest, GivesRecordAndMessages) {
    const ParseCase& c = GetParam();
    std::vector<const char*> argv{"/opt/kestrova/bin/Updater"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RecordingDisplay display;
    Parameters got;
    got.serialNumber = 77;  // stale values must be reset
    int result = _get_params(display, static_cast<int>(argv.size()), argv.data(), &got);
    EXPECT_EQ(c.result, result);
    Parameters want = sDefaults();
    c.expect(want);
    sExpectSame(want, got);
    std::vector<std::string> errors;
    for (const auto& line : display.lines) {
        EXPECT_EQ(UpdaterDisplayInterface::ERROR, line.first) << line.second;
        errors.push_back(line.second);
    }
    EXPECT_EQ(c.errors, errors);
}

INSTANTIATE_TEST_SUITE_P(Options, ParseTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ParseCase>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c)
                                 name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

class ParseLogTest : public ::testing::Test {
  protected:
    void SetUp() override { Log::package_bitmask = 0; }
    void TearDown() override {
        Log::package_bitmask = 0;
        Log::SetOutput(nullptr);
    }
    int parse(std::vector<const char*> argv) {
        return _get_params(display, static_cast<int>(argv.size()), argv.data(), &params);
    }
    RecordingDisplay display;
    Parameters params;
};

TEST_F(ParseLogTest, DebugMaskActivatesPackagesAndAccumulates) {
    ASSERT_EQ(0, parse({"Updater", "-X", "0x1", "-X", "0x400"}));
    EXPECT_EQ(0x401u, Log::package_bitmask);
    EXPECT_EQ(0x400u, params.debugMask);
}

TEST_F(ParseLogTest, DebugMaskWithLeftOversActivatesNothing) {
    ASSERT_EQ(0, parse({"Updater", "-X", "0x10000q"}));
    EXPECT_EQ(0u, Log::package_bitmask);
}

TEST_F(ParseLogTest, LogsPrefixRemovalAndTheArgumentVector) {
    FILE* out = tmpfile();
    ASSERT_NE(nullptr, out);
    Log::SetOutput(out);
    ASSERT_EQ(0, parse({"./bin/Updater", "-X", "0x10001", "-d", "0x1", "-r", "0X2"}));
    rewind(out);
    std::string text;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
    fclose(out);
    EXPECT_EQ(
        "Discarding '0x' serial number prefix\n"
        "Discarding '0x' router serial number prefix\n"
        "\nApplication parameters:[Updater]\n"
        "\t[./bin/Updater]\n\t[-X]\n\t[0x10001]\n\t[-d]\n\t[0x1]\n\t[-r]\n\t[0X2]\n",
        text);
}

TEST_F(ParseLogTest, ApplicationNameIsTheLastPathPart) {
    ASSERT_EQ(0, parse({"C:\\tools\\Updater.exe"}));
    EXPECT_EQ("Updater.exe", params.applicationName);
    ASSERT_EQ(0, parse({"Updater"}));
    EXPECT_EQ("Updater", params.applicationName);
}

TEST(CommandsClassTest, SetAndIsSet) {
    CommandsClass commands;
    EXPECT_FALSE(commands.IsSet(CMD_ANY));
    EXPECT_FALSE(commands.Set(0));
    EXPECT_TRUE(commands.Set(CMD_Z));
    EXPECT_TRUE(commands.IsSet(CMD_ANY));
    EXPECT_FALSE(commands.IsSet(CMD_HELP));
    EXPECT_TRUE(commands.IsSet(CMD_HELP | CMD_Z));
}

TEST(OptionTableTest, EndsWithSentinelAndHasEveryOption) {
    std::vector<std::string> texts;
    const Option* row = g_rgOptions;
    for (; row->kind != -1; ++row) texts.push_back(row->text);
    EXPECT_EQ(nullptr, row->text);
    const std::vector<std::string> want{"-B", "-L", "-D", "-G", "-I",    "-U", "-OVERRIDE", "-N",
                                        "-Y", "-C", "-h", "-H", "-n",    "-X", "-Z",        "-m",
                                        "-i", "-b", "-d", "-t", "-f",    "-r", "-s",        "-o",
                                        "-e", "-l", "-k", "-u", "--help"};
    EXPECT_EQ(want, texts);
}

struct NumberCase {
    const char* text;
    uint32_t hex;
    uint32_t dec;
};

TEST(NumberArgTest, DigitsOnlyWithin32Bits) {
    const NumberCase cases[] = {
        {"", 0, 0},
        {"0", 0, 0},
        {"ff", 0xFF, 0},
        {"FFFFFFFF", 0xFFFFFFFF, 0},
        {"4294967295", 0, 4294967295u},
        {"4294967296", 0, 0},
        {"100000000", 0, 100000000},
        {"12 ", 0, 0},
        {"-1", 0, 0},
        {"+1", 0, 0},
        {"0x10", 0, 0},
        {"0012", 0x12, 12},
    };
    for (const NumberCase& c : cases) {
        char* sentinel = reinterpret_cast<char*>(&sentinel);
        char* hexEnd = sentinel;
        char* decEnd = sentinel;
        EXPECT_EQ(c.hex, _get_hex_arg(c.text, &hexEnd)) << c.text;
        EXPECT_EQ(c.dec, _get_int_arg(c.text, &decEnd)) << c.text;
        bool zeroText = std::string(c.text).find_first_not_of('0') == std::string::npos;
        if (c.hex == 0 && !zeroText) {
            EXPECT_EQ(sentinel, hexEnd) << c.text;  // failures leave end untouched
        }
        if (c.dec == 0 && !zeroText) {
            EXPECT_EQ(sentinel, decEnd) << c.text;
        }
    }
    char text[] = "1a";
    char* end = nullptr;
    EXPECT_EQ(0x1Au, _get_hex_arg(text, &end));
    EXPECT_EQ(text + 2, end);
}

TEST(ReleaseParamsTest, ClearsTheRecord) {
    Parameters params;
    params.serialPort = "/dev/ttyS0";
    params.commands.Set(CMD_UPDATE);
    EXPECT_EQ(0, _release_params(&params));
    EXPECT_TRUE(params.serialPort.empty());
    EXPECT_FALSE(params.commands.IsSet(CMD_ANY));
    EXPECT_EQ(0, _validate_params(&params));
}

}  // namespace
