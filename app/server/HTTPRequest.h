// HTTPRequest: one HTTP GET of a base URL with query parameters, over libcurl's easy interface.
//
// HTTPRequest::GET builds the URL (parameters in byte order of their names, each pair followed by
// "&", nothing escaped), performs the request on a handle of its own and returns an HTTPResponse
// holding the URL, the status code and the whole body. Nothing is kept between requests, so any
// thread may call GET, and several threads may run requests at once. Failures before a status
// code arrived (no handle, an option refused, a failed or stalled transfer) throw
// std::runtime_error with libcurl's text; any status the server answers with is returned.
//
// Every request gives up connecting after at most 15 s and gives up a transfer that moves less
// than 1 byte per second for 30 s, so a server that accepts and never answers cannot block the
// tool. Diagnostics go to the debug log under DEBUG_ServerComm.
#pragma once

#include <cstddef>
#include <map>
#include <string>

class HTTPResponse {
  public:
    explicit HTTPResponse(std::string request) : request(std::move(request)) {}

    const char* get_request() const { return request.c_str(); }
    // The body as a zero-terminated text. The buffer is the response's own; a caller may cut it
    // up in place (for example with a tokenizer) but must not write beyond its terminator.
    char* get_response() { return &response[0]; }
    const char* get_response() const { return response.c_str(); }
    size_t get_response_length() const { return response.size(); }
    long get_status() const { return status; }

    void set_status(long code) { status = code; }
    void process(const char* bytes, size_t length) { response.append(bytes, length); }

  private:
    std::string request;
    long status = 0;
    std::string response;
};

class HTTPRequest {
  public:
    using Parameters = std::map<std::string, std::string>;

    // Performs the GET; see the top of this file.
    static HTTPResponse GET(const std::string& baseUrl, const Parameters& parameters);

    // The URL that GET requests: baseUrl, then "?" and "name=value&" per parameter when there
    // are any.
    static std::string MakeURL(const std::string& baseUrl, const Parameters& parameters);

    // The libcurl write callback: appends size * count bytes to the HTTPResponse that `response`
    // points to and returns the number of bytes taken. Taking fewer than offered makes libcurl
    // fail the transfer; that happens only when the body would exceed the body limit.
    static size_t _rcv_data(char* chunk, size_t size, size_t count, void* response);

    // Limits applied to every request. The defaults are those described above; tests shorten
    // them through SetLimitsForTesting to exercise the slow paths quickly. A change affects the
    // requests that start after it (the body limit: the chunks that arrive after it).
    struct Limits {
        long connectTimeoutMs = 15000;     // time allowed for connecting
        long lowSpeedBytesPerSec = 1;      // a transfer slower than this ...
        long lowSpeedTimeSec = 30;         // ... for this long is abandoned (at least 1 s)
        size_t maxBodyBytes = 256u << 20;  // a longer body fails the request
    };
    static void SetLimitsForTesting(const Limits& limits);
    static Limits GetLimits();
};
