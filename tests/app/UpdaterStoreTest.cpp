#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "FileContents.h"
#include "FileSizeLimit.h"
#include "Log.h"
#include "LogCapture.h"
#include "TestPaths.h"
#include "UpdaterStore.h"

using test_support::AtTheLimit;
using test_support::entry_names;
using test_support::read_file;
using test_support::LogCapture;
using test_support::TemporaryDirectory;

namespace {

// The message of the std::runtime_error that `action` throws, or "" when it throws none.
template <typename Action>
std::string thrown_message(Action action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

class Store : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::string root = directory.file("updater");
    std::string device = root + "/40F5849A";
};

}  // namespace

TEST_F(Store, RootIsMadeWhenMissingAndRefusedWhenItCannotBe) {
    std::string nested = directory.file("a/b/updater");
    UpdaterStore store(nested);
    EXPECT_EQ(store.BasePath(), nested);
    EXPECT_TRUE(std::filesystem::is_directory(nested));

    std::ofstream(directory.file("plain")) << "x";
    EXPECT_EQ(thrown_message([&] { UpdaterStore refused(directory.file("plain")); }),
              "UpdaterStore: " + directory.file("plain") + " exists and is a file");
    EXPECT_EQ(thrown_message([&] { UpdaterStore refused(directory.file("plain/sub")); }),
              "UpdaterStore: Could not create directory " + directory.file("plain/sub") + " error 12");
}

TEST_F(Store, AddDeviceLaysOutTheDeviceDirectory) {
    UpdaterStore store(root);
    LogCapture log(DEBUG_Updater);
    UpdaterStoreItem item = store.AddDevice(0x40F5849Au);
    EXPECT_TRUE(log.contains("UpdaterStore: Created directory [" + device + "].\n"));
    EXPECT_EQ(entry_names(root), std::vector<std::string>{"40F5849A"});
    EXPECT_EQ(entry_names(device), std::vector<std::string>{".settings"});
    KeyValueStore settings((device + "/.settings").c_str());
    std::vector<std::string> keys;
    for (const auto& entry : settings.Entries()) keys.push_back(entry.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"CREATED_TIME", "UPDATED_TIME"}));

    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(item.base_path, root);
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(item.attributes.Path(), device + "/.settings");
    EXPECT_EQ(item.attributes.Entries(), settings.Entries());

    std::string before = read_file(device + "/.settings");
    UpdaterStoreItem again = store.AddDevice(0x40F5849Au);
    EXPECT_TRUE(log.contains("UpdaterStore: [" + device + "] already exists.\n"));
    EXPECT_EQ(read_file(device + "/.settings"), before);
    EXPECT_EQ(again.attributes.Entries(), settings.Entries());
}

TEST_F(Store, APlainFileWhereTheDeviceDirectoryShouldBe) {
    UpdaterStore store(root);
    std::ofstream(device) << "not a directory";
    EXPECT_EQ(thrown_message([&] { store.AddDevice(0x40F5849Au); }),
              "UpdaterStore: " + device + " exists and is a file");
    EXPECT_EQ(read_file(device), "not a directory");
}

TEST_F(Store, FindDeviceMatchesAnyPathThatContainsTheName) {
    UpdaterStore store(root);
    store.AddDevice(0x1Au);
    std::ofstream(root + "/notes-0000001B.txt") << "x";

    LogCapture log(DEBUG_Updater);
    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x1Au, &item));
    EXPECT_EQ(item.base_path, root);
    EXPECT_EQ(item.name, "0000001A");
    EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
    EXPECT_EQ(item.attributes.Entries().count("CREATED_TIME"), 1u);
    EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Found 0000001A.\n"));

    ASSERT_TRUE(store.FindDevice(0x1Bu, &item));
    EXPECT_EQ(item.name, "notes-0000001B.txt");
    EXPECT_EQ(item.kind, STORE_ITEM_FILE);

    EXPECT_TRUE(store.FindDevice("0000001A", nullptr));
    EXPECT_FALSE(store.FindDevice(0x1Cu, nullptr));
    EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Not Found 0000001C.\n"));
    EXPECT_EQ(entry_names(root), (std::vector<std::string>{"0000001A", "notes-0000001B.txt"}));
}

TEST_F(Store, LocalBuildsAreTheVisibleEntriesOfTheDeviceDirectory) {
    UpdaterStore store(root);
    store.AddDevice(0x40F5849Au);
    for (const char* name : {"1.bird", "22.bird", ".hidden", ".partial-1-0"}) std::ofstream(device + "/" + name) << "x";

    std::vector<UpdaterStoreItem> items(1);  // found items are appended to what is there
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849Au, items));
    ASSERT_EQ(items.size(), 3u);
    std::vector<std::string> names;
    for (size_t index = 1; index < items.size(); ++index) {
        names.push_back(items[index].name);
        EXPECT_EQ(items[index].base_path, device);
        EXPECT_EQ(items[index].kind, STORE_ITEM_FILE);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"1.bird", "22.bird"}));

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x12345678u, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(Store, WriteFileReplacesTheWholeFile) {
    UpdaterStore store(root);
    UpdaterStoreItem item = store.AddDevice(0x40F5849Au);
    const std::string first(10000, 'a');
    const std::string second = "short";
    EXPECT_EQ(item.WriteFile("7.bird", first.data(), first.size()), qErrNone);
    EXPECT_EQ(read_file(device + "/7.bird"), first);
    EXPECT_EQ(item.WriteFile("7.bird", second.data(), second.size()), qErrNone);
    EXPECT_EQ(read_file(device + "/7.bird"), second);
    EXPECT_EQ(entry_names(device), (std::vector<std::string>{".settings", "7.bird"}));

    EXPECT_EQ(item.WriteFile("8.bird", nullptr, 4), qErrNotFound);
    EXPECT_EQ(UpdaterStoreItem().WriteFile("8.bird", "data", 4), qErrNotFound);
    UpdaterStoreItem nowhere("", "", STORE_ITEM_DIRECTORY);
    EXPECT_FALSE(nowhere.IsValid());
    EXPECT_TRUE(nowhere.attributes.Path().empty()) << "an item without a place loads no attributes";
    UpdaterStoreItem gone(root, "gone", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(gone.WriteFile("8.bird", "data", 4), qErrNotFound);
    EXPECT_EQ(entry_names(device), (std::vector<std::string>{".settings", "7.bird"}));
}

TEST_F(Store, WriteFileOnAFullDiskKeepsTheStoredBuild) {
    UpdaterStore store(root);
    UpdaterStoreItem item = store.AddDevice(0x40F5849Au);
    const std::string old_build = "the build stored before";
    ASSERT_EQ(item.WriteFile("7.bird", old_build.data(), old_build.size()), qErrNone);
    auto result = test_support::run_with_file_size_limit(1024, AtTheLimit::WriteFails, [&] {
        const std::string larger(64 * 1024, 'n');
        _exit(item.WriteFile("7.bird", larger.data(), larger.size()) == qErrNone ? 1 : 0);
    });
    EXPECT_EQ(result.exit_status, 0) << "the failed write must not be reported as success";
    EXPECT_EQ(read_file(device + "/7.bird"), old_build);
    EXPECT_EQ(entry_names(device), (std::vector<std::string>{".settings", "7.bird"}));
}

TEST_F(Store, ReadBirdFileChecksTheHeaderFirst) {
    UpdaterStore store(root);
    UpdaterStoreItem item = store.AddDevice(0x40F5849Au);
    test_support::write_bird("generic", device + "/100.bird", {"--build", "100"});
    EXPECT_EQ(item.ReadBirdFile("100.bird").GetBuild(), 100u);

    std::ofstream(device + "/text.bird") << "plain text, not an image";
    EXPECT_EQ(thrown_message([&] { item.ReadBirdFile("text.bird"); }), "Invalid bird " + device + "/text.bird");
    EXPECT_EQ(thrown_message([&] { item.ReadBirdFile("missing.bird"); }), "Invalid bird " + device + "/missing.bird");
    std::ofstream(device + "/broken.bird") << std::string("bird\x01\x01", 6) << "not a zlib stream";
    EXPECT_EQ(thrown_message([&] { item.ReadBirdFile("broken.bird"); }), "Failed to load bird data");
}

TEST_F(Store, FileExistsLooksInTheItemsDirectory) {
    UpdaterStore store(root);
    UpdaterStoreItem item = store.AddDevice(0x40F5849Au);
    std::ofstream(device + "/1.bird") << "x";
    LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(item.FileExists("1.bird"));
    EXPECT_FALSE(item.FileExists("9.bird"));
    EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Found 1.bird.\n"));
    EXPECT_TRUE(log.contains("UpdaterStore: FindDevice Not Found 9.bird.\n"));
}
