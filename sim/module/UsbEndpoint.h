// UsbEndpoint: a module on the virtual USB bus (see sim/vusb), reached by bulk transfers.
#pragma once

#include <memory>
#include <string>

#include "Simulator.h"

namespace modsim {

// Null with a one-line error when the module cannot be put on the bus.
std::unique_ptr<Endpoint> makeUsbEndpoint(Simulator& sim, Module& m, std::string& error);

}  // namespace modsim
