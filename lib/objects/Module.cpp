#include "Module.h"

#include "qDebugging.h"
#include "qModuleContract.h"
#include "qPacket.h"
#include "qTime.h"

namespace Tolveric::Lumenvane {

namespace {

constexpr const char* MODULE_LINK_NAME = "Link";

// Asking a freshly connected module for its own address.
constexpr int AUTO_NETWORK_TRIES = 4;
constexpr uint64_t AUTO_NETWORK_RETRY_PAUSE_MS = 5;

// Data byte 1 of a query (command 0x49) names it.
constexpr uint8_t QUERY_BUILD = 0xFF;
constexpr uint8_t QUERY_UEI_PRESENT = 1;
constexpr uint8_t QUERY_CLASS_QUANTITY = 4;
constexpr uint8_t QUERY_SUBCLASS_QUANTITY = 5;
constexpr uint8_t QUERY_ENTITY_GROUP = 6;

// Reply lengths: the request's bytes echoed, then the answer.
constexpr uint8_t BUILD_REPLY_LENGTH = 6;            // 49 FF, build (32-bit big-endian)
constexpr uint8_t UEI_PRESENT_REPLY_LENGTH = 6;      // 49 01 command option index, code
constexpr uint8_t CLASS_QUANTITY_REPLY_LENGTH = 4;   // 49 04 command, count
constexpr uint8_t SUBCLASS_QUANTITY_REPLY_LENGTH = 5;  // 49 05 command option, count
constexpr uint8_t ENTITY_GROUP_REPLY_LENGTH = 5;     // 49 06 command index, group

// hasUEI asks about one direction.
constexpr uint8_t UEI_FLAG_GET = 0x40;
constexpr uint8_t UEI_FLAG_SET = 0x80;

// The link status reported without a link.
constexpr int STATUS_NO_LINK = 8;

// True when the reply has the expected length and begins with the echoed request.
bool echoes(const uint8_t* reply, uint8_t replyLength, uint8_t expectedLength, const uint8_t* request,
            uint8_t echoed) {
    if (replyLength != expectedLength) return false;
    for (uint8_t i = 0; i < echoed; ++i) {
        if (reply[i] != request[i]) return false;
    }
    return true;
}

}  // namespace

Module::Module(uint8_t address, uint8_t model_) : Module(address, true, model_) {}

Module::Module(uint8_t address, bool networkingMode_, uint8_t model_)
    : link(std::make_unique<Link>(MODULE_LINK_NAME)),
      moduleAddress(address),
      networkingMode(networkingMode_),
      model(model_) {}

Module::~Module() = default;

// --- Connecting.

qErr Module::connect(linkType type, uint32_t serialNumber) {
    if (serialNumber == 0) return qErrParam;
    return discoverAndConnect(type, serialNumber);
}

qErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
    if (!link) return qErrInitialization;
    qErr result = link->discoverAndConnect(type, serialNumber, model);
    return result == qErrNone ? _autoNetwork() : result;
}

qErr Module::connectFromSpec(linkSpec spec) {
    if (!link) return qErrInitialization;
    if (link->isConnected()) return qErrBusy;
    qErr result = link->setLinkSpecifier(spec);
    if (result != qErrNone) return result;
    result = link->connect();
    return result == qErrNone ? _autoNetwork() : result;
}

qErr Module::connectThroughLinkModule(Module* router) {
    if (!link) return qErrInitialization;
    if (link->isConnected()) return qErrNone;
    if (router == nullptr || !router->link) return qErrInitialization;

    linkSpec spec{};
    if (router->link->getLinkSpecifier(&spec) != qErrNone) return qErrInitialization;
    qEtherConfig config;
    router->link->getConfig(&config);
    qErr result = link->setConfig(config);
    if (result != qErrNone) return result;
    // A router reached through a sharing server is reached the same way by what sits behind it.
    if (config.enabled) {
        spec.type = linkTypeQEther;
        spec.transport.ip.address = config.networkInterface;
        spec.transport.ip.port = config.port;
    }
    result = link->setLinkSpecifier(spec);
    if (result != qErrNone) return result;
    result = link->connectThroughLinkModule(*router->link);
    // The router's bus scan gave the address; asking over the shared link would get the router's.
    if (result == qErrNone) networkingMode = false;
    return result;
}

qErr Module::reconnect() {
    if (!link) return qErrInitialization;
    qErr result = link->connect();
    return result == qErrNone ? _autoNetwork() : result;
}

qErr Module::disconnect() {
    if (!link) return qErrInitialization;
    return link->disconnect();
}

bool Module::isConnected() const { return link && link->isConnected(); }

int Module::getStatus() const { return link ? link->getStatus() : STATUS_NO_LINK; }

qErr Module::_autoNetwork() {
    if (!networkingMode || !link) return qErrNone;
    uint8_t learned = 0;
    qErr result = qErrNotReady;
    for (int attempt = 0; attempt < AUTO_NETWORK_TRIES && result == qErrNotReady; ++attempt) {
        if (attempt > 0) qTime_MSSleep(AUTO_NETWORK_RETRY_PAUSE_MS);
        result = link->getModuleAddress(&learned);
    }
    if (result == qErrNotReady) qDebugging_Trace(qDEBUG_MODULE, "BOO! Failed to autoNetwork");
    if (result == qErrNone && learned != 0 && learned != moduleAddress) moduleAddress = learned;
    return result;
}

// --- Accessors and pass-through.

uint8_t Module::getModuleAddress() const { return moduleAddress; }

void Module::setModuleAddress(uint8_t address) { moduleAddress = address; }

void Module::setNetworkingMode(bool on) { networkingMode = on; }

Link* Module::getLink() const { return link.get(); }

qErr Module::getLinkSpecifier(linkSpec* out) const {
    if (!link) return qErrNotReady;
    return link->getLinkSpecifier(out);
}

qErr Module::getConfig(qEtherConfig* out) const {
    if (!link) return qErrNotReady;
    if (out == nullptr) return qErrParam;
    return link->getConfig(out);
}

qErr Module::setConfig(qEtherConfig config) {
    if (!link) return qErrNotReady;
    return link->setConfig(config);
}

qErr Module::enablePacketLog(const char* path) {
    if (!link) return qErrConfiguration;
    return link->enablePacketLog(path);
}

qErr Module::disablePacketLog() {
    if (!link) return qErrConfiguration;
    return link->disablePacketLog();
}

// --- Queries.

qErr Module::_query(const uint8_t* request, uint8_t requestLength, uint8_t* reply, uint8_t* replyLength) {
    if (!isConnected()) return qErrConnection;
    // The command byte goes separately; the rest of the request follows it.
    qErr result = link->sendPacket(moduleAddress, request[0], static_cast<uint8_t>(requestLength - 1), request + 1);
    if (result != qErrNone) return result;
    const uint8_t match[] = {cmdQUERY};
    *replyLength = sizeof match;
    return link->receivePacket(moduleAddress, match, replyLength, reply);
}

qErr Module::getBuild(uint32_t* build) {
    if (build == nullptr) return qErrParam;
    if (!link) return qErrInitialization;
    const uint8_t request[] = {cmdQUERY, QUERY_BUILD};
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t length = 0;
    qErr result = _query(request, sizeof request, reply, &length);
    if (result != qErrNone) return result;
    if (length != BUILD_REPLY_LENGTH) return qErrSize;
    if (!echoes(reply, length, BUILD_REPLY_LENGTH, request, sizeof request)) return qErrUnknown;
    *build = (static_cast<uint32_t>(reply[2]) << 24) | (static_cast<uint32_t>(reply[3]) << 16) |
             (static_cast<uint32_t>(reply[4]) << 8) | reply[5];
    return qErrNone;
}

qErr Module::_queryByte(const uint8_t* request, uint8_t requestLength, uint8_t echoed, uint8_t replyLength,
                        uint8_t* answer) {
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t length = 0;
    qErr result = _query(request, requestLength, reply, &length);
    if (result != qErrNone) return result;
    if (!echoes(reply, length, replyLength, request, echoed)) return qErrUnknown;
    *answer = reply[replyLength - 1];
    return qErrNone;
}

qErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if (flags != UEI_FLAG_GET && flags != UEI_FLAG_SET) return qErrParam;
    const uint8_t request[] = {cmdQUERY, QUERY_UEI_PRESENT, command, option, index, flags};
    // The flags byte is answered with the module's code.
    uint8_t code = 0;
    qErr result = _queryByte(request, sizeof request, sizeof request - 1, UEI_PRESENT_REPLY_LENGTH, &code);
    return result != qErrNone ? result : static_cast<qErr>(code);
}

qErr Module::classQuantity(uint8_t command, uint8_t* count) {
    if (count == nullptr) return qErrParam;
    *count = 0;
    const uint8_t request[] = {cmdQUERY, QUERY_CLASS_QUANTITY, command};
    return _queryByte(request, sizeof request, sizeof request, CLASS_QUANTITY_REPLY_LENGTH, count);
}

qErr Module::subClassQuantity(uint8_t command, uint8_t option, uint8_t* count) {
    if (count == nullptr) return qErrParam;
    *count = 0;
    const uint8_t request[] = {cmdQUERY, QUERY_SUBCLASS_QUANTITY, command, option};
    return _queryByte(request, sizeof request, sizeof request, SUBCLASS_QUANTITY_REPLY_LENGTH, count);
}

qErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
    if (group == nullptr) return qErrParam;
    *group = 0;
    const uint8_t request[] = {cmdQUERY, QUERY_ENTITY_GROUP, command, index};
    return _queryByte(request, sizeof request, sizeof request, ENTITY_GROUP_REPLY_LENGTH, group);
}

qErr Module::debug(const uint8_t* data, uint8_t length) {
    if (!isConnected()) return qErrConnection;
    if (data == nullptr && length > 0) return qErrParam;
    qErr result = link->sendPacket(moduleAddress, cmdECHO, length, data);
    if (result != qErrNone) return result;
    const uint8_t match[] = {cmdECHO};
    uint8_t reply[qPACKET_MAX_DATA];
    uint8_t replyLength = sizeof match;
    result = link->receivePacket(moduleAddress, match, &replyLength, reply);
    if (result != qErrNone) return result;
    if (replyLength != length + 1) return qErrIO;
    for (uint8_t i = 0; i < length; ++i) {
        if (reply[i + 1] != data[i]) return qErrIO;
    }
    return qErrNone;
}

}  // namespace Tolveric::Lumenvane
