// The virtual module's model in-process, on a clock the test moves: framing of the host's byte
// stream, version packing, what the module does as time passes (heartbeat interval, samples of a
// value that changes by itself), the sparse memory its loader fills, and the restart event its
// transports act on.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <stdexcept>
#include <utility>
#include <optional>
#include <string>
#include <vector>

#include "ByteText.h"
#include "FirmwareVersion.h"
#include "MemoryDump.h"
#include "MemoryImage.h"
#include "Module.h"
#include "ModuleLink.h"

using namespace std::chrono_literals;
using test_support::bytes_of;
using test_support::text_of;
using virtual_module::LinkEnd;
using virtual_module::MemoryImage;
using virtual_module::Module;
using virtual_module::ModuleIdentity;
using virtual_module::ModuleLink;
using virtual_module::RestartReason;
using virtual_module::parse_firmware_version;
using virtual_module::TimePoint;

namespace {

// A module and one link driven by hand: bytes in at a moment, and the bytes out due then.
class ModelHost {
public:
    explicit ModelHost(std::chrono::milliseconds heartbeat_interval = 0ms)
        : ModelHost(identity(heartbeat_interval)) {}
    explicit ModelHost(const ModuleIdentity& identity) : module_(identity, start_), link_(module_, {}, start_) {}

    std::string send(const std::string& bytes, std::chrono::milliseconds at = 0ms) {
        test_support::Bytes input = bytes_of(bytes);
        link_.receive(input.data(), input.size(), start_ + at);
        return text_of(link_.take_output(start_ + at));
    }
    // Ticks at every deadline up to the moment, as a transport's loop would; the bytes sent meanwhile.
    std::string run_until(std::chrono::milliseconds at) {
        test_support::Bytes output;
        for (auto deadline = link_.next_deadline(); deadline && *deadline <= start_ + at; deadline = link_.next_deadline()) {
            link_.tick(*deadline);
            test_support::Bytes due = link_.take_output(*deadline);
            output.insert(output.end(), due.begin(), due.end());
        }
        return text_of(output);
    }
    std::optional<std::chrono::milliseconds> next_deadline() const {
        auto deadline = link_.next_deadline();
        if (!deadline) return std::nullopt;
        return std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - start_);
    }
    const ModuleLink& link() const { return link_; }
    Module& module() { return module_; }
    TimePoint at(std::chrono::milliseconds moment) const { return start_ + moment; }

    static ModuleIdentity identity(std::chrono::milliseconds heartbeat_interval = 0ms) {
        ModuleIdentity identity;
        identity.address = 6;
        identity.heartbeat_interval = heartbeat_interval;
        return identity;
    }

private:
    TimePoint start_ = TimePoint{} + 1h;
    Module module_;
    ModuleLink link_;
};

}  // namespace

TEST(VirtualModuleModel, FramingTakesFullPacketsAndRecoversOnTheNextSyncRequest) {
    ModelHost host;
    std::string full_echo = "06 1C 17";
    for (int i = 1; i < 28; ++i) full_echo += " 5A";
    EXPECT_EQ(host.send(full_echo), full_echo) << "28 data bytes is a packet";

    // A stray byte puts the stream out of step: 0xAD then arrives where a length belongs. Taken
    // as the start of the next packet, it is the sync request the host resynchronises with.
    EXPECT_EQ(host.send("06 AD 00 AD 00"), "06 00 06 00");
    EXPECT_EQ(host.link().framing_errors(), 1u);
    EXPECT_EQ(host.send("06 03 03 48 20"), "06 04 03 08 00 13") << "in step again";
}

TEST(VirtualModuleModel, FirmwareVersionsPackInTheLayoutTheirVersionCallsFor) {
    const struct {
        const char* text;
        std::optional<uint32_t> packed;
    } cases[] = {
        {"2.11.5", 0x2B000005},  {"2.10.4", 0x2A000004},   {"2.14.70000", 0x2E011170},  // legacy, 24-bit patch
        {"2.15.0", 0x2F020F00},  {"3.1.255", 0x2F0301FF},  {"0x2B012345", 0x2B012345},  // current; packed as given
        {"1.20.0", std::nullopt}, {"2.15.256", std::nullopt}, {"2.11", std::nullopt},   // do not fit or incomplete
        {"2.11.x", std::nullopt}, {"0x123456789", std::nullopt}, {"-2.11.5", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse_firmware_version(c.text), c.packed);
    }
}

TEST(VirtualModuleModel, HeartbeatIntervalFollowsTheSystemOptionAndZeroStopsThem) {
    ModelHost host(1000ms);
    EXPECT_EQ(host.send("AF 01 01", 0ms), "");
    EXPECT_EQ(host.next_deadline(), 1000ms);
    EXPECT_EQ(host.send("06 03 03 43 20", 10ms), "06 04 03 03 00 0A") << "tenths of a second";
    EXPECT_EQ(host.send("06 04 03 83 20 05", 20ms), "06 03 03 C3 00");
    EXPECT_EQ(host.run_until(999ms), "");
    EXPECT_EQ(host.run_until(1000ms), "06 02 00 00");
    EXPECT_EQ(host.next_deadline(), 1500ms);
    EXPECT_EQ(host.send("06 02 00 02", 1100ms), "");
    EXPECT_EQ(host.run_until(1500ms), "06 02 00 00");
    EXPECT_EQ(host.send("06 02 00 02 06 04 03 83 20 00", 1600ms), "06 03 03 C3 00");
    EXPECT_EQ(host.run_until(5000ms), "");
    EXPECT_EQ(host.next_deadline(), std::nullopt);
}

TEST(VirtualModuleModel, ValueThatChangesByItselfIsSampledWithItsTimestamp) {
    ModelHost host;
    EXPECT_EQ(host.send("06 07 5D 81 20 06 03 16 00", 400ms), "06 03 5D C1 00") << "subscribe to the uptime";
    EXPECT_EQ(host.run_until(999ms), "");
    // Uptime 1 s at 1 000 000 microseconds after the start: 00 00 00 00 00 0F 42 40.
    EXPECT_EQ(host.run_until(1000ms), "06 11 03 16 40 03 00 00 00 00 00 0F 42 40 00 00 00 01 00");
    EXPECT_EQ(host.run_until(1999ms), "");
    EXPECT_EQ(host.run_until(2000ms), "06 11 03 16 40 03 00 00 00 00 00 1E 84 80 00 00 00 02 00");
}

TEST(VirtualModuleModel, MemoryImageJoinsRunsAndLetsLaterBytesWin) {
    const struct {
        const char* what;
        std::vector<std::pair<uint32_t, std::string>> writes;
        std::map<uint32_t, std::string> runs;
    } cases[] = {
        {"apart", {{0x10, "01 02"}, {0x20, "03"}}, {{0x10, "01 02"}, {0x20, "03"}}},
        {"end to end", {{0x10, "01 02"}, {0x12, "03 04"}}, {{0x10, "01 02 03 04"}}},
        {"in front of a run, touching it", {{0x12, "03 04"}, {0x10, "01 02"}}, {{0x10, "01 02 03 04"}}},
        {"over part of a run", {{0x10, "01 02 03 04"}, {0x11, "AA"}}, {{0x10, "01 AA 03 04"}}},
        {"bridging two runs", {{0x10, "01 02"}, {0x14, "05 06"}, {0x11, "AA BB CC DD"}}, {{0x10, "01 AA BB CC DD 06"}}},
        {"over several runs whole", {{0x11, "01"}, {0x13, "02"}, {0x10, "AA BB CC DD EE"}}, {{0x10, "AA BB CC DD EE"}}},
        {"up to the last address", {{0xFFFFFFFE, "01 02"}}, {{0xFFFFFFFE, "01 02"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryImage memory(64);
        size_t expected_size = 0;
        for (const auto& [address, bytes] : c.writes) EXPECT_TRUE(memory.write(address, bytes_of(bytes)));
        std::map<uint32_t, std::string> runs;
        for (const auto& [address, bytes] : memory.runs()) runs[address] = text_of(bytes);
        for (const auto& [address, bytes] : c.runs) expected_size += bytes_of(bytes).size();
        EXPECT_EQ(runs, c.runs);
        EXPECT_EQ(memory.size(), expected_size);
    }
}

TEST(VirtualModuleModel, MemoryImageRefusesWhatDoesNotFitAndReadsOnlyWrittenBytes) {
    MemoryImage memory(4);
    EXPECT_FALSE(memory.write(0xFFFFFFFF, bytes_of("01 02"))) << "past the end of the address space";
    EXPECT_FALSE(memory.write(0x10, bytes_of("01 02 03 04 05"))) << "beyond the capacity";
    EXPECT_TRUE(memory.empty());
    ASSERT_TRUE(memory.write(0x10, bytes_of("01 02 03")));
    EXPECT_EQ(memory.read(0x11, 2), bytes_of("02 03"));
    EXPECT_EQ(memory.read(0x11, 3), std::nullopt) << "one byte never written";
    EXPECT_EQ(memory.read(0x0F, 1), std::nullopt);
}

TEST(VirtualModuleModel, RestartTellsTheTransportsHowLongTheModuleIsAwayAndWhoComesBack) {
    ModuleIdentity identity = ModelHost::identity();
    identity.serial_number = 0x40F5849A;
    identity.loader.restart_on_load = true;
    identity.loader.loader_serial = 0xEBEBEBFF;
    identity.restart_time = 500ms;
    ModelHost host(identity);
    EXPECT_FALSE(host.module().last_restart().has_value());

    EXPECT_EQ(host.send("06 02 5F 02", 100ms), "06 02 5F 02") << "the answer still goes out";
    EXPECT_EQ(host.link().end(), LinkEnd::Restarted);
    auto restart = host.module().last_restart();
    ASSERT_TRUE(restart.has_value());
    EXPECT_EQ(restart->reason, RestartReason::LoaderStarted);
    EXPECT_EQ(restart->serial_number, 0xEBEBEBFFu);
    EXPECT_EQ(restart->back_at, host.at(600ms));
    EXPECT_FALSE(host.module().present(host.at(599ms)));
    EXPECT_TRUE(host.module().present(host.at(600ms)));

    ModuleLink again(host.module(), {}, host.at(600ms));
    test_support::Bytes reboot = bytes_of("06 02 5F 06");
    again.receive(reboot.data(), reboot.size(), host.at(700ms));
    EXPECT_EQ(again.end(), LinkEnd::Restarted);
    EXPECT_TRUE(again.take_output(host.at(700ms)).empty()) << "REBOOT is not answered";
    EXPECT_EQ(host.module().last_restart()->reason, RestartReason::Rebooted);
    EXPECT_EQ(host.module().last_restart()->serial_number, 0x40F5849Au) << "the firmware answers as the module";

    host.module().loader_faults().never_back_after = RestartReason::Rebooted;
    host.module().restart(host.at(2000ms), RestartReason::Rebooted);
    EXPECT_EQ(host.module().last_restart()->back_at, std::nullopt);
    EXPECT_FALSE(host.module().present(host.at(1h)));
}

TEST(VirtualModuleModel, MemoryDumpListsTheRouterThenItsModulesWithTheirRuns) {
    ModelHost host;
    ModuleIdentity routed = ModelHost::identity();
    routed.address = 0x10;
    routed.serial_number = 0x4E560010;
    host.module().add_routed(routed, host.at(0ms));
    EXPECT_THROW(host.module().add_routed(routed, host.at(0ms)), std::invalid_argument);
    routed.address = 6;
    EXPECT_THROW(host.module().add_routed(routed, host.at(0ms)), std::invalid_argument);

    host.module().loader_memory().flash.write(0x8000, bytes_of("01 02 0A"));
    host.module().loader_memory().flash.write(0x9000, bytes_of("FF"));
    host.module().routed_module(0x10)->loader_memory().started_loader.write(0x20000000, bytes_of("5A"));
    EXPECT_EQ(virtual_module::memory_dump_text(host.module()),
              "module 06 4E560001\n"
              "flash 00008000 01020A\n"
              "flash 00009000 FF\n"
              "module 10 4E560010\n"
              "loader 20000000 5A\n");
}
