// The packet debug log: the ring's record rules, and a link recording its traffic into it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "PeerLink.h"
#include "qPacketDebug.h"

using namespace std::chrono_literals;
using namespace test_support;

namespace {

struct LogDeleter {
    void operator()(qPacketLog* log) const { qPacketLog_Destroy(&log); }
};
using Log = std::unique_ptr<qPacketLog, LogDeleter>;

struct Record {
    qErr result;
    uint8_t kind;
    std::string bytes;
};

Record take(qPacketLog* log, size_t capacity = 255) {
    Record record{qErrNone, 0, std::string(capacity, '\0')};
    size_t length = capacity;
    record.result = qPacketLog_Get(log, &record.kind, &length, record.bytes.data());
    record.bytes.resize(record.result == qErrNone ? length : 0);
    return record;
}

}  // namespace

TEST(PacketDebugLog, KeepsRecordsInOrderAndDropsWholeOldestOnesWhenFull) {
    Log log(qPacketLog_Create(16));  // holds at most 15 bytes
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(take(log.get()).result, qErrNotFound);

    EXPECT_EQ(qPacketLog_Put(log.get(), qPacketLogText, 4, "AAAA"), qErrNone);
    EXPECT_EQ(qPacketLog_Put(log.get(), qPacketLogWritten, 4, "BBBB"), qErrNone);
    // 12 bytes held; 6 more do not fit beside them, so the oldest record goes.
    EXPECT_EQ(qPacketLog_Put(log.get(), qPacketLogReceived, 4, "CCCC"), qErrNone);
    Record first = take(log.get());
    EXPECT_EQ(first.result, qErrNone);
    EXPECT_EQ(first.kind, qPacketLogWritten);
    EXPECT_EQ(first.bytes, "BBBB");
    Record second = take(log.get());
    EXPECT_EQ(second.kind, qPacketLogReceived);
    EXPECT_EQ(second.bytes, "CCCC");
    EXPECT_EQ(take(log.get()).result, qErrNotFound);

    // Records wrap round the end of the ring intact.
    for (char c = 'D'; c <= 'K'; ++c) ASSERT_EQ(qPacketLog_Put(log.get(), qPacketLogText, 3, std::string(3, c).data()), qErrNone);
    EXPECT_EQ(take(log.get()).bytes, "III");
    EXPECT_EQ(take(log.get()).bytes, "JJJ");
    EXPECT_EQ(take(log.get()).bytes, "KKK");
}

TEST(PacketDebugLog, RefusesRecordsThatCannotFitAndBuffersTooSmallForTheNext) {
    Log log(qPacketLog_Create(16));
    ASSERT_NE(log, nullptr);
    const std::string fourteen(14, 'x');
    EXPECT_EQ(qPacketLog_Put(log.get(), qPacketLogText, 14, fourteen.data()), qErrOverrun);  // 16 bytes: not below
    EXPECT_EQ(qPacketLog_Put(log.get(), qPacketLogText, 13, fourteen.data()), qErrNone);

    size_t length = 12;
    uint8_t kind = 0;
    char buffer[12];
    EXPECT_EQ(qPacketLog_Get(log.get(), &kind, &length, buffer), qErrOverrun);
    EXPECT_EQ(length, 13u);  // the record's length is reported, and the record stays
    EXPECT_EQ(kind, qPacketLogText);
    EXPECT_EQ(take(log.get(), 13).bytes, std::string(13, 'x'));

    Log big(qPacketLog_Create(1024));
    const std::string long_text(256, 'y');
    EXPECT_EQ(qPacketLog_Put(big.get(), qPacketLogText, 256, long_text.data()), qErrSize);
    EXPECT_EQ(qPacketLog_Create(qPACKETLOG_MAX_SIZE + 1), nullptr);
}

TEST(PacketDebugLog, LinkLogRulesAndTraffic) {
    PeerLink link;
    ASSERT_TRUE(link.started()) << link.start_failure;
    uint8_t kind = 0;
    size_t length = 64;
    char buffer[64];
    EXPECT_EQ(qLink_PacketDebug_Disable(link.id), qErrNotReady);
    EXPECT_EQ(qLink_PacketDebug_Read(link.id, &kind, &length, buffer), qErrNotReady);
    EXPECT_EQ(qLink_PacketDebug_Write(link.id, qPacketLogText, 5, "START"), qErrNotReady);
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(link.id, qPACKETLOG_MAX_SIZE + 1), qErrParam);
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(link.id, -5), qErrNone);  // taken as the default
    EXPECT_EQ(qLink_PacketDebug_Read(0xFFFFFF00, &kind, &length, buffer), qErrParam);

    ASSERT_EQ(qLink_PacketDebug_Enable(link.id), qErrNone);
    EXPECT_EQ(qLink_PacketDebug_Enable(link.id), qErrNone);
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(link.id, 1024), qErrBusy);
    EXPECT_EQ(qLink_PacketDebug_Disable(link.id), qErrNone);
    EXPECT_EQ(qLink_PacketDebug_Write(link.id, qPacketLogText, 5, "START"), qErrNone);

    // Disabling does not stop the recording: a heartbeat in, its answer out.
    link.peer.send(bytes("04 02 00 00"));
    ASSERT_EQ(link.peer.expect(bytes("04 02 00 02")), "");
    std::vector<std::pair<int, std::string>> records;
    for (int attempt = 0; attempt < 100 && records.size() < 3; ++attempt) {
        length = sizeof buffer;
        qErr result = qLink_PacketDebug_Read(link.id, &kind, &length, buffer);
        if (result == qErrNotFound) {
            std::this_thread::sleep_for(2ms);
            continue;
        }
        ASSERT_EQ(result, qErrNone);
        // The start's force-route is logged just after it is written: it may land in the log.
        if (std::string(buffer, length) == force_route_on()) continue;
        records.emplace_back(kind, std::string(buffer, length));
    }
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], std::make_pair(int{qPacketLogText}, std::string("START")));
    EXPECT_EQ(records[1], std::make_pair(int{qPacketLogReceived}, bytes("04 02 00 00")));
    EXPECT_EQ(records[2], std::make_pair(int{qPacketLogWritten}, bytes("04 02 00 02")));
}
