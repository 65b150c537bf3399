#include "IoNames.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

// Standard output by any name is the same open file: the output is then
// treated like "-", so that no line lands inside the multiplex.
TEST(IoNamesStdoutTest, SameFileIsKnownByAnyName)
{
    const std::string sDir = ::testing::TempDir() + "bm_stdout_" + std::to_string(getpid());
    const std::string sFile = sDir + ".ts", sOther = sDir + ".other", sLink = sDir + ".link";
    const int fd = open(sFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const int fdOther = open(sOther.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fdOther, 0);
    ASSERT_EQ(symlink(sFile.c_str(), sLink.c_str()), 0);
    const std::string sProcName = "/proc/self/fd/" + std::to_string(fd);

    EXPECT_TRUE(IsSameFileAsFd(sFile.c_str(), fd));
    EXPECT_TRUE(IsSameFileAsFd(sLink.c_str(), fd));
    EXPECT_TRUE(IsSameFileAsFd(sProcName.c_str(), fd));
    EXPECT_FALSE(IsSameFileAsFd(sOther.c_str(), fd));
    EXPECT_FALSE(IsSameFileAsFd((sDir + ".missing").c_str(), fd));
    EXPECT_FALSE(IsSameFileAsFd(nullptr, fd));
    close(fdOther);
    EXPECT_FALSE(IsSameFileAsFd(sFile.c_str(), fdOther)); // a closed descriptor is nobody's

    EXPECT_TRUE(IsStdoutName("-"));
    EXPECT_TRUE(IsStdoutName("/dev/stdout"));
    EXPECT_TRUE(IsStdoutName("/proc/self/fd/1"));
    EXPECT_FALSE(IsStdoutName(sFile.c_str()));
    close(fd);
    std::remove(sLink.c_str());
    std::remove(sFile.c_str());
    std::remove(sOther.c_str());
}
