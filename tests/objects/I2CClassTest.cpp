// The I2C bus entity: its raw requests byte for byte, the bus status in the reply, and reads that
// never copy more than the reply holds or than was asked.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

#include "I2CClass.h"
#include "ScriptedModuleConnection.h"

using namespace test_support;
using namespace std::chrono_literals;
using Tolveric::Lumenvane::I2CClass;

namespace {

struct ScriptedBus {
    ScriptedModuleConnection target;
    I2CClass bus;
    ScriptedBus() { bus.init(&target.module, 0); }
};

}  // namespace

TEST(I2CClass, RequestsCarryIndexAddressLengthAndSpeedAndRepliesCarryTheBusStatus) {
    ScriptedBus fixture;
    ASSERT_TRUE(fixture.target.ready());
    I2CClass& bus = fixture.bus;
    ASSERT_EQ(bus.setSpeed(3), qErrNone);
    const uint8_t probe[] = {0, 0};

    struct Case {
        const char* what;
        std::function<qErr()> call;
        std::string request;
        std::string reply;
        qErr result;
    } cases[] = {
        {"write, acknowledged", [&] { return bus.write(0x10, 2, probe); }, "06 07 08 00 10 02 03 00 00",
         "06 05 08 00 10 00 00", qErrNone},
        // Status 0x86: nobody acknowledged the address (6, qErrIO).
        {"write, not acknowledged", [&] { return bus.write(0x12, 2, probe); }, "06 07 08 00 12 02 03 00 00",
         "06 05 08 00 12 00 86", qErrIO},
        {"a failed status without a code", [&] { return bus.write(0x12, 2, probe); }, "06 07 08 00 12 02 03 00 00",
         "06 05 08 00 12 00 80", qErrUnknown},
        {"a reply without its status", [&] { return bus.write(0x10, 2, probe); }, "06 07 08 00 10 02 03 00 00",
         "06 04 08 00 10 00", qErrPacket},
        {"pull-up on", [&] { return bus.setPullup(true); }, "06 04 08 00 01 01", "06 05 08 00 01 00 00", qErrNone},
        {"pull-up off", [&] { return bus.setPullup(false); }, "06 04 08 00 01 00", "06 05 08 00 01 00 00", qErrNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(fixture.target.exchange(c.call, c.request, c.reply), c.result);
    }
}

TEST(I2CClass, ReadCopiesNoMoreThanTheReplyHoldsOrWasAsked) {
    ScriptedBus fixture;
    ASSERT_TRUE(fixture.target.ready());
    struct Case {
        const char* what;
        uint8_t asked;
        std::string reply;
        std::vector<uint8_t> buffer;  // afterwards; it starts as 0xEE bytes
    } cases[] = {
        {"as many as asked", 3, "06 08 08 00 11 03 00 A1 A2 A3", {0xA1, 0xA2, 0xA3, 0xEE, 0xEE}},
        // The count byte claims 20 bytes; the packet holds 3.
        {"a count beyond the packet", 4, "06 08 08 00 11 14 00 A1 A2 A3", {0xA1, 0xA2, 0xA3, 0xEE, 0xEE}},
        {"more than asked", 2, "06 0A 08 00 11 05 00 A1 A2 A3 A4 A5", {0xA1, 0xA2, 0xEE, 0xEE, 0xEE}},
        {"nothing read", 4, "06 05 08 00 11 00 00", {0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> buffer(5, 0xEE);
        char request[32];
        snprintf(request, sizeof request, "06 05 08 00 11 %02X 00", c.asked);
        EXPECT_EQ(fixture.target.exchange([&] { return fixture.bus.read(0x10, c.asked, buffer.data()); }, request,
                                          c.reply),
                  qErrNone);
        EXPECT_EQ(buffer, c.buffer);
    }
}

TEST(I2CClass, RefusesBadSpeedsAndLengthsBeforeSending) {
    ScriptedBus fixture;
    ASSERT_TRUE(fixture.target.ready());
    I2CClass& bus = fixture.bus;
    uint8_t speed = 9;
    EXPECT_EQ(bus.getSpeed(&speed), qErrNone);
    EXPECT_EQ(speed, 0) << "a bus starts at speed 0";
    EXPECT_EQ(bus.setSpeed(4), qErrParam);
    EXPECT_EQ(bus.getSpeed(&speed), qErrNone);
    EXPECT_EQ(speed, 0);

    uint8_t data[24] = {};
    EXPECT_EQ(bus.write(0x10, 24, data), qErrSize);
    EXPECT_EQ(bus.read(0x10, 24, data), qErrSize);
    EXPECT_EQ(bus.write(0x10, 2, nullptr), qErrParam);
    EXPECT_EQ(bus.read(0x10, 2, nullptr), qErrParam);
    EXPECT_EQ(hex(fixture.target.peer->receive_until_quiet(100ms)), "");

    // 23 bytes fill the packet exactly.
    std::string expected = "06 1C 08 00 10 17 00";
    for (int i = 0; i < 23; ++i) expected += " 00";
    EXPECT_EQ(fixture.target.exchange([&] { return bus.write(0x10, 23, data); }, expected, "06 05 08 00 10 00 00"),
              qErrNone);
}
