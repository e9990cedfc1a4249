#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "qModuleContract.h"
#include "qPacket.h"
#include "qUEI.h"

namespace {

struct PacketDeleter {
    void operator()(qPacket* packet) const { qPacket_Destroy(&packet); }
};
using Packet = std::unique_ptr<qPacket, PacketDeleter>;

Packet packet_of(uint8_t address, std::vector<uint8_t> data) {
    return Packet(qPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

// Feeds bytes one by one and returns each result.
std::vector<qErr> feed(qPacket* packet, const std::vector<uint8_t>& bytes) {
    std::vector<qErr> results;
    for (uint8_t byte : bytes) results.push_back(qPacket_AddByte(packet, byte));
    return results;
}

}  // namespace

TEST(PacketAssembly, SequencesOfBytes) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<qErr> results;
        bool complete;
    };
    const qErr N = qErrNone, P = qErrPacket;
    const Case cases[] = {
        {"three data bytes", {0x04, 0x03, 0x01, 0x02, 0x03}, {N, N, N, N, N}, true},
        {"zero-length packet", {0x02, 0x00}, {N, N}, true},
        {"zero address refused", {0x00}, {P}, false},
        {"odd address refused", {0x05}, {P}, false},
        {"sync address is odd", {qADDR_SYNC}, {P}, false},
        {"length 28 accepted", {0x02, 28}, {N, N}, false},
        {"length 29 refused", {0x02, 29}, {N, P}, false},
        {"byte past the end refused", {0x02, 0x01, 0xAA, 0xBB}, {N, N, N, P}, false},
        {"byte after a zero-length packet refused", {0x02, 0x00, 0x05}, {N, N, P}, false},
        {"incomplete", {0x08, 0x02, 0x01}, {N, N, N}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Packet packet(qPacket_Create());
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(feed(packet.get(), c.bytes), c.results);
        EXPECT_EQ(qPacket_IsComplete(packet.get()), c.complete);
    }
}

TEST(PacketAssembly, CompletedPacketHoldsItsFields) {
    Packet packet(qPacket_Create());
    feed(packet.get(), {0x04, 0x03, 0x01, 0x02, 0x03});
    EXPECT_EQ(packet->address, 4);
    EXPECT_EQ(packet->length, 3);
    EXPECT_EQ(std::vector<uint8_t>(packet->data, packet->data + 3), (std::vector<uint8_t>{1, 2, 3}));

    EXPECT_EQ(qPacket_Reset(packet.get()), qErrNone);
    EXPECT_FALSE(qPacket_IsComplete(packet.get()));
    EXPECT_EQ(feed(packet.get(), {0x06, 0x00}), (std::vector<qErr>{qErrNone, qErrNone}));
    EXPECT_EQ(packet->address, 6);
}

TEST(PacketAssembly, EndlessStreamOfBytesOverruns) {
    Packet packet(qPacket_Create());
    feed(packet.get(), {0x02, 28});
    for (int i = 0; i < 28; ++i) ASSERT_EQ(qPacket_AddByte(packet.get(), 0x11), qErrNone);
    EXPECT_TRUE(qPacket_IsComplete(packet.get()));
    // Whatever follows is past 30 bytes, and stays refused however long it goes on.
    for (int i = 0; i < 300; ++i) ASSERT_EQ(qPacket_AddByte(packet.get(), 0x11), qErrOverrun);
}

TEST(PacketAssembly, InvalidPacketsAreRefused) {
    qPacket forged{};
    EXPECT_EQ(qPacket_AddByte(nullptr, 2), qErrParam);
    EXPECT_EQ(qPacket_AddByte(&forged, 2), qErrParam);
    EXPECT_EQ(qPacket_Reset(&forged), qErrParam);
    EXPECT_FALSE(qPacket_IsComplete(&forged));
    EXPECT_FALSE(qPacket_IsComplete(nullptr));
}

TEST(PacketCreation, WithDataAndCopy) {
    const uint8_t data[qPACKET_MAX_DATA + 1] = {9, 8, 7};
    EXPECT_EQ(qPacket_CreateWithData(2, 29, data), nullptr);
    EXPECT_EQ(qPacket_CreateWithData(2, 1, nullptr), nullptr);

    Packet empty(qPacket_CreateWithData(2, 0, data));
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(qPacket_IsComplete(empty.get()));

    Packet full(qPacket_CreateWithData(0x10, qPACKET_MAX_DATA, data));
    Packet copy(qPacket_Copy(full.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), full.get());
    EXPECT_EQ(copy->address, 0x10);
    EXPECT_EQ(copy->length, qPACKET_MAX_DATA);
    EXPECT_EQ(memcmp(copy->data, data, qPACKET_MAX_DATA), 0);
    EXPECT_TRUE(qPacket_IsComplete(copy.get()));

    qPacket forged{};
    EXPECT_EQ(qPacket_Copy(&forged), nullptr);
    EXPECT_EQ(qPacket_Copy(nullptr), nullptr);
    // A refused length byte stays in the packet; copying it would read past the data.
    Packet refused(qPacket_Create());
    feed(refused.get(), {0x02, 29});
    EXPECT_EQ(qPacket_Copy(refused.get()), nullptr);
}

TEST(PacketCreation, DestroyClearsThePointer) {
    qPacket* packet = qPacket_Create();
    EXPECT_EQ(qPacket_Destroy(&packet), qErrNone);
    EXPECT_EQ(packet, nullptr);
    EXPECT_EQ(qPacket_Destroy(&packet), qErrParam);
    EXPECT_EQ(qPacket_Destroy(nullptr), qErrParam);
}

TEST(PacketFields, CommandOptionAndIndex) {
    Packet uei = packet_of(4, {0x03, 0xC8, 0xA5});
    uint8_t value = 0xFF;
    EXPECT_EQ(qPacket_GetCmd(uei.get(), &value), qErrNone);
    EXPECT_EQ(value, 0x03);
    EXPECT_EQ(qPacket_GetOption(uei.get(), &value), qErrNone);
    EXPECT_EQ(value, 0x08);  // operation bits removed
    EXPECT_EQ(qPacket_GetIndex(uei.get(), &value), qErrNone);
    EXPECT_EQ(value, 0x05);  // request, stream and error flags removed

    Packet short_packet = packet_of(4, {0x03});
    EXPECT_EQ(qPacket_GetCmd(short_packet.get(), &value), qErrNone);
    EXPECT_EQ(qPacket_GetOption(short_packet.get(), &value), qErrPacket);
    EXPECT_EQ(qPacket_GetIndex(short_packet.get(), &value), qErrPacket);
    Packet empty = packet_of(4, {});
    EXPECT_EQ(qPacket_GetCmd(empty.get(), &value), qErrPacket);

    qPacket forged{};
    EXPECT_EQ(qPacket_GetCmd(&forged, &value), qErrPacket);
    EXPECT_EQ(qPacket_GetOption(uei.get(), nullptr), qErrParam);
    EXPECT_EQ(qPacket_GetOption(nullptr, nullptr), qErrParam);
}

TEST(UEIValues, BigEndianOnEveryHost) {
    uint8_t buffer[4] = {0, 0, 1, 0};
    EXPECT_EQ(qUEI_RetrieveInt(buffer), 256u);
    uint8_t stored[4] = {};
    qUEI_StoreInt(stored, 256);
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + 4), (std::vector<uint8_t>{0, 0, 1, 0}));
    qUEI_StoreInt(stored, 0x40F5849A);
    EXPECT_EQ(std::vector<uint8_t>(stored, stored + 4), (std::vector<uint8_t>{0x40, 0xF5, 0x84, 0x9A}));
    EXPECT_EQ(qUEI_RetrieveInt(stored), 0x40F5849Au);

    qUEI_StoreShort(stored, 0x1234);
    EXPECT_EQ(stored[0], 0x12);
    EXPECT_EQ(stored[1], 0x34);
    EXPECT_EQ(qUEI_RetrieveShort(stored), 0x1234);

    uint8_t words[8] = {0, 0, 0, 1, 0xDE, 0xAD, 0xBE, 0xEF};
    uint32_t aligned[2];
    memcpy(aligned, words, sizeof aligned);
    qUEI_ModifyIntBuffer(aligned, 2);
    EXPECT_EQ(aligned[0], 1u);
    EXPECT_EQ(aligned[1], 0xDEADBEEFu);
}

TEST(UEIValues, ByteStringSequenceBytes) {
    Packet more = packet_of(4, {0x5F, 0x8A, 0x20, 1, 2, 0x85});
    EXPECT_EQ(qUEI_getBytesSequence(more.get()), 5);
    EXPECT_EQ(qUEI_getBytesContinue(more.get()), 0x80);
    Packet last = packet_of(4, {0x5F, 0x8A, 0x20, 0x07});
    EXPECT_EQ(qUEI_getBytesSequence(last.get()), 7);
    EXPECT_EQ(qUEI_getBytesContinue(last.get()), 0);
    EXPECT_EQ(qUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(qUEI_getBytesContinue(nullptr), 0);

    std::vector<uint8_t> data(28, 0);
    for (uint8_t length : {26, 27, 28}) {
        Packet packet = packet_of(4, std::vector<uint8_t>(data.begin(), data.begin() + length));
        EXPECT_EQ(qUEI_getBytesFullPacket(packet.get()), length >= 27) << int(length);
    }
    EXPECT_FALSE(qUEI_getBytesFullPacket(nullptr));
}

TEST(UEIClassification, CommandBytesThatAreNotUEI) {
    const uint8_t not_uei[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int command = 0; command < 256; ++command) {
        Packet packet = packet_of(4, {static_cast<uint8_t>(command), 0x08, 0x20});
        bool listed = std::find(std::begin(not_uei), std::end(not_uei), command) != std::end(not_uei);
        EXPECT_EQ(qUEI_isNotUEIPayload(packet.get()), listed) << command;
        EXPECT_EQ(qUEI_isUEIPayload(packet.get()), !listed) << command;
    }
    EXPECT_FALSE(qUEI_isNotUEIPayload(nullptr));
    EXPECT_TRUE(qUEI_isUEIPayload(nullptr));
}

TEST(UEIClassification, StreamPackets) {
    struct Case {
        std::vector<uint8_t> data;
        bool stream;
    };
    const Case cases[] = {
        {{0x03, 0x05, 0x41, 0x00, 0x01}, true},         // plain option, stream flag, 16-bit value
        {{0x03, 0x45, 0x41, 0x00, 0x01}, false},        // a get request
        {{0x03, 0xC5, 0x41, 0x00, 0x01}, false},        // an acknowledgement
        {{0x03, 0x05, 0x01, 0x00, 0x01}, false},        // no stream flag
        {{0x03, 0x05, 0x41, 0x00}, false},              // too short
        {{cmdSLOT, 0x05, 0x41, 0x00, 0x01}, false},     // not a UEI command
    };
    for (const Case& c : cases) {
        Packet packet = packet_of(4, c.data);
        EXPECT_EQ(qUEI_isStreamPacket(packet.get()), c.stream) << int(c.data[0]) << " " << int(c.data[1]);
    }
    EXPECT_FALSE(qUEI_isStreamPacket(nullptr));
}
