// File-local helpers of the Updater operations, shared by the units of the update folder.
#pragma once

#include <memory>
#include <string>

#include "cli/UpdaterDisplayInterface.h"

class UpdaterStore;

// A new store over `updaterDirectory`, or null after reporting
// "Failed to Create UpdaterStore in: <caller> - Exception: <text>".
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& updaterDirectory,
                                                  const char* caller);

// True when the server's build list for the module holds `build`.
bool _valid_build(unsigned serialNumber, unsigned build, const char* serverUrl);
