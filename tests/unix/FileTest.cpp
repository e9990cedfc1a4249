#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "TestPaths.h"
#include "qFile.h"

using test_support::TemporaryDirectory;

namespace {
void write_text(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
}  // namespace

TEST(File, OpenRefusesBadArguments) {
    TemporaryDirectory root;
    EXPECT_EQ(qFile_Open(nullptr, 0), nullptr);
    EXPECT_EQ(qFile_Open("", 0), nullptr);
    EXPECT_EQ(qFile_Open(root.file("x").c_str(), 3), nullptr);
    EXPECT_EQ(qFile_Open(root.file("missing").c_str(), qFileModeRead), nullptr);
    EXPECT_EQ(qFile_Open(std::string(4097, 'a').c_str(), qFileModeWrite), nullptr);
}

TEST(File, WriteAppendAndReadBack) {
    TemporaryDirectory root;
    std::string path = root.file("data");
    qFile* file = qFile_Open(path.c_str(), qFileModeWrite);
    ASSERT_NE(file, nullptr);
    size_t count = 0;
    EXPECT_EQ(qFile_Write(file, "hello", 5, &count), qErrNone);
    EXPECT_EQ(count, 5u);
    char buffer[16];
    EXPECT_EQ(qFile_Read(file, buffer, sizeof buffer, &count), qErrMode);
    EXPECT_EQ(qFile_Close(&file), qErrNone);
    EXPECT_EQ(file, nullptr);

    file = qFile_Open(path.c_str(), qFileModeAppend);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(qFile_Printf(file, " %s %d", "world", 42), qErrNone);
    EXPECT_EQ(qFile_Seek(file, 0, 0), qErrNone);
    EXPECT_EQ(qFile_Read(file, buffer, sizeof buffer, &count), qErrNone);
    EXPECT_EQ(std::string(buffer, count), "hello world 42");
    EXPECT_EQ(qFile_Close(&file), qErrNone);

    file = qFile_Open(path.c_str(), qFileModeRead);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(qFile_Write(file, "x", 1, &count), qErrMode);
    EXPECT_EQ(qFile_Printf(file, "x"), qErrMode);
    EXPECT_EQ(qFile_SetUnbuffered(file), qErrMode);
    EXPECT_EQ(qFile_Seek(file, 0, 2), qErrNone);
    EXPECT_EQ(qFile_Read(file, buffer, 4, &count), qErrEOF);
    EXPECT_EQ(qFile_Close(&file), qErrNone);
}

TEST(File, SeekStaysInsideTheFile) {
    TemporaryDirectory root;
    write_text(root.file("ten"), "0123456789");
    qFile* file = qFile_Open(root.file("ten").c_str(), qFileModeRead);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(qFile_Seek(file, 1, 2), qErrRange);
    EXPECT_EQ(qFile_Seek(file, -1, 0), qErrRange);
    EXPECT_EQ(qFile_Seek(file, 0, 2), qErrNone);
    size_t position = 0;
    EXPECT_EQ(qFile_GetPosition(file, &position), qErrNone);
    EXPECT_EQ(position, 10u);
    EXPECT_EQ(qFile_Seek(file, -4, 1), qErrNone);
    size_t size = 0;
    EXPECT_EQ(qFile_GetSize(file, &size), qErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(qFile_GetPosition(file, &position), qErrNone);
    EXPECT_EQ(position, 6u);  // the size query leaves the position alone
    EXPECT_EQ(qFile_GetSize(file, nullptr), qErrParam);
    EXPECT_EQ(qFile_Close(&file), qErrNone);
}

TEST(File, ReadLineReportsOverrunAndEnd) {
    TemporaryDirectory root;
    write_text(root.file("lines"), "abcdef\nab\n");
    qFile* file = qFile_Open(root.file("lines").c_str(), qFileModeRead);
    ASSERT_NE(file, nullptr);
    char buffer[4];
    size_t length = 99;
    EXPECT_EQ(qFile_ReadLine(file, buffer, sizeof buffer, &length), qErrOverrun);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(qFile_ReadLine(file, buffer, sizeof buffer, &length), qErrOverrun);  // the rest was left unread
    EXPECT_STREQ(buffer, "def");
    EXPECT_EQ(qFile_ReadLine(file, buffer, sizeof buffer, &length), qErrNone);
    EXPECT_STREQ(buffer, "\n");
    EXPECT_EQ(qFile_ReadLine(file, buffer, sizeof buffer, &length), qErrNone);
    EXPECT_STREQ(buffer, "ab\n");
    EXPECT_EQ(qFile_ReadLine(file, buffer, sizeof buffer, &length), qErrEOF);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(qFile_Close(&file), qErrNone);
}

TEST(File, ExistsAndDelete) {
    TemporaryDirectory root;
    write_text(root.file("f"), "x");
    EXPECT_TRUE(qFile_Exists(root.file("f").c_str()));
    EXPECT_FALSE(qFile_Exists(root.path().c_str()));  // a directory is not a file
    EXPECT_FALSE(qFile_Exists(nullptr));
    EXPECT_EQ(qFile_Delete(root.file("f").c_str()), qErrNone);
    EXPECT_FALSE(qFile_Exists(root.file("f").c_str()));
    EXPECT_EQ(qFile_Delete(root.file("f").c_str()), qErrNotFound);
    EXPECT_EQ(qFile_Delete(nullptr), qErrParam);
    EXPECT_EQ(qFile_Delete(std::string(4097, 'a').c_str()), qErrFileNameLength);
}

TEST(File, InvalidRecordsAreRefused) {
    qFile* none = nullptr;
    char buffer[4];
    EXPECT_EQ(qFile_Close(&none), qErrParam);
    EXPECT_EQ(qFile_Read(nullptr, buffer, 1, nullptr), qErrParam);
    EXPECT_EQ(qFile_Write(nullptr, buffer, 1, nullptr), qErrParam);
    EXPECT_EQ(qFile_Seek(nullptr, 0, 0), qErrParam);
}
