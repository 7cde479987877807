// Loads a BIRD file whose firmware block holds 1 MiB, in three shapes: incompressible bytes,
// code-like bytes (about 3:1), and zeros (far beyond 8:1, so the inflate buffer has to grow).
// Reports the time per load and the firmware bytes loaded per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BirdWriter.h"
#include "firmware/BirdFile.h"

namespace {

constexpr size_t kFirmwareSize = 1u << 20;

Bytes Firmware(int shape) {
    switch (shape) {
        case 0:
            return MakeTestFirmwareImage(0x2F010203, 1, kFirmwareSize);
        case 1: {
            // Instruction-like: few distinct bytes with repeats, as compiled code has.
            Bytes image = MakeTestFirmwareImage(0x2F010203, 1, kFirmwareSize);
            const Bytes noise = PseudoRandomBytes(kFirmwareSize, 7);
            for (size_t i = 12; i < image.size(); ++i) {
                image[i] =
                    (noise[i] & 0x80) ? image[i - 4 > 12 ? i - 4 : 12] : uint8_t(noise[i] & 0x1F);
            }
            return image;
        }
        default:
            return Bytes(kFirmwareSize, 0);
    }
}

std::string WriteFixture(int shape) {
    const char* base = getenv("TMPDIR");
    std::string path = std::string(base && *base ? base : "/tmp") + "/hvbench-XXXXXX";
    int fd = mkstemp(&path[0]);
    if (fd < 0) return std::string();
    close(fd);
    BirdWriter w;
    w.Loader(0x10000000, PseudoRandomBytes(16 * 1024, 3))
        .Firmware(0, Firmware(shape))
        .SerialOffsets(0xFC, 0x200)
        .Info(12345, "1.2.3", 0, "USBHub3p");
    std::string error;
    if (!w.WriteFile(path, &error)) return std::string();
    return path;
}

void BM_LoadBirdFile(benchmark::State& state) {
    const std::string path = WriteFixture(int(state.range(0)));
    if (path.empty()) {
        state.SkipWithError("cannot write the fixture");
        return;
    }
    FILE* f = fopen(path.c_str(), "rb");
    fseek(f, 0, SEEK_END);
    const long fileSize = ftell(f);
    fclose(f);
    for (auto _ : state) {
        BirdFile file(path);
        benchmark::DoNotOptimize(file.blocks().data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFirmwareSize));
    state.counters["file_bytes"] = double(fileSize);
    unlink(path.c_str());
}

}  // namespace

BENCHMARK(BM_LoadBirdFile)->ArgName("shape")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
