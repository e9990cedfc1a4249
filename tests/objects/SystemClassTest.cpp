// The system entity: its getters against the virtual module's identity and readings (the signed
// ones included), settings and byte arrays round trip, and a few requests byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "LinkTestSupport.h"
#include "Module.h"
#include "ScriptedModuleConnection.h"
#include "SystemClass.h"

using namespace test_support;
using Tolveric::Lumenvane::Module;
using Tolveric::Lumenvane::SystemClass;

namespace {

struct VirtualSystem {
    link_test::VirtualModuleLink vm;
    Module module{2, 0};
    SystemClass system;

    explicit VirtualSystem(std::vector<std::string> arguments) : vm(std::move(arguments)) {
        system.init(&module, 0);
    }
    bool connect() { return module.connectFromSpec(link_test::tcp_spec(vm.module.tcp_port())) == qErrNone; }
};

// Reads one value of any width as a signed 64-bit number.
template <typename T>
std::function<qErr(int64_t&)> reading(SystemClass& system, qErr (SystemClass::*getter)(T*)) {
    return [&system, getter](int64_t& out) {
        T value{};
        qErr result = (system.*getter)(&value);
        out = value;
        return result;
    };
}

}  // namespace

TEST(SystemClass, GettersReadIdentityAndReadings) {
    VirtualSystem target({"--address", "6", "--serial", "40F5849A", "--model", "13", "--firmware-version", "2.10.4",
                          "--build", "4242", "--protocol-features", "0x80000001"});
    ASSERT_TRUE(target.connect());
    SystemClass& system = target.system;
    const struct {
        const char* what;
        std::function<qErr(int64_t&)> read;
        int64_t expected;
    } cases[] = {
        {"module address", reading(system, &SystemClass::getModule), 6},
        {"router address", reading(system, &SystemClass::getRouter), 6},
        {"model", reading(system, &SystemClass::getModel), 13},
        {"serial number", reading(system, &SystemClass::getSerialNumber), 0x40F5849A},
        {"version, packed below 2.15", reading(system, &SystemClass::getVersion), 0x2A000004},
        {"build", reading(system, &SystemClass::getBuild), 4242},
        {"protocol features", reading(system, &SystemClass::getProtocolFeatures), 0x80000001},
        {"input voltage", reading(system, &SystemClass::getInputVoltage), 5000000},
        {"input current", reading(system, &SystemClass::getInputCurrent), 250000},
        {"temperature", reading(system, &SystemClass::getTemperature), 31500},
        {"maximum temperature", reading(system, &SystemClass::getMaximumTemperature), 45000},
        {"minimum temperature", reading(system, &SystemClass::getMinimumTemperature), -5000},
        {"unregulated voltage", reading(system, &SystemClass::getUnregulatedVoltage), 12000000},
        {"unregulated current", reading(system, &SystemClass::getUnregulatedCurrent), -1500},
        {"input power source", reading(system, &SystemClass::getInputPowerSource), 1},
        {"hardware version", reading(system, &SystemClass::getHardwareVersion), 0x00010000},
        {"errors", reading(system, &SystemClass::getErrors), 0},
        {"hardware offset", reading(system, &SystemClass::getModuleHardwareOffset), 0},
        {"base address", reading(system, &SystemClass::getModuleBaseAddress), 6},
        {"power limit state", reading(system, &SystemClass::getPowerLimitState), 0},
    };
    for (const auto& c : cases) {
        int64_t value = -1;
        EXPECT_EQ(c.read(value), qErrNone) << c.what;
        EXPECT_EQ(value, c.expected) << c.what;
    }
    uint32_t uptime = 99;
    EXPECT_EQ(system.getUptime(&uptime), qErrNone);
    EXPECT_LT(uptime, 30u);
}

TEST(SystemClass, SettingsAndByteArraysRoundTrip) {
    VirtualSystem target({"--name", "Virtual Module"});
    ASSERT_TRUE(target.connect());
    SystemClass& system = target.system;

    using Setter = qErr (SystemClass::*)(uint8_t);
    using Getter = qErr (SystemClass::*)(uint8_t*);
    const struct {
        const char* what;
        Setter set;
        Getter get;
        uint8_t value;
    } bytes[] = {
        {"router", &SystemClass::setRouter, &SystemClass::getRouter, 0x20},
        {"LED", &SystemClass::setLED, &SystemClass::getLED, 1},
        {"heartbeat interval", &SystemClass::setHBInterval, &SystemClass::getHBInterval, 20},
        {"boot slot", &SystemClass::setBootSlot, &SystemClass::getBootSlot, 1},
        {"software offset", &SystemClass::setModuleSoftwareOffset, &SystemClass::getModuleSoftwareOffset, 4},
        {"input power behaviour", &SystemClass::setInputPowerBehavior, &SystemClass::getInputPowerBehavior, 2},
        {"link interface", &SystemClass::setLinkInterface, &SystemClass::getLinkInterface, 1},
        {"LED brightness", &SystemClass::setLEDMaxBrightness, &SystemClass::getLEDMaxBrightness, 77},
    };
    for (const auto& c : bytes) {
        EXPECT_EQ((system.*c.set)(c.value), qErrNone) << c.what;
        uint8_t value = 0;
        EXPECT_EQ((system.*c.get)(&value), qErrNone) << c.what;
        EXPECT_EQ(value, c.value) << c.what;
    }
    uint8_t setting = 0;
    EXPECT_EQ(system.getRouterAddressSetting(&setting), qErrNone);
    EXPECT_EQ(setting, 0x20);
    EXPECT_EQ(system.setRouter(3), qErrParam) << "the module refuses an odd router address";
    EXPECT_EQ(system.setPowerLimitMax(15000000), qErrNone);
    uint32_t limit = 0;
    EXPECT_EQ(system.getPowerLimitMax(&limit), qErrNone);
    EXPECT_EQ(limit, 15000000u);
    EXPECT_EQ(system.getPowerLimit(&limit), qErrNone);
    EXPECT_EQ(limit, 15000000u);
    EXPECT_EQ(system.routeToMe(1), qErrNone);
    EXPECT_EQ(system.logEvents(), qErrNone);
    EXPECT_EQ(system.save(), qErrNone);

    // A name over two packets; a buffer too small for it ends the read with what arrived.
    uint8_t name[64] = {};
    size_t length = 0;
    ASSERT_EQ(system.getName(name, sizeof name, &length), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "Virtual Module");
    const std::string longer = "A name that runs over two packets";
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(longer.data()), longer.size()), qErrNone);
    ASSERT_EQ(system.getName(name, sizeof name, &length), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), longer);
    EXPECT_EQ(system.getName(name, 30, &length), qErrMemory);
    EXPECT_EQ(length, 24u);

    // Words travel in host memory order.
    const uint32_t words[] = {0x01020304, 0xA0B0C0D0, 7};
    ASSERT_EQ(system.setInputPowerBehaviorConfig(words, 3), qErrNone);
    uint32_t read[8] = {};
    size_t count = 0;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(read, 8, &count), qErrNone);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(std::vector<uint32_t>(read, read + 3), std::vector<uint32_t>(words, words + 3));
    EXPECT_EQ(system.getInputPowerBehaviorConfig(read, 2, &count), qErrMemory);

    // Factory settings bring the name back.
    EXPECT_EQ(system.resetEntityToFactoryDefaults(), qErrNone);
    ASSERT_EQ(system.getName(name, sizeof name, &length), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), length), "Virtual Module");
    EXPECT_EQ(system.resetDeviceToFactoryDefaults(), qErrNone);
}

TEST(SystemClass, RequestsByteForByte) {
    ScriptedModuleConnection target;
    ASSERT_TRUE(target.ready());
    SystemClass system;
    system.init(&target.module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(target.exchange([&] { return system.getSerialNumber(&serial); }, "06 03 03 49 20",
                              "06 07 03 09 00 40 F5 84 9A"),
              qErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(target.exchange([&] { return system.routeToMe(1); }, "06 04 03 94 20 01", "06 03 03 D4 00"), qErrNone);
    EXPECT_EQ(target.exchange([&] { return system.reset(); }, "06 03 03 8B 20", "06 03 03 CB 00"), qErrNone);
    int32_t temperature = 0;
    EXPECT_EQ(target.exchange([&] { return system.getMinimumTemperature(&temperature); }, "06 03 03 5C 20",
                              "06 07 03 1C 00 FF FF EC 78"),
              qErrNone);
    EXPECT_EQ(temperature, -5000);

    // Six bytes are not whole words: the count stays a byte count and the read says so.
    uint32_t words[4] = {};
    size_t count = 0;
    EXPECT_EQ(target.exchange([&] { return system.getInputPowerBehaviorConfig(words, 4, &count); }, "06 03 03 5F 20",
                              "06 0A 03 1F 00 01 02 03 04 05 06 00"),
              qErrMemory);
    EXPECT_EQ(count, 6u);
}
