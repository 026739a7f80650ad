// The named-pipe client when no server is there.
#include "platform.h"

#include <gtest/gtest.h>

#include <chrono>

TEST(PipeClient, NoServerFailsWithFileNotFoundAtOnce)
{
    auto start = std::chrono::steady_clock::now();
    HANDLE h = CreateFileW(VTEXT("\\\\.\\pipe\\vendrel_test_no_server_here"), GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD dwError = GetLastError();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), dwError);
    // "At once": far below the 20 s that a busy pipe would be waited for.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2000);
}

TEST(PipeClient, WaitingForAMissingPipeFailsWithFileNotFound)
{
    EXPECT_FALSE(WaitNamedPipeW(VTEXT("\\\\.\\pipe\\vendrel_test_no_server_here"), 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST(PipeClient, PipeStateOfAFileHandleFails)
{
    char szPath[MAX_PATH];
    GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    HANDLE h =
        CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD dwMode = PIPE_READMODE_MESSAGE;
    EXPECT_FALSE(SetNamedPipeHandleState(h, &dwMode, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    CloseHandle(h);
}
