// Factory data through a Link: records read and written with the virtual module, the rule that
// the buffer must be larger than the record, and the requests byte for byte.
#include <gtest/gtest.h>

#include <future>
#include <numeric>
#include <string>
#include <vector>

#include "LinkTestSupport.h"

using namespace link_test;
using namespace test_support;
using namespace std::chrono_literals;

TEST(FactoryData, ReadsAndWritesRecordsOfTheModule) {
    VirtualModuleLink target;
    Link& link = target.link;
    uint8_t buffer[100] = {};
    size_t length = 0;
    EXPECT_EQ(link.getFactoryData(MODULE, 0, buffer, sizeof buffer, &length), qErrConnection);
    ASSERT_EQ(link.connect(), qErrNone);

    const std::string record0 = "serial 4E560001 model 19";
    ASSERT_EQ(link.getFactoryData(MODULE, 0, buffer, record0.size() + 1, &length), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), record0);
    // The buffer must be strictly larger than the record.
    EXPECT_EQ(link.getFactoryData(MODULE, 0, buffer, record0.size(), &length), qErrOverrun);

    // 60 bytes: two full packets of 26 and one of 8, read back the same way.
    std::vector<uint8_t> record3(60);
    std::iota(record3.begin(), record3.end(), uint8_t{0x30});
    ASSERT_EQ(link.setFactoryData(MODULE, 3, record3.data(), record3.size()), qErrNone);
    ASSERT_EQ(link.getFactoryData(MODULE, 3, buffer, sizeof buffer, &length), qErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), record3);

    // 52 bytes end with a full packet: the read asks once more and gets an empty one.
    std::vector<uint8_t> record4(52, 0x44);
    ASSERT_EQ(link.setFactoryData(MODULE, 4, record4.data(), record4.size()), qErrNone);
    ASSERT_EQ(link.getFactoryData(MODULE, 4, buffer, sizeof buffer, &length), qErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), record4);

    // Kinds are 4 bits: a larger one would carry the write or close flags.
    EXPECT_EQ(link.getFactoryData(MODULE, 0x20, buffer, sizeof buffer, &length), qErrParam);
    EXPECT_EQ(link.setFactoryData(MODULE, 16, record4.data(), record4.size()), qErrParam);
    EXPECT_EQ(link.getFactoryData(MODULE, 0, nullptr, sizeof buffer, &length), qErrParam);
}

TEST(FactoryData, RequestsAndAnswersByteForByte) {
    struct Case {
        const char* what;
        bool write;
        std::vector<ScriptedPeer::Step> script;
        qErr expected;
    } cases[] = {
        {"read: first request flagged, then the total closes it", false,
         {host("02 02 5E 43"), module("02 05 5E 03 61 62 63"),
          host("02 04 5E 20 00 03"), module("02 03 5E 00 00")},
         qErrNone},
        {"read refused", false,
         {host("02 02 5E 43"), module("02 03 5E 83 1D")}, qErrInvalidOption},
        {"close refused", false,
         {host("02 02 5E 43"), module("02 05 5E 03 61 62 63"),
          host("02 04 5E 20 00 03"), module("02 03 5E 80 0E")},
         qErrSize},
        {"write: first packet flagged", true,
         {host("02 05 5E 53 61 62 63"), module("02 02 5E 03"),
          host("02 04 5E 20 00 03"), module("02 03 5E 00 00")},
         qErrNone},
        {"write answered with the wrong length", true,
         {host("02 05 5E 53 61 62 63"), module("02 03 5E 03 00")}, qErrSize},
        {"write refused", true,
         {host("02 05 5E 53 61 62 63"), module("02 03 5E 83 0F")}, qErrOverrun},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedModule target;
        ASSERT_TRUE(target.ready());
        uint8_t buffer[10] = {};
        size_t length = 0;
        auto transfer = std::async(std::launch::async, [&] {
            const uint8_t abc[] = {'a', 'b', 'c'};
            return c.write ? target.link.setFactoryData(MODULE, 3, abc, sizeof abc)
                           : target.link.getFactoryData(MODULE, 3, buffer, sizeof buffer, &length);
        });
        EXPECT_EQ(target.peer->play(c.script), "");
        EXPECT_EQ(transfer.get(), c.expected);
        EXPECT_EQ(hex(target.peer->receive_until_quiet(50ms)), "");
        if (!c.write && c.expected == qErrNone) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "abc");
        }
    }
}
