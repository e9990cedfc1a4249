#include <gtest/gtest.h>

#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "ProcessRunner.h"
#include "RecordingDisplay.h"
#include "ResultPrinters.h"

using test_support::ProcessOptions;
using test_support::ProcessResult;
using test_support::RecordingDisplay;
using test_support::run_function;

namespace {

ProcessResult draw(const std::function<void(CLI_Display&)>& body, bool on_terminal) {
    ProcessOptions options;
    options.stdout_on_terminal = on_terminal;
    return run_function(
        [&] {
            CLI_Display display;
            body(display);
        },
        options);
}

std::string bar(int equals, int blanks) { return std::string(equals, '=') + ">" + std::string(blanks, ' '); }

}  // namespace

TEST(ConsoleDisplay, ProgressBarOnATerminal) {
    const struct {
        double fraction;
        const char* label;
        std::string expected;
    } cases[] = {
        {0.0, nullptr, "\r[" + bar(0, 68) + "] (  0% ) "},
        {0.5, nullptr, "\r[" + bar(34, 34) + "] ( 50% ) "},
        {1.0, nullptr, "\r[" + bar(69, 1) + "] (100% ) "},
        // With a label the bar is narrower by the label and its decoration: 69 - 11 - 4 = 54.
        {0.5, "Downloading", "\r (Downloading) [" + bar(27, 26) + "] ( 50% ) "},
    };
    for (const auto& c : cases) {
        ProcessResult result = draw([&](CLI_Display& display) { display.update_progress(c.fraction, c.label); }, true);
        EXPECT_EQ(result.out, c.expected) << c.fraction;
    }
}

TEST(ConsoleDisplay, SpinnerAndLineClearing) {
    ProcessResult result = draw(
        [](CLI_Display& display) {
            for (int i = 0; i < 9; ++i) display.update_spinner(true, i == 0 ? "Downloading" : nullptr);
            display.update_spinner(false, "Downloading");
            display.display_progress(true);
            display.display_progress(false);
        },
        true);
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
    std::string expected = "\r (Downloading) .      \r";
    for (int i = 1; i < 9; ++i) expected += std::string("\r ") + frames[i] + "      \r";
    std::string clear = "\r" + std::string(88, ' ') + "\r";
    expected += clear + clear;
    EXPECT_EQ(result.out, expected);
}

TEST(ConsoleDisplay, RedirectedOutputGetsMessagesOnly) {
    ProcessResult result = draw(
        [](CLI_Display& display) {
            display.update_progress(0.5, nullptr);
            display.update_spinner(true, "Downloading");
            display.display_progress(false);
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "info %d", 1);
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %s", "two");
            display.mute_messages(true);
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
        },
        false);
    EXPECT_EQ(result.out, "info 1\n");
    EXPECT_EQ(result.err, "error two\n");
}

TEST(ConsoleDisplay, MutedStillDrawsProgress) {
    ProcessResult result = draw(
        [](CLI_Display& display) {
            display.mute_messages(true);
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
            display.update_progress(0.0, nullptr);
        },
        true);
    EXPECT_EQ(result.out, "\r[" + bar(0, 68) + "] (  0% ) ");
}

TEST(DisplayMessage, LongTextIsCut) {
    RecordingDisplay display;
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", std::string(5000, 'x').c_str());
    ASSERT_EQ(display.lines.size(), 1u);
    EXPECT_EQ(display.lines[0].text.size(), 2047u);
}

TEST(DiagnosticLog, PackageMaskDecidesWhatIsWritten) {
    ProcessResult result = run_function([] {
        Log::SetOutput(stdout);
        Log::log(DEBUG_APP, "hidden %d\n", 1);
        Log::log(0, "always %d\n", 2);
        Log::ActivatePackage(DEBUG_APP | DEBUG_Updater);
        Log::log(DEBUG_APP, "app\n");
        Log::log(DEBUG_BirdFile, "bird\n");
        Log::DeactivatePackage(DEBUG_APP);
        Log::log(DEBUG_APP, "app again\n");
        Log::log(DEBUG_Updater, "%s", std::string(3000, 'y').c_str());
    });
    EXPECT_EQ(result.out, "always 2\napp\n" + std::string(2047, 'y'));
}

TEST(ResultPrinters, DeviceTableRows) {
    RecordingDisplay display;
    DeviceInfo usb;
    usb.spec.type = linkTypeUSB;
    usb.spec.serialNumber = 0x40F5849A;
    usb.spec.moduleAddress = 2;
    usb.spec.model = 17;
    usb.version_major = 2;
    usb.version_minor = 11;
    usb.version_patch = 5;
    usb.build = 12345;
    usb.device_name = "bench";
    DeviceInfo busy = usb;
    busy.error = 5;
    DeviceInfo tcp = usb;
    tcp.spec.type = linkTypeTCPIP;
    tcp.spec.routerAddress = 4;
    const unsigned char address[4] = {192, 168, 1, 20};
    memcpy(&tcp.spec.transport.ip.address, address, 4);
    // A module that stopped answering shows its error over TCP/IP too, not fields it never gave.
    DeviceInfo lost = tcp;
    lost.error = 18;

    _display_device_list(display, {usb, busy}, linkTypeUSB);
    _display_device_list(display, {tcp, lost}, linkTypeTCPIP);
    _display_device_list(display, {}, static_cast<linkType>(7));
    EXPECT_EQ(display.texts(),
              (std::vector<std::string>{
                  "Discovered Devices: (USB)",
                  "    Device    Module   Router  Model          Firmware Version (Build)    Device Name",
                  "    40F5849A  02       00      Ginkgo         2.11.5 (     12345)         bench",
                  "    40F5849A  [Error (5): Is someone else connected to this device?]",
                  "Discovered Devices: (TCPIP)",
                  "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name",
                  "    40F5849A  02       04      Ginkgo         2.11.5 (     12345)        [192.168.1.20]     bench",
                  "    40F5849A  [Error (18): Is someone else connected to this device?]",
                  "Discovered Devices: (Unknown)",
                  "    No devices found.",
              }));
}

TEST(ResultPrinters, BuildListJwtAndFingerprint) {
    RecordingDisplay display;
    _display_builds(display, {}, 0x1A);
    _display_builds(display, {{"1234567890123456789", "2.11.5"}}, 0x1A);
    _display_jwt(display, "a.b.c");
    Fingerprint fingerprint;
    fingerprint.words[0] = 1;
    fingerprint.words[3] = 0xDEADBEEF;
    _display_fingerprint(display, fingerprint);
    EXPECT_EQ(display.texts(), (std::vector<std::string>{
                                   "No builds found for device [0000001A]",
                                   "Build List for device [0000001A]:\n",
                                   "Build          \tVersion        ",
                                   "123456789012345\t2.11.5         ",
                                   "a.b.c",
                                   "[ 00000001 00000000 00000000 DEADBEEF ]",
                               }));
}

TEST(ResultPrinters, BuildListIsPrintedNewestVersionFirst) {
    RecordingDisplay display;
    _display_builds(display, {{"1", "1.2.3"}, {"2", "1.10.0"}, {"3", "2.0.0"}, {"4", "unknown"}}, 0x40F5849A);
    EXPECT_EQ(display.texts(), (std::vector<std::string>{
                                   "Build List for device [40F5849A]:\n",
                                   "Build          \tVersion        ",
                                   "3              \t2.0.0          ",
                                   "2              \t1.10.0         ",
                                   "1              \t1.2.3          ",
                                   "4              \tunknown        ",
                               }));
}
