#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/TestSupport.h"
#include "threading/Mutex.h"
#include "threading/MutexGuard.h"
#include "threading/Thread.h"

using Threading::Mutex;
using Threading::MutexGuard;
using Threading::Thread;

namespace {

// Whether the kernel keeps this thread's list of robust mutexes, which hands a dead owner's
// lock on. qemu-user does not emulate that list (set_robust_list fails there with ENOSYS).
bool RobustFutexListKept() {
    void* head = nullptr;
    size_t length = 0;
    return ::syscall(SYS_get_robust_list, 0, &head, &length) == 0 && head != nullptr;
}

}  // namespace

TEST(Mutex, InitializeIsIdempotentAndDestroyOnlyOnce) {
    Mutex mutex("m", false, true);
    EXPECT_FALSE(mutex.Destroy());
    EXPECT_TRUE(mutex.Initialize(true));
    EXPECT_TRUE(mutex.Initialize(true));
    EXPECT_TRUE(mutex.Destroy());
    EXPECT_FALSE(mutex.Destroy());
    EXPECT_EQ(mutex.GetName(), "m");
}

TEST(MutexGuard, LockingTwiceThroughOneGuardFailsAndUnlocksOnce) {
    Mutex mutex("m");
    {
        MutexGuard guard(mutex, false);
        EXPECT_TRUE(guard.Lock(1));
        EXPECT_FALSE(guard.Lock(1));
        EXPECT_FALSE(guard.Lock());
        EXPECT_TRUE(guard.IsLocked());
    }
    std::thread other([&] {
        MutexGuard guard(mutex, false);
        EXPECT_TRUE(guard.Lock(1));
    });
    other.join();
}

TEST(MutexGuard, InnerGuardOnTheSameThreadLeavesTheOuterLockHeld) {
    Mutex mutex("m");
    MutexGuard outer(mutex, false);
    ASSERT_TRUE(outer.Lock(1));
    {
        MutexGuard inner(mutex, false);
        EXPECT_TRUE(inner.Lock(1));
    }
    std::atomic<bool> obtained{true};
    std::thread other([&] {
        MutexGuard guard(mutex, false);
        obtained = guard.Lock(1);
    });
    other.join();
    EXPECT_FALSE(obtained) << "the inner guard released the outer guard's lock";
    EXPECT_TRUE(outer.Unlock());
    EXPECT_FALSE(outer.Unlock());
}

TEST(MutexGuard, TimedLockGivesUpWhileAnotherThreadHolds) {
    Mutex mutex("m");
    MutexGuard holder(mutex, false);
    ASSERT_TRUE(holder.Lock(1));
    std::atomic<bool> obtained{true};
    auto start = std::chrono::steady_clock::now();
    std::thread waiter([&] {
        MutexGuard guard(mutex, false);
        obtained = guard.Lock(1);
    });
    waiter.join();
    EXPECT_FALSE(obtained);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
}

TEST(MutexGuard, UntimedLockWaitsUntilTheMutexIsFree) {
    Mutex mutex("m");
    auto holder = std::make_unique<MutexGuard>(mutex, false);
    ASSERT_TRUE(holder->Lock(1));
    std::atomic<bool> obtained{false};
    std::thread waiter([&] {
        MutexGuard guard(mutex, false);
        obtained = guard.Lock(0);
    });
    holder.reset();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return obtained.load(); }));
    waiter.join();
}

TEST(MutexGuard, LockOfADeadOwnerIsRecoveredAndUsable) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer does not model the recovery of a robust mutex";
#endif
    if (!RobustFutexListKept()) {
        GTEST_SKIP() << "no robust futex list here (as under qemu-user)";
    }
    Mutex mutex("m");
    // The owner thread ends while its guard still holds the lock; the guard is never
    // destroyed (its short name needs no heap), as if the thread had died in the middle.
    alignas(MutexGuard) unsigned char abandoned[sizeof(MutexGuard)];
    std::thread owner([&] {
        MutexGuard* guard = new (abandoned) MutexGuard(mutex, false);
        ASSERT_TRUE(guard->Lock(1));
    });
    owner.join();
    {
        MutexGuard guard(mutex, false);
        EXPECT_TRUE(guard.Lock(1));
    }
    MutexGuard again(mutex, false);
    EXPECT_TRUE(again.Lock());
}

TEST(Thread, StartJoinAndNeverStarted) {
    std::atomic<int> runs{0};
    Thread thread([&] { ++runs; });
    EXPECT_FALSE(Thread({}).Start());
    Thread idle([] {});
    EXPECT_FALSE(idle.Join());
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.Join());
    EXPECT_FALSE(thread.Join());
    EXPECT_EQ(runs, 1);
}
