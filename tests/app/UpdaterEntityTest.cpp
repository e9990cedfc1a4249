// The upgrade entity against a module the test plays byte for byte (framing, chunking, sums,
// re-sends, refusals) and against the virtual module's loader (pieces, writes, progress and what
// ends up in flash, over data packets and over the byte-array path with pooled packets).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include "ByteText.h"
#include "FlashDump.h"
#include "Module.h"
#include "RecordingDisplay.h"
#include "ScriptedModuleConnection.h"
#include "TestPaths.h"
#include "UpdaterEntity.h"
#include "VirtualModuleProcess.h"

using namespace std::chrono_literals;
using test_support::Bytes;
using test_support::RecordingDisplay;
using test_support::ScriptedModuleConnection;
using test_support::text_of;
using test_support::VirtualModuleProcess;
using Tolveric::Lumenvane::Module;

namespace {

// An image block: the big-endian load address, then `count` bytes counting up from `first`.
Bytes image_block(uint32_t address, size_t count, uint8_t first = 0) {
    Bytes block = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                   static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    for (size_t i = 0; i < count; ++i) block.push_back(static_cast<uint8_t>(first + i));
    return block;
}

// One packet to or from module 6 as hexadecimal text: address, length, data.
std::string packet(const Bytes& data) {
    Bytes bytes = {0x06, static_cast<uint8_t>(data.size())};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return text_of(bytes);
}

Bytes data_request(const Bytes& block, size_t from, size_t count) {
    Bytes data = {0x5F, 0x01};
    data.insert(data.end(), block.begin() + from, block.begin() + from + count);
    return data;
}

Bytes sum_reply(uint8_t status, uint32_t sum) {
    return {0x5F, 0x07, status, static_cast<uint8_t>(sum >> 24), static_cast<uint8_t>(sum >> 16),
            static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum)};
}

struct Step {
    std::string request;  // what the host must send
    std::string reply;    // what the module answers; empty: nothing
};

class ScriptedUpgrade : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(connection.ready());
        upgrade.init(&connection.module, 0, true, false);
    }
    // Runs the call while the module plays the steps in order; the call's result.
    qErr play(const std::function<qErr()>& call, const std::vector<Step>& steps) {
        auto running = std::async(std::launch::async, call);
        for (const Step& step : steps) {
            EXPECT_EQ(connection.peer->expect(test_support::bytes(step.request)), "") << "request " << step.request;
            if (!step.reply.empty()) connection.peer->send(test_support::bytes(step.reply));
        }
        return running.get();
    }
    std::string sent_afterwards() { return connection.peer->receive_until_quiet(100ms); }

    ScriptedModuleConnection connection;
    UpdaterEntity upgrade;
    RecordingDisplay display;
};

}  // namespace

TEST_F(ScriptedUpgrade, InitWantsTheLoadBase) {
    EXPECT_EQ(play([&] { return upgrade.LoaderInit(); }, {{"06 02 5F 00", "06 06 5F 00 00 01 00 00"}}), qErrNone);
    EXPECT_EQ(play([&] { return upgrade.LoaderInit(); }, {{"06 02 5F 00", "06 05 5F 00 00 01 00"}}), qErrPacket);
}

TEST_F(ScriptedUpgrade, PrepareSendsFlagsAndAddressAndTakesTheBlockSizeOnlyWhenAccepted) {
    const Bytes block = image_block(0x00010000, 8);
    const struct {
        std::string reply;
        qErr result;
        uint16_t block_size;
    } cases[] = {
        {"06 05 5F 07 00 01 00", qErrNone, 256},
        {"06 05 5F 07 03 01 00", qErrInvalidOption, 0},
        {"06 03 5F 07 00", qErrPacket, 0},  // accepted, but no size to go on
    };
    for (const auto& c : cases) {
        uint16_t block_size = 0;
        EXPECT_EQ(play([&] { return upgrade.TransferPrepare(block.data(), block.size(), 0x21, block_size); },
                       {{"06 07 5F 03 21 00 01 00 00", c.reply}}),
                  c.result)
            << c.reply;
        EXPECT_EQ(block_size, c.block_size) << c.reply;
    }
}

// 60 bytes go out as 26, 26 and 8, then one sum request; only a good status with the very same
// sum passes.
TEST_F(ScriptedUpgrade, TransferSendsChunksOf26AndChecksTheSum) {
    const Bytes block = image_block(0x10000000, 60);
    const uint32_t sum = 59 * 60 / 2;
    const struct {
        Bytes reply;
        qErr result;
    } cases[] = {
        {sum_reply(0, sum), qErrNone},
        {sum_reply(0, sum + 1), qErrInvalidOption},
        {sum_reply(0x0F, sum), qErrInvalidOption},
        {{0x5F, 0x07, 0x00, 0x00}, qErrInvalidOption},  // too short to hold a sum
    };
    for (const auto& c : cases) {
        EXPECT_EQ(play([&] { return upgrade.LoaderTransfer(block.data(), block.size()); },
                       {{packet(data_request(block, 4, 26)), "06 03 5F 01 1A"},
                        {packet(data_request(block, 30, 26)), "06 03 5F 01 1A"},
                        {packet(data_request(block, 56, 8)), "06 03 5F 01 08"},
                        {"06 02 5F 04", packet(c.reply)}}),
                  c.result)
            << text_of(c.reply);
    }
    EXPECT_EQ(sent_afterwards(), "");
}

TEST_F(ScriptedUpgrade, ChunkTakenShortIsSentAgainButNotForever) {
    const Bytes block = image_block(0x10000000, 26);
    const std::string chunk = packet(data_request(block, 4, 26));
    EXPECT_EQ(play([&] { return upgrade.LoaderTransfer(block.data(), block.size()); },
                   {{chunk, "06 03 5F 01 14"}, {chunk, "06 03 5F 01 1A"}, {"06 02 5F 04", packet(sum_reply(0, 325))}}),
              qErrNone);

    // A loader that never takes the count it was sent: the first send and five more, then no sum.
    std::vector<Step> refusals(6, {chunk, "06 03 5F 01 14"});
    EXPECT_EQ(play([&] { return upgrade.LoaderTransfer(block.data(), block.size()); }, refusals), qErrPacket);
    EXPECT_EQ(sent_afterwards(), "");
}

TEST_F(ScriptedUpgrade, BlockSizeZeroIsRefusedBeforeAnyData) {
    const Bytes block = image_block(0, 100);
    EXPECT_EQ(upgrade.FirmwareTransfer(block.data(), block.size(), 0, display), qErrInvalidOption);
    EXPECT_EQ(sent_afterwards(), "");
    EXPECT_TRUE(display.progress.empty());
}

TEST_F(ScriptedUpgrade, RebootWaitsOnceForALinkThatStaysWhenAskedToSkipAndABoundedTimeOtherwise) {
    upgrade.init(&connection.module, 0, true, true);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(play([&] { return upgrade.LoaderReboot(display); }, {{"06 02 5F 06", ""}}), qErrNone);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 600ms);
    EXPECT_EQ(display.spinner_frames, 1);

    // A module that never lets its link go does not keep the tool waiting.
    upgrade.init(&connection.module, 0, true, false);
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(play([&] { return upgrade.LoaderReboot(display); }, {{"06 02 5F 06", ""}}), qErrNone);
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_GE(waited, 2500ms);
    EXPECT_LT(waited, 5s);
    EXPECT_TRUE(connection.module.isConnected());
    EXPECT_EQ(display.spinner_stops, 2);
}

TEST_F(ScriptedUpgrade, LoaderStartWithoutAnAnswerReconnectsAndTakesTheAnswerThere) {
    auto running = std::async(std::launch::async, [&] { return upgrade.LoaderStart(); });
    EXPECT_EQ(connection.peer->expect(test_support::bytes("06 02 5F 02")), "");
    // No answer: the host gives the link up and connects again from the same specifier.
    auto again = connection.listener.accept_peer(3000ms);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->expect(test_support::force_route_on()), "");
    again->send(test_support::bytes("06 02 5F 02"));
    EXPECT_EQ(running.get(), qErrNone);
    EXPECT_TRUE(connection.module.isConnected());
}

// The virtual module's loader: a 1000-byte block with block size 256 goes in pieces of 256, 256,
// 256 and 232, each written with its own length, with progress counted over the whole block.
enum class DataPath { Packets, ByteArrayPooled };

class VirtualModuleUpgrade : public ::testing::TestWithParam<DataPath> {};

INSTANTIATE_TEST_SUITE_P(Paths, VirtualModuleUpgrade, ::testing::Values(DataPath::Packets, DataPath::ByteArrayPooled),
                         [](const auto& info) { return info.param == DataPath::Packets ? "Packets" : "ByteArrayPooled"; });

TEST_P(VirtualModuleUpgrade, FirmwareBlockGoesInPiecesOfTheBlockSizeAndLandsInFlash) {
    test_support::TemporaryDirectory scratch;
    const std::string dump = scratch.file("flash.txt");
    VirtualModuleProcess process({"--tcp", "127.0.0.1:0", "--address", "6", "--serial", "40F5849A", "--heartbeat-ms",
                                  "0", "--block-size", "256", "--protocol-features", "0x80000001", "--trace",
                                  "--dump-flash", dump});
    Module module(6, false, 0);
    ASSERT_EQ(module.connectFromSpec(test_support::loopback_tcp_spec(process.tcp_port())), qErrNone);
    UpdaterEntity upgrade;
    upgrade.init(&module, 0, true, false);
    if (GetParam() == DataPath::ByteArrayPooled) {
        ASSERT_EQ(upgrade.CheckUEIDataSupport(), qErrNone);
        EXPECT_TRUE(upgrade.useUEIData);
        EXPECT_EQ(upgrade.CheckPooledPacketsSupport(), qErrNone);
    }

    const Bytes block = image_block(0x00020000, 1000, 0x40);
    RecordingDisplay display;
    uint16_t block_size = 0;
    ASSERT_EQ(upgrade.LoaderInit(), qErrNone);
    ASSERT_EQ(upgrade.TransferPrepare(block.data(), block.size(), 0, block_size), qErrNone);
    ASSERT_EQ(block_size, 256);
    ASSERT_EQ(upgrade.FirmwareTransfer(block.data(), block.size(), block_size, display), qErrNone);
    EXPECT_EQ(display.progress, (std::vector<double>{260.0 / 1004, 516.0 / 1004, 772.0 / 1004, 1.0}));
    EXPECT_EQ(display.progress_clears, 1);

    module.disconnect();
    const std::string trace = process.error_output();
    for (const char* write : {"in  06 04 5F 05 01 00", "in  06 04 5F 05 00 E8"}) {
        EXPECT_NE(trace.find(write), std::string::npos) << write;
    }
    EXPECT_EQ(process.stop(), 0);
    auto modules = test_support::read_flash_dump(dump);
    auto written = test_support::find_module(modules, 0x40F5849A);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->flash, (test_support::MemoryRuns{{0x00020000, Bytes(block.begin() + 4, block.end())}}));
}

TEST(VirtualModuleUpgradeChecks, PooledPacketsFollowTheFeatureBitAndByteArraysNeedTheOption) {
    for (const char* features : {"0x80000001", "0x00000001"}) {
        VirtualModuleProcess process({"--tcp", "127.0.0.1:0", "--address", "6", "--heartbeat-ms", "0",
                                      "--protocol-features", features});
        Module module(6, false, 0);
        ASSERT_EQ(module.connectFromSpec(test_support::loopback_tcp_spec(process.tcp_port())), qErrNone);
        UpdaterEntity upgrade;
        upgrade.init(&module, 0, true, false);
        EXPECT_EQ(upgrade.CheckPooledPacketsSupport(), qErrNone) << features;
        EXPECT_FALSE(upgrade.useUEIData);
        // Entity 1 of the upgrade command does not exist: no byte arrays there.
        upgrade.init(&module, 1, true, false);
        EXPECT_NE(upgrade.CheckUEIDataSupport(), qErrNone);
        EXPECT_FALSE(upgrade.useUEIData);
    }
}
