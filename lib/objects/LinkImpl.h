// What a Link holds, shared by the files that make up the Link object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Link.h"
#include "LocklessQueue_SPSC.h"
#include "StreamTable.h"
#include "qLink.h"
#include "qLogger.h"

namespace Tolveric::Lumenvane {

// Slots of the callback queue; one stays free, so 499 samples can wait for the worker.
inline constexpr uint16_t ASYNC_QUEUE_SLOTS = 500;
// A name longer than this is cut.
inline constexpr size_t LINK_NAME_MAX = 1024;
// Every reply is awaited this long unless its protocol says otherwise.
inline constexpr uint32_t REPLY_TIMEOUT_MS = 1000;

using AsyncQueue = LocklessQueue_SPSC<asyncPacket, ASYNC_QUEUE_SLOTS>;

struct Link::impl {
    impl(Link* owner, const char* name);
    ~impl();
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;

    Link* owner;
    qLinkID linkRef = 0;
    qLogger* logger = nullptr;
    bool packetLogOn = false;  // the logger's thread is writing the packet log
    qEtherConfig config;
    StreamTable streamTable;                 // guarded by streamMutex
    std::unique_ptr<std::thread> asyncThread;
    AsyncQueue asyncQueue;
    std::promise<void> asyncStop;
    std::mutex streamMutex;
    std::string name;
    bool hasName = false;
    std::unique_ptr<linkSpec> specifier;

    bool connected() const;

    // Connecting (Link.cpp).
    qErr linkCreateHelper();
    qErr connectHelper();
    qErr waitForLink(int polls);

    // Packets: one put, and one await of the first packet a filter accepts (none on time-out).
    qErr putPacket(uint8_t module, uint8_t length, const uint8_t* data);
    PacketCopy awaitPacket(qPacketFilter filter, void* reference, uint32_t timeout_ms);

    // Packet log (LinkPacketLog.cpp): stops the logger, writes what it left and closes the file.
    void closePacketLog();
    // Writes the records the logger thread left, with the logger stopped.
    void drainPacketLog();

    // Streams (LinkStreams.cpp).
    qErr installStreamFilter(bool on);
    // The filter off, the table cleared and the worker ended: before the engine link goes.
    void stopStreaming();
    bool startWorker();  // false when no thread could be started
    void stopWorker();
    void queueAsyncCallback(const StreamEntry& entry, const qPacket* packet);
    static bool linkStreamFilter(const qPacket* packet, void* reference);
    static void asyncWork(AsyncQueue& queue, std::future<void> stop);
};

}  // namespace Tolveric::Lumenvane
