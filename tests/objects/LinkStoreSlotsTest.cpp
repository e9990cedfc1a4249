// Store slots through a Link: a round trip through the virtual module's stores, and the replies a
// module can get wrong, played by a scripted peer.
#include <gtest/gtest.h>

#include <future>
#include <numeric>
#include <vector>

#include "LinkTestSupport.h"

using namespace link_test;
using namespace test_support;
using namespace std::chrono_literals;

TEST(StoreSlots, LoadAndUnloadRoundTripThroughTheModule) {
    VirtualModuleLink target;
    Link& link = target.link;
    ASSERT_EQ(link.connect(), qErrNone);
    std::vector<uint8_t> contents(100);
    std::iota(contents.begin(), contents.end(), uint8_t{7});

    // Four writes of up to 25 bytes, each acknowledged with the sum of its bytes.
    ASSERT_EQ(link.loadStoreSlot(MODULE, 0, 1, contents.data(), contents.size()), qErrNone);
    size_t size = 0;
    ASSERT_EQ(link.storeSlotSize(MODULE, 0, 1, &size), qErrNone);
    EXPECT_EQ(size, contents.size());
    ASSERT_EQ(link.storeSlotCapacity(MODULE, 0, 1, &size), qErrNone);
    EXPECT_EQ(size, 1024u);

    std::vector<uint8_t> buffer(200, 0xEE);
    size_t unloaded = 0;
    ASSERT_EQ(link.unloadStoreSlot(MODULE, 0, 1, buffer.data(), buffer.size(), &unloaded), qErrNone);
    ASSERT_EQ(unloaded, contents.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 100), contents);

    // A buffer smaller than the slot takes its first bytes and says so.
    std::vector<uint8_t> small(40);
    EXPECT_EQ(link.unloadStoreSlot(MODULE, 0, 1, small.data(), small.size(), &unloaded), qErrOverrun);
    EXPECT_EQ(unloaded, small.size());
    EXPECT_EQ(small, std::vector<uint8_t>(contents.begin(), contents.begin() + 40));

    // An empty load empties the slot.
    ASSERT_EQ(link.loadStoreSlot(MODULE, 0, 1, nullptr, 0), qErrNone);
    ASSERT_EQ(link.unloadStoreSlot(MODULE, 0, 1, buffer.data(), buffer.size(), &unloaded), qErrNone);
    EXPECT_EQ(unloaded, 0u);
}

TEST(StoreSlots, ModuleRefusalsAreReported) {
    VirtualModuleLink target;
    Link& link = target.link;
    const uint8_t data[] = {1, 2, 3};
    uint8_t buffer[8];
    size_t size = 0;
    EXPECT_EQ(link.loadStoreSlot(MODULE, 0, 1, data, sizeof data), qErrConnection);
    EXPECT_EQ(link.storeSlotSize(MODULE, 0, 1, &size), qErrConnection);
    ASSERT_EQ(link.connect(), qErrNone);

    // Store 5 does not exist: the module answers 26 (out of range); a slot that cannot be
    // opened gives no handle at all.
    EXPECT_EQ(link.storeSlotSize(MODULE, 5, 0, &size), qErrIndexRange);
    EXPECT_EQ(link.storeSlotCapacity(MODULE, 5, 0, &size), qErrIndexRange);
    EXPECT_EQ(link.loadStoreSlot(MODULE, 5, 0, data, sizeof data), qErrMedia);
    EXPECT_EQ(link.unloadStoreSlot(MODULE, 5, 0, buffer, sizeof buffer, &size), qErrIndexRange);
    EXPECT_EQ(link.loadStoreSlot(MODULE, 0, 1, nullptr, 3), qErrParam);
    EXPECT_EQ(link.storeSlotSize(MODULE, 0, 1, nullptr), qErrParam);
}

// The requests go out byte for byte; the module's answers decide the result.
TEST(StoreSlots, ScriptedAnswersDecideTheResult) {
    const std::vector<uint8_t> data = {0x0A, 0x0B, 0x0C};  // sum 0x21
    const std::string open = "02 04 04 04 00 01";
    const std::string opened = "02 05 04 04 00 01 07";
    const std::string write = "02 06 04 07 07 0A 0B 0C";
    const std::string close = "02 03 04 08 07";
    struct Case {
        const char* what;
        std::vector<ScriptedPeer::Step> script;
        qErr expected;
    } cases[] = {
        {"all well",
         {host(open), module(opened), host(write),
          module("02 04 04 07 07 21"), host(close),
          module("02 04 04 08 07 00")},
         qErrNone},
        {"wrong sum: the slot is still closed",
         {host(open), module(opened), host(write),
          module("02 04 04 07 07 20"), host(close),
          module("02 04 04 08 07 00")},
         qErrIO},
        {"write refused",
         {host(open), module(opened), host(write),
          module("02 04 04 87 07 0F"), host(close),
          module("02 04 04 08 07 00")},
         qErrOverrun},
        {"close refused",
         {host(open), module(opened), host(write),
          module("02 04 04 07 07 21"), host(close),
          module("02 04 04 88 07 1B")},
         qErrShortCommand},
        {"close answered with the wrong length",
         {host(open), module(opened), host(write),
          module("02 04 04 07 07 21"), host(close),
          module("02 05 04 08 07 00 00")},
         qErrIO},
        // Without the close's answer nobody knows whether the slot took the data.
        {"close never answered",
         {host(open), module(opened), host(write),
          module("02 04 04 07 07 21"), host(close)},
         qErrTimeout},
        // An open answer without its handle byte opens nothing.
        {"open answered without a handle", {host(open), module("02 04 04 04 00 01")},
         qErrMedia},
        {"open refused", {host(open), module("02 05 04 84 00 01 05")}, qErrMedia},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedModule target;
        ASSERT_TRUE(target.ready());
        auto loading = std::async(std::launch::async, [&] {
            return target.link.loadStoreSlot(MODULE, 0, 1, data.data(), data.size());
        });
        EXPECT_EQ(target.peer->play(c.script), "");
        EXPECT_EQ(loading.get(), c.expected);
        EXPECT_EQ(hex(target.peer->receive_until_quiet(50ms)), "");
    }
}
