// Serial-port streams over termios.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "qFile.h"
#include "qStreamserial.h"
#include "qTime.h"
#include "unix_streamserial.h"

namespace {

constexpr speed_t TERMIOS_SPEEDS[qSERIAL_BAUD_COUNT] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
constexpr unsigned BITS_PER_CHARACTER_MAX = 12;  // start, 8 data, parity, 2 stop

struct SerialStream {
    uint16_t valid = qSERIALCHECK;
    char path[qFILE_MAX_PATH + 1] = {};
    int baudIndex = 0;
    int descriptor = -1;
    bool settingsApplied = false;
    termios original{};  // the port's settings found at open, restored at close
    termios applied{};
};

SerialStream* serial_record(void* reference) {
    auto* record = static_cast<SerialStream*>(reference);
    return (record != nullptr && record->valid == qSERIALCHECK && record->descriptor >= 0) ? record : nullptr;
}

int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The descriptor stays non-blocking: reads return at once anyway (VMIN and VTIME are 0), and
// a write to a port whose far end stops taking bytes must fail after a bound instead of
// holding the writer for ever.
qErr serial_open(SerialStream* record, uint8_t parity, uint8_t data_bits, uint8_t stop_bits) {
    record->descriptor = open(record->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (record->descriptor < 0) {
        if (errno == ENOENT) return qErrNotFound;
        if (errno == EACCES) return qErrPermission;
        return qErrIO;
    }
    if (tcgetattr(record->descriptor, &record->original) != 0) return qErrIO;

    termios settings{};
    settings.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    settings.c_oflag = 0;
    settings.c_lflag = 0;  // raw: no echo, no line editing, no signals
    settings.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (data_bits == qSERIAL_DATA_BITS_7 ? CS7 : CS8) |
                       (stop_bits == qSERIAL_STOP_BITS_2 ? CSTOPB : 0);
    settings.c_cc[VMIN] = 0;  // a read returns at once, with no bytes when none are waiting
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, TERMIOS_SPEEDS[record->baudIndex]) != 0 ||
        cfsetospeed(&settings, TERMIOS_SPEEDS[record->baudIndex]) != 0) {
        return qErrIO;
    }
    if (tcsetattr(record->descriptor, TCSANOW, &settings) != 0) return qErrIO;
    record->settingsApplied = true;
    record->applied = settings;
    return tcflush(record->descriptor, TCIOFLUSH) == 0 ? qErrNone : qErrIO;
}

qErr read_result(ssize_t count) {
    if (count > 0) return qErrNone;
    if (count == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return qErrNotReady;
    return qErrIO;
}

qErr serial_get(uint8_t* byte, void* reference) {
    SerialStream* record = serial_record(reference);
    if (record == nullptr) return qErrParam;
    return read_result(read(record->descriptor, byte, 1));
}

qErr serial_read_available(uint8_t* buffer, size_t capacity, size_t* count, void* reference) {
    SerialStream* record = serial_record(reference);
    if (record == nullptr) return qErrParam;
    ssize_t received = read(record->descriptor, buffer, capacity);
    if (received > 0) *count = static_cast<size_t>(received);
    return read_result(received);
}

qErr serial_wait_readable(uint32_t timeout_ms, void* reference) {
    SerialStream* record = serial_record(reference);
    if (record == nullptr) return qErrParam;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd waiting{record->descriptor, POLLIN, 0};
        int ready = poll(&waiting, 1, milliseconds_until(deadline));
        if (ready == 0) return qErrTimeout;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return qErrNone;  // the read reports the trouble
        }
        int waiting_bytes = 0;
        bool has_bytes = ioctl(record->descriptor, FIONREAD, &waiting_bytes) == 0 && waiting_bytes > 0;
        if (has_bytes || (waiting.revents & POLLHUP) == 0) return qErrNone;
        // Hung up with nothing left to read: the port reports "readable" for ever while reads
        // find no bytes, so wait out the time instead of letting the reader spin on it.
        int left = milliseconds_until(deadline);
        if (left > 0) qTime_MSSleep(static_cast<uint64_t>(left));
        return qErrTimeout;
    }
}

qErr serial_write(const uint8_t* data, size_t length, void* reference) {
    SerialStream* record = serial_record(reference);
    if (record == nullptr) return qErrParam;
    uint64_t transmission_ms = static_cast<uint64_t>(length) * BITS_PER_CHARACTER_MAX * 1000 /
                               qSERIAL_BAUD_RATES[record->baudIndex];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(qSERIAL_WRITE_GRACE_MS) +
                    std::chrono::milliseconds(2 * transmission_ms);
    size_t written = 0;
    while (written < length) {
        ssize_t count = write(record->descriptor, data + written, length - written);
        if (count > 0) {
            written += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return qErrIO;
        pollfd waiting{record->descriptor, POLLOUT, 0};
        int left = milliseconds_until(deadline);
        if (left == 0 || poll(&waiting, 1, left) == 0) return qErrTimeout;
    }
    // Written bytes count once they have left the port.
    return tcdrain(record->descriptor) == 0 ? qErrNone : qErrIO;
}

qErr serial_put(const uint8_t* byte, void* reference) { return serial_write(byte, 1, reference); }

qErr serial_delete(void* reference) {
    auto* record = static_cast<SerialStream*>(reference);
    if (record == nullptr || record->valid != qSERIALCHECK) return qErrParam;
    qErr result = qErrNone;
    if (record->descriptor >= 0) {
        if (record->settingsApplied && tcsetattr(record->descriptor, TCSANOW, &record->original) != 0) result = qErrIO;
        if (close(record->descriptor) != 0) result = qErrIO;
    }
    record->valid = 0;
    delete record;
    return result;
}

}  // namespace

qErr qStream_CreateSerial(const char* port, int baud_index, uint8_t parity, uint8_t data_bits, uint8_t stop_bits,
                          qStream** stream) {
    if (stream == nullptr) return qErrResource;
    *stream = nullptr;
    if (port == nullptr || data_bits > 1 || stop_bits > 1) return qErrResource;
    // The termios speed comes from the table; an index outside it has no speed to set, so it is
    // refused before the port is opened (and its settings changed).
    if (baud_index < 0 || baud_index >= qSERIAL_BAUD_COUNT) return qErrRange;
    size_t path_length = strnlen(port, qFILE_MAX_PATH + 1);
    if (path_length > qFILE_MAX_PATH) return qErrFileNameLength;

    auto* record = new (std::nothrow) SerialStream;
    if (record == nullptr) return qErrResource;
    memcpy(record->path, port, path_length);
    record->baudIndex = baud_index;
    qStream* made = qStream_Create(serial_get, serial_put, serial_write, serial_delete, record);
    if (made == nullptr) {
        serial_delete(record);
        return qErrResource;
    }
    qErr result = serial_open(record, parity, data_bits, stop_bits);
    if (result != qErrNone) {
        qStream_Destroy(&made);
        return result;
    }
    qStream_SetReadyOperations(made, serial_read_available, serial_wait_readable);
    *stream = made;
    return qErrNone;
}

qErr unix_streamserial_GetAppliedSettings(const qStream* stream, termios* settings) {
    if (!qVALIDSTREAM(stream) || stream->get != serial_get || settings == nullptr) return qErrParam;
    SerialStream* record = serial_record(stream->reference);
    if (record == nullptr) return qErrParam;
    *settings = record->applied;
    return qErrNone;
}
