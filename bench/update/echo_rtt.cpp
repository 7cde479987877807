// update_echo_rtt: round-trip time of one request and its answer through the library's Module,
// over the same links "-U" uses: the module's echo test (command 23 with 8 bytes, answered with the
// same bytes) repeated, timed one exchange at a time.
//
//   update_echo_rtt tcp ADDRESS PORT [ROUNDS]
//   update_echo_rtt usb SERIAL [ROUNDS]      (under the virtual USB bus's preload library)
//
// Output: echo_rtt_us=<median> mean_us=<mean> p90_us=<90th percentile> rounds=<n>
//
// The mean is what a run of back-to-back exchanges costs on average (n exchanges take n times the
// mean); on a busy machine the times have a long tail, so the median is lower than the mean.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/Module.h"

using namespace Kestrova::Halvorine;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWarmUp = 50;

int Usage() {
    fprintf(stderr,
            "usage: update_echo_rtt tcp ADDRESS PORT [ROUNDS]\n"
            "       update_echo_rtt usb SERIAL [ROUNDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const bool tcp = strcmp(argv[1], "tcp") == 0;
    if (!tcp && strcmp(argv[1], "usb") != 0) return Usage();
    if (tcp && argc < 4) return Usage();
    const int roundsAt = tcp ? 4 : 3;
    const int rounds = argc > roundsAt ? atoi(argv[roundsAt]) : 1000;
    if (rounds <= 0) return Usage();

    Module module(2, uint8_t(0));
    aNexusConfig config;
    module.getConfig(&config);
    config.enabled = false;  // the link itself, not a shared one through a local server
    config.fallback = false;
    module.setConfig(config);
    aErr err = aErrNone;
    if (tcp) {
        linkSpec spec{};
        spec.type = TCPIP;
        spec.ip_address = inet_addr(argv[2]);
        spec.ip_port = uint16_t(atoi(argv[3]));
        err = module.connectFromSpec(spec);
    } else {
        err = module.connect(USB, uint32_t(strtoul(argv[2], nullptr, 16)));
    }
    if (err != aErrNone) {
        fprintf(stderr, "update_echo_rtt: cannot connect (%s)\n", aError_GetErrorText(err));
        return 1;
    }
    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<double> us;
    us.reserve(size_t(rounds));
    for (int i = 0; i < kWarmUp + rounds; ++i) {
        const Clock::time_point t0 = Clock::now();
        err = module.debug(payload, sizeof payload);
        const Clock::time_point t1 = Clock::now();
        if (err != aErrNone) {
            fprintf(stderr, "update_echo_rtt: echo failed (%s)\n", aError_GetErrorText(err));
            return 1;
        }
        if (i >= kWarmUp) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    module.disconnect();
    std::sort(us.begin(), us.end());
    double total = 0;
    for (double v : us) total += v;
    printf("echo_rtt_us=%.0f mean_us=%.0f p90_us=%.0f rounds=%d\n", us[us.size() / 2],
           total / double(us.size()), us[us.size() * 9 / 10], rounds);
    return 0;
}
