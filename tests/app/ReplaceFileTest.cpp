#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ReplaceFile.h"
#include "TestPaths.h"

using test_support::TemporaryDirectory;

namespace {

std::string read_text(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::vector<std::string> names_in(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
    return names;
}

}  // namespace

TEST(ReplaceFile, NewContentReplacesTheOldAndNothingElseRemains) {
    TemporaryDirectory root;
    std::string path = root.file("target");
    std::ofstream(path) << "old content that is longer";
    EXPECT_EQ(ReplaceFile(path, [](qFile* file) { return qFile_Printf(file, "new"); }), qErrNone);
    EXPECT_EQ(read_text(path), "new");
    EXPECT_EQ(names_in(root.path()), std::vector<std::string>{"target"});

    // A file that did not exist yet is created the same way.
    EXPECT_EQ(ReplaceFile(root.file("fresh"), [](qFile* file) { return qFile_Printf(file, "x"); }), qErrNone);
    EXPECT_EQ(read_text(root.file("fresh")), "x");
}

TEST(ReplaceFile, AFailedWriteLeavesTheOldFile) {
    TemporaryDirectory root;
    std::string path = root.file("target");
    std::ofstream(path) << "old";
    qErr result = ReplaceFile(path, [](qFile* file) {
        qFile_Printf(file, "half of it");
        return qErrWrite;
    });
    EXPECT_EQ(result, qErrWrite);
    EXPECT_EQ(read_text(path), "old");
    EXPECT_EQ(names_in(root.path()), std::vector<std::string>{"target"});

    bool called = false;
    EXPECT_EQ(ReplaceFile(root.file("missing/target"), [&](qFile*) {
                  called = true;
                  return qErrNone;
              }),
              qErrNotFound);
    EXPECT_FALSE(called);
}
