#include "UsbEndpoint.h"

namespace modsim {

std::unique_ptr<Endpoint> makeUsbEndpoint(Simulator&, Module& m, std::string& error) {
    error = m.tag() + ": this build has no virtual USB bus";
    return nullptr;
}

}  // namespace modsim
