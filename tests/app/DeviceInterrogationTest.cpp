// What the workflow reads from a connected module for its device record, and the networking
// switch that must come before connecting: against a virtual module over loopback TCP.
#include <gtest/gtest.h>

#include <string>

#include "DeviceInterrogation.h"
#include "RecordingDisplay.h"
#include "ScriptedModuleConnection.h"
#include "VirtualModuleProcess.h"

using Tolveric::Lumenvane::Module;
using Tolveric::Lumenvane::qEtherConfig;
using test_support::loopback_tcp_spec;
using test_support::RecordingDisplay;
using test_support::VirtualModuleProcess;

TEST(DeviceInterrogation, NetworkingIsSwitchedOffBeforeConnectingAndTheRecordFilledAfter) {
    // A name longer than 32 bytes is a name like any other.
    const std::string name = "Second bench, on the left of the window";
    VirtualModuleProcess vm({"--tcp", "127.0.0.1:0", "--address", "8", "--serial", "4E560002", "--firmware-version",
                             "2.10.4", "--build", "100000", "--name", name});
    RecordingDisplay display;
    Module module(2, 0);

    ASSERT_EQ(_disableEther(module, display), qErrNone);
    qEtherConfig config;
    ASSERT_EQ(module.getConfig(&config), qErrNone);
    EXPECT_FALSE(config.enabled);
    EXPECT_FALSE(config.fallback);
    EXPECT_TRUE(config.localOnly);
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.networkInterface, DISCOVERY_INTERFACE);
    EXPECT_TRUE(display.lines.empty());

    ASSERT_EQ(module.connectFromSpec(loopback_tcp_spec(vm.tcp_port())), qErrNone);
    DeviceInfo record;
    EXPECT_EQ(_get_build_number(module), 100000u);
    ASSERT_EQ(_get_version(module, record), qErrNone);
    EXPECT_EQ(record.version_major, 2);
    EXPECT_EQ(record.version_minor, 10);
    EXPECT_EQ(record.version_patch, 4u);
    EXPECT_EQ(record.spec.moduleAddress, 8u);
    EXPECT_EQ(record.spec.routerAddress, 8u);
    ASSERT_EQ(_get_device_name(module, record), qErrNone);
    EXPECT_EQ(record.device_name, name);

    // A connected link keeps its configuration: the operator is told.
    EXPECT_EQ(_disableEther(module, display), qErrMode);
    EXPECT_EQ(display.errors(), std::vector<std::string>{"Failed to SET network configuration"});
    module.disconnect();
}
