// The base of every entity object. A module groups its functions into entities: each entity class
// has a command byte and each instance of it on the module an index. An EntityClass binds one
// (module, command, index) triple and offers typed get, set and call operations on the entity's
// options through UEI messages, byte arrays split over several packets, raw command packets and
// access to the entity's stream subscriptions.
//
// An entity owns nothing: it is a short-lived view of a Module that must outlive it. Every
// operation reports a qErr and none throws; without a module (or a module without a Link) an
// operation gives qErrResource and sends nothing. A module's error reply is returned as the
// module's own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Link.h"
#include "qError.h"
#include "qPacket.h"
#include "qUEI.h"

namespace Tolveric::Lumenvane {

class Module;

class EntityClass {
public:
    struct impl;

    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // --- Binding and raw packets.
    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;
    // The module the entity is bound to, or none before init.
    Module* boundModule() const;
    // One packet to the module: `command` then `length` bytes of `data`.
    qErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    // Awaits the first packet whose leading data bytes (as many as *length says) equal `match`;
    // then *length is its data length and `data` (room for 28 bytes) holds it.
    qErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

    // --- Typed UEI operations; `option` is the option code without its operation bits.
    // The getters return qErrParam for a null output, and write it only when the result is
    // qErrNone or qErrStreamStale (a subscribed value read from the stream cache). A reply that
    // carries no value gives qErrSize.
    qErr callUEI(uint8_t option);
    qErr setUEI8(uint8_t option, uint8_t value);
    qErr setUEI16(uint8_t option, uint16_t value);
    qErr setUEI32(uint8_t option, uint32_t value);
    qErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    qErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    qErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    qErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    qErr getUEI8(uint8_t option, uint8_t* out);
    qErr getUEI16(uint8_t option, uint16_t* out);
    qErr getUEI32(uint8_t option, uint32_t* out);
    qErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* out);
    qErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* out);
    qErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* out);
    // Reads a byte array into `buffer` (capacity `length`); *count is the number of bytes that
    // arrived, also when the array did not fit (qErrMemory).
    qErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* count);

    // The general forms behind the typed ones: the caller fills the value and its kind; these
    // fill in module, command, option and specifier. getUEI answers from the stream cache first.
    qErr getUEI(uint8_t option, uei* message);
    qErr setUEI(uint8_t option, uei* message);
    qErr setUEI(uint8_t option, uint8_t subindex, uei* message);

    // Waits (1000 ms, whatever `timeout` says) for an unsolicited reply of this entity's option;
    // nothing is sent.
    qErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t timeout);
    // Drops every waiting reply of this entity's option.
    qErr drainUEI(uint8_t option);

    // The sequence number and continue flag of a byte-array packet.
    static uint8_t getUEIBytesSequence(const qPacket* packet);
    static uint8_t getUEIBytesContinue(const qPacket* packet);
    // Turns a byte count into a count of units of `unitSize` bytes: qErrMemory (count unchanged)
    // when it is not a whole number of units.
    static qErr getUEIBytesCheck(size_t* count, size_t unitSize);

    // --- Stream subscriptions of this entity.
    qErr setStreamEnabled(bool enable);  // every option of the entity
    qErr registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback, void* reference);
    qErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

private:
    std::unique_ptr<impl> pimpl;
};

}  // namespace Tolveric::Lumenvane
