#include "os/CSrtLibrary.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <thread>

namespace {

int ThreadCount()
{
    int n = 0;
    if (DIR* pDir = opendir("/proc/self/task")) {
        while (const dirent* pEntry = readdir(pDir)) {
            n += pEntry->d_name[0] != '.';
        }
        closedir(pDir);
    }
    return n;
}

} // namespace

// The library's threads run from the first use to the end of the last, and
// a library cleaned up starts again for the next user.
TEST(CSrtLibraryTest, LastUseEndsTheLibrarysThreads)
{
    // A sanitizer starts a thread of its own with the process's first one.
    std::thread([] {}).join();
    const int nBefore = ThreadCount();
    ASSERT_EQ(os::CSrtLibrary::GetUsers(), 0) << "an earlier test left a user alive";
    for (int nRound = 0; nRound < 2; ++nRound) {
        {
            os::CSrtLibrary first;
            ASSERT_TRUE(first.IsStarted());
            {
                os::CSrtLibrary second;
                EXPECT_EQ(os::CSrtLibrary::GetUsers(), 2);
            }
            EXPECT_EQ(os::CSrtLibrary::GetUsers(), 1);
            EXPECT_GT(ThreadCount(), nBefore) << "still started after the second went";
        }
        EXPECT_EQ(os::CSrtLibrary::GetUsers(), 0);
        EXPECT_EQ(ThreadCount(), nBefore) << "round " << nRound;
    }
}
