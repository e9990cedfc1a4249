// What the virtual module does over time and on purpose wrongly: heartbeats and their answers,
// and the fault switches later tests lean on (silence to sync, slow answers, dropped connections),
// and the restart a reset causes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ByteText.h"
#include "HostPeer.h"
#include "VirtualModuleProcess.h"

using namespace std::chrono_literals;
using test_support::bytes_of;
using test_support::HostPeer;
using test_support::text_of;
using test_support::VirtualModuleProcess;

namespace {

const std::vector<std::string> kModule = {"--tcp", "127.0.0.1:0", "--address", "6", "--serial", "40F5849A", "--trace"};

std::vector<std::string> module_with(std::vector<std::string> extra) {
    extra.insert(extra.begin(), kModule.begin(), kModule.end());
    return extra;
}

// Processor time the process has used so far, in clock ticks.
long processor_ticks(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));  // the name may hold spaces
    std::string field;
    long user = 0, system = 0;
    for (int position = 3; fields >> field; ++position) {
        if (position == 14) user = std::stol(field);
        if (position == 15) system = std::stol(field);
    }
    return user + system;
}

const std::string kSerialRequest = "06 03 03 49 20";
const std::string kSerialReply = "06 07 03 09 00 40 F5 84 9A";

}  // namespace

TEST(VirtualModuleHeartbeat, ValueTellsWhetherTheHostAnsweredAndPausesWhenItStops) {
    VirtualModuleProcess module(module_with({"--heartbeat-ms", "250"}));
    HostPeer host = HostPeer::connect_tcp(module.tcp_port());
    EXPECT_EQ(text_of(host.read_for(400ms)), "") << "no heartbeat before the host has spoken";

    host.send("AF 01 01");  // the host's first packet
    const struct {
        const char* what;
        const char* heartbeat;
        const char* answer;  // empty: leave it unanswered
    } steps[] = {
        {"first heartbeat: up", "06 02 00 00", "06 02 00 02"},
        {"answered: still up", "06 02 00 00", "06 02 00 01"},  // a wrong answer answers nothing
        {"unanswered: down", "06 02 00 01", "06 02 00 03"},
        {"answered again: up", "06 02 00 00", ""},
        {"one missed", "06 02 00 01", ""},
        {"two missed", "06 02 00 01", ""},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(text_of(host.read(4, 1000ms)), step.heartbeat);
        if (*step.answer != '\0') host.send(step.answer);
    }
    EXPECT_EQ(text_of(host.read_for(600ms)), "") << "three unanswered in a row: paused";

    host.send("AD 00");
    EXPECT_EQ(text_of(host.read(2)), "06 00");
    EXPECT_EQ(text_of(host.read(4, 1000ms)), "06 02 00 01") << "resumed once the host spoke, still down";
}

TEST(VirtualModuleFaults, SilentToSyncStillAnswersEverythingElse) {
    VirtualModuleProcess module(module_with({"--heartbeat-ms", "0", "--silent-sync"}));
    HostPeer host = HostPeer::connect_tcp(module.tcp_port());
    expect_exchanges(host, {
        {"six sync requests", "AD 00 AD 00 AD 00 AD 00 AD 00 AD 00", ""},
        {"serial number", kSerialRequest, kSerialReply},
    });
}

TEST(VirtualModuleFaults, ReplyDelayHoldsEveryAnswer) {
    VirtualModuleProcess module(module_with({"--heartbeat-ms", "0", "--reply-delay-ms", "300"}));
    HostPeer host = HostPeer::connect_tcp(module.tcp_port());
    auto sent = std::chrono::steady_clock::now();
    host.send(kSerialRequest + " AD 00");
    EXPECT_EQ(text_of(host.read_for(150ms)), "");
    EXPECT_EQ(text_of(host.read(11, 1000ms)), kSerialReply + " 06 00");
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 300ms);
}

TEST(VirtualModuleFaults, DropAfterEndsEachConnectionAtThatPacketUnanswered) {
    VirtualModuleProcess module(module_with({"--heartbeat-ms", "0", "--drop-after", "3"}));
    for (int connection = 0; connection < 2; ++connection) {
        SCOPED_TRACE("connection " + std::to_string(connection));
        HostPeer host = HostPeer::connect_tcp(module.tcp_port());
        host.send("AD 00 " + kSerialRequest);
        EXPECT_EQ(text_of(host.read(11)), "06 00 " + kSerialReply);
        host.send(kSerialRequest);
        EXPECT_TRUE(host.closed_within(1000ms));
    }
}

TEST(VirtualModuleFaults, HostThatSendsWithoutReadingIsHeldBackWithoutSpinningOrLosingAnswers) {
    VirtualModuleProcess module({"--pty", "--address", "6", "--heartbeat-ms", "0", "--trace"});
    HostPeer host = HostPeer::open_serial(module.pty_path());
    std::string echo = "06 1C 17";
    for (int i = 1; i < 28; ++i) echo += " 55";
    test_support::Bytes requests;
    for (int i = 0; i < 3000; ++i) {  // 90 000 bytes of answers: far more than the terminal and the module buffer
        test_support::Bytes packet = bytes_of(echo);
        requests.insert(requests.end(), packet.begin(), packet.end());
    }
    std::thread sender([&] { host.send(requests); });  // blocks while the module holds the host back
    std::this_thread::sleep_for(300ms);

    long before = processor_ticks(module.pid());
    std::this_thread::sleep_for(1000ms);
    long used = processor_ticks(module.pid()) - before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 5) << "more than a fifth of a core while waiting for the host to read";

    test_support::Bytes answers = host.read(requests.size(), 5000ms);
    sender.join();
    ASSERT_EQ(answers.size(), requests.size()) << "every answer once the host reads";
    EXPECT_TRUE(answers == requests) << "in order";
}

TEST(VirtualModuleRestart, ResetAcknowledgesEndsTheConnectionAndComesBackWithSavedSettings) {
    VirtualModuleProcess module(module_with({"--heartbeat-ms", "0"}));
    HostPeer host = HostPeer::connect_tcp(module.tcp_port());
    expect_exchanges(host, {
        {"set LED 3", "06 04 03 84 20 03", "06 03 03 C4 00"},
        {"save", "06 03 03 8A 20", "06 03 03 CA 00"},
        {"set LED 9, not saved", "06 04 03 84 20 09", "06 03 03 C4 00"},
    });
    host.send("06 03 03 8B 20");
    EXPECT_EQ(text_of(host.read(5)), "06 03 03 CB 00");
    EXPECT_TRUE(host.closed_within(1000ms));

    HostPeer again = HostPeer::connect_tcp(module.tcp_port());
    expect_exchanges(again, {{"LED after the restart", "06 03 03 44 20", "06 04 03 04 00 03"}});
}
