// Stream subscriptions: the module sends a sample whenever a subscribed value changes. The
// link's packet filter (on the engine's reader thread) caches each sample's value and queues
// the subscribers' callbacks, which a worker thread of the Link calls without any lock held.
#include <chrono>
#include <exception>

#include "LinkImpl.h"
#include "qModuleContract.h"

namespace Tolveric::Lumenvane {

namespace {

// Options of the stream entity.
constexpr uint8_t STREAM_OPTION_ENABLE = 1;   // set: subscribe; get: whether the link streams
constexpr uint8_t STREAM_OPTION_DISABLE = 2;  // set: unsubscribe
constexpr uint8_t STREAM_ENTITY_INDEX = 0;

// The worker looks for queued callbacks this often while the queue is empty.
constexpr std::chrono::milliseconds WORKER_IDLE{1};
// The stop signal is looked at without waiting for it.
constexpr std::chrono::nanoseconds STOP_CHECK{1};

uei stream_request(uint8_t module, uint8_t option) {
    uei request{};
    request.module = module;
    request.command = cmdSTREAM;
    request.option = option;
    request.specifier = qUEI_INDEX_REQUEST | STREAM_ENTITY_INDEX;
    request.type = ueiTypeVoid;
    return request;
}

uei stream_reply(uint8_t module, uint8_t option) {
    uei reply = stream_request(module, option);
    reply.specifier = STREAM_ENTITY_INDEX;
    return reply;
}

void erase_keys(StreamTable& table, const std::vector<uint64_t>& keys) {
    for (uint64_t key : keys) table.erase(key);
}

}  // namespace

// --- The worker.

void Link::impl::asyncWork(AsyncQueue& queue, std::future<void> stop) {
    while (stop.wait_for(STOP_CHECK) != std::future_status::ready) {
        asyncPacket item;
        while (queue.pop(item)) {
            if (item.callback) {
                // A throwing callback must not end the process from a thread nobody watches.
                try {
                    item.callback(item.packet.get(), item.reference);
                } catch (...) {
                }
            }
            item = asyncPacket{};
        }
        std::this_thread::sleep_for(WORKER_IDLE);
    }
}

bool Link::impl::startWorker() {
    if (asyncThread) return true;
    asyncStop = std::promise<void>();
    try {
        asyncThread = std::make_unique<std::thread>(asyncWork, std::ref(asyncQueue), asyncStop.get_future());
    } catch (const std::exception&) {
        asyncThread.reset();
    }
    return asyncThread != nullptr;
}

void Link::impl::stopWorker() {
    if (!asyncThread) return;
    // A callback that ended the last subscription runs on the worker itself, which cannot wait
    // for its own end: it keeps running and is stopped with the next stop or with the Link.
    if (asyncThread->get_id() == std::this_thread::get_id()) return;
    asyncStop.set_value();
    asyncThread->join();
    asyncThread.reset();
    asyncStop = std::promise<void>();
    // Nobody takes from the queue now: what the worker left is released, so a later worker
    // never calls a callback of subscriptions that have ended.
    asyncPacket left;
    while (asyncQueue.pop(left)) left = asyncPacket{};
}

void Link::impl::queueAsyncCallback(const StreamEntry& entry, const qPacket* packet) {
    if (!entry.callback) return;
    asyncPacket item{entry.callback, entry.reference, PacketCopy(qPacket_Copy(packet))};
    if (!item.packet) return;
    // A full queue drops the callback; the copy goes with `item`.
    asyncQueue.push(std::move(item));
}

// --- The filter.

bool Link::impl::linkStreamFilter(const qPacket* packet, void* reference) {
    impl* self = static_cast<impl*>(reference);
    STREAM_PACKET kind = STREAM_PACKET_NONE;
    if (!getStreamPacketType(packet, &kind)) return false;
    uint8_t subindex = isSubindexType(kind) ? packet->data[STREAM_SAMPLE_SUBINDEX_BYTE] : 0;
    uint64_t key = createStreamKey(packet->address, packet->data[qUEI_COMMAND_BYTE],
                                   packet->data[qUEI_OPTION_BYTE] & qUEI_OPTION_CODE_MASK,
                                   packet->data[qUEI_INDEX_BYTE] & qUEI_INDEX_MASK, subindex);
    uint32_t value = 0;
    bool readable = getStreamSample(packet, nullptr, &value, nullptr) == qErrNone;

    std::lock_guard lock(self->streamMutex);
    StreamTable& table = self->streamTable;
    auto exact = table.find(key);
    if (exact != table.end()) {
        self->queueAsyncCallback(exact->second, packet);
        if (readable) {
            exact->second.value = value;
            exact->second.fresh = 1;
        }
    }
    bool wildcardMatched = false;
    for (int form = 0; form < STREAM_WILDCARD_MASKS; ++form) {
        auto subscription = table.find(key | streamWildcardMask(form));
        if (subscription == table.end()) continue;
        wildcardMatched = true;
        self->queueAsyncCallback(subscription->second, packet);
    }
    // From the first sample of a wildcard subscription on, the value is cached under its own key.
    if (exact == table.end() && wildcardMatched && readable) {
        StreamEntry cached;
        cached.key = key;
        cached.fresh = 1;
        cached.value = value;
        table.emplace(key, std::move(cached));
    }
    return true;
}

qErr Link::impl::installStreamFilter(bool on) {
    if (linkRef == 0) return qErrConnection;
    if (on) {
        qErr result = qLink_InstallUserPacketFilter(linkRef, linkStreamFilter, this);
        if (result == qErrNone && !startWorker()) {
            qLink_InstallUserPacketFilter(linkRef, nullptr, nullptr);
            result = qErrResource;
        }
        return result;
    }
    qErr result = qLink_InstallUserPacketFilter(linkRef, nullptr, nullptr);
    if (result == qErrNone) {
        std::lock_guard lock(streamMutex);
        streamTable.clear();
    }
    stopWorker();
    return result;
}

void Link::impl::stopStreaming() {
    if (linkRef != 0) qLink_InstallUserPacketFilter(linkRef, nullptr, nullptr);
    {
        std::lock_guard lock(streamMutex);
        streamTable.clear();
    }
    stopWorker();
}

// --- Subscriptions.

qErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  StreamCallback callback, void* reference) {
    // Subscriptions leave the subindex open.
    uint64_t key = createStreamKey(module, command, option, index, STREAM_WILDCARD);
    if ((module & 1) != 0 || module == STREAM_WILDCARD) return qErrParam;

    bool streaming = false;
    {
        std::lock_guard lock(pimpl->streamMutex);
        StreamTable& table = pimpl->streamTable;
        if (enable) {
            StreamEntry& entry = table[key];
            entry.key = key;
            entry.callback = std::move(callback);
            entry.reference = reference;
        } else {
            erase_keys(table, filterActiveStreamKeys(module, command, option, index, STREAM_WILDCARD, false));
        }
        streaming = !table.empty();
    }

    qErr result = pimpl->installStreamFilter(streaming);
    if (result == qErrNone) {
        uei request = stream_request(module, enable ? qUEI_OPERATION_SET | STREAM_OPTION_ENABLE
                                                    : qUEI_OPERATION_SET | STREAM_OPTION_DISABLE);
        request.type = ueiTypeInt;
        request.value.intVal = static_cast<uint32_t>(key);  // module, command, option, index
        result = sendUEI(request);
    }
    if (result == qErrNone) {
        uei reply = stream_reply(module, enable ? qUEI_OPERATION_ACK | STREAM_OPTION_ENABLE
                                                : qUEI_OPERATION_ACK | STREAM_OPTION_DISABLE);
        result = receiveUEI(module, reply.command, reply.option, reply.specifier, &reply);
        if (result == qErrNone && (reply.specifier & qUEI_INDEX_ERROR)) result = static_cast<qErr>(reply.value.byteVal);
    }
    if (result != qErrNone) {
        bool empty = false;
        {
            std::lock_guard lock(pimpl->streamMutex);
            erase_keys(pimpl->streamTable, filterActiveStreamKeys(module, command, option, index, STREAM_WILDCARD, false));
            empty = pimpl->streamTable.empty();
        }
        // A refused first subscription leaves nothing to stream: no worker keeps polling for it.
        if (empty) pimpl->installStreamFilter(false);
    }
    return result;
}

qErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
    return registerStreamCallback(module, command, option, index, enable, StreamCallback(), nullptr);
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                                   uint8_t subindex, bool lock) {
    std::unique_lock guard(pimpl->streamMutex, std::defer_lock);
    if (lock) guard.lock();
    return streamTable_MatchingKeys(pimpl->streamTable, module, command, option, index, subindex);
}

qErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
    if (value == nullptr) return qErrParam;
    std::lock_guard lock(pimpl->streamMutex);
    auto entry = pimpl->streamTable.find(createStreamKey(module, command, option, index, subindex));
    if (entry == pimpl->streamTable.end()) return qErrNotFound;
    *value = entry->second.value;
    if (!entry->second.fresh) return qErrStreamStale;
    entry->second.fresh = 0;
    return qErrNone;
}

qErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* count) {
    if (!isConnected()) return qErrConnection;
    if (entries == nullptr || count == nullptr || capacity == 0) return qErrParam;
    std::vector<uint64_t> keys = filterActiveStreamKeys(module, command, option, index, subindex, true);
    std::lock_guard lock(pimpl->streamMutex);
    *count = 0;
    for (uint64_t key : keys) {
        auto entry = pimpl->streamTable.find(key);
        // Subscriptions are not values: only concrete keys are listed.
        if (entry == pimpl->streamTable.end() || !streamKey_IsConcrete(key)) continue;
        if (*count == capacity) return qErrSize;
        entries[*count] = StreamStatusEntry{key, entry->second.value};
        ++*count;
    }
    return qErrNone;
}

qErr Link::isLinkStreaming(uint8_t module, uint8_t* streaming) {
    if (streaming == nullptr) return qErrParam;
    qErr result = sendUEI(stream_request(module, qUEI_OPERATION_GET | STREAM_OPTION_ENABLE));
    if (result != qErrNone) return result;
    uei reply = stream_reply(module, STREAM_OPTION_ENABLE);
    result = receiveUEI(module, reply.command, reply.option, reply.specifier, &reply);
    if (result != qErrNone) return result;
    if (reply.specifier & qUEI_INDEX_ERROR) return static_cast<qErr>(reply.value.byteVal);
    *streaming = reply.value.byteVal;
    return qErrNone;
}

}  // namespace Tolveric::Lumenvane
