// The packet log of a Link: every packet written (">") and received ("<") becomes one line of
// the file, after a "START" line, and the log carries on over a reset of the link.
#include <gtest/gtest.h>

#include <string>

#include "FileContents.h"
#include "LinkTestSupport.h"

using namespace link_test;
using namespace test_support;

namespace {

constexpr uint8_t OPTION_SERIAL_NUMBER = 9;

// The get of the serial number and its answer, as log lines.
const std::string REQUEST_LINE = "5 > 0x2 0x3 0x3 0x49 0x20 \r\n";
const std::string ANSWER_LINE = "9 < 0x2 0x7 0x3 0x9 0x0 0x4E 0x56 0x0 0x1 \r\n";
// The text record holds the terminating zero too.
const std::string START_LINE = std::string("6 < START") + '\0' + "\r\n";

}  // namespace

TEST(PacketLog, WritesEveryPacketAsALineOfTheFile) {
    Link unconnected("unconnected");
    EXPECT_EQ(unconnected.enablePacketLog("/tmp/unused"), qErrConfiguration);
    EXPECT_EQ(unconnected.disablePacketLog(), qErrConfiguration);

    TemporaryDirectory directory;
    const std::string path = directory.file("packets.log");
    VirtualModuleLink target({"--heartbeat-ms", "0"});
    ASSERT_EQ(target.link.connect(), qErrNone);
    ASSERT_EQ(target.link.enablePacketLog(path.c_str()), qErrNone);
    uei reply{};
    ASSERT_EQ(get_option(target.link, cmdSYSTEM, OPTION_SERIAL_NUMBER, &reply), qErrNone);
    ASSERT_EQ(target.link.disablePacketLog(), qErrNone);

    // Switched off, the log holds everything up to that moment and nothing after it.
    const std::string logged = read_file(path);
    size_t start = logged.find(START_LINE);
    size_t request = logged.find(REQUEST_LINE);
    size_t answer = logged.find(ANSWER_LINE);
    ASSERT_NE(start, std::string::npos) << logged;
    ASSERT_NE(request, std::string::npos) << logged;
    ASSERT_NE(answer, std::string::npos) << logged;
    // The writer records a packet once it is out, so a quick answer may come first.
    EXPECT_LT(start, request);
    EXPECT_LT(start, answer);
    ASSERT_EQ(get_option(target.link, cmdSYSTEM, OPTION_SERIAL_NUMBER, &reply), qErrNone);
    target.link.disconnect();
    EXPECT_EQ(read_file(path), logged);
}

TEST(PacketLog, CarriesOnOverAResetOfTheLink) {
    TemporaryDirectory directory;
    const std::string path = directory.file("packets.log");
    VirtualModuleLink target({"--heartbeat-ms", "0"});
    ASSERT_EQ(target.link.connect(), qErrNone);
    ASSERT_EQ(target.link.enablePacketLog(path.c_str()), qErrNone);
    // The engine remakes the link's stream without its packet log; the Link asks for it again.
    EXPECT_EQ(target.link.reset(), qErrNone);
    ASSERT_TRUE(target.link.isConnected());
    uei reply{};
    ASSERT_EQ(get_option(target.link, cmdSYSTEM, OPTION_SERIAL_NUMBER, &reply), qErrNone);
    target.link.disconnect();
    EXPECT_NE(read_file(path).find(ANSWER_LINE), std::string::npos) << read_file(path);
}
