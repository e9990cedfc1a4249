#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "qMutex.h"
#include "qThread.h"
#include "qTime.h"

TEST(Mutex, NameLengthLimit) {
    qMutex* named = qMutex_Create(std::string(255, 'm').c_str());
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(std::string(qMutex_Identifier(named)), std::string(255, 'm'));
    EXPECT_EQ(qMutex_Destroy(&named), qErrNone);
    EXPECT_EQ(named, nullptr);
    EXPECT_EQ(qMutex_Create(std::string(256, 'm').c_str()), nullptr);
}

TEST(Mutex, ErrorsAreReportedNotDeadlocked) {
    qMutex* mutex = qMutex_Create("test");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(qMutex_Unlock(mutex), qErrPermission);  // not held
    EXPECT_EQ(qMutex_Lock(mutex), qErrNone);
    EXPECT_EQ(qMutex_Lock(mutex), qErrDuplicate);  // a second lock from the same thread
    EXPECT_EQ(qMutex_Unlock(mutex), qErrNone);
    EXPECT_EQ(qMutex_Lock(nullptr), qErrParam);
    EXPECT_EQ(qMutex_Destroy(&mutex), qErrNone);
    EXPECT_EQ(qMutex_Destroy(&mutex), qErrParam);
}

namespace {
struct TryLockProbe {
    qMutex* mutex;
    qErr result;
};
void* try_lock_from_other_thread(void* argument) {
    auto* probe = static_cast<TryLockProbe*>(argument);
    probe->result = qMutex_TryLock(probe->mutex);
    return nullptr;
}
void* count_up(void* argument) {
    ++*static_cast<std::atomic<int>*>(argument);
    return nullptr;
}
}  // namespace

TEST(Mutex, TryLockFromAnotherThreadIsBusy) {
    qMutex* mutex = qMutex_Create("busy");
    ASSERT_EQ(qMutex_Lock(mutex), qErrNone);
    TryLockProbe probe{mutex, qErrNone};
    qThread* thread = qThread_Create(try_lock_from_other_thread, &probe);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(qThread_Destroy(&thread), 0);
    EXPECT_EQ(probe.result, qErrBusy);
    EXPECT_EQ(qMutex_Unlock(mutex), qErrNone);
    EXPECT_EQ(qMutex_Destroy(&mutex), qErrNone);
}

TEST(Thread, RunsAndJoins) {
    std::atomic<int> counter{0};
    qThread* threads[4];
    for (auto& thread : threads) thread = qThread_Create(count_up, &counter);
    for (auto& thread : threads) {
        EXPECT_EQ(qThread_Destroy(&thread), 0);
        EXPECT_EQ(thread, nullptr);
    }
    EXPECT_EQ(counter.load(), 4);
    EXPECT_EQ(qThread_Create(nullptr, nullptr), nullptr);
}

TEST(Time, TicksAdvanceAndSleepWaits) {
    uint64_t before = qTime_GetMSTicks();
    auto start = std::chrono::steady_clock::now();
    qTime_MSSleep(30);
    auto slept = std::chrono::steady_clock::now() - start;
    EXPECT_GE(slept, std::chrono::milliseconds(30));
    EXPECT_GE(qTime_GetMSTicks(), before + 25);  // wall clock; allow for coarse steps
    qTime_MSSleep(0);
}
