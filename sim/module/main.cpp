// hvmodsim: simulated Halvorine modules for trying the tool without hardware.
//
// Prints one ready line when every configured module is reachable, runs until SIGTERM or SIGINT,
// and dumps the simulated flash of every module that has a dump path on SIGUSR1.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Config.h"
#include "Simulator.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& a : args) {
        if (a == "-h" || a == "--help") {
            std::fputs(modsim::kUsage, stdout);
            return 0;
        }
    }
    modsim::SimConfig cfg;
    std::string error;
    if (!modsim::parseArgs(args, cfg, error)) {
        std::fprintf(stderr, "hvmodsim: %s\n%s", error.c_str(), modsim::kUsage);
        return 2;
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGUSR1);
    sigaddset(&mask, SIGHUP);
    signal(SIGPIPE, SIG_IGN);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
        std::fprintf(stderr, "hvmodsim: cannot block signals: %s\n", std::strerror(errno));
        return 1;
    }
    int sfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sfd < 0) {
        std::fprintf(stderr, "hvmodsim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    int rc = 0;
    {
        modsim::Simulator sim(cfg);
        if (!sim.start(error)) {
            std::fprintf(stderr, "hvmodsim: %s\n", error.c_str());
            ::close(sfd);
            return 1;
        }
        sim.loop().watch(sfd, POLLIN, [&](short) {
            signalfd_siginfo si;
            while (::read(sfd, &si, sizeof si) == ssize_t(sizeof si)) {
                if (si.ssi_signo == SIGUSR1)
                    sim.dumpAllFlash();
                else
                    sim.stop();
            }
        });
        std::printf("%s\n", sim.readyLine().c_str());
        std::fflush(stdout);
        sim.run();
    }
    ::close(sfd);
    return rc;
}
