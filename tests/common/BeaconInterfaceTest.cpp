// The beacon interface setting and its lock: which texts are accepted, who holds the lock and
// for how long, and the saved setting that a search puts back.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <future>
#include <thread>

#include "zBeaconInterface.h"

using namespace std::chrono_literals;

namespace {

// Another thread that takes the lock, leaving the setting as it is, and gives it back at once.
class LockTaker {
public:
    LockTaker()
        : taken_(std::async(std::launch::async, [] {
              zBeaconInterface_getAndLock();
              zBeaconInterface_unlock();
              return true;
          })) {}
    bool done_within(std::chrono::milliseconds wait) { return taken_.wait_for(wait) == std::future_status::ready; }
    bool took() { return taken_.get(); }

private:
    std::future<bool> taken_;
};

bool lock_is_free() {
    LockTaker taker;
    return taker.done_within(300ms) && taker.took();
}

}  // namespace

TEST(BeaconInterface, OnlyAddressesTheEmptyTextOrAStarAreTakenAndHoldTheLockUntilRestored) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.1.2.3"));
    zBeaconInterface_unlock();

    for (const char* refused : {"eth0", "10.1.2", "10.1.2.300", "localhost", " 10.1.2.3"}) {
        SCOPED_TRACE(refused);
        EXPECT_FALSE(zBeaconInterface_backupSetAndLock(refused));
        EXPECT_FALSE(zBeaconInterface_setAndLock(refused));
        EXPECT_EQ(zBeaconInterface_get(), "10.1.2.3");
        EXPECT_TRUE(lock_is_free()) << "a refused text takes no lock";
    }
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));

    for (const char* accepted : {"192.168.7.1", "", "*"}) {
        SCOPED_TRACE(accepted);
        ASSERT_TRUE(zBeaconInterface_backupSetAndLock(accepted));
        EXPECT_EQ(zBeaconInterface_get(), accepted);
        EXPECT_EQ(zBeaconInterface_getBackup(), "10.1.2.3");
        LockTaker taker;
        EXPECT_FALSE(taker.done_within(200ms)) << "the lock is held until restored";
        zBeaconInterface_restoreAndUnlock();
        EXPECT_TRUE(taker.took());
        EXPECT_EQ(zBeaconInterface_get(), "10.1.2.3");
    }
}

TEST(BeaconInterface, RestoringPutsTheSavedInterfaceBack) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.9.8.7"));
    zBeaconInterface_unlock();
    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("172.16.0.1"));
    EXPECT_EQ(zBeaconInterface_get(), "172.16.0.1");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_EQ(zBeaconInterface_get(), "10.9.8.7");
    EXPECT_EQ(zBeaconInterface_getBackupAndLock(), "10.9.8.7");
    EXPECT_EQ(zBeaconInterface_getAndLock(), "10.9.8.7") << "a second lock in one thread is refused, not waited for";
    zBeaconInterface_unlock();
    EXPECT_TRUE(lock_is_free());
}

TEST(BeaconInterface, OnlyTheHolderCanReleaseOrRestore) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("10.0.0.1"));
    std::thread([] {
        zBeaconInterface_unlock();
        zBeaconInterface_restoreAndUnlock();
    }).join();
    EXPECT_EQ(zBeaconInterface_get(), "10.0.0.1");
    LockTaker taker;
    EXPECT_FALSE(taker.done_within(200ms)) << "still held";
    EXPECT_FALSE(zBeaconInterface_setAndLock("10.0.0.2")) << "the holder asking again is refused";
    EXPECT_EQ(zBeaconInterface_get(), "10.0.0.1");
    zBeaconInterface_unlock();
    EXPECT_TRUE(taker.took());
}

TEST(BeaconInterface, TheBeaconLibraryLeavesInterruptsToTheProgram) {
    zBeaconInterface_prepare();
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    zBeaconInterface_unlock();
    for (int signal_number : {SIGINT, SIGTERM}) {
        struct sigaction action {};
        ASSERT_EQ(sigaction(signal_number, nullptr, &action), 0);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << "Ctrl-C still ends the program (signal " << signal_number << ")";
    }
}
