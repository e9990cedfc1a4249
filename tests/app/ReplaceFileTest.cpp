#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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

// What a crash mid-save left behind goes with the next save in that directory; the temporary file
// of a writer that still runs stays.
TEST(ReplaceFile, TemporariesOfWritersThatNoLongerRunAreRemoved) {
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);

    TemporaryDirectory root;
    const std::string stale = ".partial-" + std::to_string(gone) + "-3";
    const std::string running = ".partial-" + std::to_string(getppid()) + "-0";
    write_file(root.file(stale), "half");
    write_file(root.file(running), "in progress");
    write_file(root.file(".partial-notes"), "not ours");

    EXPECT_EQ(ReplaceFile(root.file("target"), [](qFile* file) { return qFile_Printf(file, "new"); }), qErrNone);
    EXPECT_EQ(entry_names(root.path()), (std::vector<std::string>{running, ".partial-notes", "target"}));
}
