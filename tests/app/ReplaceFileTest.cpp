#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileContents.h"
#include "ReplaceFile.h"
#include "TestPaths.h"

using test_support::entry_names;
using test_support::read_file;
using test_support::TemporaryDirectory;
using test_support::write_file;

TEST(ReplaceFile, NewContentReplacesTheOldAndNothingElseRemains) {
    TemporaryDirectory root;
    std::string path = root.file("target");
    write_file(path, "old content that is longer");
    EXPECT_EQ(ReplaceFile(path, [](qFile* file) { return qFile_Printf(file, "new"); }), qErrNone);
    EXPECT_EQ(read_file(path), "new");
    EXPECT_EQ(entry_names(root.path()), std::vector<std::string>{"target"});

    // A file that did not exist yet is created the same way.
    EXPECT_EQ(ReplaceFile(root.file("fresh"), [](qFile* file) { return qFile_Printf(file, "x"); }), qErrNone);
    EXPECT_EQ(read_file(root.file("fresh")), "x");
}

TEST(ReplaceFile, AFailedWriteLeavesTheOldFile) {
    TemporaryDirectory root;
    std::string path = root.file("target");
    write_file(path, "old");
    qErr result = ReplaceFile(path, [](qFile* file) {
        qFile_Printf(file, "half of it");
        return qErrWrite;
    });
    EXPECT_EQ(result, qErrWrite);
    EXPECT_EQ(read_file(path), "old");
    EXPECT_EQ(entry_names(root.path()), std::vector<std::string>{"target"});

    bool called = false;
    EXPECT_EQ(ReplaceFile(root.file("missing/target"), [&](qFile*) {
                  called = true;
                  return qErrNone;
              }),
              qErrNotFound);
    EXPECT_FALSE(called);
}
