#include "server/HTTPRequest.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "cli/Log.h"

namespace {

// The limits shared by all requests; only tests change them. Each is read on its own, so a
// change takes effect at the next request (the body limit at the next chunk).
const HTTPRequest::Limits kDefaults;
std::atomic<long> sConnectTimeoutMs{kDefaults.connectTimeoutMs};
std::atomic<long> sLowSpeedBytesPerSec{kDefaults.lowSpeedBytesPerSec};
std::atomic<long> sLowSpeedTimeSec{kDefaults.lowSpeedTimeSec};
std::atomic<size_t> sMaxBodyBytes{kDefaults.maxBodyBytes};

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

}  // namespace

void HTTPRequest::SetLimitsForTesting(const Limits& limits) {
    sConnectTimeoutMs = limits.connectTimeoutMs;
    sLowSpeedBytesPerSec = limits.lowSpeedBytesPerSec;
    sLowSpeedTimeSec = limits.lowSpeedTimeSec;
    sMaxBodyBytes = limits.maxBodyBytes;
}

HTTPRequest::Limits HTTPRequest::GetLimits() {
    Limits limits;
    limits.connectTimeoutMs = sConnectTimeoutMs;
    limits.lowSpeedBytesPerSec = sLowSpeedBytesPerSec;
    limits.lowSpeedTimeSec = sLowSpeedTimeSec;
    limits.maxBodyBytes = sMaxBodyBytes;
    return limits;
}

std::string HTTPRequest::MakeURL(const std::string& baseUrl, const Parameters& parameters) {
    std::string url = baseUrl;
    if (!parameters.empty()) url += "?";
    for (const auto& parameter : parameters) {
        url += parameter.first;
        url += "=";
        url += parameter.second;
        url += "&";
    }
    return url;
}

size_t HTTPRequest::_rcv_data(char* chunk, size_t size, size_t count, void* response) {
    HTTPResponse* body = static_cast<HTTPResponse*>(response);
    const size_t bytes = size * count;
    // The chunk is not terminated: print at most its first 100 characters, padded to 100.
    const int shown = static_cast<int>(bytes < 100 ? bytes : 100);
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
             static_cast<int>(size), static_cast<int>(count),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(body)), shown, chunk);
    size_t taken = bytes;
    const size_t limit = sMaxBodyBytes;
    const size_t held = body->get_response_length();
    if (held > limit || bytes > limit - held) {
        taken = 0;
    } else {
        body->process(chunk, bytes);
    }
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(taken));
    return taken;
}

HTTPResponse HTTPRequest::GET(const std::string& baseUrl, const Parameters& parameters) {
    const Limits limits = GetLimits();
    CurlHandle handle(curl_easy_init());
    const std::string url = MakeURL(baseUrl, parameters);
    HTTPResponse response(url);
    if (!handle) throw std::runtime_error("Could not create curl instance");

    CURL* curl = handle.get();
    CURLcode code = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &HTTPRequest::_rcv_data);
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // The peer's certificate is checked against the system's trusted authorities: a build sent
    // over HTTPS must come from the update server and nobody else.
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // Bounded waits. NOSIGNAL keeps libcurl from using signals for its time-outs, which would be
    // unsafe while the download runs on a worker thread.
    if (code == CURLE_OK) code = curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSec);
    }
    if (code == CURLE_OK) {
        code = curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTimeSec);
    }

    if (code == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", url.c_str());
        code = curl_easy_perform(curl);
    }
    long status = 0;
    if (code == CURLE_OK) code = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
    response.set_status(status);
    return response;
}
