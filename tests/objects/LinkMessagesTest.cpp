// UEI messages and raw packets through a Link: the exact bytes that go out (to a scripted peer),
// how replies fill the record, and get, set and call of every value kind with the virtual module.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "LinkTestSupport.h"

using namespace link_test;
using namespace test_support;
using namespace std::chrono_literals;

namespace {

uei for_module(uei record, uint8_t module) {
    record.module = module;
    return record;
}

uei byte_array(const uint8_t* data, uint64_t length) {
    uei record = message(3, 0x81, 0x20, ueiTypeBytes);
    record.value.bytes.data = const_cast<uint8_t*>(data);
    record.value.bytes.length = length;
    return record;
}

}  // namespace

TEST(SendUEI, PutsEachKindOnTheWireAsItsPacket) {
    ScriptedModule target;
    ASSERT_TRUE(target.ready());
    std::vector<uint8_t> fifty(50);
    std::iota(fifty.begin(), fifty.end(), uint8_t{1});

    struct Case {
        const char* what;
        uei record;
        int subindex;  // -1: the plain form
        std::string wire;
    } cases[] = {
        {"8-bit", for_module(message(3, 0x81, 0x20, ueiTypeByte, 0x12), 6), -1, "06 04 03 81 20 12"},
        {"16-bit", message(3, 0x82, 0x20, ueiTypeShort, 0x1234), -1, "02 05 03 82 20 12 34"},
        {"32-bit", message(3, 0x83, 0x21, ueiTypeInt, 0x01020304), -1, "02 07 03 83 21 01 02 03 04"},
        {"void", message(3, 0x4B, 0x20), -1, "02 03 03 4B 20"},
        {"subindex, 32-bit", message(0x70, 0x86, 0x20, ueiTypeInt, 0xA0B0C0D0), 2, "02 08 70 86 20 02 A0 B0 C0 D0"},
        {"subindex, void", message(0x70, 0x44, 0x20), 3, "02 04 70 44 20 03"},
        {"empty byte array", byte_array(nullptr, 0), -1, "02 04 03 81 20 00"},
        {"50-byte array: 24, 24 and 2 bytes", byte_array(fifty.data(), fifty.size()), -1,
         "02 1C 03 81 20 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 80"
         "02 1C 03 81 20 19 1A 1B 1C 1D 1E 1F 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D 2E 2F 30 81"
         "02 06 03 81 20 31 32 02"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        qErr sent = c.subindex < 0 ? target.link.sendUEI(c.record)
                                   : target.link.sendUEI(c.record, static_cast<uint8_t>(c.subindex));
        EXPECT_EQ(sent, qErrNone);
        EXPECT_EQ(target.peer->expect(bytes(c.wire)), "");
    }
}

TEST(SendUEI, RefusesWhatItCannotSendBeforeSendingAnything) {
    ScriptedModule target;
    ASSERT_TRUE(target.ready());
    uint8_t data[28] = {};

    struct Case {
        const char* what;
        qErr result;
        qErr expected;
    } cases[] = {
        {"module 0", target.link.sendUEI(for_module(message(3, 0x41, 0x20), 0)), qErrPacket},
        {"odd module", target.link.sendUEI(for_module(message(3, 0x41, 0x20), 7)), qErrPacket},
        {"unknown kind", target.link.sendUEI(message(3, 0x81, 0x20, 3)), qErrParam},
        {"unknown kind, subindex form", target.link.sendUEI(message(3, 0x81, 0x20, 7), 1), qErrParam},
        {"byte array, subindex form", target.link.sendUEI(byte_array(data, 4), 1), qErrParam},
        {"byte array without data", target.link.sendUEI(byte_array(nullptr, 4)), qErrParam},
        {"subindex form, odd module", target.link.sendUEI(for_module(message(3, 0x81, 0x20), 3), 1), qErrPacket},
        {"raw packet of 28 bytes", target.link.sendPacket(2, 23, 28, data), qErrParam},
        {"raw packet without data", target.link.sendPacket(2, 23, 4, nullptr), qErrParam},
        {"raw packet to module 0", target.link.sendPacket(0, 23, 1, data), qErrPacket},
        {"raw packet to module 7", target.link.sendPacket(7, 23, 1, data), qErrPacket},
    };
    for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
    EXPECT_EQ(hex(target.peer->receive_until_quiet(100ms)), "");

    Link unconnected(tcp_spec(target.listener.port()), "unconnected");
    EXPECT_EQ(unconnected.sendUEI(message(3, 0x41, 0x20)), qErrConnection);
    EXPECT_EQ(unconnected.sendPacket(2, 23, 1, data), qErrConnection);
    uei record = message(3, 1, 0);
    EXPECT_EQ(unconnected.receiveUEI(2, 3, 1, 0, &record), qErrConnection);
}

TEST(SendPacket, SendsTheCommandAndItsBytes) {
    ScriptedModule target;
    ASSERT_TRUE(target.ready());
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(target.link.sendPacket(4, 23, sizeof data, data), qErrNone);
    EXPECT_EQ(target.link.sendPacket(4, 0x49, 0, nullptr), qErrNone);
    EXPECT_EQ(target.peer->expect(bytes("04 04 17 01 02 03 04 01 49")), "");
}

TEST(ReceiveUEI, FillsTheRecordFromTheMatchingReply) {
    ScriptedModule target;
    ASSERT_TRUE(target.ready());
    struct Case {
        const char* what;
        uint8_t index;       // the request's plain index
        std::string reply;   // what the module sends
        int kind;
        uint8_t specifier;
        uint32_t value;
    } cases[] = {
        // An error reply: bit 7 of the specifier, the module's code in byteVal (30, qErrResource).
        {"error reply", 0, "02 04 03 01 80 1E", ueiTypeVoid, 0x80, 30},
        // Bit 5 of the index byte is the request flag: 0x21 matches index 1.
        {"void, index byte 0x21", 1, "02 03 03 01 21", ueiTypeVoid, 1, 0},
        {"8-bit", 0, "02 04 03 01 00 7F", ueiTypeByte, 0, 0x7F},
        {"16-bit", 0, "02 05 03 01 00 12 34", ueiTypeShort, 0, 0x1234},
        {"32-bit", 0, "02 07 03 01 00 DE AD BE EF", ueiTypeInt, 0, 0xDEADBEEF},
        // An error reply cut before its code must not read as success (code 0).
        {"error reply without its code", 0, "02 03 03 01 80", ueiTypeVoid, 0x80, qErrUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Packets that must not match come first: another module, option, command and index.
        target.peer->send(bytes("04 04 03 01 00 55 02 04 03 02 00 55 02 04 05 01 00 55 02 04 03 01 07 55"));
        target.peer->send(bytes(c.reply));
        uei record = message(3, 1, c.index, ueiTypeVoid);
        ASSERT_EQ(target.link.receiveUEI(2, 3, 1, c.index, &record), qErrNone);
        EXPECT_EQ(record.specifier, c.specifier);
        EXPECT_EQ(record.type, c.kind);
        if (c.kind == ueiTypeInt) {
            EXPECT_EQ(record.value.intVal, c.value);
        } else if (c.kind == ueiTypeShort) {
            EXPECT_EQ(record.value.shortVal, c.value);
        } else if (c.kind == ueiTypeByte || (c.specifier & 0x80)) {
            EXPECT_EQ(record.value.byteVal, c.value);
        }
        // The packets that did not match are still waiting; they go before the next case.
        uint8_t data[28];
        for (int left = 0; left < 4; ++left) {
            uint8_t length = 0;
            ASSERT_EQ(target.link.receivePacket(2, nullptr, &length, data), qErrNone);
            EXPECT_EQ(data[3], 0x55);
        }
    }
}

TEST(ReceiveUEI, WaitsOneSecondAndLongerForTheAcknowledgementOfALargeArray) {
    ScriptedModule target;
    ASSERT_TRUE(target.ready());
    uei plain = message(3, 0xC1, 0);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(target.link.receiveUEI(2, 3, 0xC1, 0, &plain), qErrTimeout);
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 950ms);
    EXPECT_LT(waited, 1500ms);

    // Past 1000 bytes the wait is 4 s: an acknowledgement after 1.5 s still counts.
    std::vector<uint8_t> large(1001);
    uei acknowledged = byte_array(large.data(), large.size());
    acknowledged.option = 0xC1;
    acknowledged.specifier = 0;
    std::thread late([&] {
        std::this_thread::sleep_for(1500ms);
        target.peer->send(bytes("02 03 03 C1 00"));
    });
    EXPECT_EQ(target.link.receiveUEI(2, 3, 0xC1, 0, &acknowledged), qErrNone);
    late.join();
    EXPECT_EQ(acknowledged.type, ueiTypeVoid);
}

TEST(DropMatchingUEIPackets, RemovesEveryReplyToTheRequestAndNothingElse) {
    ScriptedModule target;
    ASSERT_TRUE(target.ready());
    // Two replies, an error reply between them, and a reply to another option.
    target.peer->send(bytes("02 04 70 01 00 01 02 04 70 01 80 1D 02 04 70 01 00 02 02 04 70 02 00 03"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(target.link.dropMatchingUEIPackets(2, 0x70, 1, 0), qErrNone);
    const uint8_t match[] = {0x70};
    uint8_t length = sizeof match;
    uint8_t data[28] = {};
    ASSERT_EQ(target.link.receivePacket(2, match, &length, data), qErrNone);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(data[1], 2);
    length = sizeof match;
    EXPECT_EQ(target.link.receivePacket(2, match, &length, data), qErrTimeout);
}

TEST(ReceivePacket, TakesTheFirstPacketThatBeginsWithTheMatch) {
    ScriptedModule target;
    ASSERT_TRUE(target.ready());
    // The address is not compared: a router's bus answers come from other addresses.
    target.peer->send(bytes("02 03 08 00 05 10 05 08 00 04 00 00"));
    const uint8_t match[] = {0x08, 0x00, 0x04};
    uint8_t length = sizeof match;
    uint8_t data[28] = {};
    ASSERT_EQ(target.link.receivePacket(2, match, &length, data), qErrNone);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(std::vector<uint8_t>(data, data + length), (std::vector<uint8_t>{0x08, 0x00, 0x04, 0x00, 0x00}));

    length = 29;
    EXPECT_EQ(target.link.receivePacket(2, match, &length, data), qErrParam);
    length = 1;
    EXPECT_EQ(target.link.receivePacket(2, nullptr, &length, data), qErrParam);
    EXPECT_EQ(target.link.receivePacket(3, match, &length, data), qErrPacket);
}

// Get, set and call of each value kind, answered by the virtual module.
TEST(UEIWithVirtualModule, GetSetAndCallEachKind) {
    VirtualModuleLink target;
    Link& link = target.link;
    ASSERT_EQ(link.connect(), qErrNone);

    struct Case {
        uint8_t option;
        int kind;
        uint32_t value;
    } cases[] = {
        {SIGNAL_BYTE, ueiTypeByte, 0xA5},
        {SIGNAL_SHORT, ueiTypeShort, 0xBEEF},
        {SIGNAL_INT, ueiTypeInt, 0xCAFEF00D},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        ASSERT_EQ(set_option(link, cmdSIGNAL, c.option, c.kind, c.value), qErrNone);
        uei reply{};
        ASSERT_EQ(get_option(link, cmdSIGNAL, c.option, &reply), qErrNone);
        EXPECT_EQ(reply.type, c.kind);
        EXPECT_EQ(reply.specifier, 0);
        uint32_t value = c.kind == ueiTypeByte ? reply.value.byteVal
                         : c.kind == ueiTypeShort ? reply.value.shortVal : reply.value.intVal;
        EXPECT_EQ(value, c.value);
    }

    // The subindex form sets one of four values; a get names the subindex as an 8-bit value.
    ASSERT_EQ(link.sendUEI(message(cmdSIGNAL, 0x80 | SIGNAL_INT_SUBINDEX, 0x20, ueiTypeInt, 0x11223344), 2),
              qErrNone);
    uei acknowledgement = message(cmdSIGNAL, 0xC0 | SIGNAL_INT_SUBINDEX, 0);
    ASSERT_EQ(link.receiveUEI(MODULE, cmdSIGNAL, acknowledgement.option, 0, &acknowledgement), qErrNone);
    EXPECT_EQ(acknowledgement.specifier, 0);
    ASSERT_EQ(link.sendUEI(message(cmdSIGNAL, 0x40 | SIGNAL_INT_SUBINDEX, 0x20, ueiTypeByte, 2)), qErrNone);
    uei reply = message(cmdSIGNAL, SIGNAL_INT_SUBINDEX, 0);
    ASSERT_EQ(link.receiveUEI(MODULE, cmdSIGNAL, SIGNAL_INT_SUBINDEX, 0, &reply), qErrNone);
    EXPECT_EQ(reply.value.intVal, 0x11223344u);

    // A call (save the settings) is a set without a value.
    EXPECT_EQ(set_option(link, cmdSYSTEM, 10, ueiTypeVoid, 0), qErrNone);

    // The module's refusal arrives as an error reply: bit 7 and the code (29, no such option).
    ASSERT_EQ(get_option(link, cmdSIGNAL, 9, &reply), qErrNone);
    EXPECT_EQ(reply.specifier, 0x80);
    EXPECT_EQ(reply.value.byteVal, qErrInvalidOption);
}

namespace {

// Collects the runs of a byte-array reply, as an entity's byte-array filter does.
struct ArrayReply {
    uei request{};
    std::vector<uint8_t> bytes;
    bool more = false;
};

bool collect_run(const qPacket* packet, void* reference) {
    ArrayReply* reply = static_cast<ArrayReply*>(reference);
    if (packet->address != reply->request.module || packet->length < 4 ||
        packet->data[0] != reply->request.command || packet->data[1] != reply->request.option) {
        return false;
    }
    reply->bytes.insert(reply->bytes.end(), packet->data + 3, packet->data + packet->length - 1);
    reply->more = (packet->data[packet->length - 1] & 0x80) != 0;
    return true;
}

}  // namespace

TEST(UEIWithVirtualModule, ByteArrayGoesOutInRunsAndComesBackWhole) {
    VirtualModuleLink target;
    Link& link = target.link;
    ASSERT_EQ(link.connect(), qErrNone);
    constexpr uint8_t OPTION_NAME = 32;
    std::vector<uint8_t> name(50);
    std::iota(name.begin(), name.end(), uint8_t{'A'});

    uei set = message(cmdSYSTEM, 0x80 | OPTION_NAME, 0x20, ueiTypeBytes);
    set.value.bytes.data = name.data();
    set.value.bytes.length = name.size();
    ASSERT_EQ(link.sendUEI(set), qErrNone);
    uei acknowledgement = message(cmdSYSTEM, 0xC0 | OPTION_NAME, 0);
    ASSERT_EQ(link.receiveUEI(MODULE, cmdSYSTEM, acknowledgement.option, 0, &acknowledgement), qErrNone);
    EXPECT_EQ(acknowledgement.specifier, 0) << "module error " << int(acknowledgement.value.byteVal);

    ASSERT_EQ(link.sendUEI(message(cmdSYSTEM, 0x40 | OPTION_NAME, 0x20)), qErrNone);
    ArrayReply reply;
    reply.request = message(cmdSYSTEM, OPTION_NAME, 0);
    do {
        ASSERT_EQ(link.receiveUEI(MODULE, cmdSYSTEM, OPTION_NAME, 0, &reply.request, collect_run), qErrNone);
    } while (reply.more);
    EXPECT_EQ(reply.bytes, name);
}
