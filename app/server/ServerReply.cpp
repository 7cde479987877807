#include "server/ServerReply.h"

#include <cstdlib>
#include <cstring>

#include "cli/Log.h"

bool ReplyTokenizer::Next(const char* separators, std::string_view& token) {
    const size_t start = rest.find_first_not_of(separators);
    if (start == std::string_view::npos) {
        rest = std::string_view();
        return false;
    }
    const size_t end = rest.find_first_of(separators, start);
    if (end == std::string_view::npos) {
        token = rest.substr(start);
        rest = std::string_view();
    } else {
        token = rest.substr(start, end - start);
        rest = rest.substr(end + 1);
    }
    return true;
}

namespace {

bool sFirstLineOk(ReplyTokenizer& lines) {
    std::string_view first;
    return lines.Next("\n", first) && first.size() >= 2 && first.compare(0, 2, "ok") == 0;
}

}  // namespace

namespace ServerReply {

bool IsOk(const char* body) {
    ReplyTokenizer lines(body);
    return sFirstLineOk(lines);
}

bool QueryBuild(const char* body, std::string& build, std::string& firmware) {
    ReplyTokenizer lines(body);
    if (!sFirstLineOk(lines)) return false;
    std::string_view line;
    if (lines.Next("\n", line)) build.assign(line);
    if (lines.Next("\r\n", line)) firmware.assign(line);
    return true;
}

bool GetBuild(const char* body, std::string& payload) {
    ReplyTokenizer lines(body);
    if (!sFirstLineOk(lines)) return false;
    std::string_view line;
    if (lines.Next("\n", line)) payload.assign(line);
    return true;
}

bool GetBuildList(const char* body, std::map<std::string, std::string>& builds) {
    ReplyTokenizer lines(body);
    if (!sFirstLineOk(lines)) return false;
    std::string_view line;
    while (lines.Next("\n", line)) {
        if (line.size() < 3) continue;
        const std::string entry(line);
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", entry.c_str());
        ReplyTokenizer parts(entry.c_str());
        std::string_view first;
        if (!parts.Next(";\r\n", first)) continue;
        std::string_view second;
        const std::string build(first);
        const std::string version = parts.Next(";\r\n", second) ? std::string(second) : "";
        builds.emplace(build, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(),
                 version.c_str());
    }
    return true;
}

bool GetRecoveryInfo(const char* body, uint32_t& serial, uint32_t& build) {
    ReplyTokenizer lines(body);
    std::string_view first;
    if (!lines.Next("\n", first) || first.size() < 2 || first.compare(0, 2, "ok") != 0) {
        return false;
    }
    std::string_view line;
    std::string serialText;
    std::string buildText;
    if (lines.Next("\n", line)) {
        serialText.assign(line);
        serial = static_cast<uint32_t>(strtoul(serialText.c_str(), nullptr, 16));
        if (lines.Next("\n", line)) {
            buildText.assign(line);
            build = static_cast<uint32_t>(strtoul(buildText.c_str(), nullptr, 0));
        }
    }
    const std::string firstText(first);
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", firstText.c_str(),
             serialText.c_str(), buildText.c_str());
    return true;
}

}  // namespace ServerReply
