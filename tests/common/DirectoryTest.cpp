#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <string>

#include "BuildPath.h"
#include "TestPaths.h"
#include "qDirectory.h"

using test_support::TemporaryDirectory;

TEST(BuildPath, AlwaysInsertsTheSeparator) {
    EXPECT_EQ(BuildPath("a", "b"), "a/b");
    EXPECT_EQ(BuildPath("a/", "b"), "a//b");
    EXPECT_EQ(BuildPath(std::string("/home/x"), ".tolveric", "updater"), "/home/x/.tolveric/updater");
}

TEST(DirectoryBuildPath, JoinsWithSingleSeparators) {
    char buffer[64];
    EXPECT_EQ(qDirectory_BuildPath(buffer, sizeof buffer, "a/", "b", nullptr), qErrNone);
    EXPECT_STREQ(buffer, "a/b");
    EXPECT_EQ(qDirectory_BuildPath(buffer, sizeof buffer, "a", "/b", nullptr), qErrNone);
    EXPECT_STREQ(buffer, "a/b");
    EXPECT_EQ(qDirectory_BuildPath(buffer, sizeof buffer, "a", "b", "c", nullptr), qErrNone);
    EXPECT_STREQ(buffer, "a/b/c");
    EXPECT_EQ(qDirectory_JoinPath(buffer, sizeof buffer, "x", "y"), qErrNone);
    EXPECT_STREQ(buffer, "x/y");
}

TEST(DirectoryBuildPath, RefusesOverrunsAndAliasing) {
    char small[4];
    EXPECT_EQ(qDirectory_BuildPath(small, sizeof small, "ab", "c", nullptr), qErrOverrun);
    EXPECT_EQ(qDirectory_BuildPath(small, sizeof small, "abc", nullptr), qErrOverrun);
    EXPECT_EQ(qDirectory_BuildPath(small, sizeof small, "ab", nullptr), qErrNone);
    EXPECT_STREQ(small, "ab");

    char buffer[64] = "abc";
    EXPECT_EQ(qDirectory_BuildPath(buffer, sizeof buffer, buffer, "x", nullptr), qErrParam);
    EXPECT_EQ(qDirectory_BuildPath(nullptr, 10, "a", nullptr), qErrParam);
    EXPECT_EQ(qDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", nullptr),
              qErrParam);
    EXPECT_EQ(qDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", nullptr),
              qErrNone);
}

TEST(DirectoryEnsure, CreatesMissingParents) {
    TemporaryDirectory root;
    std::string partial = root.file("a");
    ASSERT_EQ(mkdir(partial.c_str(), 0755), 0);
    EXPECT_EQ(qDirectory_Ensure(root.file("a/b/c").c_str(), 0755), qErrNone);
    EXPECT_TRUE(qDirectory_Exists(root.file("a/b").c_str()));
    EXPECT_TRUE(qDirectory_Exists(root.file("a/b/c").c_str()));

    EXPECT_EQ(qDirectory_Ensure(root.file("x/y/z").c_str(), 0755), qErrNone);
    EXPECT_TRUE(qDirectory_Exists(root.file("x/y/z").c_str()));
    EXPECT_EQ(qDirectory_Ensure(root.file("x/y/z").c_str(), 0755), qErrNone);  // already there
}

TEST(DirectoryEnsure, AFileInTheWayIsAPermissionError) {
    TemporaryDirectory root;
    std::ofstream(root.file("file")) << "x";
    EXPECT_EQ(qDirectory_Ensure(root.file("file/sub").c_str(), 0755), qErrPermission);
    EXPECT_FALSE(qDirectory_Exists(root.file("file").c_str()));
}

namespace {
bool collect(const qDirectoryListData* entry, void* context) {
    static_cast<std::set<std::string>*>(context)->insert(entry->path);
    return true;
}
bool stop_at_once(const qDirectoryListData*, void* context) {
    ++*static_cast<int*>(context);
    return false;
}
}  // namespace

TEST(DirectoryList, ListsEveryEntryWithFullPaths) {
    TemporaryDirectory root;
    std::ofstream(root.file("f")) << "12345";
    ASSERT_EQ(mkdir(root.file("d").c_str(), 0755), 0);
    std::set<std::string> seen;
    EXPECT_EQ(qDirectory_List(root.path().c_str(), collect, &seen), qErrNone);
    EXPECT_EQ(seen, (std::set<std::string>{root.file("."), root.file(".."), root.file("f"), root.file("d")}));

    int calls = 0;
    EXPECT_EQ(qDirectory_List(root.path().c_str(), stop_at_once, &calls), qErrNone);
    EXPECT_EQ(calls, 1);
}

TEST(DirectoryList, MissingDirectoryNeverCallsBack) {
    int calls = 0;
    EXPECT_EQ(qDirectory_List("/nonexistent/updater-test", stop_at_once, &calls), qErrNotFound);
    EXPECT_EQ(calls, 0);
}

TEST(DirectoryDelete, TreeAndEmptyDirectory) {
    TemporaryDirectory root;
    ASSERT_EQ(qDirectory_Ensure(root.file("t/u/v").c_str(), 0755), qErrNone);
    std::ofstream(root.file("t/u/file")) << "x";
    EXPECT_EQ(qDirectory_Delete(root.file("t").c_str()), qErrUnknown);  // not empty
    EXPECT_EQ(qDirectory_DeleteTree(root.file("t").c_str()), qErrNone);
    EXPECT_FALSE(qDirectory_Exists(root.file("t").c_str()));
    EXPECT_EQ(qDirectory_DeleteTree(root.file("t").c_str()), qErrNotFound);
}

TEST(DirectoryQueries, HomeWorkingDirectoryAndExecutable) {
    char buffer[qDIRECTORY_MAX_PATH];
    EXPECT_EQ(qDirectory_GetHomeDirectory(buffer, sizeof buffer), qErrNone);
    EXPECT_NE(buffer[0], '\0');
    EXPECT_EQ(qDirectory_CWD(buffer, sizeof buffer), qErrNone);
    EXPECT_TRUE(qDirectory_Exists(buffer));
    EXPECT_EQ(qDirectory_ExecutableFilePath(buffer, sizeof buffer), qErrNone);
    EXPECT_NE(std::string(buffer).find("test_common"), std::string::npos);
    char tiny[5];
    EXPECT_EQ(qDirectory_ExecutableFilePath(tiny, sizeof tiny), qErrNone);
    EXPECT_EQ(strlen(tiny), 4u);
}
