// The object through which the object layer talks to one module: it owns one engine link, the
// specifier that says how to reach the module and the networking configuration, and offers
// connecting, UEI messages, raw packets, store slots, factory data, packet logging and stream
// subscriptions on top of the engine's packet put and await operations.
//
// Every operation reports a qErr and none throws. A Link is used from one thread; only its
// stream subscriptions meet the engine's reader thread and the callback worker, under the
// stream mutex.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "linkSpec.h"
#include "packetfifo.h"
#include "qError.h"
#include "qPacket.h"
#include "qUEI.h"

namespace Tolveric::Lumenvane {

// 127.0.0.1 as a socket address holds it (network byte order), whatever the host's byte order.
inline constexpr uint32_t qETHER_LOOPBACK_INTERFACE =
    std::endian::native == std::endian::little ? 0x0100007Fu : 0x7F000001u;

// Whether a USB module is reached directly or through a local link sharing server.
struct qEtherConfig {
    bool enabled = true;     // reach USB modules through a sharing server and a client link
    bool fallback = true;    // when discover-and-connect fails, try the other of USB and the networked link once
    bool localOnly = true;   // the sharing server binds to (and answers discovery on) loopback only
    uint16_t port = 0;       // the sharing server's TCP port, filled in when one is created
    uint32_t networkInterface = qETHER_LOOPBACK_INTERFACE;  // IPv4, network byte order
};

class Link {
public:
    // A stream callback: called on the link's worker thread with a copy of the sample and the
    // reference given when subscribing. Its result is not used.
    using StreamCallback = std::function<uint8_t(const qPacket* packet, void* reference)>;

    // The fields of a stream key, for getStreamKeyElement.
    enum STREAM_KEY { KEY_MODULE = 0, KEY_COMMAND = 1, KEY_OPTION = 2, KEY_INDEX = 3, KEY_SUBINDEX = 4 };

    // The kind of a sample packet (data byte 3 of a sample).
    enum STREAM_PACKET {
        STREAM_PACKET_NONE = 0,
        STREAM_PACKET_8BIT = 1,
        STREAM_PACKET_16BIT = 2,
        STREAM_PACKET_32BIT = 3,
        STREAM_PACKET_BYTES = 4,  // a byte-array stream: recognised, never decoded
        STREAM_PACKET_SUBINDEX_8BIT = 5,
        STREAM_PACKET_SUBINDEX_16BIT = 6,
        STREAM_PACKET_SUBINDEX_32BIT = 7,
    };

    // One cached stream value, as getStreamStatus lists it.
    struct StreamStatusEntry {
        uint64_t key;
        uint32_t value;
    };

    // In a stream key, this value of command, option, index or subindex means "any".
    static constexpr uint8_t STREAM_WILDCARD = 0xFF;

    struct impl;

    explicit Link(const char* name);
    Link(linkSpec spec, const char* name);
    // Stops streaming (the callback worker has ended when this returns), closes the packet log
    // and destroys the engine link.
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // --- Configuration and specifier.
    qErr getConfig(qEtherConfig* out) const;       // qErrParam for a null out
    qErr setConfig(qEtherConfig config);           // qErrMode while connected
    qErr getLinkSpecifier(linkSpec* out) const;    // qErrNotFound when none is stored, qErrParam for null
    qErr setLinkSpecifier(linkSpec spec);          // qErrBusy while connected
    const char* getName() const;                   // null when constructed without one

    // --- Connecting.
    // Finds the module (by serial number, or the first of `model` when the serial number is 0;
    // model 0 is any) and connects; with `fallback` set, a USB or networked-link attempt that
    // finds nothing or cannot connect is tried once more over the other of the two.
    qErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    // Connects from the stored specifier: qErrConnection when an engine link exists already,
    // qErrConfiguration without a specifier, qErrConnection when the link does not run within 2 s.
    qErr connect();
    // Shares another Link's engine link (the engine raises its use count): qErrInitialization
    // when `other` has no engine link.
    qErr connectThroughLinkModule(Link& other);
    bool isConnected() const;      // an engine link exists and runs
    int getStatus() const;         // the engine link's status, 8 without one
    qErr disconnect();             // stops streaming, closes the packet log, destroys the engine link
    qErr reset();                  // the engine remakes the link's stream; subscriptions end
    // Asks the module for its own address: qErrNotReady when not connected or no answer came.
    qErr getModuleAddress(uint8_t* address);

    // --- UEI messages and raw packets.
    // qErrConnection when not connected, qErrPacket for module 0 or odd, qErrParam for a kind
    // that is not one of the five (and, in the subindex form, for a byte array) or a byte array
    // without data; nothing is sent then. A byte array goes out in runs of 24 bytes.
    qErr sendUEI(uei message);
    qErr sendUEI(uei message, uint8_t subindex);
    // Awaits the reply matching the command, option and specifier held in `message` (1000 ms;
    // 4000 ms for a byte array longer than 1000 bytes): qErrTimeout when none came. A module's
    // error reply is no error here: it leaves bit 7 of `specifier` set and the code in byteVal.
    qErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* message);
    qErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* message,
                    qPacketFilter filter);
    // Drops every waiting packet that would match a reply to these four values.
    qErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);
    // One packet: `command` then `length` bytes (at most 27) of `data`.
    qErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // Awaits (1000 ms) the first packet whose leading data bytes, as many as *length says, equal
    // `match`; then *length is its data length and `data` (room for 28 bytes) receives them.
    qErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data);
    qErr enablePooledPackets(bool on);

    // --- Store slots.
    qErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data, size_t length);
    // Reads the slot into the buffer; qErrOverrun (with the first bufferLength bytes read) when
    // the slot holds more than the buffer.
    qErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer, size_t bufferLength,
                         size_t* unloadedLength);
    qErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
    qErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* size);

    // --- Factory data (kinds 0 to 15).
    // qErrOverrun unless the buffer is strictly larger than the data.
    qErr getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t bufferLength, size_t* length);
    qErr setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length);

    // --- Packet log: every packet written (">") and received ("<") as a line of the file.
    qErr enablePacketLog(const char* path);
    qErr disablePacketLog();

    // --- Stream subscriptions.
    // Subscribes (enable) or unsubscribes with the module for every subindex of the option;
    // 0xFF in command, option or index subscribes to any. qErrParam for module 0xFF or odd.
    qErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                StreamCallback callback, void* reference);
    qErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
    // The cached value: qErrNone when it is fresh (it is then no longer), qErrStreamStale when it
    // was read before, qErrNotFound without an entry of exactly this key.
    qErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                        uint32_t* value);
    // Lists the cached values (not the subscriptions) that match; 0xFF matches any.
    qErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                         StreamStatusEntry* entries, size_t capacity, size_t* count);
    // Asks the module whether this link has subscriptions.
    qErr isLinkStreaming(uint8_t module, uint8_t* streaming);
    // The keys of the stream table whose fields match; an argument of 0xFF matches any value.
    std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                 uint8_t subindex, bool lock);

    // --- Stream keys and sample packets (no state).
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY element);  // 0 for an unknown element
    static bool isStreamPacket(const qPacket* packet);
    static bool getStreamPacketType(const qPacket* packet, STREAM_PACKET* type);  // true for kinds 1 to 7
    static bool isSubindexType(STREAM_PACKET type);
    static bool isStreamSample(const qPacket* packet);
    static qErr getStreamSample(const qPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex);
    static void getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);

private:
    std::unique_ptr<impl> pimpl;
};

}  // namespace Tolveric::Lumenvane
