#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "FileContents.h"
#include "FileSizeLimit.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "LogCapture.h"
#include "ProcessRunner.h"
#include "TestPaths.h"

using test_support::AtTheLimit;
using test_support::LogCapture;
using test_support::ProcessResult;
using test_support::TemporaryDirectory;
using Entries = std::map<std::string, std::string>;

namespace {

// ctime's form without the newline, e.g. "Wed Jun 30 21:49:08 1993".
bool is_time_text(const std::string& text) {
    static const std::regex form(
        "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");
    return std::regex_match(text, form);
}

class Attributes : public ::testing::Test {
protected:
    void write(const std::string& text) { test_support::write_file(path, text); }
    std::string read() const { return test_support::read_file(path); }
    std::vector<std::string> names() const { return test_support::entry_names(directory.path()); }

    TemporaryDirectory directory;
    std::string path = directory.file(".settings");
};

}  // namespace

TEST_F(Attributes, MissingFileIsCreatedWithItsTwoStamps) {
    LogCapture log(DEBUG_Attributes);
    KeyValueStore store(path.c_str());
    EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));
    ASSERT_EQ(store.Entries().size(), 2u);
    EXPECT_TRUE(is_time_text(store.GetString(KeyValueStore::KEY_CREATED_TIME, nullptr)));
    EXPECT_TRUE(is_time_text(store.GetString(KeyValueStore::KEY_UPDATED_TIME, nullptr)));
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(store.Path(), path);
    EXPECT_EQ(read(), "CREATED_TIME=" + store.GetString("CREATED_TIME", nullptr) + "\nUPDATED_TIME=" +
                          store.GetString("UPDATED_TIME", nullptr) + "\n");
}

TEST_F(Attributes, LinesOfTheFile) {
    const struct {
        std::string text;
        Entries entries;
    } cases[] = {
        {"  BUILD = 1234  \n", {{"BUILD", "1234"}}},
        {"#X=1\n", {}},
        {" #Y=2\n", {{"#Y", "2"}}},  // a blank first: not a comment
        {"A=1\nA=2\n", {{"A", "2"}}},
        {"ab\n\nNO EQUALS SIGN HERE\n", {}},
        {"K=\n", {{"K", ""}}},
        {"inner key =  a  b \r\n", {{"inner key", "a  b"}}},
        {"x==y\nlast=no newline", {{"x", "=y"}, {"last", "no newline"}}},
    };
    for (const auto& c : cases) {
        write(c.text);
        KeyValueStore store(path.c_str());
        EXPECT_EQ(store.Entries(), c.entries) << c.text;
        EXPECT_FALSE(store.IsDirty());
    }
}

TEST_F(Attributes, LongLinesAreReadWholeAndNothingAfterThemIsLost) {
    std::string long_value(5000, 'v');
    write("A=1\nLONG=" + long_value + "\nZ=26\n");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.Entries(), (Entries{{"A", "1"}, {"LONG", long_value}, {"Z", "26"}}));
    store.Add("B", 2);
    store.Save();
    KeyValueStore again(path.c_str());
    EXPECT_EQ(again.GetString("LONG", nullptr), long_value);
    EXPECT_EQ(again.GetString("Z", nullptr), "26");
}

TEST_F(Attributes, TypedGettersAndTheirDefaults) {
    write("NAME=99528558.bird\nHEX=0x0000001A\nPLAIN_HEX=ff\nFLAG=2\nOFF=0\nRATIO=2.5\nEMPTY=\nHUGE=99999999999\n");
    KeyValueStore store(path.c_str());
    EXPECT_EQ(store.GetInt("NAME", 0), 99528558);
    EXPECT_EQ(store.GetInt("HUGE", 0), INT_MAX);
    EXPECT_EQ(store.GetInt("EMPTY", 7), 7);
    EXPECT_EQ(store.GetHex("HEX", 0), 0x1Au);
    EXPECT_EQ(store.GetHex("PLAIN_HEX", 0), 0xFFu);
    EXPECT_TRUE(store.GetBOOL("FLAG", false));
    EXPECT_FALSE(store.GetBOOL("OFF", true));
    EXPECT_DOUBLE_EQ(store.GetDouble("RATIO", 0), 2.5);
    EXPECT_EQ(store.GetString("EMPTY", "default"), "");
    EXPECT_EQ(store.GetString("MISSING", "default"), "default");
    EXPECT_EQ(store.GetString("MISSING", nullptr), "");
    EXPECT_EQ(store["MISSING"], nullptr);
    EXPECT_STREQ(store["NAME"], "99528558.bird");
    EXPECT_EQ(store.Entries().count("MISSING"), 0u);

    // The numeric getters leave a missing key behind, empty, without making the store dirty;
    // the next save writes it.
    EXPECT_EQ(store.GetInt("COUNT", 7), 7);
    EXPECT_EQ(store.GetHex("MASK", 0xAB), 0xABu);
    EXPECT_FALSE(store.GetBOOL("ENABLED", false));
    EXPECT_DOUBLE_EQ(store.GetDouble("SCALE", 1.25), 1.25);
    EXPECT_FALSE(store.IsDirty());
    store.Save();
    std::string text = "\n" + read();
    for (const char* line : {"\nCOUNT=\n", "\nMASK=\n", "\nENABLED=\n", "\nSCALE=\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
}

TEST_F(Attributes, AddFormatsValuesAndMarksOnlyRealChanges) {
    KeyValueStore store;
    EXPECT_TRUE(store.Add("N", 5));
    EXPECT_TRUE(store.IsDirty());
    store.Save(path.c_str());
    EXPECT_FALSE(store.IsDirty());
    store.Add("N", 5);
    EXPECT_FALSE(store.IsDirty());
    store.Add("EMPTY", "");  // a missing key counts as empty: created, still clean
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(store.Entries().count("EMPTY"), 1u);

    store.AddHex("H", 0x1A);
    store.Add("D", 1.5);
    store.Add("T", std::string("text"));
    store.Add("NULL", static_cast<const char*>(nullptr));
    EXPECT_STREQ(store["H"], "0x0000001A");
    EXPECT_EQ(store.GetHex("H", 0), 0x1Au);
    EXPECT_STREQ(store["D"], "1.500000");
    EXPECT_STREQ(store["T"], "text");
    EXPECT_STREQ(store["NULL"], "");
    EXPECT_STREQ(store["N"], "5");

    KeyValueStore copy = store;
    EXPECT_EQ(copy.Entries(), store.Entries());
    EXPECT_EQ(copy.Path(), store.Path());
    EXPECT_TRUE(copy.IsDirty());

    KeyValueStore other;
    other.Add("N", 6);
    other.Add("NEW", "x");
    store.Save();
    store.Add(KeyValueStore());
    EXPECT_FALSE(store.IsDirty());
    store.Add(other);
    EXPECT_TRUE(store.IsDirty());
    EXPECT_STREQ(store["N"], "6");
    EXPECT_STREQ(store["NEW"], "x");
    store.Save();
    store.Clear();
    EXPECT_TRUE(store.IsDirty());
    EXPECT_TRUE(store.Entries().empty());
}

TEST_F(Attributes, UpdatedTimeIsRewrittenOnlyForARealChange) {
    const std::string old_time = "Thu Jan  1 00:00:00 1970";
    write("A=5\nUPDATED_TIME=" + old_time + "\n");
    KeyValueStore store(path.c_str());
    store.Add("A", 5);
    store.Save();
    EXPECT_EQ(read(), "A=5\nUPDATED_TIME=" + old_time + "\n");

    store.Add("A", 6);
    store.Save();
    KeyValueStore reread(path.c_str());
    EXPECT_STREQ(reread["A"], "6");
    EXPECT_NE(reread.GetString("UPDATED_TIME", nullptr), old_time);
    EXPECT_TRUE(is_time_text(reread.GetString("UPDATED_TIME", nullptr)));
}

TEST_F(Attributes, SaveWithoutAnyPathWritesTheDefaultFileHere) {
    test_support::ProcessOptions options;
    options.working_directory = directory.path();
    ProcessResult result = test_support::run_function(
        [] {
            Log::SetOutput(stdout);
            Log::ActivatePackage(DEBUG_Attributes);
            KeyValueStore store;
            store.Add("K", "v");
            store.Save();
        },
        options);
    EXPECT_NE(result.out.find("Attibutes: no filename given for attributes, using default:[.settings]\n"),
              std::string::npos);
    KeyValueStore written(path.c_str());
    EXPECT_STREQ(written["K"], "v");
}

TEST_F(Attributes, AFileThatCannotBeWrittenLeavesTheStoreDirty) {
    LogCapture log(DEBUG_Attributes);
    std::string unreachable = directory.file("missing/.settings");
    KeyValueStore store(unreachable.c_str());
    EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file for writting: '" + unreachable + "' (2)\n"));
    EXPECT_EQ(store.Entries().count("CREATED_TIME"), 1u);
    store.Add("K", 1);
    store.Save();
    EXPECT_TRUE(store.IsDirty());
    EXPECT_FALSE(std::filesystem::exists(unreachable));
}

TEST_F(Attributes, DyingOrRunningOutOfSpaceMidSaveKeepsTheOldFile) {
    const std::string old_text = "A=1\nCREATED_TIME=Thu Jan  1 00:00:00 1970\n";
    for (AtTheLimit behaviour : {AtTheLimit::ProcessDies, AtTheLimit::WriteFails}) {
        std::filesystem::remove_all(directory.path());
        std::filesystem::create_directory(directory.path());
        write(old_text);
        // The new content is far larger than the limit, so the write stops part way.
        ProcessResult result = test_support::run_with_file_size_limit(64, behaviour, [&] {
            KeyValueStore store(path.c_str());
            for (int index = 0; index < 200; ++index) store.Add("KEY" + std::to_string(index), index);
            store.Save();
            _exit(store.IsDirty() ? 10 : 11);
        });
        if (behaviour == AtTheLimit::ProcessDies) {
            EXPECT_EQ(result.exit_status, 128 + SIGXFSZ);
            // What the dead writer left is hidden, so store listings pass over it.
            for (const std::string& name : names()) EXPECT_EQ(name[0], '.') << name;
        } else {
            EXPECT_EQ(result.exit_status, 10) << "a failed save must leave the store dirty";
            // The failed attempt cleans up after itself.
            EXPECT_EQ(names(), std::vector<std::string>{".settings"});
        }
        EXPECT_EQ(read(), old_text);
        KeyValueStore reader(path.c_str());
        EXPECT_STREQ(reader["A"], "1");
    }
}
