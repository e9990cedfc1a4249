// The virtual module's model in-process, on a clock the test moves: framing of the host's byte
// stream, version packing, and what the module does as time passes (heartbeat interval, samples
// of a value that changes by itself).
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ByteText.h"
#include "FirmwareVersion.h"
#include "Module.h"
#include "ModuleLink.h"

using namespace std::chrono_literals;
using test_support::bytes_of;
using test_support::text_of;
using virtual_module::Module;
using virtual_module::ModuleIdentity;
using virtual_module::ModuleLink;
using virtual_module::parse_firmware_version;
using virtual_module::TimePoint;

namespace {

// A module and one link driven by hand: bytes in at a moment, and the bytes out due then.
class ModelHost {
public:
    explicit ModelHost(std::chrono::milliseconds heartbeat_interval = 0ms)
        : module_(identity(heartbeat_interval), start_), link_(module_, {}, start_) {}

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

private:
    static ModuleIdentity identity(std::chrono::milliseconds heartbeat_interval) {
        ModuleIdentity identity;
        identity.address = 6;
        identity.heartbeat_interval = heartbeat_interval;
        return identity;
    }

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
