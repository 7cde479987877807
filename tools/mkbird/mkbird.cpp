// mkbird: writes a BIRD firmware file (or a test firmware image) from a description.
//
//   mkbird [--area] DESCRIPTION OUTPUT      DESCRIPTION is a file, or "-" for standard input;
//                                           --area writes the uncompressed block area only
//   mkbird --image VERSION BUILD SIZE OUTPUT
//
// The description format is explained in BirdWriter.h.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "BirdWriter.h"

namespace {

int Usage() {
    fprintf(stderr,
            "usage: mkbird [--area] DESCRIPTION OUTPUT\n"
            "       mkbird --image VERSION BUILD SIZE OUTPUT\n");
    return 2;
}

bool Number(const char* text, unsigned long long* value) {
    char* end = nullptr;
    *value = strtoull(text, &end, 0);
    return *text && *end == '\0' && text[0] != '-';
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && !strcmp(argv[1], "--image")) {
        unsigned long long version = 0, build = 0, size = 0;
        if (!Number(argv[2], &version) || !Number(argv[3], &build) || !Number(argv[4], &size) ||
            version > 0xFFFFFFFF || build > 0xFFFFFFFF || size < TEST_IMAGE_HEADER_SIZE ||
            size > (1u << 30)) {
            fprintf(stderr, "mkbird: bad image version, build or size (at least %zu bytes)\n",
                    TEST_IMAGE_HEADER_SIZE);
            return 1;
        }
        const Bytes image = MakeTestFirmwareImage(uint32_t(version), uint32_t(build), size_t(size));
        FILE* out = fopen(argv[5], "wb");
        if (!out || fwrite(image.data(), 1, image.size(), out) != image.size() ||
            fclose(out) != 0) {
            fprintf(stderr, "mkbird: cannot write %s\n", argv[5]);
            return 1;
        }
        return 0;
    }

    int arg = 1;
    bool areaOnly = false;
    if (arg < argc && !strcmp(argv[arg], "--area")) {
        areaOnly = true;
        ++arg;
    }
    if (argc - arg != 2) return Usage();
    const std::string description = argv[arg];
    const std::string output = argv[arg + 1];

    std::string text;
    std::string baseDir;
    if (description == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(description);
        if (!in) {
            fprintf(stderr, "mkbird: cannot read %s\n", description.c_str());
            return 1;
        }
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        const size_t slash = description.rfind('/');
        if (slash != std::string::npos) baseDir = description.substr(0, slash);
    }

    BirdWriter writer;
    std::string error;
    if (!ParseBirdDescription(text, baseDir, &writer, &error)) {
        fprintf(stderr, "mkbird: %s: %s\n", description.c_str(), error.c_str());
        return 1;
    }
    if (!writer.WriteFile(output, &error, areaOnly)) {
        fprintf(stderr, "mkbird: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
