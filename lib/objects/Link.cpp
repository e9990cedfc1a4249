#include "Link.h"

#include <algorithm>
#include <cstring>

#include "LinkImpl.h"
#include "qDebugging.h"
#include "qModuleContract.h"
#include "qTime.h"

namespace Tolveric::Lumenvane {

namespace {

// Held while any Link creates its engine link: creation looks up and adds to the process-wide
// link table, and two Links reaching one module must end up sharing one engine link.
std::mutex linkCreateHelperSerializer;

// A new link gets 200 looks at its status, 10 ms apart, to start running: 2 s.
constexpr int LINK_START_POLLS = 200;
constexpr uint64_t LINK_START_POLL_MS = 10;

// getStatus without an engine link.
constexpr int STATUS_NO_ENGINE_LINK = 8;

bool has_no_data(const qPacket* packet, void*) { return packet->length == 0; }

}  // namespace

// --- Implementation object.

Link::impl::impl(Link* owner_, const char* name_) : owner(owner_) {
    if (name_ != nullptr) {
        name.assign(name_, strnlen(name_, LINK_NAME_MAX));
        hasName = true;
    }
}

Link::impl::~impl() {
    // The worker and the filter use the queue and the table: both must be gone first.
    stopStreaming();
    closePacketLog();
    if (linkRef != 0) qLink_Destroy(&linkRef);
}

bool Link::impl::connected() const { return linkRef != 0 && qLink_GetStatus(linkRef) == qLinkStatusRunning; }

qErr Link::impl::linkCreateHelper() {
    std::lock_guard lock(linkCreateHelperSerializer);
    const linkSpec& spec = *specifier;
    qLinkID created = 0;
    switch (spec.type) {
    case linkTypeUSB:
        if (config.enabled) {
            created = qLink_CreateServer(spec.serialNumber, &config.port, &config.networkInterface, config.localOnly);
        } else {
            created = qLink_CreateUSB(spec.serialNumber);
        }
        break;
    case linkTypeTCPIP:
        created = qLink_CreateTCPIP(spec.transport.ip.address, static_cast<uint16_t>(spec.transport.ip.port));
        break;
    case linkTypeSerial: {
        // The specifier came from outside: its port name is only trusted up to its own field.
        char port[LINKSPEC_SERIAL_PORT_SIZE + 1] = {};
        memcpy(port, spec.transport.serial.port, LINKSPEC_SERIAL_PORT_SIZE);
        created = qLink_CreateSerial(spec.serialNumber, port, spec.transport.serial.baud);
        break;
    }
    case linkTypeQEther:
        if (!config.enabled) return qErrConfiguration;
        // A reference taken from another link is handed on, so the client reuses that link.
        created = qLink_CreateClient(spec.transport.ip.address, static_cast<uint16_t>(spec.transport.ip.port),
                                     linkRef);
        break;
    default:
        return qErrMode;
    }
    linkRef = created;
    return qErrNone;
}

qErr Link::impl::waitForLink(int polls) {
    int status = qLink_GetStatus(linkRef);
    switch (status) {
    case qLinkStatusStopped:
    case qLinkStatusStarting:
    case qLinkStatusSynchronising:
        for (int poll = 0; poll < polls && status != qLinkStatusRunning; ++poll) {
            qTime_MSSleep(LINK_START_POLL_MS);
            status = qLink_GetStatus(linkRef);
        }
        return status == qLinkStatusRunning ? qErrNone : qErrConnection;
    case qLinkStatusRunning:
        return qErrNone;
    case qLinkStatusStopping:
        return qErrBusy;
    case qLinkStatusNoStream:
    case qLinkStatusIOError:
    case qLinkStatusDeliveryFailed:
        return qErrConnection;
    default:
        return qErrDuplicate;
    }
}

qErr Link::impl::connectHelper() {
    if (!specifier) return qErrConfiguration;
    qErr result = linkCreateHelper();
    if (result != qErrNone) return result;
    if (linkRef == 0) return qErrConnection;
    result = waitForLink(LINK_START_POLLS);
    // A link that never ran is not kept: the next connect (a reconnect loop's next attempt)
    // starts afresh instead of finding a dead engine link in its way.
    if (result != qErrNone) qLink_Destroy(&linkRef);
    return result;
}

qErr Link::impl::putPacket(uint8_t module, uint8_t length, const uint8_t* data) {
    static const uint8_t NO_DATA = 0;
    qPacket* packet = qPacket_CreateWithData(module, length, data != nullptr ? data : &NO_DATA);
    if (packet == nullptr) return qErrResource;
    qErr result = qLink_PutPacket(linkRef, packet);
    qPacket_Destroy(&packet);
    return result;
}

PacketCopy Link::impl::awaitPacket(qPacketFilter filter, void* reference, uint32_t timeout_ms) {
    return PacketCopy(qLink_AwaitFirst(linkRef, filter, reference, timeout_ms));
}

// --- Construction and configuration.

Link::Link(const char* name) : pimpl(std::make_unique<impl>(this, name)) {}

Link::Link(linkSpec spec, const char* name) : Link(name) { pimpl->specifier = std::make_unique<linkSpec>(spec); }

Link::~Link() = default;

qErr Link::getConfig(qEtherConfig* out) const {
    if (out == nullptr) return qErrParam;
    *out = pimpl->config;
    return qErrNone;
}

qErr Link::setConfig(qEtherConfig config) {
    if (isConnected()) return qErrMode;
    pimpl->config = config;
    return qErrNone;
}

qErr Link::getLinkSpecifier(linkSpec* out) const {
    if (out == nullptr) return qErrParam;
    if (!pimpl->specifier) return qErrNotFound;
    *out = *pimpl->specifier;
    return qErrNone;
}

qErr Link::setLinkSpecifier(linkSpec spec) {
    if (isConnected()) return qErrBusy;
    pimpl->specifier = std::make_unique<linkSpec>(spec);
    return qErrNone;
}

const char* Link::getName() const { return pimpl->hasName ? pimpl->name.c_str() : nullptr; }

// --- Connecting.

qErr Link::connect() {
    if (pimpl->linkRef != 0) return qErrConnection;
    return pimpl->connectHelper();
}

qErr Link::connectThroughLinkModule(Link& other) {
    qLinkID borrowed = other.pimpl->linkRef;
    if (borrowed == 0) return qErrInitialization;
    // Taking the other reference over our own would lose our use of the engine link.
    if (pimpl->linkRef != 0) return qErrConnection;
    pimpl->linkRef = borrowed;
    qErr result = pimpl->connectHelper();
    // These two results come before any creation (a created link replaces the reference): the
    // borrowed reference then carries no use of ours, and keeping it would make our disconnect
    // end the other Link's link.
    if (result == qErrConfiguration || result == qErrMode) pimpl->linkRef = 0;
    return result;
}

bool Link::isConnected() const { return pimpl->connected(); }

int Link::getStatus() const {
    return pimpl->linkRef != 0 ? qLink_GetStatus(pimpl->linkRef) : STATUS_NO_ENGINE_LINK;
}

qErr Link::disconnect() {
    // Another Link may share the engine link and keep it running: nothing of ours may stay
    // installed on it.
    pimpl->stopStreaming();
    pimpl->closePacketLog();
    if (pimpl->linkRef != 0) qLink_Destroy(&pimpl->linkRef);
    return qErrNone;
}

qErr Link::reset() {
    if (pimpl->linkRef == 0) return qErrNone;
    // Subscriptions live in the module's end of the link, which a reset remakes: they end
    // here, so that gets go to the module instead of a cache that no sample refreshes.
    pimpl->stopStreaming();
    // The engine frees the link's packet log while it remakes the link: the logger thread must
    // not be reading it then. What it had not written goes out first; then the log carries on.
    bool logging = pimpl->packetLogOn;
    if (logging) {
        qLogger_Disable(pimpl->logger);
        pimpl->drainPacketLog();
    }
    qLink_Reset(pimpl->linkRef);
    if (logging && qLink_PacketDebug_Enable(pimpl->linkRef) == qErrNone) {
        pimpl->packetLogOn = qLogger_Enable(pimpl->logger) == qErrNone;
    } else {
        pimpl->packetLogOn = false;
    }
    return qErrNone;
}

qErr Link::getModuleAddress(uint8_t* address) {
    if (address == nullptr) return qErrParam;
    *address = 0;
    if (!isConnected()) return qErrNotReady;
    qDebugging_Trace(qDEBUG_LINK, "getModuleAddress");
    qErr result = pimpl->putPacket(qADDR_SYNC, 0, nullptr);
    if (result != qErrNone) return result;
    qDebugging_Trace(qDEBUG_LINK, "getModuleAddress wait");
    PacketCopy answer = pimpl->awaitPacket(has_no_data, nullptr, REPLY_TIMEOUT_MS);
    if (!answer) return qErrNotReady;
    *address = answer->address;
    return qErrNone;
}

qErr Link::enablePooledPackets(bool on) { return qLink_EnablePooledPackets(pimpl->linkRef, on); }

}  // namespace Tolveric::Lumenvane
