#include "qStream.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr size_t SMALL_READ = 64;

// Grows the push-back ring in qSTREAMBUFCHUNK steps until `extra` more bytes fit. A ring of
// capacity C holds at most C - 1 bytes. The held bytes move to the start of the new ring.
qErr ensure_room(qStream* stream, size_t extra) {
    size_t capacity = stream->buffer == nullptr ? qSTREAMBUFCHUNK : stream->capacity;
    while (stream->buffered + extra > capacity - 1) capacity += qSTREAMBUFCHUNK;
    if (stream->buffer != nullptr && capacity == stream->capacity) return qErrNone;

    uint8_t* grown = new (std::nothrow) uint8_t[capacity];
    if (grown == nullptr) return qErrMemory;
    for (size_t i = 0; i < stream->buffered; ++i) {
        grown[i] = stream->buffer[(stream->readPosition + i) % stream->capacity];
    }
    delete[] stream->buffer;
    stream->buffer = grown;
    stream->capacity = capacity;
    stream->readPosition = 0;
    stream->writePosition = stream->buffered;  // the next byte goes right after the held ones
    return qErrNone;
}

bool take_buffered(qStream* stream, uint8_t* byte) {
    if (stream->buffered == 0) return false;
    *byte = stream->buffer[stream->readPosition];
    stream->readPosition = (stream->readPosition + 1) % stream->capacity;
    --stream->buffered;
    return true;
}

// Puts bytes back in front of whatever the push-back buffer holds, so they are read next,
// in their original order.
qErr give_back(qStream* stream, const uint8_t* bytes, size_t count) {
    if (count == 0) return qErrNone;
    qErr result = ensure_room(stream, count);
    if (result != qErrNone) return result;
    stream->readPosition = (stream->readPosition + stream->capacity - count) % stream->capacity;
    for (size_t i = 0; i < count; ++i) stream->buffer[(stream->readPosition + i) % stream->capacity] = bytes[i];
    stream->buffered += count;
    return qErrNone;
}

// For each matched prefix length k of the separator, the length of the longest proper
// prefix of it that is also its suffix: after a mismatch the match can go on from there
// without reading any byte twice or skipping one.
std::vector<size_t> separator_fallbacks(const uint8_t* separator, size_t length) {
    std::vector<size_t> fallback(length + 1, 0);
    size_t border = 0;
    for (size_t i = 1; i < length; ++i) {
        while (border > 0 && separator[i] != separator[border]) border = fallback[border];
        if (separator[i] == separator[border]) ++border;
        fallback[i + 1] = border;
    }
    return fallback;
}

}  // namespace

qStream* qStream_Create(qStreamGetProc get, qStreamPutProc put, qStreamWriteProc write, qStreamDeleteProc destroy,
                        void* reference) {
    qStream* stream = new (std::nothrow) qStream{};
    if (stream == nullptr) return nullptr;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->destroy = destroy;
    stream->reference = reference;
    stream->valid = qSTREAMCHECK;
    return stream;
}

qErr qStream_SetReadyOperations(qStream* stream, qStreamReadAvailableProc readAvailable,
                                qStreamWaitReadableProc waitReadable) {
    if (!qVALIDSTREAM(stream)) return qErrParam;
    stream->readAvailable = readAvailable;
    stream->waitReadable = waitReadable;
    return qErrNone;
}

qErr qStreamBufferChar(qStream* stream, uint8_t byte) {
    if (stream == nullptr) return qErrParam;
    qErr result = ensure_room(stream, 1);
    if (result != qErrNone) return result;
    stream->buffer[stream->writePosition] = byte;
    stream->writePosition = (stream->writePosition + 1) % stream->capacity;
    ++stream->buffered;
    return qErrNone;
}

qErr qStream_Read(qStream* stream, void* destination, size_t size) {
    if (!qVALIDSTREAM(stream) || destination == nullptr) return qErrParam;
    if (stream->get == nullptr) return qErrMode;
    // Scratch space: on the stack for the short reads a link makes per byte or per packet.
    uint8_t small[SMALL_READ];
    std::vector<uint8_t> large;
    uint8_t* taken = small;
    if (size > SMALL_READ) {
        try {
            large.resize(size);
        } catch (const std::bad_alloc&) {
            return qErrResource;
        }
        taken = large.data();
    }

    size_t count = 0;
    qErr result = qErrNone;
    while (count < size) {
        if (take_buffered(stream, &taken[count])) {
            ++count;
            continue;
        }
        result = stream->get(&taken[count], stream->reference);
        if (result != qErrNone) break;
        ++count;
    }

    if (result == qErrNone || (result == qErrEOF && count > 0)) {
        if (count > 0) memcpy(destination, taken, count);
        return result;
    }
    // Not ready yet, or failed: the bytes already taken wait for the next read.
    qErr kept = give_back(stream, taken, count);
    return kept != qErrNone ? kept : result;
}

qErr qStream_ReadAvailable(qStream* stream, uint8_t* buffer, size_t capacity, size_t* count) {
    if (count != nullptr) *count = 0;
    if (!qVALIDSTREAM(stream) || buffer == nullptr || count == nullptr || capacity == 0) return qErrParam;
    if (stream->get == nullptr && stream->readAvailable == nullptr) return qErrMode;

    size_t taken = 0;
    while (taken < capacity && take_buffered(stream, &buffer[taken])) ++taken;
    qErr result = qErrNone;
    if (taken < capacity && stream->readAvailable != nullptr) {
        size_t read = 0;
        result = stream->readAvailable(buffer + taken, capacity - taken, &read, stream->reference);
        if (result == qErrNone) taken += read;
    } else if (taken == 0) {
        // Without a burst operation only one get is safe: a get may block (a USB read waits
        // for its transfer), and bytes already in hand must not wait behind it.
        result = stream->get(&buffer[0], stream->reference);
        if (result == qErrNone) taken = 1;
    }
    *count = taken;
    // Bytes in hand are delivered; a failure after them shows again on the next call.
    return taken > 0 ? qErrNone : result;
}

qErr qStream_WaitReadable(qStream* stream, uint32_t timeout_ms) {
    if (!qVALIDSTREAM(stream)) return qErrParam;
    if (stream->buffered > 0) return qErrNone;
    if (stream->waitReadable == nullptr) return qErrUnimplemented;
    return stream->waitReadable(timeout_ms, stream->reference);
}

qErr qStream_Write(qStream* stream, const void* data, size_t length) {
    if (!qVALIDSTREAM(stream) || data == nullptr) return qErrParam;
    if (stream->write == nullptr && stream->put == nullptr) return qErrMode;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (stream->write != nullptr && (length > 1 || stream->put == nullptr)) {
        return length == 0 ? qErrNone : stream->write(bytes, length, stream->reference);
    }
    for (size_t i = 0; i < length; ++i) {
        qErr result = stream->put(&bytes[i], stream->reference);
        if (result != qErrNone) return result;
    }
    return qErrNone;
}

qErr qStream_ReadRecord(qStream* stream, void* buffer, size_t* length, size_t size, const void* separator,
                        size_t separator_length) {
    if (length != nullptr) *length = 0;
    if (!qVALIDSTREAM(stream) || buffer == nullptr || separator == nullptr || separator_length == 0 || size == 0) {
        return qErrParam;
    }
    const uint8_t* ending = static_cast<const uint8_t*>(separator);
    std::vector<uint8_t> record;
    std::vector<size_t> fallback;
    try {
        fallback = separator_fallbacks(ending, separator_length);
    } catch (const std::bad_alloc&) {
        return qErrResource;
    }

    // Invariant: every byte consumed so far is `record` followed by the first `matched`
    // separator bytes, which are held back until the separator completes or fails.
    size_t matched = 0;
    // Returns unresolved bytes to the stream: the separator bytes from `from` to `matched`,
    // then `extra` when given.
    auto give_back_held = [&](size_t from, const uint8_t* extra) {
        std::vector<uint8_t> held(ending + from, ending + matched);
        if (extra != nullptr) held.push_back(*extra);
        return give_back(stream, held.data(), held.size());
    };
    auto finish = [&] {
        if (!record.empty()) memcpy(buffer, record.data(), record.size());
        if (length != nullptr) *length = record.size();
        return qErrNone;
    };

    try {
        for (;;) {
            uint8_t byte = 0;
            qErr result = qStream_Read(stream, &byte, 1);
            if (result == qErrEOF) {
                // A separator cut short by the end of the data was data after all.
                for (size_t i = 0; i < matched; ++i) {
                    if (record.size() == size) {
                        give_back_held(i, nullptr);
                        break;
                    }
                    record.push_back(ending[i]);
                }
                if (record.empty()) return qErrEOF;
                return finish();
            }
            if (result != qErrNone) {
                // Nothing is lost: the next read starts with every byte consumed here.
                record.insert(record.end(), ending, ending + matched);
                qErr kept = give_back(stream, record.data(), record.size());
                return kept != qErrNone ? kept : result;
            }

            for (;;) {
                if (byte == ending[matched]) {
                    if (++matched == separator_length) return finish();
                    break;
                }
                if (matched == 0) {
                    record.push_back(byte);
                    if (record.size() == size) return finish();
                    break;
                }
                // The held bytes before the longest part that can still begin a separator are
                // data; the current byte is then tried against that shorter match.
                size_t keep = fallback[matched];
                for (size_t i = 0; i < matched - keep; ++i) {
                    record.push_back(ending[i]);
                    if (record.size() == size) {
                        give_back_held(i + 1, &byte);
                        return finish();
                    }
                }
                matched = keep;
            }
        }
    } catch (const std::bad_alloc&) {
        return qErrResource;
    }
}

qErr qStream_WriteRecord(qStream* stream, const void* data, size_t length, const void* separator,
                         size_t separator_length) {
    if (!qVALIDSTREAM(stream) || data == nullptr || separator == nullptr || separator_length == 0) return qErrParam;
    qErr result = qStream_Write(stream, data, length);
    return result != qErrNone ? result : qStream_Write(stream, separator, separator_length);
}

namespace {

// Reads a record into at most size - 1 characters and terminates it; on failure the buffer
// holds an empty string, so a caller never prints what was there before.
qErr read_terminated_record(qStream* stream, char* buffer, size_t size, const void* separator,
                            size_t separator_length) {
    if (buffer == nullptr || size < 2) return qErrParam;
    size_t length = 0;
    qErr result = qStream_ReadRecord(stream, buffer, &length, size - 1, separator, separator_length);
    buffer[result == qErrNone ? length : 0] = '\0';
    return result;
}

}  // namespace

qErr qStream_ReadCString(qStream* stream, char* buffer, size_t size) {
    static const uint8_t TERMINATOR = 0;
    return read_terminated_record(stream, buffer, size, &TERMINATOR, 1);
}

qErr qStream_ReadCStringRecord(qStream* stream, char* buffer, size_t size, const char* separator) {
    if (separator == nullptr) return qErrParam;
    return read_terminated_record(stream, buffer, size, separator, strlen(separator));
}

qErr qStream_WriteCString(qStream* stream, const char* string) {
    if (string == nullptr) return qErrParam;
    return qStream_Write(stream, string, strlen(string) + 1);
}

qErr qStream_WriteCStringRecord(qStream* stream, const char* string, const char* separator) {
    if (string == nullptr || separator == nullptr) return qErrParam;
    // The separator goes out with its terminating zero byte: records written this way have
    // always carried it, and readers of them may count on it.
    return qStream_WriteRecord(stream, string, strlen(string), separator, strlen(separator) + 1);
}

qErr qStream_Flush(qStream* input, qStream* output) {
    if (!qVALIDSTREAM(input) || !qVALIDSTREAM(output)) return qErrParam;
    if (input->get == nullptr || output->put == nullptr) return qErrMode;
    for (;;) {
        uint8_t byte = 0;
        qErr result = qStream_Read(input, &byte, 1);
        if (result == qErrEOF) return qErrNone;
        if (result != qErrNone) return result;
        result = output->put(&byte, output->reference);
        if (result != qErrNone) return result;
    }
}

qErr qStream_Destroy(qStream** stream) {
    if (stream == nullptr) return qErrParam;
    qStream* record = *stream;
    *stream = nullptr;
    if (!qVALIDSTREAM(record)) return qErrParam;
    qErr result = record->destroy != nullptr ? record->destroy(record->reference) : qErrNone;
    delete[] record->buffer;
    record->valid = 0;
    delete record;
    return result;
}
