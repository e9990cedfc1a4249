#include <gtest/gtest.h>

#include <string>

#include "FileContents.h"
#include "TestPaths.h"
#include "qFile.h"

using test_support::read_file;
using test_support::TemporaryDirectory;
using test_support::write_file;

TEST(FileSync, FlushesWhatWasWritten) {
    TemporaryDirectory root;
    std::string path = root.file("data");
    qFile* file = qFile_Open(path.c_str(), qFileModeWrite);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(qFile_Printf(file, "buffered"), qErrNone);
    EXPECT_EQ(qFile_Sync(file), qErrNone);
    // Visible to another reader before the close.
    EXPECT_EQ(read_file(path), "buffered");
    EXPECT_EQ(qFile_Close(&file), qErrNone);

    file = qFile_Open(path.c_str(), qFileModeRead);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(qFile_Sync(file), qErrMode);
    qFile_Close(&file);
    EXPECT_EQ(qFile_Sync(nullptr), qErrParam);
}

TEST(FileRename, ReplacesTheTargetInOneStep) {
    TemporaryDirectory root;
    write_file(root.file("new"), "new");
    write_file(root.file("old"), "old");
    EXPECT_EQ(qFile_Rename(root.file("new").c_str(), root.file("old").c_str()), qErrNone);
    EXPECT_EQ(read_file(root.file("old")), "new");
    EXPECT_FALSE(qFile_Exists(root.file("new").c_str()));

    EXPECT_EQ(qFile_Rename(root.file("missing").c_str(), root.file("old").c_str()), qErrNotFound);
    EXPECT_EQ(qFile_Rename(nullptr, root.file("old").c_str()), qErrParam);
    EXPECT_EQ(qFile_Rename(root.file("old").c_str(), std::string(4097, 'a').c_str()), qErrFileNameLength);
    EXPECT_EQ(read_file(root.file("old")), "new");
}
