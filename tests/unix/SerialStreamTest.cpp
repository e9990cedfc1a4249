#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TestPaths.h"
#include "qStreamserial.h"
#include "unix_streamserial.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A pseudo-terminal: the stream opens the port side by its path; the test keeps the port side
// open too (to read its settings back) and plays the far end on the controller side.
class PseudoTerminal {
public:
    PseudoTerminal() {
        char name[256] = {};
        if (openpty(&controller_, &port_, name, nullptr, nullptr) == 0) path_ = name;
        fcntl(controller_, F_SETFL, O_NONBLOCK);
    }
    ~PseudoTerminal() {
        close_controller();
        if (port_ >= 0) close(port_);
    }
    const std::string& path() const { return path_; }
    int controller() const { return controller_; }
    termios settings() const {
        termios current{};
        tcgetattr(port_, &current);
        return current;
    }
    void close_controller() {
        if (controller_ >= 0) close(controller_);
        controller_ = -1;
    }
    std::string receive(size_t count) const {
        std::string received;
        while (received.size() < count) {
            pollfd waiting{controller_, POLLIN, 0};
            if (poll(&waiting, 1, 1000) != 1) break;
            char buffer[256];
            ssize_t got = read(controller_, buffer, std::min(sizeof buffer, count - received.size()));
            if (got <= 0) break;
            received.append(buffer, static_cast<size_t>(got));
        }
        return received;
    }

private:
    int controller_ = -1;
    int port_ = -1;
    std::string path_;
};

struct StreamDeleter {
    void operator()(qStream* stream) const { qStream_Destroy(&stream); }
};
using Stream = std::unique_ptr<qStream, StreamDeleter>;

Stream open_serial(const PseudoTerminal& terminal, int baud_index = 6) {
    qStream* stream = nullptr;
    EXPECT_EQ(qStream_CreateSerial(terminal.path().c_str(), baud_index, 0, qSERIAL_DATA_BITS_8, qSERIAL_STOP_BITS_1,
                                   &stream),
              qErrNone);
    return Stream(stream);
}

}  // namespace

TEST(SerialStream, AppliesTheSelectedSettings) {
    struct Case {
        int baud_index;
        uint8_t parity, data_bits, stop_bits;
        speed_t speed;
        tcflag_t size;
        bool two_stop_bits;
    };
    const Case cases[] = {
        {0, 0, qSERIAL_DATA_BITS_8, qSERIAL_STOP_BITS_1, B2400, CS8, false},
        {6, 1, qSERIAL_DATA_BITS_7, qSERIAL_STOP_BITS_2, B115200, CS7, true},
        {7, 0, qSERIAL_DATA_BITS_8, qSERIAL_STOP_BITS_2, B230400, CS8, true},
        {2, 1, qSERIAL_DATA_BITS_8, qSERIAL_STOP_BITS_1, B9600, CS8, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud_index);
        PseudoTerminal terminal;
        ASSERT_FALSE(terminal.path().empty());
        termios before = terminal.settings();
        qStream* stream = nullptr;
        ASSERT_EQ(qStream_CreateSerial(terminal.path().c_str(), c.baud_index, c.parity, c.data_bits, c.stop_bits, &stream),
                  qErrNone);
        // What the port reports back; a pseudo-terminal forces 8 data bits and no parity, so
        // those two are checked on the settings the stream asked for.
        termios applied = terminal.settings();
        termios requested{};
        ASSERT_EQ(unix_streamserial_GetAppliedSettings(stream, &requested), qErrNone);
        EXPECT_EQ(requested.c_cflag & CSIZE, c.size);
        EXPECT_EQ((requested.c_cflag & PARENB) != 0, c.parity != 0);
        EXPECT_EQ(cfgetispeed(&applied), c.speed);
        EXPECT_EQ(cfgetospeed(&applied), c.speed);
        EXPECT_EQ((applied.c_cflag & CSTOPB) != 0, c.two_stop_bits);
        EXPECT_EQ((applied.c_iflag & IGNPAR) != 0, c.parity != 0);
        EXPECT_NE(applied.c_cflag & CREAD, 0u);
        EXPECT_NE(applied.c_cflag & CLOCAL, 0u);
        EXPECT_NE(applied.c_iflag & IGNBRK, 0u);
        EXPECT_EQ(applied.c_lflag, 0u);  // raw: no echo, no line editing
        EXPECT_EQ(applied.c_oflag, 0u);
        EXPECT_EQ(applied.c_cc[VMIN], 0);
        EXPECT_EQ(applied.c_cc[VTIME], 0);

        EXPECT_EQ(qStream_Destroy(&stream), qErrNone);
        termios after = terminal.settings();
        EXPECT_EQ(after.c_lflag, before.c_lflag);  // the port's own settings are back
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    }
}

TEST(SerialStream, RefusesBadSelectorsBeforeTouchingThePort) {
    PseudoTerminal terminal;
    termios before = terminal.settings();
    struct Case {
        int baud_index;
        uint8_t data_bits, stop_bits;
        qErr expected;
    };
    const Case cases[] = {
        {8, 0, 0, qErrRange}, {-1, 0, 0, qErrRange}, {100, 0, 0, qErrRange},
        {6, 2, 0, qErrResource}, {6, 0, 2, qErrResource},
    };
    for (const Case& c : cases) {
        qStream* stream = reinterpret_cast<qStream*>(0x1);
        EXPECT_EQ(qStream_CreateSerial(terminal.path().c_str(), c.baud_index, 0, c.data_bits, c.stop_bits, &stream),
                  c.expected)
            << c.baud_index << " " << int(c.data_bits) << " " << int(c.stop_bits);
        EXPECT_EQ(stream, nullptr);
    }
    termios after = terminal.settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);

    qStream* stream = nullptr;
    EXPECT_EQ(qStream_CreateSerial(nullptr, 6, 0, 0, 0, &stream), qErrResource);
    EXPECT_EQ(qStream_CreateSerial(terminal.path().c_str(), 6, 0, 0, 0, nullptr), qErrResource);
    EXPECT_EQ(qStream_CreateSerial(std::string(5000, 'p').c_str(), 6, 0, 0, 0, &stream), qErrFileNameLength);
}

TEST(SerialStream, OpenFailuresNameTheCause) {
    test_support::TemporaryDirectory root;
    qStream* stream = nullptr;
    EXPECT_EQ(qStream_CreateSerial(root.file("ttyMissing").c_str(), 6, 0, 0, 0, &stream), qErrNotFound);
    EXPECT_EQ(qStream_CreateSerial(root.file("").c_str(), 6, 0, 0, 0, &stream), qErrIO);  // a directory

    // A port without access rights; root passes every permission check, so the attempt runs
    // in a child that has given root up.
    std::string locked = root.file("ttyLocked");
    close(open(locked.c_str(), O_CREAT | O_WRONLY, 0600));
    chmod(locked.c_str(), 0);
    auto attempt = test_support::run_function([&] {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(3);
        qStream* child_stream = nullptr;
        _exit(qStream_CreateSerial(locked.c_str(), 6, 0, 0, 0, &child_stream) == qErrPermission ? 0 : 1);
    });
    EXPECT_EQ(attempt.exit_status, 0) << attempt.err;
}

TEST(SerialStream, CarriesBytesBothWays) {
    PseudoTerminal terminal;
    Stream stream = open_serial(terminal);
    ASSERT_NE(stream, nullptr);

    uint8_t byte = 0;
    EXPECT_EQ(qStream_Read(stream.get(), &byte, 1), qErrNotReady);
    auto start = Clock::now();
    EXPECT_EQ(qStream_WaitReadable(stream.get(), 50), qErrTimeout);
    EXPECT_GE(Clock::now() - start, 40ms);

    EXPECT_EQ(qStream_Write(stream.get(), "\x04\x03\x01\x02\x03", 5), qErrNone);
    EXPECT_EQ(terminal.receive(5), "\x04\x03\x01\x02\x03");

    ASSERT_EQ(write(terminal.controller(), "\x06\x00sync", 6), 6);
    ASSERT_EQ(qStream_WaitReadable(stream.get(), 1000), qErrNone);
    std::string received;
    while (received.size() < 6) {
        uint8_t buffer[16];
        size_t count = 0;
        if (qStream_WaitReadable(stream.get(), 1000) != qErrNone) break;
        if (qStream_ReadAvailable(stream.get(), buffer, sizeof buffer, &count) == qErrNone) {
            received.append(reinterpret_cast<char*>(buffer), count);
        }
    }
    EXPECT_EQ(received, std::string("\x06\x00sync", 6));
}

TEST(SerialStream, WriteToAFarEndThatStopsReadingFailsInBoundedTime) {
    PseudoTerminal terminal;
    Stream stream = open_serial(terminal, 7);
    std::vector<uint8_t> block(4096, 0x5A);
    auto start = Clock::now();
    qErr result = qErrNone;
    for (int i = 0; i < 64 && result == qErrNone; ++i) result = qStream_Write(stream.get(), block.data(), block.size());
    EXPECT_EQ(result, qErrTimeout);
    EXPECT_LT(Clock::now() - start, 10s);
}

TEST(SerialStream, HungUpPortDoesNotMakeTheReaderSpin) {
    PseudoTerminal terminal;
    Stream stream = open_serial(terminal);
    terminal.close_controller();
    // Either the wait takes its time, or the read that follows reports the failure: a reader
    // that waits and then reads never loops on "not ready" at full speed.
    auto start = Clock::now();
    qErr waited = qStream_WaitReadable(stream.get(), 100);
    bool took_its_time = Clock::now() - start >= 90ms;
    uint8_t byte;
    qErr read = qStream_Read(stream.get(), &byte, 1);
    EXPECT_TRUE((waited == qErrTimeout && took_its_time) || (waited == qErrNone && read != qErrNotReady && read != qErrNone))
        << qError_GetErrorText(waited) << " " << qError_GetErrorText(read);
}
