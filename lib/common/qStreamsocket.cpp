#include "qStreamsocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>

#include "qTime.h"

namespace {

constexpr uint32_t SOCKET_CONNECTED = 0x1;  // flags bit 0

// The reader thread uses get while the writer thread uses write; either may reconnect.
// Reconnecting keeps the descriptor number (the new connection is moved onto it), so the
// other thread never holds a closed or reused number, and a generation count lets a thread
// that saw the same reset as the other skip a second reconnect.
struct SocketStream {
    uint16_t valid = qSOCKETCHECK;
    sockaddr_in address{};
    uint16_t port = 0;
    std::atomic<uint32_t> flags{0};
    std::atomic<int> descriptor{-1};
    std::atomic<uint64_t> generation{0};
    std::mutex reconnecting;
};

SocketStream* socket_record(void* reference) {
    auto* record = static_cast<SocketStream*>(reference);
    return (record != nullptr && record->valid == qSOCKETCHECK) ? record : nullptr;
}

bool connected(const SocketStream* record) { return (record->flags & SOCKET_CONNECTED) != 0; }

bool is_reset(int error) { return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT; }
bool is_broken_pipe(int error) { return error == EPIPE || error == ECONNRESET || error == ENOTCONN; }
bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Connects a fresh socket with a bounded wait; the socket is non-blocking from here on.
// Returns the error number of a failed connect (0 on success).
int connect_bounded(int fd, const sockaddr_in& address) {
    int on = 1;
    if (ioctl(fd, FIONBIO, &on) != 0) return errno;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(qSOCKET_CONNECT_TIMEOUT_MS);
    pollfd waiting{fd, POLLOUT, 0};
    for (;;) {
        int ready = poll(&waiting, 1, milliseconds_until(deadline));
        if (ready == 0) return ETIMEDOUT;
        if (ready > 0) break;
        if (errno != EINTR) return errno;
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
    return error;
}

qErr apply_options(int fd) {
    int on = 1;
    timeval no_timeout{0, 0};
    linger reset_on_close{1, 0};  // a close resets the connection at once instead of lingering
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &no_timeout, sizeof no_timeout) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close) != 0 ||
        ioctl(fd, FIONBIO, &on) != 0) {
        return qErrIO;
    }
    return qErrNone;
}

// Drops the current connection, if any, and makes a new one. `seen_generation` is the
// generation the caller was using when it met the reset.
qErr socket_connect(SocketStream* record, uint64_t seen_generation) {
    if (record == nullptr) return qErrInitialization;
    std::lock_guard<std::mutex> lock(record->reconnecting);
    if (record->generation != seen_generation) return connected(record) ? qErrNone : qErrConnection;
    // Every attempt, good or bad, starts a new generation: a thread that met the same reset
    // meanwhile takes this attempt's outcome instead of trying again.
    ++record->generation;

    record->flags &= ~SOCKET_CONNECTED;
    int current = record->descriptor;
    if (current >= 0) {
        // Park an unconnected socket on the number; that closes (and resets) the old connection.
        int parked = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (parked >= 0) {
            dup2(parked, current);
            close(parked);
        } else {
            close(current);
            record->descriptor = current = -1;
        }
        qTime_MSSleep(qSOCKET_RECONNECT_PAUSE_MS);
    }

    int fresh = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fresh < 0) return qErrIO;
    int error = connect_bounded(fresh, record->address);
    if (error != 0) {
        close(fresh);
        bool refused = error == EAGAIN || error == ECONNRESET || error == ETIMEDOUT || error == ECONNREFUSED;
        return refused ? qErrConnection : qErrIO;
    }
    if (apply_options(fresh) != qErrNone) {
        close(fresh);
        return qErrIO;
    }
    if (current >= 0) {
        if (dup2(fresh, current) < 0) {
            close(fresh);
            return qErrIO;
        }
        close(fresh);
    } else {
        record->descriptor = fresh;
    }
    record->flags |= SOCKET_CONNECTED;
    return qErrNone;
}

// Receives into `buffer`, reconnecting once when the peer has reset the connection.
// Returns the byte count, 0 for a closed peer, or -1 with errno set.
ssize_t receive(SocketStream* record, void* buffer, size_t size, int flags, qErr* reconnect_result) {
    uint64_t generation = record->generation;
    ssize_t received = recv(record->descriptor, buffer, size, flags | MSG_DONTWAIT);
    if (received < 0 && is_reset(errno)) {
        *reconnect_result = socket_connect(record, generation);
        if (*reconnect_result != qErrNone) return -1;
        received = recv(record->descriptor, buffer, size, flags | MSG_DONTWAIT);
        // A second reset right after a reconnect is reported, not chased.
        if (received < 0 && is_reset(errno)) errno = ECONNABORTED;
    }
    return received;
}

qErr socket_get(uint8_t* byte, void* reference) {
    SocketStream* record = socket_record(reference);
    if (record == nullptr) return qErrParam;
    if (!connected(record)) return qErrConnection;

    // Peek first, so nothing is taken from the connection unless a byte is really there.
    qErr reconnect_result = qErrNone;
    ssize_t peeked = receive(record, byte, 1, MSG_PEEK, &reconnect_result);
    if (reconnect_result != qErrNone) return reconnect_result;
    if (peeked == 0) return qErrNotReady;  // the peer closed; nothing will come
    if (peeked < 0) return (would_block(errno) || errno == EINTR) ? qErrNotReady : qErrConnection;

    ssize_t received = recv(record->descriptor, byte, 1, MSG_DONTWAIT);
    if (received == 1) return qErrNone;
    if (received == 0) return qErrNotReady;
    if (would_block(errno)) return qErrEOF;
    return is_reset(errno) ? qErrNotReady : qErrIO;
}

qErr socket_read_available(uint8_t* buffer, size_t capacity, size_t* count, void* reference) {
    SocketStream* record = socket_record(reference);
    if (record == nullptr) return qErrParam;
    if (!connected(record)) return qErrConnection;
    qErr reconnect_result = qErrNone;
    ssize_t received = receive(record, buffer, capacity, 0, &reconnect_result);
    if (reconnect_result != qErrNone) return reconnect_result;
    if (received == 0) return qErrNotReady;
    if (received < 0) return (would_block(errno) || errno == EINTR) ? qErrNotReady : qErrConnection;
    *count = static_cast<size_t>(received);
    return qErrNone;
}

qErr socket_wait_readable(uint32_t timeout_ms, void* reference) {
    SocketStream* record = socket_record(reference);
    if (record == nullptr) return qErrParam;
    if (!connected(record)) return qErrNone;  // the read reports it at once
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd waiting{record->descriptor, POLLIN | POLLRDHUP, 0};
        int ready = poll(&waiting, 1, milliseconds_until(deadline));
        if (ready == 0) return qErrTimeout;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return qErrNone;
        }
        // Nothing here may take the socket's pending error (a reset): the read must see it to
        // reconnect. So bytes are counted, not peeked.
        if ((waiting.revents & (POLLERR | POLLNVAL)) != 0) return qErrNone;
        int waiting_bytes = 0;
        if (ioctl(record->descriptor, FIONREAD, &waiting_bytes) != 0 || waiting_bytes > 0) return qErrNone;
        if ((waiting.revents & (POLLRDHUP | POLLHUP)) == 0) continue;
        // The peer closed cleanly: the socket stays "readable" for ever with nothing to read,
        // so wait out the time instead of letting the reader spin on it.
        int left = milliseconds_until(deadline);
        if (left > 0) qTime_MSSleep(static_cast<uint64_t>(left));
        return qErrTimeout;
    }
}

qErr socket_write(const uint8_t* data, size_t length, void* reference) {
    SocketStream* record = socket_record(reference);
    if (record == nullptr) return qErrParam;
    if (!connected(record)) return qErrConnection;

    size_t sent_so_far = 0;
    int retries = 0;
    while (sent_so_far < length) {
        uint64_t generation = record->generation;
        ssize_t sent = send(record->descriptor, data + sent_so_far, length - sent_so_far, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            sent_so_far += static_cast<size_t>(sent);
            if (sent_so_far == length) break;
            retries = 1;
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent == 0 || would_block(errno)) {
            ++retries;
        } else if (is_broken_pipe(errno)) {
            qErr result = socket_connect(record, generation);
            if (result != qErrNone) return result;
            ++retries;
        } else {
            return qErrIO;
        }
        // The peer is not taking bytes: give it a bounded number of pauses, then report busy.
        if (retries > qSOCKET_MAX_SEND_RETRY) return qErrBusy;
        qTime_MSSleep(qSOCKET_RETRY_DELAY_MS);
    }
    return qErrNone;
}

qErr socket_put(const uint8_t* byte, void* reference) { return socket_write(byte, 1, reference); }

qErr socket_delete(void* reference) {
    SocketStream* record = socket_record(reference);
    if (record == nullptr) return qErrParam;
    if (record->descriptor >= 0) close(record->descriptor);
    record->valid = 0;
    delete record;
    return qErrNone;
}

}  // namespace

qErr qStream_CreateSocket(uint32_t address, uint16_t port, qStream** stream) {
    if (stream == nullptr) return qErrResource;
    *stream = nullptr;
    auto* record = new (std::nothrow) SocketStream;
    if (record == nullptr) return qErrResource;
    record->address.sin_family = AF_INET;
    record->address.sin_port = htons(port);
    record->address.sin_addr.s_addr = address;
    record->port = port;
    if (socket_connect(record, record->generation) != qErrNone) {
        socket_delete(record);
        return qErrResource;
    }
    qStream* made = qStream_Create(socket_get, socket_put, socket_write, socket_delete, record);
    if (made == nullptr) {
        socket_delete(record);
        return qErrResource;
    }
    qStream_SetReadyOperations(made, socket_read_available, socket_wait_readable);
    *stream = made;
    return qErrNone;
}
