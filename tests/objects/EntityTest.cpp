// Entity access: the exact UEI requests an entity sends and how it takes the module's replies,
// byte arrays in runs of packets, unsolicited values, and values answered from the stream cache.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "Entity.h"
#include "LinkTestSupport.h"
#include "ScriptedModuleConnection.h"

using namespace test_support;
using namespace std::chrono_literals;
using Tolveric::Lumenvane::EntityClass;
using Tolveric::Lumenvane::Module;

namespace {

constexpr uint8_t cmdSYSTEM_ENTITY = 3;

// Module 6, entity (command 3, index 0), as the test fixtures below bind it.
struct ScriptedEntity {
    ScriptedModuleConnection target;
    EntityClass entity;
    ScriptedEntity() { entity.init(&target.module, cmdSYSTEM_ENTITY, 0); }
};

// A byte-array packet from module 6 for option 32 of entity (3, 0): the bytes, then the
// sequence byte.
std::string run_packet(const std::string& payload, uint8_t sequence) {
    char header[16];
    snprintf(header, sizeof header, "06 %02X 03 20 00 ", static_cast<unsigned>(payload.size() + 4));
    char tail[8];
    snprintf(tail, sizeof tail, " %02X", sequence);
    std::string text = header;
    for (unsigned char c : payload) {
        char pair[4];
        snprintf(pair, sizeof pair, "%02X ", c);
        text += pair;
    }
    return text + tail;
}

const std::string ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";

}  // namespace

TEST(EntityUEI, TypedOperationsSendTheirRequestAndTakeTheReply) {
    ScriptedEntity fixture;
    ASSERT_TRUE(fixture.target.ready());
    EntityClass& entity = fixture.entity;
    EntityClass second;
    second.init(&fixture.target.module, cmdSYSTEM_ENTITY, 1);
    uint32_t got = 0;  // what a getter wrote; the lambdas start their outputs at 0xEE.. to see untouched ones

    struct Case {
        const char* what;
        std::function<qErr()> call;
        std::string request;
        std::string reply;
        qErr result;
        uint32_t value;  // checked for the getters
    } cases[] = {
        {"getUEI32", [&] { uint32_t v = 0xEEEEEEEE; qErr r = entity.getUEI32(1, &v); got = v; return r; },
         "06 03 03 41 20", "06 07 03 01 00 00 01 86 A0", qErrNone, 100000},
        {"getUEI16", [&] { uint16_t v = 0xEEEE; qErr r = entity.getUEI16(4, &v); got = v; return r; },
         "06 03 03 44 20", "06 05 03 04 00 12 34", qErrNone, 0x1234},
        {"getUEI8, index 1", [&] { uint8_t v = 0xEE; qErr r = second.getUEI8(1, &v); got = v; return r; },
         "06 03 03 41 21", "06 04 03 01 01 06", qErrNone, 6},
        {"getUEI8 with a subindex", [&] { uint8_t v = 0xEE; qErr r = entity.getUEI8(4, 2, &v); got = v; return r; },
         "06 04 03 44 20 02", "06 04 03 04 00 09", qErrNone, 9},
        {"getUEI16 with a subindex", [&] { uint16_t v = 0xEEEE; qErr r = entity.getUEI16(5, 1, &v); got = v; return r; },
         "06 04 03 45 20 01", "06 05 03 05 00 BE EF", qErrNone, 0xBEEF},
        {"getUEI32 with a subindex", [&] { uint32_t v = 0xEEEEEEEE; qErr r = entity.getUEI32(39, 3, &v); got = v; return r; },
         "06 04 03 67 20 03", "06 07 03 27 00 A1 B2 C3 D4", qErrNone, 0xA1B2C3D4},
        {"a wider reply is cut to the output", [&] { uint8_t v = 0xEE; qErr r = entity.getUEI8(8, &v); got = v; return r; },
         "06 03 03 48 20", "06 07 03 08 00 00 00 01 13", qErrNone, 0x13},
        {"an error reply leaves the output", [&] { uint32_t v = 0xEEEEEEEE; qErr r = entity.getUEI32(1, &v); got = v; return r; },
         "06 03 03 41 20", "06 04 03 01 80 1D", qErrInvalidOption, 0xEEEEEEEE},
        {"a reply without a value", [&] { uint8_t v = 0xEE; qErr r = entity.getUEI8(1, &v); got = v; return r; },
         "06 03 03 41 20", "06 03 03 01 00", qErrSize, 0xEE},
        {"setUEI8", [&] { return entity.setUEI8(2, 5); }, "06 04 03 82 20 05", "06 03 03 C2 00", qErrNone, 0},
        {"setUEI16", [&] { return entity.setUEI16(3, 0x1234); }, "06 05 03 83 20 12 34", "06 03 03 C3 00", qErrNone, 0},
        {"setUEI32", [&] { return entity.setUEI32(34, 0x01020304); }, "06 07 03 A2 20 01 02 03 04",
         "06 03 03 E2 00", qErrNone, 0},
        {"setUEI8 with a subindex", [&] { return entity.setUEI8(4, 1, 7); }, "06 05 03 84 20 01 07",
         "06 03 03 C4 00", qErrNone, 0},
        {"setUEI16 with a subindex", [&] { return entity.setUEI16(5, 2, 0xBEEF); }, "06 06 03 85 20 02 BE EF",
         "06 03 03 C5 00", qErrNone, 0},
        {"setUEI32 with a subindex", [&] { return entity.setUEI32(6, 3, 0xA0B0C0D0); },
         "06 08 03 86 20 03 A0 B0 C0 D0", "06 03 03 C6 00", qErrNone, 0},
        {"callUEI", [&] { return entity.callUEI(10); }, "06 03 03 8A 20", "06 03 03 CA 00", qErrNone, 0},
        {"setUEIBytes", [&] { return entity.setUEIBytes(32, reinterpret_cast<const uint8_t*>("abc"), 3); },
         "06 07 03 A0 20 61 62 63 00", "06 03 03 E0 00", qErrNone, 0},
        // The module's code is the result: 21 is qErrUnimplemented.
        {"an error reply to a set", [&] { return entity.setUEI8(2, 5); }, "06 04 03 82 20 05", "06 04 03 C2 80 15",
         qErrUnimplemented, 0},
        {"an error reply that claims success", [&] { return entity.setUEI8(2, 5); }, "06 04 03 82 20 05",
         "06 04 03 C2 80 00", qErrUnknown, 0},
        // A get's reply (option without the acknowledgement bits) does not acknowledge a set. Last,
        // since the reply stays waiting.
        {"no acknowledgement", [&] { return entity.setUEI8(2, 5); }, "06 04 03 82 20 05", "06 04 03 02 00 05",
         qErrTimeout, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        got = 0;
        EXPECT_EQ(fixture.target.exchange(c.call, c.request, c.reply), c.result);
        if (c.value != 0) {
            EXPECT_EQ(got, c.value);
        }
    }
}

TEST(EntityUEI, RefusesBeforeSendingWithoutAModuleOrAnOutput) {
    EntityClass unbound;
    uint32_t value = 0;
    size_t count = 0;
    uint8_t buffer[4];
    EXPECT_EQ(unbound.getUEI32(1, &value), qErrResource);
    EXPECT_EQ(unbound.setUEI8(2, 1), qErrResource);
    EXPECT_EQ(unbound.callUEI(10), qErrResource);
    EXPECT_EQ(unbound.getUEIBytes(32, buffer, sizeof buffer, &count), qErrResource);
    EXPECT_EQ(unbound.awaitUEI32Val(1, &value, 0), qErrResource);
    EXPECT_EQ(unbound.drainUEI(1), qErrResource);
    EXPECT_EQ(unbound.sendPacket(23, 0, nullptr), qErrResource);
    EXPECT_EQ(unbound.setStreamEnabled(true), qErrResource);

    Module unconnected(6, false, 0);
    EntityClass offline;
    offline.init(&unconnected, cmdSYSTEM_ENTITY, 0);
    EXPECT_EQ(offline.getUEI32(1, &value), qErrConnection);
    EXPECT_EQ(offline.setUEI8(2, 1), qErrConnection);

    ScriptedEntity fixture;
    ASSERT_TRUE(fixture.target.ready());
    EntityClass& entity = fixture.entity;
    EXPECT_EQ(entity.getUEI8(1, static_cast<uint8_t*>(nullptr)), qErrParam);
    EXPECT_EQ(entity.getUEI32(4, 1, static_cast<uint32_t*>(nullptr)), qErrParam);
    EXPECT_EQ(entity.awaitUEI32Val(1, nullptr, 0), qErrParam);
    EXPECT_EQ(entity.getUEIBytes(32, nullptr, 4, &count), qErrParam);
    EXPECT_EQ(entity.getUEIBytes(32, buffer, 0, &count), qErrParam);
    EXPECT_EQ(entity.getUEIBytes(32, buffer, sizeof buffer, nullptr), qErrParam);
    // An option code has six bits; a seventh would be read as an operation.
    EXPECT_EQ(entity.getUEI32(0x41, &value), qErrParam);
    EXPECT_EQ(entity.setUEI8(0x80, 1), qErrParam);
    EXPECT_EQ(hex(fixture.target.peer->receive_until_quiet(100ms)), "");
}

TEST(EntityBytes, ReadsARunOfPacketsIntoTheBuffer) {
    ScriptedEntity fixture;
    ASSERT_TRUE(fixture.target.ready());
    const std::string first24 = ALPHABET.substr(0, 24);

    struct Case {
        const char* what;
        size_t capacity;
        std::string replies;
        qErr result;
        std::string received;  // the bytes counted as arrived, which the buffer then holds
    } cases[] = {
        {"two packets", 32, run_packet(first24, 0x80) + run_packet("YZ0123", 0x01), qErrNone, first24 + "YZ0123"},
        {"an empty array", 32, run_packet("", 0x00), qErrNone, ""},
        // A packet out of sequence waits for a caller that never comes: the run ends by time-out.
        {"a packet out of sequence", 32, run_packet(first24, 0x80) + run_packet("YZ", 0x05), qErrTimeout, first24},
        {"more than the buffer holds", 10, run_packet(first24, 0x00), qErrMemory, ""},
        {"the second packet overflows", 30, run_packet(first24, 0x80) + run_packet("YZ0123456", 0x01), qErrMemory,
         first24},
        // 14 is qErrSize: the module's own code, after what already arrived.
        {"an error reply in the run", 32, run_packet(first24, 0x80) + "06 04 03 20 80 0E", qErrSize, first24},
        {"a continuation without bytes", 32, run_packet("", 0x80), qErrPacket, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string buffer(c.capacity, '\0');
        size_t count = 99;
        qErr result = fixture.target.exchange(
            [&] { return fixture.entity.getUEIBytes(32, reinterpret_cast<uint8_t*>(buffer.data()), c.capacity, &count); },
            "06 03 03 60 20", c.replies);
        EXPECT_EQ(result, c.result);
        ASSERT_EQ(count, c.received.size());
        EXPECT_EQ(buffer.substr(0, count), c.received);
        fixture.entity.drainUEI(32);
    }
}

TEST(EntityBytes, CountsUnitsOnlyWhenTheBytesMakeWholeUnits) {
    struct Case {
        size_t count;
        size_t unit;
        qErr result;
        size_t after;
    } cases[] = {
        {12, 4, qErrNone, 3}, {10, 4, qErrMemory, 10}, {0, 4, qErrNone, 0},
        {0, 0, qErrNone, 0},  {5, 0, qErrMemory, 5},   {7, 1, qErrNone, 7},
    };
    for (const Case& c : cases) {
        size_t count = c.count;
        EXPECT_EQ(EntityClass::getUEIBytesCheck(&count, c.unit), c.result) << c.count << " / " << c.unit;
        EXPECT_EQ(count, c.after) << c.count << " / " << c.unit;
    }
    EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), qErrParam);
}

TEST(EntityUEI, AwaitsUnsolicitedValuesAndDrainsStaleReplies) {
    ScriptedEntity fixture;
    ASSERT_TRUE(fixture.target.ready());
    EntityClass& entity = fixture.entity;

    fixture.target.peer->send(bytes("06 04 03 02 00 08 06 07 03 16 00 00 00 00 2A"));
    uint32_t value = 0;
    ASSERT_EQ(entity.awaitUEI32Val(22, &value, 0), qErrNone);
    EXPECT_EQ(value, 42u);

    // Two replies to option 22 and one error reply: all drained; a reply to option 2 stays.
    fixture.target.peer->send(bytes("06 07 03 16 00 00 00 00 01 06 04 03 16 80 1D 06 07 03 16 00 00 00 00 02"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(entity.drainUEI(22), qErrNone);
    // The wait is the standard second whatever the caller asks for.
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(entity.awaitUEI32Val(22, &value, 10000), qErrTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1500ms);
    EXPECT_EQ(value, 42u);
    uint8_t router = 0;
    EXPECT_EQ(entity.getUEI8(2, &router), qErrNone);
    EXPECT_EQ(router, 8);
    // Nothing but the get's request went out.
    EXPECT_EQ(hex(fixture.target.peer->receive_until_quiet(100ms)), hex(bytes("06 03 03 42 20")));
}

// A subscribed value comes from the stream cache: fresh once, then stale, and the module is not
// asked. The virtual module's trace shows what it was asked.
TEST(EntityStreams, SubscribedValuesComeFromTheCacheWithoutARequest) {
    link_test::VirtualModuleLink vm({"--trace"});
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(link_test::tcp_spec(vm.module.tcp_port())), qErrNone);
    EntityClass signal;
    signal.init(&module, link_test::cmdSIGNAL, 0);

    ASSERT_EQ(signal.setStreamEnabled(true), qErrNone);
    ASSERT_EQ(signal.setUEI32(link_test::SIGNAL_INT, 0x12345678), qErrNone);
    Tolveric::Lumenvane::Link::StreamStatusEntry entries[4];
    size_t count = 0;
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while ((signal.getStreamStatus(entries, 4, &count) != qErrNone || count == 0) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(entries[0].value, 0x12345678u);

    uint32_t value = 0;
    EXPECT_EQ(signal.getUEI32(link_test::SIGNAL_INT, &value), qErrNone);
    EXPECT_EQ(value, 0x12345678u);
    value = 0;
    EXPECT_EQ(signal.getUEI32(link_test::SIGNAL_INT, &value), qErrStreamStale);
    EXPECT_EQ(value, 0x12345678u);
    // An option without a cached value is asked for.
    uint8_t small = 0;
    EXPECT_EQ(signal.getUEI8(link_test::SIGNAL_BYTE, &small), qErrNone);

    std::this_thread::sleep_for(100ms);
    const std::string trace = vm.module.error_output();
    EXPECT_EQ(trace.find("in  02 03 70 43 20"), std::string::npos) << trace;
    EXPECT_NE(trace.find("in  02 03 70 41 20"), std::string::npos) << trace;
    EXPECT_EQ(signal.setStreamEnabled(false), qErrNone);
}
