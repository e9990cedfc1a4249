// The download and loading operations of Updater, called as the update and recovery procedures
// call them, against the local update server.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "FileContents.h"
#include "LocalUpdateServer.h"
#include "RecordingDisplay.h"
#include "TestPaths.h"
#include "UpdateCatalogue.h"
#include "Updater.h"

using test_support::entry_names;
using test_support::LocalUpdateServer;
using test_support::read_file;
using test_support::RecordingDisplay;
using test_support::TemporaryDirectory;
using test_support::UpdateCatalogue;

namespace {

const std::string DEVICE = "40F5849A";
constexpr unsigned SERIAL = 0x40F5849A;

class FirmwareAcquisition : public ::testing::Test {
protected:
    Updater updater_for(const std::string& url) { return Updater(url.c_str(), storage.path().c_str(), display); }
    std::string stored(const std::string& name) const { return storage.file(DEVICE + "/" + name); }

    UpdateCatalogue catalogue;
    TemporaryDirectory storage;
    RecordingDisplay display;
};

std::string load_failure(const std::function<void()>& load) {
    try {
        load();
    } catch (const std::runtime_error& failure) {
        return failure.what();
    }
    return "loaded";
}

}  // namespace

TEST_F(FirmwareAcquisition, BadArgumentsAreRefusedBeforeAnyRequest) {
    Updater updater = updater_for("http://127.0.0.1:1/cgi/u");
    const struct {
        unsigned serial;
        std::string build;
        std::string error;
    } cases[] = {
        {SERIAL, "99999999999999999999", "Build number '99999999999999999999' must be an number"},
        {SERIAL, "4294967296", "Build number '4294967296' must be an number"},  // would wrap to build 0
        {SERIAL, "x12", "Build number 'x12' must be an number"},
        {0, "", "Serial Number must be non-zero"},
    };
    for (const auto& c : cases) {
        display.lines.clear();
        EXPECT_EQ(updater.Download_Firmware(c.serial, c.build, false, false), 0u);
        EXPECT_EQ(display.errors(), std::vector<std::string>{c.error});
    }
}

TEST_F(FirmwareAcquisition, FingerprintNamesTheDeviceAndItsRecoveryBuild) {
    std::string served = catalogue.add_build(DEVICE, 101, "1.10.0");
    catalogue.add_build(DEVICE, 102, "1.11.0");
    catalogue.set_recovery("0000000A 0000000B 0000000C 0000000D 40F5849A 0x65\n");
    LocalUpdateServer server(catalogue.path());
    Updater updater = updater_for(server.url());

    Fingerprint known{{0xA, 0xB, 0xC, 0xD}};
    EXPECT_EQ(updater.Download_Firmware(known, "", false), 101u);  // not the newest: the one that recovers
    EXPECT_EQ(read_file(stored("101.bird")), read_file(served));
    EXPECT_TRUE(display.contains("Build 101 is valid"));

    display.lines.clear();
    Fingerprint unknown{{1, 2, 3, 4}};
    EXPECT_EQ(updater.Download_Firmware(unknown, "", false), 0u);
    EXPECT_EQ(display.errors(),
              std::vector<std::string>{"Failed to retrieve recovery information from Tolveric update server"});
}

TEST_F(FirmwareAcquisition, DownloadRunsTheSpinnerUntilTheBuildArrives) {
    catalogue.add_build(DEVICE, 100, "1.2.3");
    LocalUpdateServer server(catalogue.path(), {"--delay", "0.5", "--fault-ops", "bird"});
    Updater updater = updater_for(server.url());
    EXPECT_EQ(updater.Download_Firmware(SERIAL, "", false, false), 100u);
    EXPECT_GE(display.spinner_frames, 4);  // one at the start, then one per 100 ms of waiting
    EXPECT_EQ(display.spinner_stops, 1);
}

TEST_F(FirmwareAcquisition, LoadBirdFromANamedFileOrTheStore) {
    std::string named = catalogue.add_build(DEVICE, 100, "1.2.3");
    catalogue.add_build(DEVICE, 101, "1.10.0");
    LocalUpdateServer server(catalogue.path());
    Updater updater = updater_for(server.url());

    EXPECT_EQ(updater.load_bird("Updating", named, SERIAL, 0, false).GetVersion(), "1.2.3");
    EXPECT_EQ(display.texts(), std::vector<std::string>{"Updating from Birdfile: " + named});
    EXPECT_EQ(load_failure([&] { updater.load_bird("Updating", storage.file("none.bird"), SERIAL, 0, false); }),
              "Failed to load bird data");

    display.lines.clear();
    EXPECT_EQ(load_failure([&] { updater.load_bird("Updating", "", SERIAL, 101, false); }), "Error reading birdfile");
    EXPECT_EQ(display.texts(), std::vector<std::string>{"Updating firmware with build: 101"});
    EXPECT_EQ(entry_names(storage.file(DEVICE)), std::vector<std::string>{".settings"});

    display.lines.clear();
    EXPECT_EQ(updater.load_bird("Recovering", "", SERIAL, 101, true).GetVersion(), "1.10.0");
    EXPECT_TRUE(display.contains("Downloading firmware build 101"));
    EXPECT_EQ(updater.load_bird("Recovering", "", SERIAL, 101, false).GetBuild(), 101u);  // now stored

    EXPECT_EQ(load_failure([&] { updater.load_bird("Recovering", "", SERIAL, 55, true); }),
              "Invalid bird " + stored("55.bird"));
}

TEST_F(FirmwareAcquisition, StoreThatCannotBeCreatedIsReportedWithTheCallersName) {
    test_support::write_file(storage.file("file"), "");
    Updater updater(nullptr, storage.file("file").c_str(), display);
    EXPECT_TRUE(updater.Get_BuildListLocal(SERIAL).empty());
    ASSERT_EQ(display.errors().size(), 1u);
    EXPECT_EQ(display.errors()[0].rfind("Failed to Create UpdaterStore in: Get_BuildListLocal - Exception: ", 0), 0u)
        << display.errors()[0];
}
