// The virtual module's loader as a host drives it with the upgrade command, byte for byte: the
// sub-commands and their answers, the UEI byte-array data path, what ends up in the flash dump,
// each fault switch, and the restarts after LOAD and REBOOT over TCP and the pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "ByteText.h"
#include "FlashDump.h"
#include "HostPeer.h"
#include "TestPaths.h"
#include "VirtualModuleProcess.h"

using namespace std::chrono_literals;
using test_support::Bytes;
using test_support::bytes_of;
using test_support::Exchange;
using test_support::HostPeer;
using test_support::text_of;
using test_support::VirtualModuleProcess;

namespace {

constexpr uint8_t kAddress = 0x06;
const std::vector<std::string> kModule = {"--tcp", "127.0.0.1:0", "--address", "6", "--serial", "40F5849A",
                                          "--heartbeat-ms", "0", "--trace"};
const std::string kSerialRequest = "06 03 03 49 20";
const std::string kSerialReply = "06 07 03 09 00 40 F5 84 9A";

std::vector<std::string> module_with(std::vector<std::string> extra) {
    extra.insert(extra.begin(), kModule.begin(), kModule.end());
    return extra;
}

// One packet to or from the module as text: address, length, data.
std::string packet(const Bytes& data, uint8_t address = kAddress) {
    Bytes bytes = {address, static_cast<uint8_t>(data.size())};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return text_of(bytes);
}

Bytes operator+(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes big_endian(uint32_t value, size_t width) {
    Bytes bytes;
    for (size_t i = width; i > 0; --i) bytes.push_back(static_cast<uint8_t>(value >> (8 * (i - 1))));
    return bytes;
}

// Bytes that differ from their neighbours, so a shifted or repeated run shows.
Bytes pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}

uint32_t sum_of(const Bytes& bytes) { return std::accumulate(bytes.begin(), bytes.end(), uint32_t{0}); }

enum class DataPath { Packets, UeiByteArray };

constexpr size_t kDataPacketBytes = 26;
constexpr size_t kByteArrayPacketBytes = 24;

// The bytes of one piece as a host sends them, with the module's answers.
std::vector<Exchange> piece_exchanges(const Bytes& piece, DataPath path) {
    std::vector<Exchange> steps;
    size_t chunk = path == DataPath::Packets ? kDataPacketBytes : kByteArrayPacketBytes;
    for (size_t offset = 0, sequence = 0; offset < piece.size(); offset += chunk, ++sequence) {
        Bytes bytes(piece.begin() + static_cast<long>(offset), piece.begin() + static_cast<long>(std::min(piece.size(), offset + chunk)));
        bool last = offset + chunk >= piece.size();
        if (path == DataPath::Packets) {
            steps.push_back({"DATA", packet(Bytes{0x5F, 0x01} + bytes), packet({0x5F, 0x01, static_cast<uint8_t>(bytes.size())})});
        } else {
            uint8_t sequence_byte = static_cast<uint8_t>(sequence | (last ? 0x00 : 0x80));
            steps.push_back({"byte array of option 10", packet(Bytes{0x5F, 0x8A, 0x20} + bytes + Bytes{sequence_byte}),
                             last ? packet({0x5F, 0xCA, 0x00}) : ""});
        }
    }
    return steps;
}

// One image block written as a host writes it: PREPARE, then for each piece of the block size its
// bytes, SUM and WRITE with the piece's length.
std::vector<Exchange> block_exchanges(uint32_t address, const Bytes& block, size_t block_size, DataPath path) {
    std::vector<Exchange> steps = {
        {"PREPARE", packet(Bytes{0x5F, 0x03, 0x00} + big_endian(address, 4)), packet(Bytes{0x5F, 0x07, 0x00} + big_endian(uint32_t(block_size), 2))},
    };
    for (size_t offset = 0; offset < block.size(); offset += block_size) {
        Bytes piece(block.begin() + static_cast<long>(offset), block.begin() + static_cast<long>(std::min(block.size(), offset + block_size)));
        for (Exchange& step : piece_exchanges(piece, path)) steps.push_back(step);
        steps.push_back({"SUM", "06 02 5F 04", packet(Bytes{0x5F, 0x07, 0x00} + big_endian(sum_of(piece), 4))});
        steps.push_back({"WRITE", packet(Bytes{0x5F, 0x05} + big_endian(uint32_t(piece.size()), 2)), "06 03 5F 07 00"});
    }
    return steps;
}

std::vector<Exchange> joined(std::vector<std::vector<Exchange>> parts) {
    std::vector<Exchange> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Connects once the module listens again, or gives up after the wait.
std::optional<HostPeer> connect_when_back(uint16_t port, std::chrono::milliseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        try {
            return HostPeer::connect_tcp(port);
        } catch (const std::runtime_error&) {
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(20ms);
        }
    }
}

bool connection_refused(uint16_t port) {
    try {
        HostPeer::connect_tcp(port);
        return false;
    } catch (const std::runtime_error&) {
        return true;
    }
}

}  // namespace

TEST(VirtualModuleLoader, SubCommandsAnswerAsTheHostExpectsAndTheDumpHoldsWhatWasReceivedAndWritten) {
    test_support::TemporaryDirectory scratch;
    std::string dump = scratch.file("flash.txt");
    VirtualModuleProcess module(module_with({"--load-base", "0x20000000", "--block-size", "256", "--dump-flash", dump}));
    HostPeer host = HostPeer::connect_tcp(module.tcp_port());
    const std::string a5 = text_of(Bytes(26, 0xA5));
    expect_exchanges(host, {
        {"INIT answers the load base", "06 02 5F 00", "06 06 5F 00 20 00 00 00"},
        {"DATA before PREPARE takes nothing", "06 05 5F 01 01 02 03", "06 03 5F 01 00"},
        {"PREPARE: option and address; status and block size", "06 07 5F 03 20 00 00 10 00", "06 05 5F 07 00 01 00"},
        {"DATA of 26 bytes", "06 1C 5F 01 " + a5, "06 03 5F 01 1A"},
        {"DATA of 3 bytes", "06 05 5F 01 11 22 33", "06 03 5F 01 03"},
        {"DATA of none", "06 02 5F 01", "06 03 5F 01 00"},
        {"SUM of the 29 bytes", "06 02 5F 04", "06 07 5F 07 00 00 00 11 28"},
        {"SUM starts afresh", "06 02 5F 04", "06 07 5F 07 00 00 00 00 00"},
        {"WRITE the 29 bytes", "06 04 5F 05 00 1D", "06 03 5F 07 00"},
        {"the next piece follows on", "06 05 5F 01 44 55 66", "06 03 5F 01 03"},
        {"WRITE of another length: nothing written", "06 04 5F 05 00 04", "06 03 5F 07 0E"},
        {"WRITE cut short", "06 03 5F 05 00", "06 03 5F 07 1B"},
        {"LOAD", "06 02 5F 02", "06 02 5F 02"},
        {"a sub-command it does not know", "06 02 5F 09", ""},
        {"a status request is the module's to send", "06 02 5F 07", ""},
        {"PREPARE cut short", "06 04 5F 03 00 00", "06 05 5F 07 1B 01 00"},
        {"SUM with no PREPARE in force", "06 02 5F 04", "06 07 5F 07 07 00 00 00 00"},
        {"WRITE with no PREPARE in force", "06 04 5F 05 00 00", "06 03 5F 07 07"},
        {"the module still answers the rest", kSerialRequest, kSerialReply},
    });
    ASSERT_EQ(module.stop(), 0);

    auto modules = test_support::read_flash_dump(dump);
    ASSERT_EQ(modules.size(), 1u);
    EXPECT_EQ(modules[0].address, 0x06);
    EXPECT_EQ(modules[0].serial_number, 0x40F5849Au);
    Bytes written = Bytes(26, 0xA5) + Bytes{0x11, 0x22, 0x33};
    EXPECT_EQ(modules[0].flash, (test_support::MemoryRuns{{0x1000, written}}));
    EXPECT_EQ(modules[0].loader, (test_support::MemoryRuns{{0x1000, written + Bytes{0x44, 0x55, 0x66}}}))
        << "LOAD starts everything received since INIT";
}

class VirtualModuleLoaderBlocks : public ::testing::TestWithParam<DataPath> {};

INSTANTIATE_TEST_SUITE_P(DataPaths, VirtualModuleLoaderBlocks, ::testing::Values(DataPath::Packets, DataPath::UeiByteArray),
                         [](const ::testing::TestParamInfo<DataPath>& info) {
                             return info.param == DataPath::Packets ? "DataPackets" : "UeiByteArray";
                         });

TEST_P(VirtualModuleLoaderBlocks, FlashHoldsEveryBlockWrittenPieceByPiece) {
    test_support::TemporaryDirectory scratch;
    std::string dump = scratch.file("flash.txt");
    VirtualModuleProcess module(module_with({"--block-size", "256", "--protocol-features", "0x80000001", "--dump-flash", dump}));
    HostPeer host = HostPeer::connect_tcp(module.tcp_port());
    const Bytes first = pattern(1000, 0x10);  // pieces of 256, 256, 256 and 232
    const Bytes second = pattern(300, 0x80);
    const Bytes rewritten = pattern(256, 0x33);  // a retried block lands over the first try
    expect_exchanges(host, joined({
        {{"the set of option 10 is there", "06 06 49 01 5F 0A 00 80", "06 06 49 01 5F 0A 00 00"},
         {"a get of option 10 is not", "06 06 49 01 5F 0A 00 40", "06 06 49 01 5F 0A 00 07"},
         {"protocol features: pooled packets", "06 03 03 6D 20", "06 07 03 2D 00 80 00 00 01"},
         {"INIT", "06 02 5F 00", "06 06 5F 00 00 01 00 00"}},
        block_exchanges(0x00008000, first, 256, GetParam()),
        block_exchanges(0x00020000, pattern(256, 0x99), 256, GetParam()),
        block_exchanges(0x00020000, rewritten + second, 256, GetParam()),
    }));
    ASSERT_EQ(module.stop(), 0);

    auto modules = test_support::read_flash_dump(dump);
    ASSERT_EQ(modules.size(), 1u);
    EXPECT_EQ(modules[0].flash, (test_support::MemoryRuns{{0x8000, first}, {0x20000, rewritten + second}}));
    EXPECT_TRUE(modules[0].loader.empty()) << "no LOAD, no loader";
}

TEST(VirtualModuleLoader, ByteArrayOfOption10IsRefusedOutsideAPreparedTransfer) {
    VirtualModuleProcess module(module_with({}));
    HostPeer host = HostPeer::connect_tcp(module.tcp_port());
    expect_exchanges(host, {
        {"no PREPARE yet", "06 06 5F 8A 20 01 02 00", "06 04 5F CA 80 07"},
        {"a get of it", "06 03 5F 4A 20", "06 04 5F 0A 80 07"},
        {"index 1", "06 06 5F 8A 21 01 02 00", "06 04 5F CA 81 1C"},
    });
}

struct FaultCase {
    const char* name;
    std::vector<std::string> switches;
    std::vector<Exchange> steps;
    enum { StaysOpen, Closes, ClosesForGood } then;
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

const std::string kInit = "06 02 5F 00";
const std::string kInitReply = "06 06 5F 00 00 01 00 00";
const std::string kPrepare = "06 07 5F 03 00 00 00 10 00";
const std::string kPrepareReply = "06 05 5F 07 00 04 00";
const std::string kData = "06 05 5F 01 11 22 33";
const std::string kDataReply = "06 03 5F 01 03";
const std::string kSum = "06 02 5F 04";

const FaultCase kFaultCases[] = {
    {"DropAtTheSecondDataPacket", {"--drop-at-data-packet", "2"},
     {{"INIT", kInit, kInitReply}, {"PREPARE", kPrepare, kPrepareReply}, {"first data packet", kData, kDataReply},
      {"second: the link ends, unanswered", kData, ""}},
     FaultCase::Closes},
    {"DropCountsByteArrayPackets", {"--drop-at-data-packet", "2"},
     {{"PREPARE", kPrepare, kPrepareReply}, {"first packet of a run", "06 06 5F 8A 20 01 02 80", ""},
      {"second packet: the link ends", "06 06 5F 8A 20 03 04 01", ""}},
     FaultCase::Closes},
    {"WrongSumOnce", {"--wrong-sum", "once"},
     {{"PREPARE", kPrepare, kPrepareReply}, {"DATA", kData, kDataReply}, {"SUM one too high", kSum, "06 07 5F 07 00 00 00 00 67"},
      {"DATA again", kData, kDataReply}, {"SUM right from then on", kSum, "06 07 5F 07 00 00 00 00 66"}},
     FaultCase::StaysOpen},
    {"WrongSumAlways", {"--wrong-sum", "always"},
     {{"PREPARE", kPrepare, kPrepareReply}, {"DATA", kData, kDataReply}, {"SUM one too high", kSum, "06 07 5F 07 00 00 00 00 67"},
      {"DATA again", kData, kDataReply}, {"SUM still wrong", kSum, "06 07 5F 07 00 00 00 00 67"}},
     FaultCase::StaysOpen},
    {"ShortAcknowledgementOnce", {"--short-ack-once"},
     {{"PREPARE", kPrepare, kPrepareReply}, {"DATA acknowledged short", kData, "06 03 5F 01 02"},
      {"the same packet again", kData, kDataReply}, {"the sum counts it once: nothing of the first was kept", kSum, "06 07 5F 07 00 00 00 00 66"},
      {"WRITE of the 3 bytes", "06 04 5F 05 00 03", "06 03 5F 07 00"}},
     FaultCase::StaysOpen},
    {"PrepareErrorStatus", {"--prepare-status", "5"},
     {{"PREPARE refused with the status", kPrepare, "06 05 5F 07 05 04 00"}, {"so DATA takes nothing", kData, "06 03 5F 01 00"}},
     FaultCase::StaysOpen},
    {"BlockSizeZero", {"--block-size", "0"}, {{"PREPARE accepted with block size 0", kPrepare, "06 05 5F 07 00 00 00"}},
     FaultCase::StaysOpen},
    {"NeverBackAfterReboot", {"--never-back-after", "reboot"}, {{"REBOOT is not answered", "06 02 5F 06", ""}},
     FaultCase::ClosesForGood},
    {"NeverBackAfterLoad", {"--restart-on-load", "--never-back-after", "load"}, {{"LOAD is answered", "06 02 5F 02", "06 02 5F 02"}},
     FaultCase::ClosesForGood},
};

class VirtualModuleLoaderFault : public ::testing::TestWithParam<FaultCase> {};

INSTANTIATE_TEST_SUITE_P(Switches, VirtualModuleLoaderFault, ::testing::ValuesIn(kFaultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST_P(VirtualModuleLoaderFault, MisbehavesAsAskedAndOtherwiseAsUsual) {
    const FaultCase& fault = GetParam();
    std::vector<std::string> switches = {"--block-size", "1024"};  // a switch may set it otherwise
    switches.insert(switches.end(), fault.switches.begin(), fault.switches.end());
    VirtualModuleProcess module(module_with(switches));
    HostPeer host = HostPeer::connect_tcp(module.tcp_port());
    expect_exchanges(host, fault.steps);
    switch (fault.then) {
    case FaultCase::StaysOpen:
        expect_exchanges(host, {{"still answering", kSerialRequest, kSerialReply}});
        break;
    case FaultCase::Closes: {
        EXPECT_TRUE(host.closed_within(1000ms));
        HostPeer again = HostPeer::connect_tcp(module.tcp_port());
        expect_exchanges(again, {{"a new connection: the fault was once", "06 02 5F 01", "06 03 5F 01 00"},
                                 {"and the module answers", kSerialRequest, kSerialReply}});
        break;
    }
    case FaultCase::ClosesForGood:
        EXPECT_TRUE(host.closed_within(1000ms));
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(connection_refused(module.tcp_port())) << "the module never comes back";
        break;
    }
}

TEST(VirtualModuleRestart, LoadAndRebootRestartTheModuleAwayForItsRestartTimeUnderTheSerialNumberOfWhatRuns) {
    VirtualModuleProcess module(module_with({"--restart-on-load", "--loader-serial", "EBEBEBFF", "--restart-ms", "400"}));
    HostPeer host = HostPeer::connect_tcp(module.tcp_port());
    host.send("06 02 5F 02");
    EXPECT_EQ(text_of(host.read(4)), "06 02 5F 02") << "LOAD is answered before the restart";
    auto restarted = std::chrono::steady_clock::now();
    EXPECT_TRUE(host.closed_within(1000ms));
    EXPECT_TRUE(connection_refused(module.tcp_port())) << "away: nobody listens";

    std::optional<HostPeer> loader = connect_when_back(module.tcp_port(), 3000ms);
    ASSERT_TRUE(loader.has_value());
    EXPECT_GE(std::chrono::steady_clock::now() - restarted, 350ms);
    expect_exchanges(*loader, {{"the new loader's serial number", kSerialRequest, "06 07 03 09 00 EB EB EB FF"}});

    loader->send("06 02 5F 06");
    EXPECT_EQ(text_of(loader->read(1, 300ms)), "") << "REBOOT is not answered";
    EXPECT_TRUE(loader->closed_within(1000ms));
    std::optional<HostPeer> firmware = connect_when_back(module.tcp_port(), 3000ms);
    ASSERT_TRUE(firmware.has_value());
    expect_exchanges(*firmware, {{"the firmware's serial number again", kSerialRequest, kSerialReply}});
}

TEST(VirtualModuleRestart, OverThePseudoTerminalTheLinkStartsOverOnceTheModuleIsBack) {
    VirtualModuleProcess module({"--pty", "--address", "6", "--serial", "40F5849A", "--heartbeat-ms", "0", "--trace",
                                 "--restart-on-load", "--loader-serial", "EBEBEBFF", "--restart-ms", "300"});
    HostPeer host = HostPeer::open_serial(module.pty_path());
    expect_exchanges(host, {{"LOAD", "06 02 5F 02", "06 02 5F 02"}, {"away: nothing is answered", "AD 00 " + kSerialRequest, ""}});
    std::this_thread::sleep_for(300ms);
    expect_exchanges(host, {
        {"back: the serial line carries a new link", "AD 00", "06 00"},
        {"answering as the loader", kSerialRequest, "06 07 03 09 00 EB EB EB FF"},
    });
}
