// UpdateServerRequest against the simulated update server: what each request sends, byte for
// byte, what it makes of the answers, and how each kind of misbehaviour fails.
#include "server/UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "UpdateServerSim.h"
#include "server/HTTPRequest.h"
#include "server/base64.h"

namespace {

using Clock = std::chrono::steady_clock;
using Queries = std::vector<std::string>;

// Arbitrary bytes standing in for a BIRD file: every byte value, zeros and line breaks included.
std::string SampleBird() {
    std::string bytes = "bird";
    for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<char>((i * 7) & 0xFF));
    return bytes;
}

class UpdateServerRequestSim : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.WriteFile("0012ABCD/101.bird", SampleBird());
        sim.WriteFile("0012ABCD/99.bird", "older");
        sim.WriteFile("0012ABCD/builds.json",
                      R"({"latest": "101", "firmware": "HV-1",
                          "versions": {"101": "1.2.3", "99": "1.10.0", "98": ""}})");
        sim.WriteFile(
            "recovery.json",
            R"({"00000001 0000ABCD DEADBEEF 00000004": {"serial": "12AB", "build": "0x1F"},
                          "00000000 00000000 00000000 00000008": {"serial": "0012ABCD", "build": "010"}})");
    }
    void TearDown() override {
        HTTPRequest::SetLimitsForTesting(HTTPRequest::Limits());
        EXPECT_TRUE(sim.Stop()) << "the simulator stops cleanly on SIGTERM";
    }
    void Start(const std::vector<std::string>& args = {}) {
        ASSERT_TRUE(sim.Start(args)) << sim.Error();
        url = sim.Url();
    }

    UpdateServerSim sim;
    std::string url;
};

TEST_F(UpdateServerRequestSim, PingSendsHiWithProtocolVersion2) {
    Start();
    EXPECT_TRUE(UpdateServerRequest::ping(url));
    EXPECT_EQ(sim.Queries(), Queries{"op=hi&rv=2&"});
}

TEST_F(UpdateServerRequestSim, QueryBuildGivesTheCurrentBuildAndFirmware) {
    Start();
    std::string build, firmware;
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x0012ABCD, build, firmware, url));
    EXPECT_EQ(build, "101");
    EXPECT_EQ(firmware, "HV-1");
    EXPECT_EQ(sim.Queries(), Queries{"op=qu&sn=0012ABCD&"});
}

TEST_F(UpdateServerRequestSim, SerialNumbersAreEightUpperCaseHexDigits) {
    Start();
    std::string build, firmware;
    UpdateServerRequest::BuildList builds;
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0xabc, build, firmware, url));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(0xFFFFFFFF, builds, url));
    EXPECT_EQ(sim.Queries(), (Queries{"op=qu&sn=00000ABC&", "op=builds&sn=FFFFFFFF&"}));
}

TEST_F(UpdateServerRequestSim, GetBuildFetchesTheBirdFileAsBase64) {
    Start();
    std::string payload = "stale";
    ASSERT_TRUE(UpdateServerRequest::GetBuild(0x0012ABCD, "HV-1", "101", payload, url));
    size_t length = 0;
    std::unique_ptr<unsigned char, decltype(&free)> bytes(
        base64_decode(payload.data(), payload.size(), &length), &free);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.get()), length), SampleBird());

    EXPECT_TRUE(UpdateServerRequest::GetBuild(0x0012ABCD, "HV-1", "99", payload, url, true));
    EXPECT_EQ(sim.Queries(), (Queries{"bld=101&fw=HV-1&no_cal=false&op=bird&sn=0012ABCD&",
                                      "bld=99&fw=HV-1&no_cal=true&op=bird&sn=0012ABCD&"}));
}

TEST_F(UpdateServerRequestSim, GetBuildListGivesBuildsWithVersions) {
    Start();
    UpdateServerRequest::BuildList builds = {{"stale", "0.0.0"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(0x0012ABCD, builds, url));
    EXPECT_EQ(builds,
              (UpdateServerRequest::BuildList{{"101", "1.2.3"}, {"99", "1.10.0"}, {"98", ""}}));
    EXPECT_EQ(sim.Queries(), Queries{"op=builds&sn=0012ABCD&"});
}

TEST_F(UpdateServerRequestSim, GetRecoveryInfoSendsTheFingerprintJoinedByPercent20) {
    Start();
    LogCapture log;
    const uint32_t words[4] = {1, 0xABCD, 0xDEADBEEF, 4};
    uint32_t serial = 0, build = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, serial, build, url));
    EXPECT_EQ(serial, 0x12ABu);
    EXPECT_EQ(build, 31u);
    const uint32_t octal[4] = {0, 0, 0, 8};
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(octal, serial, build, url));
    EXPECT_EQ(serial, 0x0012ABCDu);
    EXPECT_EQ(build, 8u);
    EXPECT_EQ(sim.Queries(),
              (Queries{"brief=true&fp=00000001%200000ABCD%20DEADBEEF%2000000004&op=fix&",
                       "brief=true&fp=00000000%2000000000%2000000000%2000000008&op=fix&"}));
    EXPECT_NE(log.Text().find("GetRecoveryInfo [ok][12AB][0x1F]\n"), std::string::npos)
        << log.Text();
}

TEST_F(UpdateServerRequestSim, AnswerOtherThanOkFailsNamingTheRequestUrl) {
    Start();
    LogCapture log;
    std::string build = "kept", firmware = "kept";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x00000001, build, firmware, url));
    EXPECT_EQ(build, "kept");
    EXPECT_EQ(firmware, "kept");
    EXPECT_NE(
        log.Text().find("ServerCommClass: QueryBuild failed [" + url + "?op=qu&sn=00000001&]\n"),
        std::string::npos)
        << log.Text();
}

TEST_F(UpdateServerRequestSim, UnreachableServerFailsEveryRequest) {
    const std::string closed =
        "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/cgi/u";
    LogCapture log;
    std::string text;
    UpdateServerRequest::BuildList builds;
    uint32_t serial = 0, build = 0;
    const uint32_t words[4] = {1, 2, 3, 4};
    EXPECT_FALSE(UpdateServerRequest::ping(closed));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, text, text, closed));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "", "1", text, closed));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, closed));
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(words, serial, build, closed));
    for (const char* name : {"ping", "QueryBuild", "GetBuild", "GetBuildList", "GetRecoveryInfo"}) {
        EXPECT_NE(log.Text().find(std::string(name) + " ==> [Couldn't connect to server]\n"),
                  std::string::npos)
            << name << "\n"
            << log.Text();
    }
}

// One request kind with one misbehaviour: the request fails (or, for the cases noted, succeeds),
// its outputs are as the failure leaves them, and the debug log says why.
struct Misbehaviour {
    const char* name;
    const char* option;  // --misbehave argument
    bool succeeds;
    const char* logged;  // a text the debug log must contain ("" for none)
};

class UpdateServerMisbehaviour : public UpdateServerRequestSim,
                                 public ::testing::WithParamInterface<Misbehaviour> {};

// Runs the request that `option` targets and checks what it leaves behind.
bool RunRequest(const std::string& op, const std::string& url) {
    if (op == "hi") return UpdateServerRequest::ping(url);
    if (op == "qu") {
        std::string build = "kept", firmware = "kept";
        const bool ok = UpdateServerRequest::QueryBuild(0x0012ABCD, build, firmware, url);
        if (!ok) {
            EXPECT_EQ(build, "kept");
            EXPECT_EQ(firmware, "kept");
        }
        return ok;
    }
    if (op == "bird") {
        std::string payload = "kept";
        const bool ok = UpdateServerRequest::GetBuild(0x0012ABCD, "HV-1", "101", payload, url);
        if (!ok) {
            EXPECT_EQ(payload, "") << "the payload is emptied before the request";
        }
        if (ok) {
            // Invalid base64 must be refused by the decoder, so nothing is stored.
            size_t length = 99;
            unsigned char* bytes = base64_decode(payload.data(), payload.size(), &length);
            EXPECT_EQ(bytes, nullptr);
            EXPECT_EQ(length, 0u);
            free(bytes);
        }
        return ok;
    }
    if (op == "builds") {
        UpdateServerRequest::BuildList builds = {{"kept", ""}};
        const bool ok = UpdateServerRequest::GetBuildList(0x0012ABCD, builds, url);
        if (!ok) {
            EXPECT_TRUE(builds.empty()) << "the list is cleared before the request";
        }
        return ok;
    }
    uint32_t serial = 5, build = 7;
    const uint32_t words[4] = {1, 0xABCD, 0xDEADBEEF, 4};
    const bool ok = UpdateServerRequest::GetRecoveryInfo(words, serial, build, url);
    if (!ok) {
        EXPECT_EQ(serial, 5u);
        EXPECT_EQ(build, 7u);
    }
    return ok;
}

TEST_P(UpdateServerMisbehaviour, FailsClearlyAndBounded) {
    const Misbehaviour& m = GetParam();
    Start({"--misbehave", m.option});
    HTTPRequest::Limits limits;
    limits.lowSpeedTimeSec = 1;
    HTTPRequest::SetLimitsForTesting(limits);
    LogCapture log;
    const auto start = Clock::now();
    const std::string op = std::string(m.option).substr(0, std::string(m.option).find('='));
    EXPECT_EQ(RunRequest(op, url), m.succeeds);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
    EXPECT_NE(log.Text().find(m.logged), std::string::npos) << log.Text();
    EXPECT_EQ(sim.Queries().size(), 1u);
}

const Misbehaviour kMisbehaviours[] = {
    {"PingStatus500", "hi=status:500", false, "PING ==> [500] [error 500\n]\n"},
    {"QueryStatus404", "qu=status:404", false, "QueryBuild ==> [404] [error 404\n]\n"},
    {"BuildStatus500", "bird=status:500", false, "GetBuild ==> [500] [error 500\n]\n"},
    {"ListStatus404", "builds=status:404", false, "GetBuildList ==> [404] [error 404\n]\n"},
    {"FixStatus500", "fix=status:500", false, "GetRecoveryInfo ==> [500] [error 500\n]\n"},
    {"PingNotOk", "hi=notok", false, "ServerCommClass: ping failed ["},
    {"PingOkay", "hi=notok:okay", true, ""},
    {"QueryNotOk", "qu=notok", false, "ServerCommClass: QueryBuild failed ["},
    {"BuildNotOk", "bird=notok:error", false, "ServerCommClass: GetBuild failed ["},
    {"ListNotOk", "builds=notok:fail", false, "ServerCommClass: GetBuildList failed ["},
    {"FixNotOk", "fix=notok", false, "ServerCommClass: GetRecoveryInfo failed ["},
    {"BuildInvalidBase64", "bird=badbase64", true, ""},
    {"BuildTruncated", "bird=truncate", false, "GetBuild ==> [Transferred a partial file]\n"},
    {"ListTruncated", "builds=truncate", false, "GetBuildList ==> [Transferred a partial file]\n"},
    {"QueryClosed", "qu=close", false,
     "QueryBuild ==> [Server returned nothing (no headers, no data)]\n"},
    {"PingHangs", "hi=hang", false, "ping ==> [Timeout was reached]\n"},
    {"BuildHangs", "bird=hang", false, "GetBuild ==> [Timeout was reached]\n"},
    {"BuildTooSlow", "bird=slow:1500", false, "GetBuild ==> [Timeout was reached]\n"},
    {"FixSlowButMoving", "fix=slow:10", true, "GetRecoveryInfo [ok][12AB][0x1F]\n"},
};

INSTANTIATE_TEST_SUITE_P(Sim, UpdateServerMisbehaviour, ::testing::ValuesIn(kMisbehaviours),
                         [](const ::testing::TestParamInfo<Misbehaviour>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace

namespace {

// The simulator's configuration file: its own path, modules with builds given inline, and
// misbehaviours, merged over the data directory.
TEST(UpdateServerSimConfig, ServesBuildsAndMisbehavesAsConfigured) {
    UpdateServerSim sim;
    sim.WriteFile("bird/7.bird", "seven");
    sim.WriteFile("config.json", R"({
        "path": "/other/u",
        "modules": {"0000ABCD": {"latest": "8", "firmware": "F",
                                 "builds": {"7": {"version": "1.0.7", "file": "bird/7.bird"},
                                            "8": {"version": "1.0.8", "data": "eight"},
                                            "9": {"version": "1.0.9", "base64": "not*base64"},
                                            "6": "1.0.6"}}},
        "misbehave": {"fix": "status:503"}
    })");
    ASSERT_TRUE(sim.Start({"--config", sim.DataDir() + "/config.json"})) << sim.Error();
    const std::string url = sim.Url();
    EXPECT_EQ(url, "http://127.0.0.1:" + std::to_string(sim.Port()) + "/other/u");

    std::string build, firmware, payload;
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0xABCD, build, firmware, url));
    EXPECT_EQ(build + " " + firmware, "8 F");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0xABCD, "F", "7", payload, url));
    EXPECT_EQ(payload, "c2V2ZW4=");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0xABCD, "F", "8", payload, url));
    EXPECT_EQ(payload, "ZWlnaHQ=");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0xABCD, "F", "9", payload, url));
    EXPECT_EQ(payload, "not*base64");
    EXPECT_FALSE(UpdateServerRequest::GetBuild(0xABCD, "F", "6", payload, url)) << "no file";
    UpdateServerRequest::BuildList builds;
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0xABCD, builds, url));
    EXPECT_EQ(builds, (UpdateServerRequest::BuildList{
                          {"6", "1.0.6"}, {"7", "1.0.7"}, {"8", "1.0.8"}, {"9", "1.0.9"}}));
    const uint32_t words[4] = {1, 2, 3, 4};
    uint32_t serial = 0, recovery = 0;
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(words, serial, recovery, url));
    EXPECT_TRUE(sim.Stop());
}

}  // namespace
