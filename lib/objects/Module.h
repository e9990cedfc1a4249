// One physical module: it owns the module's Link, remembers the module's address on the packet bus
// and the model wanted when discovering, connects by specifier, by discovery or through a router
// module's link, learns its own address after connecting, and offers the module queries (build
// number, whether a UEI option exists, entity counts) and the echo test.
//
// Every operation reports a qErr and none throws. A Module is used from one thread.
#pragma once

#include <cstdint>
#include <memory>

#include "Link.h"
#include "linkSpec.h"
#include "qError.h"

namespace Tolveric::Lumenvane {

class Module {
public:
    // Networking mode on: after connecting the module is asked for its own address.
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();  // destroys the link, disconnecting it
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // --- Connecting.
    // Serial number 0 gives qErrParam; otherwise discoverAndConnect.
    qErr connect(linkType type, uint32_t serialNumber);
    // Finds the module (the first of the wanted model when the serial number is 0) and connects.
    qErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // qErrBusy when connected already.
    qErr connectFromSpec(linkSpec spec);
    // Reaches a module on a router module's I2C bus over the router's own link, which must be
    // connected. Connected already: qErrNone and nothing changes. The module address stays the
    // one set by the caller.
    qErr connectThroughLinkModule(Module* router);
    // Connects again from the stored specifier and configuration.
    qErr reconnect();
    qErr disconnect();
    bool isConnected() const;
    int getStatus() const;  // the link's status, 8 without a link

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    void setNetworkingMode(bool on);
    Link* getLink() const;

    // --- Configuration and packet log, passed through to the link.
    qErr getLinkSpecifier(linkSpec* out) const;
    qErr getConfig(qEtherConfig* out) const;
    qErr setConfig(qEtherConfig config);  // qErrMode while connected
    qErr enablePacketLog(const char* path);
    qErr disablePacketLog();

    // --- Module queries. Each needs a connection (qErrConnection without one) and awaits its
    // reply 1000 ms; a reply that does not echo the request is qErrUnknown.
    // The firmware build number; a reply of the wrong length is qErrSize.
    qErr getBuild(uint32_t* build);
    // The module's answer whether the entity takes the option in one direction: `flags` is
    // exactly 0x40 (get) or 0x80 (set), else qErrParam. qErrNone means present.
    qErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    // Number of entities of a class, number of sub-indices of an option, group of an entity.
    // The output is 0 unless the query succeeds.
    qErr classQuantity(uint8_t command, uint8_t* count);
    qErr subClassQuantity(uint8_t command, uint8_t option, uint8_t* count);
    qErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);
    // Echo test: the module must send the bytes back unchanged, else qErrIO.
    qErr debug(const uint8_t* data, uint8_t length);

private:
    // Asks the connected module for its own address and adopts it (networking mode only).
    qErr _autoNetwork();
    // Sends one query and awaits the reply to it: `reply` (room for 28 bytes) and its length.
    qErr _query(const uint8_t* request, uint8_t requestLength, uint8_t* reply, uint8_t* replyLength);
    // A query answered by one byte after the echo of the request's first `echoed` bytes.
    qErr _queryByte(const uint8_t* request, uint8_t requestLength, uint8_t echoed, uint8_t replyLength,
                    uint8_t* answer);

    std::unique_ptr<Link> link;
    uint8_t moduleAddress;
    bool networkingMode;
    uint8_t model;
};

}  // namespace Tolveric::Lumenvane
