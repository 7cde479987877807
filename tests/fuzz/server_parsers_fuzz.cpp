// Fuzz target: the update server's answers as the client reads them, and the base64 decoder.
//
// The input is one answer body: every reader runs over it, the build list it yields is sorted by
// version, and line 2 (the BIRD text of a build answer) is decoded. The raw input is also decoded
// as base64, and encoded and decoded back, which must give the input again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "server/ServerReply.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"

namespace {

void sDecode(const char* text, size_t length) {
    size_t decoded = 0;
    unsigned char* bytes = base64_decode(text, length, &decoded);
    if (bytes) {
        if (decoded > length / 4 * 3 || bytes[decoded] != 0) abort();
    } else if (decoded != 0) {
        abort();
    }
    free(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);  // zero-terminated copy

    std::string build, firmware, payload;
    ServerReply::IsOk(body.c_str());
    ServerReply::QueryBuild(body.c_str(), build, firmware);
    if (ServerReply::GetBuild(body.c_str(), payload)) sDecode(payload.data(), payload.size());
    std::map<std::string, std::string> builds;
    if (ServerReply::GetBuildList(body.c_str(), builds)) {
        if (UpdateServerRequest::SortBuildsByVersion(builds).size() != builds.size()) abort();
    }
    uint32_t serial = 0, recoveryBuild = 0;
    ServerReply::GetRecoveryInfo(body.c_str(), serial, recoveryBuild);

    // The raw input as base64 text (in its own allocation, so reads outside it are caught).
    char* text = static_cast<char*>(malloc(size ? size : 1));
    if (size) memcpy(text, data, size);
    sDecode(text, size);
    free(text);

    size_t encodedLength = 0;
    char* encoded = base64_encode(data, size, &encodedLength);
    if (!encoded) abort();
    size_t decodedLength = 0;
    unsigned char* decoded = base64_decode(encoded, encodedLength, &decodedLength);
    if (!decoded || decodedLength != size || (size && memcmp(decoded, data, size) != 0)) abort();
    free(decoded);
    free(encoded);
    return 0;
}
