// "-G", "-B" and "-L" end to end: the real Updater binary against the simulated update server,
// with a store of its own per test. Checks what the user sees, what lands in the store, and the
// query strings the server received.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "RunProgram.h"
#include "UpdateServerSim.h"

namespace {

namespace fs = std::filesystem;

const char kSerial[] = "0012ABCD";

std::string sRead(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string sBird(uint32_t build, const std::string& version) {
    Bytes bytes = BirdWriter()
                      .Firmware(0x10000, MakeTestFirmwareImage(0x020A0400u, build, 512))
                      .Info(build, version, 0x0012ABCD, "HV-Hub4")
                      .FileBytes();
    return std::string(bytes.begin(), bytes.end());
}

class AcquisitionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(work.path().empty());
        sim.WriteFile(std::string(kSerial) + "/101.bird", sBird(101, "2.10.4"));
        sim.WriteFile(std::string(kSerial) + "/99.bird", sBird(99, "2.9.12"));
        sim.WriteFile(std::string(kSerial) + "/120.bird", sBird(120, "2.10.10"));
        sim.WriteFile(std::string(kSerial) + "/builds.json",
                      R"({"latest": "120", "firmware": "HV-1",)"
                      R"( "versions": {"101": "2.10.4", "99": "2.9.12", "120": "2.10.10"}})");
    }

    fs::path store() const { return fs::path(work.path()) / "updater"; }
    fs::path device() const { return store() / kSerial; }

    ProgramResult run(std::vector<std::string> args, const std::string& url = "") {
        args.insert(args.end(), {"-i", work.path(), "-u", url.empty() ? sim.Url() : url});
        ProgramOptions options;
        options.workDir = work.path();
        return RunProgram(UpdaterBinary(), args, options);
    }

    bool start(const std::vector<std::string>& extra = {}) {
        bool ok = sim.Start(extra);
        EXPECT_TRUE(ok) << sim.Error();
        return ok;
    }

    TempDirectory work{"hv_acq"};
    UpdateServerSim sim;
};

TEST_F(AcquisitionTest, BuildListIsSortedNewestFirst) {
    ASSERT_TRUE(start());
    ProgramResult r = run({"-B", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Build List for device [0012ABCD]:\n\n"
                         "Build          \tVersion        \n"
                         "120            \t2.10.10        \n"
                         "101            \t2.10.4         \n"
                         "99             \t2.9.12         \n"),
              std::string::npos)
        << r.out;
    std::vector<std::string> queries = sim.Queries();
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_EQ(queries[0], "op=hi&rv=2&");
    EXPECT_EQ(queries[1], "op=builds&sn=0012ABCD&");
}

TEST_F(AcquisitionTest, GetStoresTheLatestBuildAndRecordsIt) {
    ASSERT_TRUE(start());
    ProgramResult r = run({"-G", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const char* line :
         {"Retrieving build 120\n", "Validating build 120 with server\n", "Build 120 is valid\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_EQ(sRead(device() / "120.bird"), sBird(120, "2.10.10")) << "stored byte for byte";
    std::string settings = sRead(device() / ".settings");
    EXPECT_NE(settings.find("LATEST_DOWNLOAD=120.bird"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_DOWNLOAD_DATE="), std::string::npos) << settings;
    EXPECT_EQ(r.out.find("Downloading"), std::string::npos) << "no spinner when not a terminal";
    for (const auto& entry : fs::directory_iterator(device()))
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos);

    // The local list now shows it, with the version read from the file; other names have none.
    std::ofstream(device() / "notes.txt") << "not a build";
    r = run({"-L", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("120            \t2.10.10        \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("notes.txt      \t               \n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(".settings"), std::string::npos) << r.out;
}

TEST_F(AcquisitionTest, RequestedBuildMustBeListedUnlessOverridden) {
    sim.WriteFile(std::string(kSerial) + "/7.bird", sBird(7, "1.0.0"));
    ASSERT_TRUE(start());
    ProgramResult r = run({"-G", "-d", kSerial, "-b", "7"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("No valid build 7\n"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(device() / "7.bird"));

    r = run({"-G", "-d", kSerial, "-b", "7", "-OVERRIDE"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Override specified, skipping validation of build 7\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(sRead(device() / "7.bird"), sBird(7, "1.0.0"));
    std::vector<std::string> queries = sim.Queries();
    ASSERT_FALSE(queries.empty());
    EXPECT_EQ(queries.back(), "bld=7&fw=HV-1&no_cal=false&op=bird&sn=0012ABCD&");
}

TEST_F(AcquisitionTest, UnreachableServer) {
    ASSERT_TRUE(start());
    const std::string dead = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort()) + "/cgi/u";
    ProgramResult r = run({"-B", "-d", kSerial}, dead);
    EXPECT_EQ(r.status, 0) << "the listing itself ran";
    EXPECT_NE(r.err.find("Server request failed for " + dead + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("No builds found for device [0012ABCD]\n"), std::string::npos) << r.out;

    r = run({"-G", "-d", kSerial}, dead);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Server request failed for " + dead + "\n"), std::string::npos) << r.err;
}

// Each misbehaviour of the server's BIRD answer: a clear message, exit 1, and the build already in
// the store and the attributes left exactly as they were.
TEST_F(AcquisitionTest, BadDownloadsLeaveTheStoreAlone) {
    struct Case {
        const char* mode;
        const char* message;
    } cases[] = {
        {"badbase64", "is not valid base64"},
        {"truncate", "Download failed"},
        {"status:500", "Download failed"},
        {"notok", "Download failed"},
    };
    ASSERT_TRUE(start());
    ProgramResult first = run({"-G", "-d", kSerial});
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    const std::string stored = sRead(device() / "120.bird");
    const std::string settings = sRead(device() / ".settings");
    ASSERT_TRUE(sim.Stop());

    for (const Case& c : cases) {
        UpdateServerSim bad;
        for (const char* build : {"101", "99", "120"})
            bad.WriteFile(
                std::string(kSerial) + "/" + build + ".bird",
                sRead(fs::path(sim.DataDir()) / kSerial / (std::string(build) + ".bird")));
        bad.WriteFile(std::string(kSerial) + "/builds.json",
                      sRead(fs::path(sim.DataDir()) / kSerial / "builds.json"));
        ASSERT_TRUE(bad.Start({"--misbehave", std::string("bird=") + c.mode})) << bad.Error();
        ProgramResult r = run({"-G", "-d", kSerial}, bad.Url());
        EXPECT_EQ(r.status, 1) << c.mode << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.mode << "\n" << r.err;
        EXPECT_EQ(sRead(device() / "120.bird"), stored) << c.mode;
        EXPECT_EQ(sRead(device() / ".settings"), settings) << c.mode;
        for (const auto& entry : fs::directory_iterator(device()))
            EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos)
                << c.mode;
    }
}

// Bytes that decode as base64 but are no BIRD file are refused before they reach the store.
TEST_F(AcquisitionTest, NonBirdPayloadIsNotStored) {
    sim.WriteFile(std::string(kSerial) + "/120.bird", "this is not a BIRD file at all");
    ASSERT_TRUE(start());
    ProgramResult r = run({"-G", "-d", kSerial});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("is not a valid BIRD file"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(device() / "120.bird"));
    EXPECT_EQ(sRead(device() / ".settings").find("LATEST_DOWNLOAD"), std::string::npos);
}

}  // namespace

namespace {

// A server that accepts the BIRD request and never answers: the transfer is abandoned once it has
// made no progress for 30 s, and the run ends with a clear failure instead of hanging.
TEST_F(AcquisitionTest, ServerThatNeverAnswersIsAbandoned) {
    ASSERT_TRUE(start({"--misbehave", "bird=hang"}));
    ProgramResult r = run({"-G", "-d", kSerial});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Download failed"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(device() / "120.bird"));
}

}  // namespace
