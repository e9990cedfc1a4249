#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <string>
#include <vector>

#include "qStreamsocket.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A TCP listener on 127.0.0.1 that plays the module's side of the connection.
class LocalListener {
public:
    explicit LocalListener(int receive_buffer = 0) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // Accepted connections inherit this, so a peer that never reads fills up quickly.
        if (receive_buffer > 0) setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        socklen_t size = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~LocalListener() {
        for (int connection : connections_) close(connection);
        close(listener_);
    }

    uint16_t port() const { return port_; }

    // The next connection, waiting at most a second; -1 when none came.
    int accept_connection() { return accept_connection_within(1000); }
    int accept_connection_within(int timeout_ms) {
        pollfd waiting{listener_, POLLIN, 0};
        if (poll(&waiting, 1, timeout_ms) != 1) return -1;
        int connection = accept(listener_, nullptr, nullptr);
        if (connection >= 0) connections_.push_back(connection);
        return connection;
    }

    // Closes the connection with a reset instead of a clean close.
    void reset(int connection) {
        linger abort{1, 0};
        setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close(connection);
        std::erase(connections_, connection);
    }

    static std::string receive(int connection, size_t count) {
        std::string received;
        while (received.size() < count) {
            pollfd waiting{connection, POLLIN, 0};
            if (poll(&waiting, 1, 1000) != 1) break;
            char buffer[256];
            ssize_t got = recv(connection, buffer, std::min(sizeof buffer, count - received.size()), 0);
            if (got <= 0) break;
            received.append(buffer, static_cast<size_t>(got));
        }
        return received;
    }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::vector<int> connections_;
};

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// Reads one byte, polling for at most a second.
qErr get_within_a_second(qStream* stream, uint8_t* byte) {
    auto deadline = Clock::now() + 1s;
    qErr result;
    while ((result = qStream_Read(stream, byte, 1)) == qErrNotReady && Clock::now() < deadline) {
        qStream_WaitReadable(stream, 20);
    }
    return result;
}

struct StreamDeleter {
    void operator()(qStream* stream) const { qStream_Destroy(&stream); }
};
using Stream = std::unique_ptr<qStream, StreamDeleter>;

Stream connect_to(const LocalListener& listener) {
    qStream* stream = nullptr;
    EXPECT_EQ(qStream_CreateSocket(loopback(), listener.port(), &stream), qErrNone);
    return Stream(stream);
}

}  // namespace

TEST(SocketStream, RefusedConnectionIsAResourceError) {
    uint16_t closed_port;
    {
        LocalListener gone;
        closed_port = gone.port();
    }
    qStream* stream = reinterpret_cast<qStream*>(0x1);
    EXPECT_EQ(qStream_CreateSocket(loopback(), closed_port, &stream), qErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(qStream_CreateSocket(loopback(), closed_port, nullptr), qErrResource);
}

TEST(SocketStream, ExchangesBytesAndNeverBlocks) {
    LocalListener listener;
    Stream stream = connect_to(listener);
    ASSERT_NE(stream, nullptr);
    int peer = listener.accept_connection();
    ASSERT_GE(peer, 0);

    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_EQ(qStream_Read(stream.get(), &byte, 1), qErrNotReady);
    EXPECT_LT(Clock::now() - start, 100ms);

    EXPECT_EQ(qStream_Write(stream.get(), "\xAD\x00\xAD\x00", 4), qErrNone);
    EXPECT_EQ(LocalListener::receive(peer, 4), std::string("\xAD\x00\xAD\x00", 4));

    // A burst arrives; the stream hands it out per byte or in one read-available call.
    std::string burst;
    for (int i = 0; i < 100; ++i) burst.push_back(static_cast<char>(i));
    ASSERT_EQ(send(peer, burst.data(), burst.size(), 0), 100);
    ASSERT_EQ(get_within_a_second(stream.get(), &byte), qErrNone);
    EXPECT_EQ(byte, 0);
    std::string rest;
    while (rest.size() < 99) {
        uint8_t buffer[256];
        size_t count = 0;
        ASSERT_EQ(qStream_WaitReadable(stream.get(), 1000), qErrNone);
        ASSERT_EQ(qStream_ReadAvailable(stream.get(), buffer, sizeof buffer, &count), qErrNone);
        rest.append(reinterpret_cast<char*>(buffer), count);
    }
    EXPECT_EQ(rest, burst.substr(1));
    EXPECT_EQ(qStream_WaitReadable(stream.get(), 30), qErrTimeout);
}

TEST(SocketStream, PeerCloseReadsAsNotReadyWithoutSpinning) {
    LocalListener listener;
    Stream stream = connect_to(listener);
    int peer = listener.accept_connection();
    ASSERT_GE(peer, 0);
    ASSERT_EQ(send(peer, "z", 1, 0), 1);
    shutdown(peer, SHUT_RDWR);  // a clean close after one last byte

    uint8_t byte = 0;
    ASSERT_EQ(get_within_a_second(stream.get(), &byte), qErrNone);
    EXPECT_EQ(byte, 'z');
    for (int i = 0; i < 3; ++i) EXPECT_EQ(qStream_Read(stream.get(), &byte, 1), qErrNotReady);
    // The closed socket is always "readable"; the wait still takes its time.
    auto start = Clock::now();
    EXPECT_EQ(qStream_WaitReadable(stream.get(), 100), qErrTimeout);
    EXPECT_GE(Clock::now() - start, 90ms);
}

TEST(SocketStream, ResetPeerIsReconnectedByARead) {
    LocalListener listener;
    Stream stream = connect_to(listener);
    int first = listener.accept_connection();
    ASSERT_GE(first, 0);
    listener.reset(first);
    ASSERT_EQ(qStream_WaitReadable(stream.get(), 1000), qErrNone);  // the reset arrived

    uint8_t byte = 0;
    EXPECT_EQ(qStream_Read(stream.get(), &byte, 1), qErrNotReady);  // reconnected, nothing yet
    int second = listener.accept_connection();
    ASSERT_GE(second, 0);
    ASSERT_EQ(send(second, "n", 1, 0), 1);
    ASSERT_EQ(get_within_a_second(stream.get(), &byte), qErrNone);
    EXPECT_EQ(byte, 'n');
}

TEST(SocketStream, ResetPeerIsReconnectedByAWrite) {
    LocalListener listener;
    Stream stream = connect_to(listener);
    int first = listener.accept_connection();
    ASSERT_GE(first, 0);
    listener.reset(first);
    ASSERT_EQ(qStream_WaitReadable(stream.get(), 1000), qErrNone);

    EXPECT_EQ(qStream_Write(stream.get(), "after", 5), qErrNone);
    int second = listener.accept_connection();
    ASSERT_GE(second, 0);
    EXPECT_EQ(LocalListener::receive(second, 5), "after");
}

TEST(SocketStream, PeerThatNeverReadsMakesWritingBusy) {
    LocalListener listener(4096);
    Stream stream = connect_to(listener);
    ASSERT_GE(listener.accept_connection(), 0);
    std::vector<uint8_t> flood(32 * 1024 * 1024, 0x55);
    auto start = Clock::now();
    EXPECT_EQ(qStream_Write(stream.get(), flood.data(), flood.size()), qErrBusy);
    auto spent = Clock::now() - start;
    EXPECT_GE(spent, std::chrono::milliseconds(qSOCKET_MAX_SEND_RETRY * qSOCKET_RETRY_DELAY_MS - 20));
    EXPECT_LT(spent, 3s);
}

TEST(SocketStream, ReaderAndWriterThreadsShareTheStreamAcrossAReset) {
    // As on a link: one thread only reads, another only writes, and both meet the same reset.
    LocalListener listener;
    Stream stream = connect_to(listener);
    int first = listener.accept_connection();
    ASSERT_GE(first, 0);

    std::atomic<bool> stop{false};
    std::atomic<int> read_bytes{0};
    std::thread reader([&] {
        uint8_t byte;
        while (!stop) {
            if (qStream_WaitReadable(stream.get(), 20) == qErrNone && qStream_Read(stream.get(), &byte, 1) == qErrNone) {
                ++read_bytes;
            }
        }
    });
    std::thread writer([&] {
        for (int i = 0; i < 400 && !stop; ++i) {
            qStream_Write(stream.get(), "w", 1);
            std::this_thread::sleep_for(5ms);
        }
    });

    ASSERT_EQ(send(first, "rr", 2, 0), 2);
    std::this_thread::sleep_for(50ms);
    listener.reset(first);
    int second = listener.accept_connection();
    ASSERT_GE(second, 0);
    EXPECT_FALSE(LocalListener::receive(second, 1).empty());  // the writer goes on over it
    ASSERT_EQ(send(second, "rrr", 3, 0), 3);
    auto deadline = Clock::now() + 1s;
    while (read_bytes < 5 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(read_bytes.load(), 5);
    EXPECT_LT(listener.accept_connection_within(200), 0);  // no reconnect without a reset

    stop = true;
    reader.join();
    writer.join();
}
