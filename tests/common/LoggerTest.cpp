// The logger thread: calls its procedure with the open file until disabled.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "TestPaths.h"
#include "qLogger.h"

using namespace std::chrono_literals;

namespace {

struct Calls {
    std::atomic<int> count{0};
    std::atomic<qLogger*> self{nullptr};
    std::atomic<int> self_disable_result{-1};
};
Calls calls;

void write_line(qFile* file, uint32_t reference) {
    int call = ++calls.count;
    if (call <= 3) qFile_Printf(file, "%u %d\n", reference, call);
    // Disabling from inside the procedure must neither deadlock nor stop the logger.
    if (call == 2) calls.self_disable_result = qLogger_Disable(calls.self);
    std::this_thread::sleep_for(1ms);
}

bool count_reaches(int count) {
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (calls.count < count && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return calls.count >= count;
}

}  // namespace

TEST(Logger, CallsItsProcedureUntilDisabledAndWritesUnbuffered) {
    test_support::TemporaryDirectory directory;
    const std::string path = directory.file("packets.log");
    qLogger* logger = qLogger_Create(42, write_line, path.c_str());
    ASSERT_NE(logger, nullptr);
    calls.self = logger;

    ASSERT_EQ(qLogger_Enable(logger), qErrNone);
    EXPECT_EQ(qLogger_Enable(logger), qErrNone);  // enabling twice is harmless
    ASSERT_TRUE(count_reaches(5));
    EXPECT_EQ(calls.self_disable_result, qErrNone);
    EXPECT_EQ(qLogger_Disable(logger), qErrNone);
    int stopped_at = calls.count;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.count, stopped_at);

    // Written while the logger is still open: nothing waits in a buffer.
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), "42 1\n42 2\n42 3\n");

    EXPECT_EQ(qLogger_Destroy(&logger), qErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(qLogger_Destroy(&logger), qErrParam);
}

TEST(Logger, CannotBeMadeWithoutAFileOrAProcedure) {
    test_support::TemporaryDirectory directory;
    EXPECT_EQ(qLogger_Create(1, write_line, directory.file("missing/packets.log").c_str()), nullptr);
    EXPECT_EQ(qLogger_Create(1, nullptr, directory.file("packets.log").c_str()), nullptr);
    EXPECT_EQ(qLogger_Create(1, write_line, nullptr), nullptr);
    EXPECT_EQ(qLogger_Enable(nullptr), qErrParam);
}
