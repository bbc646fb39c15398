#include "velta/source/task/Condition.h"

#include <gtest/gtest.h>

#include <thread>

#include "velta/source/task/Mutex.h"
#include "velta/source/task/Semaphore.h"

TEST(Condition, SignalFromAnotherThreadEndsTheWaitAndStaysRaised)
{
    Condition condition;
    std::thread signaller([&] { condition.signal(); });
    EXPECT_EQ(condition.wait(60000), 0);
    signaller.join();
    EXPECT_EQ(condition.wait(0), 0);
    condition.reset();
    EXPECT_EQ(condition.wait(20), 1);
}

TEST(Semaphore, PostsFromAnotherThreadReleaseWaitsAndReportTheCount)
{
    Semaphore semaphore(1);
    EXPECT_TRUE(semaphore.lock());
    int value = -1;
    EXPECT_TRUE(semaphore.unlock(&value));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(semaphore.lock());
    std::thread poster([&] { semaphore.unlock(); });
    EXPECT_TRUE(semaphore.lock());
    poster.join();
}

TEST(Mutex, OwnerMayLockAgainAndShieldsGuardOtherThreads)
{
    Mutex mutex;
    int counter = 0;
    {
        MutexShield outer(&mutex);
        MutexShield inner(&mutex);
        ++counter;
    }
    std::thread other([&] {
        for (int i = 0; i < 1000; ++i) {
            MutexShield shield(&mutex);
            ++counter;
        }
    });
    for (int i = 0; i < 1000; ++i) {
        MutexShield shield(&mutex);
        ++counter;
    }
    other.join();
    EXPECT_EQ(counter, 2001);
}
