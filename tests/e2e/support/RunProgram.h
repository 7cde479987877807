// RunProgram: runs a program of the build (the Updater binary, a tool) as a child process for an
// end-to-end test, with its standard output and error captured, and a bound on how long it may
// run. The sanitizer options of the test's own environment are passed on. Test threads only.
#pragma once

#include <string>
#include <vector>

struct ProgramResult {
    int status = -1;  // exit status; -1 when the program did not exit normally in time
    bool timedOut = false;
    std::string out, err;
};

struct ProgramOptions {
    std::vector<std::string> env;  // extra "NAME=value" entries
    std::string workDir;           // where it runs (and where output is captured); must exist
    int timeoutMs = 60000;
};

ProgramResult RunProgram(const std::string& binary, const std::vector<std::string>& args,
                         const ProgramOptions& options);

// build/app/Updater.
std::string UpdaterBinary();

// A fresh directory under /tmp, removed by the destructor.
class TempDirectory {
  public:
    explicit TempDirectory(const char* prefix = "hv_e2e");
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};
