// UpdateServerRequest: the tool's client of the maker's update server.
//
// Five requests, each one HTTP GET (HTTPRequest) of the base URL with an "op" parameter naming
// it, answered by a few lines whose first line says "ok" (ServerReply reads them); plus the
// ordering of build lists by version for display. Every operation is class-level and keeps no
// state, so any thread may call any of them; each returns true on success and reports failures
// only through the debug log (DEBUG_ServerComm), never by throwing.
//
// The base URL is the last argument of every request; default_url is used when none is given.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
  public:
    using BuildList = std::map<std::string, std::string>;  // build number text -> version text

    static const char* const default_url;

    // Is the server there and speaking this protocol (op=hi, rv=2).
    static bool ping(const std::string& url = default_url);

    // The module's current build (line 2) and its firmware text (line 3); a missing line leaves
    // its output unchanged.
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                           const std::string& url = default_url);

    // The base64 text of one build's BIRD file. `payload` is emptied first.
    static bool GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                         std::string& payload, const std::string& url = default_url,
                         bool noCal = false);

    // All builds for a module with their versions. `builds` is cleared first.
    static bool GetBuildList(uint32_t serial, BuildList& builds,
                             const std::string& url = default_url);

    // The module serial number and recovery build for a chip identity of four words.
    static bool GetRecoveryInfo(const uint32_t words[4], uint32_t& serial, uint32_t& build,
                                const std::string& url = default_url);

    // The list's pairs, newest version first. Entries whose version is not three numbers come
    // after all others, in the list's order.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
        const BuildList& builds);

    // The parts of a version text split at every "."; empty unless there are exactly three.
    static std::vector<std::string> SplitHalvorineVersion(const std::string& version);
};
