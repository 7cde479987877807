// I2C: request and reply layouts of the I2C entity's transfers.
#include "api/I2C.h"

#include <algorithm>
#include <cstring>

#include "api/aProtocol.h"

namespace Kestrova {
namespace Halvorine {

namespace {

constexpr uint8_t kReadFlag = 1;        // R/W bit of the device address: read
constexpr uint8_t kPullupSelector = 1;  // the address byte of a pull-up request
constexpr uint8_t kCountAt = 3;         // reply: byte count
constexpr uint8_t kStatusAt = 4;        // reply: status; bit 7 set on failure
constexpr uint8_t kDataAt = 5;          // reply: first byte read
constexpr uint8_t kStatusFailed = 0x80;

}  // namespace

void I2CClass::init(Module* module, uint8_t index) {
    EntityClass::init(module, cmdI2C, index);
}

aErr I2CClass::setSpeed(uint8_t speed) {
    if (speed > kMaxSpeed) return aErrParam;
    m_speed = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) const {
    if (speed == nullptr) return aErrParam;
    *speed = m_speed;
    return aErrNone;
}

aErr I2CClass::_reply(const uint8_t* match, uint8_t matchLength, uint8_t* length, uint8_t* reply) {
    *length = matchLength;
    aErr err = receivePacket(match, length, reply);
    if (err != aErrNone) return err;
    if (*length <= kStatusAt) return aErrPacket;
    if (reply[kStatusAt] & kStatusFailed) return reply[kStatusAt] & 0x7F;
    return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* data) {
    if (length > kMaxTransferBytes) return aErrSize;
    if (data == nullptr && length != 0) return aErrParam;
    const uint8_t index = getIndex();
    const uint8_t request[] = {index, static_cast<uint8_t>(address | kReadFlag), length, m_speed};
    aErr err = sendPacket(cmdI2C, sizeof request, request);
    if (err != aErrNone) return err;
    const uint8_t match[] = {cmdI2C, index, static_cast<uint8_t>(address | kReadFlag)};
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t replyLength = 0;
    err = _reply(match, sizeof match, &replyLength, reply);
    if (err != aErrNone) return err;
    // Never more than the reply carries, nor more than the caller asked for.
    size_t carried = replyLength > kDataAt ? size_t(replyLength - kDataAt) : 0;
    size_t n = std::min<size_t>({reply[kCountAt], carried, length});
    if (n != 0) std::memcpy(data, reply + kDataAt, n);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > kMaxTransferBytes) return aErrSize;
    if (data == nullptr && length != 0) return aErrParam;
    const uint8_t index = getIndex();
    uint8_t request[aPROTO_MAX_DATA - 1] = {index, address, length, m_speed};
    if (length != 0) std::memcpy(request + 4, data, length);
    aErr err = sendPacket(cmdI2C, static_cast<uint8_t>(4 + length), request);
    if (err != aErrNone) return err;
    const uint8_t match[] = {cmdI2C, index, address, 0};
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t replyLength = 0;
    return _reply(match, sizeof match, &replyLength, reply);
}

aErr I2CClass::setPullup(bool enable) {
    const uint8_t index = getIndex();
    const uint8_t request[] = {index, kPullupSelector, static_cast<uint8_t>(enable ? 1 : 0)};
    aErr err = sendPacket(cmdI2C, sizeof request, request);
    if (err != aErrNone) return err;
    const uint8_t match[] = {cmdI2C, index, kPullupSelector};
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t replyLength = 0;
    return _reply(match, sizeof match, &replyLength, reply);
}

}  // namespace Halvorine
}  // namespace Kestrova
