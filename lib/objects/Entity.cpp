// Entity binding, raw packets, typed UEI get, set and call, and the entity's stream helpers.
// Byte-array reads are in EntityBytes.cpp.
#include "Entity.h"

#include "EntityImpl.h"
#include "Module.h"

namespace Tolveric::Lumenvane {

namespace {

// The value a reply carried, whatever its width; false when it carried none.
bool value_of(const uei& reply, uint32_t* value) {
    switch (reply.type) {
    case ueiTypeByte:
        *value = reply.value.byteVal;
        return true;
    case ueiTypeShort:
        *value = reply.value.shortVal;
        return true;
    case ueiTypeInt:
        *value = reply.value.intVal;
        return true;
    default:
        return false;
    }
}

uei value_message(int type, uint32_t value) {
    uei message{};
    message.type = type;
    if (type == ueiTypeByte) message.value.byteVal = static_cast<uint8_t>(value);
    if (type == ueiTypeShort) message.value.shortVal = static_cast<uint16_t>(value);
    if (type == ueiTypeInt) message.value.intVal = value;
    return message;
}

// A get whose request carries `request` (nothing, or a subindex), converted to the output's width.
template <typename T>
qErr typed_get(EntityClass& entity, uint8_t option, uei request, T* out) {
    if (out == nullptr) return qErrParam;
    qErr result = entity.getUEI(option, &request);
    if (result != qErrNone && result != qErrStreamStale) return result;
    uint32_t value = 0;
    if (!value_of(request, &value)) return qErrSize;
    *out = static_cast<T>(value);
    return result;
}

}  // namespace

qErr entity_module_error(const uei& reply) {
    qErr code = static_cast<qErr>(reply.value.byteVal);
    // An error reply is never a success, whatever code it carries.
    return code == qErrNone ? qErrUnknown : code;
}

Link* EntityClass::impl::link() const { return module != nullptr ? module->getLink() : nullptr; }

uint8_t EntityClass::impl::address() const { return module->getModuleAddress(); }

uei EntityClass::impl::reply(uint8_t option) const {
    uei message{};
    message.module = address();
    message.command = command;
    message.option = option;
    message.specifier = index;
    message.type = ueiTypeVoid;
    return message;
}

EntityClass::EntityClass() : pimpl(std::make_unique<impl>()) { pimpl->owner = this; }

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    pimpl->module = module;
    pimpl->command = command;
    pimpl->index = index;
}

uint8_t EntityClass::getIndex() const { return pimpl->index; }

Module* EntityClass::boundModule() const { return pimpl->module; }

qErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* link = pimpl->link();
    if (link == nullptr) return qErrResource;
    return link->sendPacket(pimpl->address(), command, length, data);
}

qErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
    Link* link = pimpl->link();
    if (link == nullptr) return qErrResource;
    return link->receivePacket(pimpl->address(), match, length, data);
}

// --- Get.

qErr EntityClass::getUEI(uint8_t option, uei* message) {
    if (message == nullptr || option > qUEI_OPTION_CODE_MASK) return qErrParam;
    Link* link = pimpl->link();
    if (link == nullptr) return qErrResource;

    // A subscribed value is answered from the stream cache without asking the module.
    uint8_t subindex = message->type == ueiTypeByte ? message->value.byteVal : 0;
    uint32_t cached = 0;
    qErr result = link->getStreamValue(pimpl->address(), pimpl->command, option, pimpl->index, subindex, &cached);
    if (result != qErrNotFound) {
        if (result == qErrNone || result == qErrStreamStale) {
            *message = pimpl->reply(option);
            message->type = ueiTypeInt;
            message->value.intVal = cached;
        }
        return result;
    }

    uei request = *message;
    request.module = pimpl->address();
    request.command = pimpl->command;
    request.option = static_cast<uint8_t>(option | qUEI_OPERATION_GET);
    request.specifier = static_cast<uint8_t>(pimpl->index | qUEI_INDEX_REQUEST);
    result = link->sendUEI(request);
    if (result != qErrNone) return result;

    // The reply's kind is what the reply carries: a reply without a value leaves it void.
    *message = pimpl->reply(option);
    result = link->receiveUEI(message->module, message->command, message->option, message->specifier, message);
    if (result != qErrNone) return result;
    if (message->specifier & qUEI_INDEX_ERROR) return entity_module_error(*message);
    return qErrNone;
}

qErr EntityClass::getUEI8(uint8_t option, uint8_t* out) { return typed_get(*this, option, value_message(ueiTypeVoid, 0), out); }

qErr EntityClass::getUEI16(uint8_t option, uint16_t* out) {
    return typed_get(*this, option, value_message(ueiTypeVoid, 0), out);
}

qErr EntityClass::getUEI32(uint8_t option, uint32_t* out) {
    return typed_get(*this, option, value_message(ueiTypeVoid, 0), out);
}

qErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* out) {
    return typed_get(*this, option, value_message(ueiTypeByte, subindex), out);
}

qErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* out) {
    return typed_get(*this, option, value_message(ueiTypeByte, subindex), out);
}

qErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* out) {
    return typed_get(*this, option, value_message(ueiTypeByte, subindex), out);
}

// --- Set and call.

qErr EntityClass::impl::set(uint8_t option, const uint8_t* subindex, uei* message) {
    if (message == nullptr || option > qUEI_OPTION_CODE_MASK) return qErrParam;
    Link* connection = link();
    if (connection == nullptr) return qErrResource;

    uei request = *message;
    request.module = address();
    request.command = command;
    request.option = static_cast<uint8_t>(option | qUEI_OPERATION_SET);
    request.specifier = static_cast<uint8_t>(index | qUEI_INDEX_REQUEST);
    qErr result = subindex != nullptr ? connection->sendUEI(request, *subindex) : connection->sendUEI(request);
    if (result != qErrNone) return result;

    // The record keeps its kind and length while waiting: a long byte array is given longer.
    message->module = request.module;
    message->command = command;
    message->option = static_cast<uint8_t>(option | qUEI_OPERATION_ACK);
    message->specifier = index;
    result = connection->receiveUEI(message->module, message->command, message->option, message->specifier, message);
    if (result != qErrNone) return result;
    if (message->specifier & qUEI_INDEX_ERROR) return entity_module_error(*message);
    return qErrNone;
}

qErr EntityClass::setUEI(uint8_t option, uei* message) { return pimpl->set(option, nullptr, message); }

qErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* message) {
    return pimpl->set(option, &subindex, message);
}

qErr EntityClass::callUEI(uint8_t option) {
    uei message = value_message(ueiTypeVoid, 0);
    return setUEI(option, &message);
}

qErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    uei message = value_message(ueiTypeByte, value);
    return setUEI(option, &message);
}

qErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    uei message = value_message(ueiTypeShort, value);
    return setUEI(option, &message);
}

qErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    uei message = value_message(ueiTypeInt, value);
    return setUEI(option, &message);
}

qErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    uei message = value_message(ueiTypeByte, value);
    return setUEI(option, subindex, &message);
}

qErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    uei message = value_message(ueiTypeShort, value);
    return setUEI(option, subindex, &message);
}

qErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    uei message = value_message(ueiTypeInt, value);
    return setUEI(option, subindex, &message);
}

qErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    uei message = value_message(ueiTypeBytes, 0);
    message.value.bytes.data = const_cast<uint8_t*>(data);  // only read when sending
    message.value.bytes.length = length;
    return setUEI(option, &message);
}

// --- Unsolicited replies.

qErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t) {
    if (value == nullptr || option > qUEI_OPTION_CODE_MASK) return qErrParam;
    Link* link = pimpl->link();
    if (link == nullptr) return qErrResource;
    uei reply = pimpl->reply(option);
    qErr result = link->receiveUEI(reply.module, reply.command, reply.option, reply.specifier, &reply);
    if (result != qErrNone) return result;
    if (reply.specifier & qUEI_INDEX_ERROR) return entity_module_error(reply);
    uint32_t received = 0;
    if (!value_of(reply, &received)) return qErrSize;
    *value = received;
    return qErrNone;
}

qErr EntityClass::drainUEI(uint8_t option) {
    Link* link = pimpl->link();
    if (link == nullptr) return qErrResource;
    return link->dropMatchingUEIPackets(pimpl->address(), pimpl->command, option, pimpl->index);
}

// --- Streams.

qErr EntityClass::setStreamEnabled(bool enable) {
    Link* link = pimpl->link();
    if (link == nullptr) return qErrResource;
    return link->enableStream(pimpl->address(), pimpl->command, Link::STREAM_WILDCARD, pimpl->index, enable);
}

qErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::StreamCallback callback,
                                         void* reference) {
    Link* link = pimpl->link();
    if (link == nullptr) return qErrResource;
    return link->registerStreamCallback(pimpl->address(), pimpl->command, option, pimpl->index, enable,
                                        std::move(callback), reference);
}

qErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count) {
    Link* link = pimpl->link();
    if (link == nullptr) return qErrResource;
    return link->getStreamStatus(pimpl->address(), pimpl->command, Link::STREAM_WILDCARD, pimpl->index,
                                 Link::STREAM_WILDCARD, entries, capacity, count);
}

}  // namespace Tolveric::Lumenvane
