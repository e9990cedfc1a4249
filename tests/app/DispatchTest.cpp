#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Dispatch.h"
#include "Log.h"
#include "RecordingDisplay.h"
#include "TestPaths.h"
#include "qDirectory.h"

using test_support::RecordingDisplay;
using test_support::TemporaryDirectory;

namespace {

// Records each operation the dispatch runs, with its arguments, and answers as configured.
struct FakeOperations : UpdaterOperations {
    std::vector<std::string>& calls;
    bool fingerprint_ok = true;
    unsigned downloaded_build = 0;
    bool update_ok = true;
    std::vector<DeviceInfo> devices;

    explicit FakeOperations(std::vector<std::string>& log) : calls(log) {}

    void Set_UEIBytes_Load(bool load) override { calls.push_back("uei " + std::to_string(load)); }
    bool Get_Fingerprint(Fingerprint& out, std::string port, unsigned serial, std::string, unsigned baud,
                         bool reset) override {
        calls.push_back("fingerprint " + port + " " + std::to_string(serial) + " " + std::to_string(baud) + " " +
                        std::to_string(reset));
        out.words[0] = 0x11;
        return fingerprint_ok;
    }
    unsigned Download_Firmware(unsigned serial, std::string build, bool override_validation, bool no_cal) override {
        calls.push_back("download " + std::to_string(serial) + " [" + build + "] " +
                        std::to_string(override_validation) + " " + std::to_string(no_cal));
        return downloaded_build;
    }
    std::vector<DeviceInfo> Discover_LVNetwork_Devices(unsigned router, linkType type) override {
        calls.push_back("network " + std::to_string(router) + " " + std::to_string(type));
        return devices;
    }
    std::vector<DeviceInfo> Discover_Devices(linkType type) override {
        calls.push_back("discover " + std::to_string(type));
        return devices;
    }
    bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial, std::string file,
                          bool) override {
        calls.push_back("recover " + port + " " + std::to_string(build) + " " + std::to_string(baud) + " " +
                        std::to_string(serial) + " " + file);
        return update_ok;
    }
    bool Update_Firmware(unsigned serial, unsigned build, std::string file, unsigned char address, unsigned router,
                         bool override_check) override {
        calls.push_back("update " + std::to_string(serial) + " " + std::to_string(build) + " [" + file + "] " +
                        std::to_string(address) + " " + std::to_string(router) + " " +
                        std::to_string(override_check));
        return update_ok;
    }
    BuildList Get_BuildList(unsigned serial) override {
        calls.push_back("builds " + std::to_string(serial));
        return {{"100", "2.11.5"}};
    }
    BuildList Get_BuildListLocal(unsigned serial) override {
        calls.push_back("local " + std::to_string(serial));
        return {};
    }
    std::string Get_JWT(unsigned serial) override {
        calls.push_back("jwt " + std::to_string(serial));
        return "token";
    }
};

class Dispatch : public ::testing::Test {
protected:
    struct Outcome {
        int status;
        std::vector<std::string> calls;
        RecordingDisplay display;
        std::string constructed_with;
    };

    // Runs the dispatch over the fake; `configure` adjusts the fake before it answers.
    Outcome run(std::vector<std::string> arguments, std::function<void(FakeOperations&)> configure = {},
                bool with_storage = true) {
        Outcome outcome;
        arguments.insert(arguments.begin(), "updater");
        if (with_storage) {
            arguments.push_back("-i");
            arguments.push_back(storage.path());
        }
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        testing::internal::CaptureStderr();  // the usage text goes straight to standard error
        outcome.status = run_updater(
            static_cast<int>(argv.size()), argv.data(), outcome.display,
            [&](const char* server, const char* directory, UpdaterDisplayInterface&) {
                outcome.constructed_with = std::string(server) + " " + directory;
                auto fake = std::make_unique<FakeOperations>(outcome.calls);
                if (configure) configure(*fake);
                return fake;
            });
        usage = testing::internal::GetCapturedStderr();
        Log::DeactivatePackage(0xFFFFFFFFu);
        return outcome;
    }

    using Calls = std::vector<std::string>;
    TemporaryDirectory storage;
    std::string usage;
};

}  // namespace

TEST_F(Dispatch, OrderOfOperations) {
    const struct {
        std::vector<std::string> arguments;
        Calls calls;
        int status;
    } cases[] = {
        // -D wins over -U; -G runs before the final operation and hands its build to -U.
        {{"-D", "-U", "-d", "40F5849A"}, {"discover 1"}, 0},
        {{"-G", "-U", "-d", "40F5849A"}, {"download 1089832090 [] 0 0", "uei 1", "update 1089832090 77 [] 0 0 0"}, 0},
        {{"-U", "-d", "40F5849A"}, {"uei 1", "update 1089832090 0 [] 0 0 0"}, 0},
        {{"-U", "-d", "1", "-b", "12", "-f", "x.bird", "-r", "2", "-O", "-m", "0"},
         {"uei 0", "update 1 12 [x.bird] 0 2 1"}, 0},
        {{"-N", "-s", "/dev/ttyS1", "-G", "-d", "1", "-B"},
         {"fingerprint /dev/ttyS1 3958107135 115200 1", "download 1 [] 0 0", "builds 1"}, 0},
        {{"-D", "-t", "TCPIP"}, {"discover 2"}, 0},
        {{"-D", "-t", "RECOVER"}, {"discover 1"}, 0},
        {{"-D", "-r", "D272031D"}, {"network 3530687261 0"}, 0},
        {{"-D", "-r", "D272031D", "-t", "USB"}, {"network 3530687261 1"}, 0},
        {{"-U", "-t", "RECOVER", "-s", "/dev/ttyS0", "-o", "9600", "-b", "5"},
         {"uei 1", "recover /dev/ttyS0 5 9600 0 "}, 0},
        {{"-L", "-d", "1", "-J"}, {"local 1"}, 0},
        {{"-J", "-d", "1"}, {"jwt 1"}, 0},
        {{"-I"}, {}, 0},
        {{"-C"}, {}, 0},
        {{"-Z", "z"}, {}, 0},
    };
    for (const auto& c : cases) {
        std::string name;
        for (const std::string& argument : c.arguments) name += argument + " ";
        SCOPED_TRACE(name);
        Outcome outcome = run(c.arguments, [](FakeOperations& fake) { fake.downloaded_build = 77; });
        EXPECT_EQ(outcome.calls, c.calls);
        EXPECT_EQ(outcome.status, c.status);
    }
}

TEST_F(Dispatch, FailureTable) {
    const struct {
        std::vector<std::string> arguments;
        bool fingerprint_ok, update_ok;
        unsigned downloaded;
        int status;
        Calls calls;
        std::vector<std::string> errors;
        bool usage_a;
    } cases[] = {
        {{"-N"}, true, true, 1, 1, {}, {"Must specify the serial port used for connecting"}, false},
        {{"-N", "-s", "p"}, false, true, 1, 1, {"fingerprint p 3958107135 115200 1"}, {"Got no response from chip"}, false},
        // A later successful download overwrites the failed fingerprint's status.
        {{"-N", "-s", "p", "-G", "-d", "1"}, false, true, 9, 0,
         {"fingerprint p 3958107135 115200 1", "download 1 [] 0 0"}, {"Got no response from chip"}, false},
        {{"-G"}, true, true, 1, 1, {}, {"-G must specify a specific device via -d", "--help for usage information"}, false},
        {{"-G", "-d", "1"}, true, true, 0, 1, {"download 1 [] 0 0"}, {}, false},
        // A failed download still lets the update run, with the build as given.
        {{"-G", "-U", "-d", "1", "-b", "4"}, true, true, 0, 0,
         {"download 1 [4] 0 0", "uei 1", "update 1 4 [] 0 0 0"}, {}, false},
        {{"-U"}, true, true, 1, 1, {"uei 1"}, {"Must specify the specific device to be updated"}, false},
        {{"-U", "-d", "1"}, true, false, 1, 1, {"uei 1", "update 1 0 [] 0 0 0"}, {}, false},
        {{"-U", "-t", "RECOVER"}, true, false, 1, 1, {"uei 1", "recover  0 115200 0 "}, {}, false},
        {{"-B"}, true, true, 1, 1, {}, {"Error must supply a serial number for the List Builds command"}, true},
        {{"-L"}, true, true, 1, 1, {}, {"Error must supply a serial number for the List Local Builds command"}, true},
        {{"-J"}, true, true, 1, 1, {}, {"Error must supply a serial number for the Get JWT command"}, true},
    };
    for (const auto& c : cases) {
        std::string name;
        for (const std::string& argument : c.arguments) name += argument + " ";
        SCOPED_TRACE(name);
        Outcome outcome = run(c.arguments, [&](FakeOperations& fake) {
            fake.fingerprint_ok = c.fingerprint_ok;
            fake.update_ok = c.update_ok;
            fake.downloaded_build = c.downloaded;
        });
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.calls, c.calls);
        EXPECT_EQ(outcome.display.errors(), c.errors);
        EXPECT_EQ(usage.find("Application Usage:") != std::string::npos, c.usage_a);
    }
}

TEST_F(Dispatch, DownloadMessages) {
    Outcome latest = run({"-G", "-d", "40F5849A"}, [](FakeOperations& fake) { fake.downloaded_build = 3; });
    EXPECT_EQ(latest.display.texts(),
              (std::vector<std::string>{"Updater (Version: 2.11.5 Oct 13 2025)",
                                        "Retrieving firmware for device with serial number 40F5849A",
                                        "No build specified", "Using Latest build"}));
    Outcome chosen = run({"-G", "-d", "40F5849A", "-b", "12"});
    EXPECT_TRUE(chosen.display.contains("Retrieving firmware build 12"));
}

TEST_F(Dispatch, UsageAndParseFailuresBuildNothing) {
    const struct {
        std::vector<std::string> arguments;
        int status;
    } cases[] = {{{}, 0}, {{"-D=1"}, 0}, {{"-h", "-D"}, 0}, {{"-Y", "-D"}, 1}, {{"-t", "tcp", "-D"}, 1}};
    for (const auto& c : cases) {
        Outcome outcome = run(c.arguments, {}, false);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_TRUE(outcome.calls.empty());
        EXPECT_TRUE(outcome.constructed_with.empty());
        // The version line always comes after any parse message.
        ASSERT_FALSE(outcome.display.lines.empty());
        EXPECT_EQ(outcome.display.lines.back().text, "Updater (Version: 2.11.5 Oct 13 2025)");
    }
}

TEST_F(Dispatch, StorageDirectoryGetsItsUpdaterComponent) {
    Outcome outcome = run({"-I", "-u", "http://127.0.0.1:1/cgi/u"});
    EXPECT_EQ(outcome.constructed_with, "http://127.0.0.1:1/cgi/u " + storage.path() + "/updater");
    EXPECT_TRUE(qDirectory_Exists((storage.path() + "/updater").c_str()));
}

TEST_F(Dispatch, StorageDirectoryThatCannotBeMade) {
    std::string blocked = storage.file("file");
    FILE* file = fopen(blocked.c_str(), "w");
    fclose(file);
    Outcome outcome = run({"-D", "-i", blocked}, {}, false);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.display.errors(), std::vector<std::string>{"Could not find updater directory at " + blocked + "/updater"});
    EXPECT_TRUE(outcome.calls.empty());
}

TEST_F(Dispatch, DeviceListIsPrintedWithTheListedTransport) {
    Outcome none = run({"-D"});
    EXPECT_EQ(none.display.texts(), (std::vector<std::string>{"Updater (Version: 2.11.5 Oct 13 2025)",
                                                              "Searching for Lumenvane devices",
                                                              "Discovered Devices: (USB)", "    No devices found."}));
    Outcome routed = run({"-D", "-r", "D272031D", "-t", "TCPIP"});
    EXPECT_TRUE(routed.display.contains("Searching for Lumenvane Network devices connected to D272031D"));
    EXPECT_TRUE(routed.display.contains("Discovered Devices: (TCPIP)"));
}
