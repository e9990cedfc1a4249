// Module: connecting with the address step, reaching a module behind a router over the router's
// link, the module queries byte for byte and against the virtual module, and the echo test.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

#include "LinkTestSupport.h"
#include "Module.h"
#include "ScriptedModuleConnection.h"
#include "SystemClass.h"

using namespace test_support;
using namespace std::chrono_literals;
using Tolveric::Lumenvane::Module;
using Tolveric::Lumenvane::qEtherConfig;
using Tolveric::Lumenvane::SystemClass;

namespace {

uint32_t serial_number_of(Module& module) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), qErrNone);
    return serial;
}

qEtherConfig direct_only() {
    qEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    return config;
}

}  // namespace

TEST(ModuleConnect, AdoptsTheAddressTheModuleGivesAfterEveryConnect) {
    LoopbackListener listener;
    const linkSpec spec = loopback_tcp_spec(listener.port());
    Module module(2, 0);
    auto connecting = std::async(std::launch::async, [&] { return module.connectFromSpec(spec); });
    auto peer = listener.accept_peer();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->expect(force_route_on() + bytes("AD 00")), "");
    peer->send(bytes("06 00"));
    ASSERT_EQ(connecting.get(), qErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    EXPECT_EQ(module.connectFromSpec(spec), qErrBusy);
    linkSpec stored{};
    ASSERT_EQ(module.getLinkSpecifier(&stored), qErrNone);
    EXPECT_EQ(stored.transport.ip.port, listener.port());
    EXPECT_EQ(module.setConfig(direct_only()), qErrMode) << "the configuration is fixed while connected";

    // Reconnecting from the stored specifier asks again.
    ASSERT_EQ(module.disconnect(), qErrNone);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getStatus(), 8);
    connecting = std::async(std::launch::async, [&] { return module.reconnect(); });
    peer = listener.accept_peer();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->expect(force_route_on() + bytes("AD 00")), "");
    peer->send(bytes("08 00"));
    ASSERT_EQ(connecting.get(), qErrNone);
    EXPECT_EQ(module.getModuleAddress(), 8);

    // With networking mode off nothing is asked and the address stays.
    ScriptedModuleConnection quiet(2);
    ASSERT_TRUE(quiet.ready());
    EXPECT_EQ(hex(quiet.peer->receive_until_quiet(100ms)), "");
    EXPECT_EQ(quiet.module.getModuleAddress(), 2);
}

// A module that never tells its address is asked four times; the link stays up.
TEST(ModuleConnect, GivesUpOnTheAddressAfterFourTries) {
    LoopbackListener listener;
    Module module(2, 0);
    auto connecting =
        std::async(std::launch::async, [&] { return module.connectFromSpec(loopback_tcp_spec(listener.port())); });
    auto peer = listener.accept_peer();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(peer->expect(force_route_on()), "");
    EXPECT_EQ(hex(peer->receive(8, 6000ms)), hex(repeated(bytes("AD 00"), 4)));
    EXPECT_EQ(connecting.get(), qErrNotReady);
    EXPECT_EQ(hex(peer->receive_until_quiet(100ms)), "");
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getModuleAddress(), 2);
}

TEST(ModuleConnect, RefusesWhatItCannotDoWithoutTouchingTheLink) {
    Module module(2, 0);
    EXPECT_EQ(module.connect(linkTypeUSB, 0), qErrParam);
    EXPECT_FALSE(module.isConnected());
    linkSpec spec{};
    EXPECT_EQ(module.getLinkSpecifier(&spec), qErrNotFound);
    EXPECT_EQ(module.getConfig(nullptr), qErrParam);
    EXPECT_EQ(module.enablePacketLog("/nonexistent/log"), qErrConfiguration);

    Module router(2, 0);
    EXPECT_EQ(module.connectThroughLinkModule(nullptr), qErrInitialization);
    EXPECT_EQ(module.connectThroughLinkModule(&router), qErrInitialization) << "the router is not connected";

    uint32_t build = 1;
    uint8_t count = 7;
    const uint8_t echo[] = {1};
    EXPECT_EQ(module.getBuild(nullptr), qErrParam);
    EXPECT_EQ(module.getBuild(&build), qErrConnection);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), qErrConnection);
    EXPECT_EQ(module.classQuantity(3, &count), qErrConnection);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(module.debug(echo, 1), qErrConnection);
    // Exactly one direction: get or set.
    for (uint8_t flags : {0xC0, 0x01, 0x00, 0x41}) EXPECT_EQ(module.hasUEI(0x5F, 10, 0, flags), qErrParam) << +flags;
}

TEST(ModuleQueries, CheckEveryReplyAgainstTheRequest) {
    ScriptedModuleConnection target;
    ASSERT_TRUE(target.ready());
    Module& module = target.module;
    uint32_t got = 0;
    const uint8_t echo[] = {1, 2, 3};

    struct Case {
        const char* what;
        std::function<qErr()> call;
        std::string request;
        std::string reply;
        qErr result;
        uint32_t value;
    } cases[] = {
        {"build", [&] { uint32_t v = 0; qErr r = module.getBuild(&v); got = v; return r; }, "06 02 49 FF",
         "06 06 49 FF 00 01 86 A0", qErrNone, 100000},
        {"build, a short reply", [&] { uint32_t v = 0; qErr r = module.getBuild(&v); got = v; return r; },
         "06 02 49 FF", "06 05 49 FF 00 01 86", qErrSize, 0},
        {"build, another query's reply", [&] { uint32_t v = 0; qErr r = module.getBuild(&v); got = v; return r; },
         "06 02 49 FF", "06 06 49 04 00 01 86 A0", qErrUnknown, 0},
        {"UEI present", [&] { return module.hasUEI(3, 9, 0, 0x40); }, "06 06 49 01 03 09 00 40",
         "06 06 49 01 03 09 00 00", qErrNone, 0},
        {"UEI that cannot be set", [&] { return module.hasUEI(3, 9, 0, 0x80); }, "06 06 49 01 03 09 00 80",
         "06 06 49 01 03 09 00 07", qErrMode, 0},
        {"UEI answer about another option", [&] { return module.hasUEI(3, 9, 0, 0x40); }, "06 06 49 01 03 09 00 40",
         "06 06 49 01 03 0A 00 00", qErrUnknown, 0},
        {"class quantity", [&] { uint8_t v = 9; qErr r = module.classQuantity(3, &v); got = v; return r; },
         "06 03 49 04 03", "06 04 49 04 03 02", qErrNone, 2},
        {"class quantity of another class", [&] { uint8_t v = 9; qErr r = module.classQuantity(3, &v); got = v; return r; },
         "06 03 49 04 03", "06 04 49 04 05 02", qErrUnknown, 0},
        {"subclass quantity", [&] { uint8_t v = 9; qErr r = module.subClassQuantity(0x70, 4, &v); got = v; return r; },
         "06 04 49 05 70 04", "06 05 49 05 70 04 04", qErrNone, 4},
        {"entity group", [&] { uint8_t v = 9; qErr r = module.entityGroup(3, 1, &v); got = v; return r; },
         "06 04 49 06 03 01", "06 05 49 06 03 01 05", qErrNone, 5},
        {"entity group, a long reply", [&] { uint8_t v = 9; qErr r = module.entityGroup(3, 1, &v); got = v; return r; },
         "06 04 49 06 03 01", "06 06 49 06 03 01 05 00", qErrUnknown, 0},
        {"echo", [&] { return module.debug(echo, 3); }, "06 04 17 01 02 03", "06 04 17 01 02 03", qErrNone, 0},
        {"echo, other bytes", [&] { return module.debug(echo, 3); }, "06 04 17 01 02 03", "06 04 17 01 02 04", qErrIO, 0},
        {"echo, cut short", [&] { return module.debug(echo, 3); }, "06 04 17 01 02 03", "06 03 17 01 02", qErrIO, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        got = 0;
        EXPECT_EQ(target.exchange(c.call, c.request, c.reply), c.result);
        EXPECT_EQ(got, c.value);
    }
}

TEST(ModuleQueries, AnsweredByTheVirtualModule) {
    link_test::VirtualModuleLink vm({"--address", "6", "--build", "4242"});
    Module module(2, 0);
    ASSERT_EQ(module.connectFromSpec(link_test::tcp_spec(vm.module.tcp_port())), qErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), qErrNone);
    EXPECT_EQ(build, 4242u);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x40), qErrNone);
    EXPECT_EQ(module.hasUEI(3, 9, 0, 0x80), qErrMode) << "the serial number cannot be set";
    EXPECT_EQ(module.hasUEI(3, 44, 0, 0x40), qErrInvalidOption);
    uint8_t count = 0;
    EXPECT_EQ(module.classQuantity(3, &count), qErrNone);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(module.subClassQuantity(3, 39, &count), qErrNone);
    EXPECT_EQ(count, 4);
    const uint8_t echo[27] = {1, 2, 3, 4, 5};
    EXPECT_EQ(module.debug(echo, sizeof echo), qErrNone);
}

// A module behind a router shares the router's engine link; the bus scan gives its address.
TEST(ModuleConnect, ReachesAModuleBehindARouterOverTheRoutersLink) {
    link_test::VirtualModuleLink vm(
        {"--address", "8", "--serial", "40F5849A", "--routed", "address=0x10,serial=4E560010,model=13"});
    Module router(2, 0);
    ASSERT_EQ(router.setConfig(direct_only()), qErrNone);
    ASSERT_EQ(router.connectFromSpec(link_test::tcp_spec(vm.module.tcp_port())), qErrNone);

    Module routed(0x10, false, 0);
    ASSERT_EQ(routed.connectThroughLinkModule(&router), qErrNone);
    EXPECT_TRUE(routed.isConnected());
    EXPECT_EQ(routed.getModuleAddress(), 0x10);
    EXPECT_EQ(serial_number_of(routed), 0x4E560010u);
    EXPECT_EQ(routed.connectThroughLinkModule(&router), qErrNone) << "connected already: nothing changes";
    qEtherConfig config;
    ASSERT_EQ(routed.getConfig(&config), qErrNone);
    EXPECT_FALSE(config.enabled) << "the router's configuration is copied";

    // The routed module's disconnect leaves the router's link running.
    ASSERT_EQ(routed.disconnect(), qErrNone);
    EXPECT_FALSE(routed.isConnected());
    EXPECT_TRUE(router.isConnected());
    EXPECT_EQ(serial_number_of(router), 0x40F5849Au);
}
