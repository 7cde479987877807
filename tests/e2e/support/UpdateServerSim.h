// UpdateServerSim: runs the simulated update server (sim/update_server) as a child process for
// one test, in a temporary directory of its own, and reads back the query strings it recorded.
//
// Start() launches it on an ephemeral port and waits (at most 10 s) for its ready line; the
// destructor stops it with SIGTERM and reports whether it exited cleanly. The child is also
// killed if the test process dies first. Test threads only; not copyable.
#pragma once

#include <string>
#include <vector>

class UpdateServerSim {
  public:
    UpdateServerSim();
    ~UpdateServerSim();
    UpdateServerSim(const UpdateServerSim&) = delete;
    UpdateServerSim& operator=(const UpdateServerSim&) = delete;

    // The data directory handed to --dir (created empty); tests fill it before Start().
    const std::string& DataDir() const { return dataDir; }
    // Writes `bytes` to DataDir()/<relative>, creating its folder.
    void WriteFile(const std::string& relative, const std::string& bytes) const;

    // Starts the server with --dir, --log and `extraArgs`. False (with the reason in Error())
    // when it did not print its ready line.
    bool Start(const std::vector<std::string>& extraArgs = {});
    // Stops it with SIGTERM; true when it exited with status 0 within 5 s.
    bool Stop();

    int Port() const { return port; }
    std::string Url() const { return url; }
    const std::string& Error() const { return error; }
    // The raw query strings received so far, one per request, in order.
    std::vector<std::string> Queries() const;

  private:
    std::string root;
    std::string dataDir;
    std::string logPath;
    int pid = -1;
    int port = 0;
    std::string url;
    std::string error;
};

// A port on 127.0.0.1 where nothing listens (bound, then released).
int UnusedLoopbackPort();
