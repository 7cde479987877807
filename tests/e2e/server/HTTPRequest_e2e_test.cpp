// HTTPRequest::GET against real HTTP servers on 127.0.0.1: the simulated update server, a
// closed port and a listener whose accept queue is full.
#include "server/HTTPRequest.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "UpdateServerSim.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs GET and returns the runtime error's text, or "" when it returned.
std::string GetError(const std::string& url, const HTTPRequest::Parameters& parameters) {
    try {
        HTTPRequest::GET(url, parameters);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

class HTTPRequestSim : public ::testing::Test {
  protected:
    void TearDown() override {
        HTTPRequest::SetLimitsForTesting(HTTPRequest::Limits());
        EXPECT_TRUE(sim.Stop()) << "the simulator stops cleanly on SIGTERM";
    }

    void Start(const std::vector<std::string>& args = {}) {
        ASSERT_TRUE(sim.Start(args)) << sim.Error();
    }

    // Short limits, so that the slow paths take about a second.
    static void ShortLimits() {
        HTTPRequest::Limits limits;
        limits.connectTimeoutMs = 300;
        limits.lowSpeedTimeSec = 1;
        HTTPRequest::SetLimitsForTesting(limits);
    }

    UpdateServerSim sim;
};

TEST_F(HTTPRequestSim, EmptyParameterMapRequestsTheBaseUrlUnchanged) {
    Start();
    HTTPResponse response = HTTPRequest::GET(sim.Url(), {});
    EXPECT_EQ(std::string(response.get_request()), sim.Url());
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_EQ(sim.Queries(), std::vector<std::string>{""});
}

TEST_F(HTTPRequestSim, ParametersGoOutInNameOrderUnescaped) {
    Start();
    HTTPResponse response = HTTPRequest::GET(sim.Url(), {{"b", "2"}, {"a", "1"}, {"c", "x&y=z"}});
    EXPECT_EQ(std::string(response.get_request()), sim.Url() + "?a=1&b=2&c=x&y=z&");
    EXPECT_EQ(sim.Queries(), std::vector<std::string>{"a=1&b=2&c=x&y=z&"});
}

TEST_F(HTTPRequestSim, ValueWithASpaceIsPutIntoTheUrlAsItIs) {
    Start();
    const std::string error = GetError(sim.Url(), {{"fw", "HV 1"}});
    // libcurl itself decides what a space in a URL becomes; either it sends the request or it
    // refuses the URL with its own message. The URL text is never escaped by the tool.
    EXPECT_EQ(HTTPRequest::MakeURL(sim.Url(), {{"fw", "HV 1"}}), sim.Url() + "?fw=HV 1&");
    if (error.empty()) {
        ASSERT_EQ(sim.Queries().size(), 1u);
        EXPECT_TRUE(sim.Queries()[0] == "fw=HV 1&" || sim.Queries()[0] == "fw=HV%201&")
            << sim.Queries()[0];
    } else {
        EXPECT_EQ(error, curl_easy_strerror(CURLE_URL_MALFORMAT));
        EXPECT_TRUE(sim.Queries().empty());
    }
}

TEST_F(HTTPRequestSim, ErrorStatusIsReturnedWithTheBody) {
    Start({"--misbehave", "hi=status:404"});
    HTTPResponse response = HTTPRequest::GET(sim.Url(), {{"op", "hi"}, {"rv", "2"}});
    EXPECT_EQ(response.get_status(), 404);
    EXPECT_STREQ(response.get_response(), "error 404\n");

    HTTPResponse other = HTTPRequest::GET(sim.Url() + "/elsewhere", {});
    EXPECT_EQ(other.get_status(), 404);
    EXPECT_STREQ(other.get_response(), "not found\n");
}

TEST_F(HTTPRequestSim, BodyInManyChunksArrivesWholeAndInOrder) {
    sim.WriteFile("0012ABCD/builds.json", R"({"latest": "101", "firmware": "HV-firmware-1"})");
    Start({"--misbehave", "qu=slow:5"});
    LogCapture log;
    HTTPResponse response = HTTPRequest::GET(sim.Url(), {{"op", "qu"}, {"sn", "0012ABCD"}});
    EXPECT_EQ(response.get_status(), 200);
    EXPECT_STREQ(response.get_response(), "ok\n101\nHV-firmware-1\n");
    const std::string text = log.Text();
    size_t chunks = 0;
    for (size_t at = text.find("rcv_data called"); at != std::string::npos;
         at = text.find("rcv_data called", at + 1)) {
        ++chunks;
    }
    EXPECT_GT(chunks, 3u) << text;
    EXPECT_NE(text.find("GET(" + sim.Url() + "?op=qu&sn=0012ABCD&)\n"), std::string::npos);
}

TEST_F(HTTPRequestSim, TruncatedBodyThrows) {
    sim.WriteFile("0012ABCD/builds.json", R"({"latest": "101"})");
    Start({"--misbehave", "qu=truncate"});
    EXPECT_EQ(GetError(sim.Url(), {{"op", "qu"}, {"sn", "0012ABCD"}}),
              curl_easy_strerror(CURLE_PARTIAL_FILE));
}

TEST_F(HTTPRequestSim, ClosedWithoutAnswerThrows) {
    Start({"--misbehave", "*=close"});
    EXPECT_EQ(GetError(sim.Url(), {{"op", "hi"}}), curl_easy_strerror(CURLE_GOT_NOTHING));
}

TEST_F(HTTPRequestSim, ServerThatNeverAnswersIsGivenUpAtTheLowSpeedLimit) {
    Start({"--misbehave", "hi=hang"});
    ShortLimits();
    const auto start = Clock::now();
    EXPECT_EQ(GetError(sim.Url(), {{"op", "hi"}}), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    EXPECT_LT(SecondsSince(start), 5.0);
}

TEST_F(HTTPRequestSim, BodyBeyondTheLimitThrows) {
    sim.WriteFile("0012ABCD/builds.json", R"({"latest": "101", "firmware": "0123456789"})");
    Start();
    HTTPRequest::Limits limits;
    limits.maxBodyBytes = 8;
    HTTPRequest::SetLimitsForTesting(limits);
    EXPECT_EQ(GetError(sim.Url(), {{"op", "qu"}, {"sn", "0012ABCD"}}),
              curl_easy_strerror(CURLE_WRITE_ERROR));
}

TEST_F(HTTPRequestSim, RequestsOnSeveralThreadsAreIndependent) {
    sim.WriteFile("0012ABCD/builds.json", R"({"latest": "101", "firmware": "A"})");
    sim.WriteFile("00000042/builds.json", R"({"latest": "42", "firmware": "B"})");
    Start();
    std::vector<std::string> bodies(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < bodies.size(); ++i) {
        threads.emplace_back([&, i] {
            const char* serial = i % 2 ? "00000042" : "0012ABCD";
            bodies[i] = HTTPRequest::GET(sim.Url(), {{"op", "qu"}, {"sn", serial}}).get_response();
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (size_t i = 0; i < bodies.size(); ++i) {
        EXPECT_EQ(bodies[i], i % 2 ? "ok\n42\nB\n" : "ok\n101\nA\n");
    }
    EXPECT_EQ(sim.Queries().size(), bodies.size());
}

TEST_F(HTTPRequestSim, HttpsServerWithAnUntrustedCertificateIsRefused) {
    const std::string cert = sim.DataDir() + "/cert.pem";
    const std::string key = sim.DataDir() + "/key.pem";
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
        key + "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "openssl cannot make a certificate";
    Start({"--tls-cert", cert, "--tls-key", key});
    ASSERT_EQ(sim.Url().rfind("https://", 0), 0u) << sim.Url();
    EXPECT_EQ(GetError(sim.Url(), {{"op", "hi"}, {"rv", "2"}}),
              curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_TRUE(sim.Queries().empty()) << "nothing is sent to an unverified server";
}

TEST(HTTPRequestNoServer, ClosedPortThrowsLibcurlsMessage) {
    const int port = UnusedLoopbackPort();
    ASSERT_GT(port, 0);
    EXPECT_EQ(GetError("http://127.0.0.1:" + std::to_string(port) + "/cgi/u", {{"op", "hi"}}),
              curl_easy_strerror(CURLE_COULDNT_CONNECT));
}

TEST(HTTPRequestNoServer, ConnectionThatIsNeverAcceptedIsGivenUpAtTheConnectLimit) {
    // A listener that never accepts and whose queue is already full: the kernel drops further
    // connection requests, so connecting neither succeeds nor fails by itself.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    HTTPRequest::Limits limits;
    limits.connectTimeoutMs = 300;
    HTTPRequest::SetLimitsForTesting(limits);
    const auto start = Clock::now();
    const std::string error =
        GetError("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/", {});
    const double seconds = SecondsSince(start);
    HTTPRequest::SetLimitsForTesting(HTTPRequest::Limits());
    for (int fd : fillers) close(fd);
    close(listener);
    EXPECT_EQ(error, curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    EXPECT_LT(seconds, 3.0);
}

}  // namespace
