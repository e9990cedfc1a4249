// The update (-U, -G -U) as an operator runs it: the real program against virtual modules over
// TCP/IP and over the emulated USB bus, and the local update server. The update looks for the
// module by Ethernet discovery, so every test runs in a network of its own (a veth pair and the
// loopback) and nothing leaves the machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "FileContents.h"
#include "FlashDump.h"
#include "LocalUpdateServer.h"
#include "PrivateNetwork.h"
#include "ProcessRunner.h"
#include "SanitizerBuild.h"
#include "TestPaths.h"
#include "VirtualModuleProcess.h"

using namespace std::chrono_literals;
using namespace test_support;

namespace {

const std::string DEVICE = "40F5849A";
constexpr uint32_t SERIAL = 0x40F5849A;
const std::string ROUTER = "4E560001";
const std::string MODEL_NAME = "Ironwood";  // the virtual module's default model, 19
// Where no server answers: a request to it fails at once.
const std::string NO_SERVER = "http://127.0.0.1:1/cgi/u";

// What the module must hold after an image went in: its loader blocks as the loader it started,
// its firmware blocks in flash.
struct ExpectedMemory {
    MemoryRuns loader;
    MemoryRuns flash;
};

ExpectedMemory memory_of(const std::string& image_path) {
    BirdFile image(image_path);
    ExpectedMemory memory;
    for (const BirdBlock& block : image.FindBlocks(BirdFile::BLOCK_LOADER)) {
        memory.loader[block.address] = Bytes(block.Payload(), block.Payload() + block.PayloadLength());
    }
    for (const BirdBlock& block : image.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        memory.flash[block.address] = Bytes(block.Payload(), block.Payload() + block.PayloadLength());
    }
    return memory;
}

class FirmwareUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string problem = enter_private_network();
        if (!problem.empty()) GTEST_SKIP() << "no private network (" << problem << "): nothing may go out";
        add_veth_pair({"vm0", "10.77.0.1", "vm1", "10.77.0.2"});
    }

    // A module on TCP/IP that answers discovery in the private network.
    std::vector<std::string> module(std::vector<std::string> extra, const std::string& serial = DEVICE) {
        std::vector<std::string> arguments = {"--tcp", "0.0.0.0:0", "--discovery", "vm0", "--serial", serial,
                                              "--dump-flash", dump()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }
    ProcessResult updater(std::vector<std::string> arguments, const std::string& url = NO_SERVER,
                          const std::vector<std::string>& launcher = {}) {
        arguments.insert(arguments.begin(), {built_program("updater"), "-i", storage.path(), "-u", url});
        arguments.insert(arguments.begin(), launcher.begin(), launcher.end());
        ProcessOptions options;
        options.timeout = 90s;
        options.working_directory = scratch.path();
        return run_process(arguments, options);
    }
    // An image written with the test's own writer: "generic" or "for-serial" (this module's serial
    // number unless the arguments name another).
    std::string image(const std::string& name, const std::string& kind, std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), {"--build", "120", "--model", MODEL_NAME});
        if (kind == "for-serial" && std::find(arguments.begin(), arguments.end(), "--serial") == arguments.end()) {
            arguments.insert(arguments.end(), {"--serial", DEVICE});
        }
        write_bird(kind, scratch.file(name), arguments);
        return scratch.file(name);
    }
    // What the module holds by its last dump; nothing before its first.
    ModuleMemoryDump written(uint32_t serial = SERIAL) {
        if (!std::filesystem::exists(dump())) return {};
        auto found = find_module(read_flash_dump(dump()), serial);
        return found ? *found : ModuleMemoryDump{};
    }
    std::string dump() const { return scratch.file("flash.txt"); }
    std::string settings() const { return read_file(storage.file("updater/" + DEVICE + "/.settings")); }
    void keep_settings(const std::string& content) {
        std::filesystem::create_directories(storage.file("updater/" + DEVICE));
        write_file(storage.file("updater/" + DEVICE + "/.settings"), content);
    }

    TemporaryDirectory storage;
    TemporaryDirectory scratch;
};

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace

// -G -U fetches the newest build and writes it: a generic image gets the module's serial number,
// so the module ends up with exactly what an image made for it holds. Without the server, the
// newest download is written again.
TEST_F(FirmwareUpdate, DownloadThenUpdateWritesTheImageAndRecordsTheTransfer) {
    TemporaryDirectory catalogue;
    std::filesystem::create_directories(catalogue.file(DEVICE));
    write_bird("generic", catalogue.file(DEVICE + "/120.bird"), {"--build", "120", "--model", MODEL_NAME});
    const ExpectedMemory expected = memory_of(image("made-for-it.bird", "for-serial"));
    VirtualModuleProcess target(module({}));
    {
        LocalUpdateServer server(catalogue.path());
        const ProcessResult result = updater({"-G", "-U", "-d", DEVICE}, server.url());
        ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
        EXPECT_TRUE(has_line(result.out, "Updating firmware with build: 120")) << result.out;
        EXPECT_NE(result.out.find("\nUpdate time: "), std::string::npos) << result.out;
        const ModuleMemoryDump memory = written();
        EXPECT_EQ(memory.flash, expected.flash);
        EXPECT_EQ(memory.loader, expected.loader);
        EXPECT_TRUE(has_line(settings(), "LATEST_TRANSFER=120.bird")) << settings();
        EXPECT_NE(settings().find("\nLAST_TRANSFER_DATE="), std::string::npos) << settings();
    }

    const ProcessResult again = updater({"-U", "-d", DEVICE});  // the server is gone
    EXPECT_EQ(again.exit_status, 0) << again.out << again.err;
    EXPECT_TRUE(has_line(again.out, "Updating with the Latest Download")) << again.out;
}

// A named file is written without asking the server, and recorded as it was given; a build that
// is not stored is not fetched.
TEST_F(FirmwareUpdate, NamedFileNeedsNoServerAndABuildNotStoredIsNotLoaded) {
    image("named.bird", "for-serial");
    VirtualModuleProcess target(module({}));
    TemporaryDirectory catalogue;
    const std::string requests = scratch.file("requests.log");
    LocalUpdateServer server(catalogue.path(), {"--request-log", requests});

    const ProcessResult named = updater({"-U", "-d", DEVICE, "-f", "named.bird"}, server.url());
    EXPECT_EQ(named.exit_status, 0) << named.out << named.err;
    EXPECT_TRUE(has_line(settings(), "LATEST_TRANSFER=named.bird")) << settings();
    EXPECT_EQ(written().flash, memory_of(scratch.file("named.bird")).flash);

    const std::string before = settings();
    const ProcessResult missing = updater({"-U", "-d", DEVICE, "-b", "77"}, server.url());
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_TRUE(has_line(missing.err, "Failed to load bird file")) << missing.err;
    EXPECT_EQ(settings(), before);
    EXPECT_EQ(read_file(requests), "");
}

TEST_F(FirmwareUpdate, ImageForAnotherModuleIsRefusedUnlessOverridden) {
    VirtualModuleProcess target(module({}));
    keep_settings("LATEST_TRANSFER=100.bird\n");
    const struct {
        std::string image;
        std::vector<std::string> errors;
    } cases[] = {
        {image("other-serial.bird", "for-serial", {"--serial", "12345678"}), {"Birdfile failed validation"}},
        {image("other-model.bird", "for-serial", {"--model", "Cedar"}),
         {"Connected device model and Bird file model do not match [Ironwood] (0)", "Birdfile failed validation"}},
    };
    for (const auto& c : cases) {
        const ProcessResult refused = updater({"-U", "-d", DEVICE, "-f", c.image});
        EXPECT_EQ(refused.exit_status, 1) << c.image;
        std::string expected_errors;
        for (const std::string& line : c.errors) expected_errors += line + "\n";
        EXPECT_EQ(refused.err, expected_errors) << c.image;
        EXPECT_EQ(settings(), "LATEST_TRANSFER=100.bird\n");
    }
    EXPECT_TRUE(written().flash.empty());

    const ProcessResult overridden = updater({"-U", "-d", DEVICE, "-f", cases[1].image, "-OVERRIDE"});
    EXPECT_EQ(overridden.exit_status, 0) << overridden.out << overridden.err;
    EXPECT_EQ(written().flash, memory_of(cases[1].image).flash);
}

// The module behind a router is found with the router's bus scan and written over its link.
TEST_F(FirmwareUpdate, RoutedUpdateWritesTheModuleBehindTheRouter) {
    const std::string file = image("routed.bird", "for-serial");
    VirtualModuleProcess router(module({"--address", "6", "--routed", "address=0x10,serial=" + DEVICE + ",model=19"}, ROUTER));
    const ProcessResult result = updater({"-U", "-d", DEVICE, "-r", ROUTER, "-f", file});
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_EQ(router.stop(), 0);
    EXPECT_EQ(written(SERIAL).flash, memory_of(file).flash);
    EXPECT_TRUE(written(0x4E560001).flash.empty());
    EXPECT_TRUE(has_line(settings(), "LATEST_TRANSFER=" + file)) << settings();
}

// A loader or a link that misbehaves ends the update with a failure and a message within a bounded
// time, and nothing is recorded.
TEST_F(FirmwareUpdate, FaultsEndTheUpdateWithoutRecordingIt) {
    const std::string file = image("faults.bird", "for-serial");
    const struct {
        std::vector<std::string> fault;
        std::string error;
    } cases[] = {
        {{"--wrong-sum", "always"}, "Firmware update of [40F5849A] failed [29, "},
        {{"--prepare-status", "3"}, "Firmware update of [40F5849A] failed [29, "},
        {{"--block-size", "0"}, "Firmware update of [40F5849A] failed [29, "},
        {{"--drop-after", "40"}, "Firmware update of [40F5849A] failed ["},
    };
    for (const auto& c : cases) {
        keep_settings("LATEST_TRANSFER=100.bird\n");
        VirtualModuleProcess target(module(c.fault));
        const auto started = std::chrono::steady_clock::now();
        const ProcessResult result = updater({"-U", "-d", DEVICE, "-f", file});
        EXPECT_LT(std::chrono::steady_clock::now() - started, 60s) << c.fault[0];
        EXPECT_EQ(result.exit_status, 1) << c.fault[0] << "\n" << result.out << result.err;
        EXPECT_NE(result.err.find(c.error), std::string::npos) << c.fault[0] << "\n" << result.err;
        EXPECT_EQ(settings(), "LATEST_TRANSFER=100.bird\n") << c.fault[0];
    }
}

// A firmware block is tried five times from its prepare step: a sum that is wrong once costs one
// retry, one that is always wrong ends the update after the fifth try. (The image has no loader
// blocks, so the first sum the module checks is a firmware block's.)
TEST_F(FirmwareUpdate, FirmwareBlockIsTriedFiveTimes) {
    write_bird("custom", scratch.file("no-loader.bird"),
               {"--firmware-random", "0x0", "600", "5", "--firmware-random", "0x10000", "300", "6", "--info", "120",
                "1.0.0", DEVICE, MODEL_NAME});
    const std::string file = scratch.file("no-loader.bird");
    const struct {
        std::string wrong_sum;
        int exit_status;
        std::string last_retry;
    } cases[] = {
        {"once", 0, "  Retry 1"},
        {"always", 1, "  Retry 4"},
    };
    for (const auto& c : cases) {
        VirtualModuleProcess target(module({"--wrong-sum", c.wrong_sum}));
        const ProcessResult result = updater({"-U", "-d", DEVICE, "-f", file});
        EXPECT_EQ(result.exit_status, c.exit_status) << c.wrong_sum << "\n" << result.out << result.err;
        EXPECT_TRUE(has_line(result.out, c.last_retry)) << result.out;
        const std::string next_retry = c.last_retry.substr(0, 8) + char(c.last_retry.back() + 1);
        EXPECT_FALSE(has_line(result.out, next_retry)) << result.out;
        if (c.exit_status == 0) {
            EXPECT_EQ(written().flash, memory_of(file).flash);
        }
    }
}

// A loader block the module did not take in full means the loader is incomplete: it is never
// started, even when the blocks after it go through.
TEST_F(FirmwareUpdate, LoaderMissingABlockIsNeverStarted) {
    write_bird("custom", scratch.file("two-loader-blocks.bird"),
               {"--loader", "0x10000000", "0102030405060708", "--loader", "0x10000008", "1112131415161718",
                "--firmware-random", "0x0", "300", "5", "--info", "120", "1.0.0", DEVICE, MODEL_NAME});
    VirtualModuleProcess target(module({"--wrong-sum", "once"}));
    const ProcessResult result = updater({"-U", "-d", DEVICE, "-f", scratch.file("two-loader-blocks.bird")});
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_EQ(result.out.find("Starting Load on Device"), std::string::npos) << result.out;
    EXPECT_EQ(target.stop(), 0);
    EXPECT_TRUE(written().loader.empty());
    EXPECT_TRUE(written().flash.empty());
}

// Over USB the module restarts into its new loader after LOAD and comes back at another bus
// address, which the update finds again once it renews its view of the bus; it then takes the
// firmware and restarts once more into it.
TEST_F(FirmwareUpdate, UsbModuleIsFoundAgainAfterRestartingIntoItsLoader) {
    if (test_support::THREAD_SANITIZER_BUILD) GTEST_SKIP() << test_support::USB_TESTBED_UNCHECKED;
    const std::string file = image("usb.bird", "for-serial");
    const ProcessResult result =
        updater({"-X", "0x10000", "-U", "-d", DEVICE, "-f", file}, NO_SERVER,
                {built_program("usb-testbed"), "--module", DEVICE, "--restart-on-load", "--restart-ms", "2200",
                 "--dump-flash", dump(), "--"});
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_NE(result.err.find("Failed enumeration after 3 tries, refreshing libusb context."), std::string::npos)
        << result.err;
    const ExpectedMemory expected = memory_of(file);
    EXPECT_EQ(written().flash, expected.flash);
    EXPECT_EQ(written().loader, expected.loader);
    EXPECT_TRUE(has_line(settings(), "LATEST_TRANSFER=" + file)) << settings();
}

TEST_F(FirmwareUpdate, UsbModuleThatNeverComesBackFailsInBoundedTime) {
    if (test_support::THREAD_SANITIZER_BUILD) GTEST_SKIP() << test_support::USB_TESTBED_UNCHECKED;
    const std::string file = image("usb.bird", "for-serial");
    keep_settings("LATEST_TRANSFER=100.bird\n");
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult result =
        updater({"-U", "-d", DEVICE, "-f", file}, NO_SERVER,
                {built_program("usb-testbed"), "--module", DEVICE, "--restart-on-load", "--never-back-after", "load",
                 "--"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
    EXPECT_EQ(result.exit_status, 1) << result.out << result.err;
    EXPECT_TRUE(has_line(result.err, "Module [40F5849A] did not come back after its loader started")) << result.err;
    EXPECT_EQ(settings(), "LATEST_TRANSFER=100.bird\n");
}
