#include "I2CClass.h"

#include <algorithm>
#include <cstring>

#include "qPacket.h"

namespace Tolveric::Lumenvane {

namespace {

constexpr uint8_t cmdI2C = 8;
constexpr uint8_t I2C_READ_FLAG = 0x01;       // set in the address of a read
constexpr uint8_t I2C_PULLUP_REQUEST = 1;     // in place of the address: the pull-up setting

// Reply layout: command, index, address, count, status, then the bytes read.
constexpr uint8_t REPLY_COUNT_BYTE = 3;
constexpr uint8_t REPLY_STATUS_BYTE = 4;
constexpr uint8_t REPLY_DATA_BYTE = 5;
constexpr uint8_t STATUS_ERROR = 0x80;

}  // namespace

I2CClass::~I2CClass() = default;

void I2CClass::init(Module* module, uint8_t index) {
    EntityClass::init(module, cmdI2C, index);
    speed = 0;
}

qErr I2CClass::setSpeed(uint8_t newSpeed) {
    if (newSpeed > MAX_SPEED) return qErrParam;
    speed = newSpeed;
    return qErrNone;
}

qErr I2CClass::getSpeed(uint8_t* out) const {
    if (out == nullptr) return qErrParam;
    *out = speed;
    return qErrNone;
}

qErr I2CClass::_transact(const uint8_t* request, uint8_t requestLength, const uint8_t* match, uint8_t matchLength,
                         uint8_t* reply, uint8_t* replyLength) {
    qErr result = sendPacket(cmdI2C, requestLength, request);
    if (result != qErrNone) return result;
    *replyLength = matchLength;
    result = receivePacket(match, replyLength, reply);
    if (result != qErrNone) return result;
    if (*replyLength <= REPLY_STATUS_BYTE) return qErrPacket;
    uint8_t status = reply[REPLY_STATUS_BYTE];
    if (status & STATUS_ERROR) {
        uint8_t code = status & static_cast<uint8_t>(~STATUS_ERROR);
        // A failed bus request is never a success, whatever code it carries.
        return code != qErrNone ? static_cast<qErr>(code) : qErrUnknown;
    }
    return qErrNone;
}

qErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
    if (length > MAX_TRANSFER) return qErrSize;
    if (buffer == nullptr && length > 0) return qErrParam;
    const uint8_t device = address | I2C_READ_FLAG;
    const uint8_t request[] = {getIndex(), device, length, speed};
    const uint8_t match[] = {cmdI2C, getIndex(), device};
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    qErr result = _transact(request, sizeof request, match, sizeof match, reply, &replyLength);
    if (result != qErrNone) return result;
    // The count byte is the module's word: the copy is bounded by what arrived and what was asked.
    size_t copied = std::min<size_t>({reply[REPLY_COUNT_BYTE], static_cast<size_t>(replyLength - REPLY_DATA_BYTE),
                                      static_cast<size_t>(length)});
    if (copied > 0) memcpy(buffer, reply + REPLY_DATA_BYTE, copied);
    return qErrNone;
}

qErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > MAX_TRANSFER) return qErrSize;
    if (data == nullptr && length > 0) return qErrParam;
    uint8_t request[qPACKET_MAX_DATA] = {getIndex(), address, length, speed};
    constexpr uint8_t header = 4;
    if (length > 0) memcpy(request + header, data, length);
    const uint8_t match[] = {cmdI2C, getIndex(), address, 0};
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return _transact(request, static_cast<uint8_t>(header + length), match, sizeof match, reply, &replyLength);
}

qErr I2CClass::setPullup(bool on) {
    const uint8_t request[] = {getIndex(), I2C_PULLUP_REQUEST, static_cast<uint8_t>(on ? 1 : 0)};
    const uint8_t match[] = {cmdI2C, getIndex(), I2C_PULLUP_REQUEST};
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    return _transact(request, sizeof request, match, sizeof match, reply, &replyLength);
}

}  // namespace Tolveric::Lumenvane
