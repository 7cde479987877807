#include "server/UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>

#include "cli/Log.h"
#include "server/HTTPRequest.h"
#include "server/ServerReply.h"

const char* const UpdateServerRequest::default_url = "http://updates.kestrova.example/cgi/u";

namespace {

std::string sSerialText(uint32_t serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// Performs the GET of one request and checks its status. On success `response` holds the
// answer; on failure the reason has been logged.
bool sPerform(const char* name, const std::string& url, const HTTPRequest::Parameters& parameters,
              HTTPResponse& response) {
    try {
        response = HTTPRequest::GET(url, parameters);
    } catch (const std::exception& error) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, error.what());
        return false;
    }
    if (response.get_status() != 200) {
        if (std::string(name) == "ping") {
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n",
                     static_cast<int>(response.get_status()), response.get_response());
        } else {
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name,
                     static_cast<int>(response.get_status()), response.get_response());
        }
        return false;
    }
    return true;
}

bool sRejected(const char* name, const HTTPResponse& response) {
    Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name, response.get_request());
    return false;
}

}  // namespace

bool UpdateServerRequest::ping(const std::string& url) {
    HTTPResponse response("");
    if (!sPerform("ping", url, {{"op", "hi"}, {"rv", "2"}}, response)) return false;
    if (!ServerReply::IsOk(response.get_response())) return sRejected("ping", response);
    return true;
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                                     const std::string& url) {
    HTTPResponse response("");
    if (!sPerform("QueryBuild", url, {{"op", "qu"}, {"sn", sSerialText(serial)}}, response)) {
        return false;
    }
    if (!ServerReply::QueryBuild(response.get_response(), build, firmware)) {
        return sRejected("QueryBuild", response);
    }
    return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmware,
                                   const std::string& build, std::string& payload,
                                   const std::string& url, bool noCal) {
    payload.clear();
    const HTTPRequest::Parameters parameters = {{"bld", build},
                                                {"fw", firmware},
                                                {"no_cal", noCal ? "true" : "false"},
                                                {"op", "bird"},
                                                {"sn", sSerialText(serial)}};
    HTTPResponse response("");
    if (!sPerform("GetBuild", url, parameters, response)) return false;
    if (!ServerReply::GetBuild(response.get_response(), payload)) {
        return sRejected("GetBuild", response);
    }
    return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, BuildList& builds, const std::string& url) {
    builds.clear();
    HTTPResponse response("");
    if (!sPerform("GetBuildList", url, {{"op", "builds"}, {"sn", sSerialText(serial)}}, response)) {
        return false;
    }
    if (!ServerReply::GetBuildList(response.get_response(), builds)) {
        return sRejected("GetBuildList", response);
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t words[4], uint32_t& serial,
                                          uint32_t& build, const std::string& url) {
    char fingerprint[64];
    snprintf(fingerprint, sizeof fingerprint, "%08X%%20%08X%%20%08X%%20%08X", words[0], words[1],
             words[2], words[3]);
    const HTTPRequest::Parameters parameters = {
        {"brief", "true"}, {"fp", fingerprint}, {"op", "fix"}};
    HTTPResponse response("");
    if (!sPerform("GetRecoveryInfo", url, parameters, response)) return false;
    if (!ServerReply::GetRecoveryInfo(response.get_response(), serial, build)) {
        return sRejected("GetRecoveryInfo", response);
    }
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitHalvorineVersion(const std::string& version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

namespace {

// The (major, minor, patch) key of a version, each part read as stoi reads it and taken modulo
// 256; false when the version is not three convertible parts.
bool _sortVersion(const std::string& version, std::array<uint8_t, 3>& key) {
    const std::vector<std::string> parts = UpdateServerRequest::SplitHalvorineVersion(version);
    if (parts.size() != 3) return false;
    try {
        for (size_t i = 0; i < 3; ++i) key[i] = static_cast<uint8_t>(std::stoi(parts[i]));
    } catch (const std::exception& error) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 error.what());
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const BuildList& builds) {
    // Versions that cannot be compared are not ordered against any other, which a sort cannot
    // take as its comparison; they are set apart and follow the sorted ones in list order.
    struct Keyed {
        std::array<uint8_t, 3> key;
        const std::pair<const std::string, std::string>* entry;
    };
    std::vector<Keyed> sortable;
    std::vector<std::pair<std::string, std::string>> rest;
    for (const auto& entry : builds) {
        Keyed keyed{{0, 0, 0}, &entry};
        if (_sortVersion(entry.second, keyed.key)) {
            sortable.push_back(keyed);
        } else {
            rest.emplace_back(entry.first, entry.second);
        }
    }
    std::stable_sort(sortable.begin(), sortable.end(),
                     [](const Keyed& a, const Keyed& b) { return a.key > b.key; });
    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(builds.size());
    for (const Keyed& keyed : sortable)
        sorted.emplace_back(keyed.entry->first, keyed.entry->second);
    sorted.insert(sorted.end(), rest.begin(), rest.end());
    return sorted;
}
