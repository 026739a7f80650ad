// Clocks, identity, the executable's path, and loading libraries by their Windows names.
#include "platform.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>

TEST(Clock, TickCountAdvancesInMilliseconds)
{
    DWORD dwStart = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    DWORD dwElapsed = GetTickCount() - dwStart;
    EXPECT_GE(dwElapsed, 40u);
    EXPECT_LT(dwElapsed, 10000u);
}

TEST(Clock, SystemTimeCountsFrom1601)
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULONGLONG nTicks = FileTimeValue(ft);
    long long nUnix = static_cast<long long>(nTicks / 10000000ULL) - 11644473600LL;
    long long nNow = static_cast<long long>(time(nullptr));
    EXPECT_LE(nUnix - nNow, 2);
    EXPECT_GE(nUnix - nNow, -2);
}

TEST(Identity, ThreadsHaveTheirOwnIds)
{
    DWORD dwMain = GetCurrentThreadId();
    DWORD dwOther = 0;
    DWORD dwOtherPid = 0;
    std::thread other(
        [&]
        {
            dwOther = GetCurrentThreadId();
            dwOtherPid = GetCurrentProcessId();
        });
    other.join();
    EXPECT_NE(0u, dwMain);
    EXPECT_NE(dwMain, dwOther);
    EXPECT_EQ(GetCurrentProcessId(), dwOtherPid);
}

TEST(Identity, LastErrorBelongsToTheThread)
{
    // Both threads set their own code, then look at it only after the other has set its one.
    // The hand-over spins on atomics: thread start and join call the system, which may change
    // the last error of the thread that waits.
    std::atomic<int> nPhase(0);
    DWORD dwOtherSeen = 0;
    std::thread other(
        [&]
        {
            SetLastError(ERROR_PIPE_BUSY);
            nPhase = 1;
            while (nPhase.load() != 2)
            {
            }
            dwOtherSeen = GetLastError();
        });
    while (nPhase.load() != 1)
    {
    }
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD dwMainSeen = GetLastError();
    nPhase = 2;
    other.join();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), dwMainSeen);
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), dwOtherSeen);
}

TEST(ModulePath, NamesTheRunningExecutable)
{
    char szPath[MAX_PATH];
    DWORD dwLen = GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    ASSERT_GT(dwLen, 0u);
    ASSERT_LT(dwLen, static_cast<DWORD>(MAX_PATH));
    EXPECT_EQ(dwLen, strlen(szPath));
    std::string strPath(szPath);
    EXPECT_NE(std::string::npos, strPath.find("platform_tests"));
    EXPECT_NE(std::string::npos, strPath.find(VENDREL_DIR_SEP));
}

TEST(ModulePath, CutToTheBuffer)
{
    char szFull[MAX_PATH];
    GetModuleFileNameA(nullptr, szFull, sizeof(szFull));
    char szCut[6];
    memset(szCut, 'Z', sizeof(szCut));
    EXPECT_EQ(5u, GetModuleFileNameA(nullptr, szCut, 5));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(std::string(szFull, 4), std::string(szCut, 4));
    EXPECT_EQ('Z', szCut[5]);
}

TEST(Loader, LoadsLibraryByItsWindowsName)
{
    HMODULE hLib = LoadLibraryA("paltestmod.dll");
    ASSERT_NE(nullptr, hLib);
    typedef int (*PFN_ANSWER)();
    // Through the generic function pointer type, which converts to any other without warning.
    PFN_ANSWER pfnAnswer = reinterpret_cast<PFN_ANSWER>(
        reinterpret_cast<void (*)()>(GetProcAddress(hLib, "PalTestAnswer")));
    ASSERT_NE(nullptr, pfnAnswer);
    EXPECT_EQ(42, pfnAnswer());
    EXPECT_EQ(nullptr, GetProcAddress(hLib, "NoSuchEntryPoint"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), GetLastError());
    EXPECT_TRUE(FreeLibrary(hLib));
}

TEST(Loader, MissingLibraryFailsWithModNotFound)
{
    EXPECT_EQ(nullptr, LoadLibraryA("vendrel_no_such_library.dll"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}
