// First checks that the platform layer links and answers as the system does.
#include "platform.h"

#include <gtest/gtest.h>

TEST(PlatformSmoke, LastErrorIsKept)
{
    SetLastError(ERROR_SHARING_VIOLATION);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
}

TEST(PlatformSmoke, OpeningMissingFileFails)
{
    HANDLE h = CreateFileA("no-such-file.vendrel", GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST(PlatformSmoke, BoundedFormatCuts)
{
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(-1, _snprintf(buf, 3, "%s", "abcdef"));
    EXPECT_EQ('c', buf[2]);
    EXPECT_EQ('x', buf[3]);
}
