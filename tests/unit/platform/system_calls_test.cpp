// The table of overridable system calls: where each accessor leads, set and get by name, the
// reset, and names the table does not hold.
#include "system_calls.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include "posix/pal_internal.h"

#include <sys/file.h>
#include <unistd.h>
#endif

namespace
{

struct CExpectedCall
{
    ESystemCall eIndex;
    const char* szName;
    SYSTEM_CALL_PTR pfnSystem;
};

// Each entry's index, name and system function, so that a table out of step with its
// accessors cannot pass. Compared as static data with static data: on Windows a function's
// address there is its import stub, while code that names the function gets the system's own.
const CExpectedCall s_aExpected[] = {
    {SYSCALL_CREATE_FILE_W, "CreateFileW", (SYSTEM_CALL_PTR)CreateFileW},
    {SYSCALL_WRITE_FILE, "WriteFile", (SYSTEM_CALL_PTR)WriteFile},
    {SYSCALL_GET_TICK_COUNT, "GetTickCount", (SYSTEM_CALL_PTR)GetTickCount},
    {SYSCALL_GET_SYSTEM_TIME_AS_FILE_TIME, "GetSystemTimeAsFileTime",
     (SYSTEM_CALL_PTR)GetSystemTimeAsFileTime},
    {SYSCALL_TIME, "time", NULL},
    {SYSCALL_GET_FILE_ATTRIBUTES_A, "GetFileAttributesA", (SYSTEM_CALL_PTR)GetFileAttributesA},
    {SYSCALL_MOVE_FILE_A, "MoveFileA", (SYSTEM_CALL_PTR)MoveFileA},
    {SYSCALL_SLEEP, "Sleep", (SYSTEM_CALL_PTR)Sleep},
    {SYSCALL_FLUSH_FILE_BUFFERS, "FlushFileBuffers", (SYSTEM_CALL_PTR)FlushFileBuffers},
    {SYSCALL_GET_MODULE_FILE_NAME_A, "GetModuleFileNameA", (SYSTEM_CALL_PTR)GetModuleFileNameA},
#ifndef _WIN32
    // What the POSIX layer calls itself for durable and never-replacing moves.
    {SYSCALL_FSYNC, "fsync", (SYSTEM_CALL_PTR)fsync},
    {SYSCALL_LINK, "link", (SYSTEM_CALL_PTR)link},
    {SYSCALL_RENAME_NO_REPLACE, "PalRenameNoReplace", (SYSTEM_CALL_PTR)PalRenameNoReplace},
    {SYSCALL_WRITE, "write", (SYSTEM_CALL_PTR)write},
    {SYSCALL_FLOCK, "flock", (SYSTEM_CALL_PTR)flock},
#endif
};

DWORD WINAPI FixedTick()
{
    return 4242;
}

time_t FixedTime(time_t* pTime)
{
    if (pTime != NULL)
    {
        *pTime = 77;
    }
    return 77;
}

int s_nSleeps = 0;

void WINAPI CountingSleep(DWORD)
{
    s_nSleeps++;
}

class SystemCallsTest : public ::testing::Test
{
protected:
    void SetUp() override { ResetSystemCalls(); }
    void TearDown() override { ResetSystemCalls(); }
};

} // namespace

TEST_F(SystemCallsTest, EveryEntryStartsAsTheSystemCallOfItsName)
{
    static_assert(sizeof(s_aExpected) / sizeof(s_aExpected[0]) == SYSCALL_COUNT,
                  "every entry is checked");
    for (const CExpectedCall& expected : s_aExpected)
    {
        const CSystemCall& entry = g_aSystemCalls[expected.eIndex];
        EXPECT_STREQ(entry.szName, expected.szName);
        EXPECT_EQ(GetSystemCall(expected.szName), entry.pfnCurrent) << expected.szName;
        EXPECT_EQ(entry.pfnCurrent, entry.pfnDefault) << expected.szName;
        EXPECT_NE(entry.pfnDefault, (SYSTEM_CALL_PTR)NULL) << expected.szName;
        if (expected.pfnSystem != NULL)
        {
            EXPECT_EQ(entry.pfnDefault, expected.pfnSystem) << expected.szName;
        }
    }
    // The C runtime's clock, whichever function the runtime gives it as.
    time_t tBefore = time(NULL);
    time_t tTable = osTime(NULL);
    EXPECT_GE(tTable, tBefore);
    EXPECT_LE(tTable, time(NULL));
}

TEST_F(SystemCallsTest, SetRedirectsOnlyItsOwnAccessor)
{
    EXPECT_TRUE(SetSystemCall("GetTickCount", (SYSTEM_CALL_PTR)FixedTick));
    EXPECT_TRUE(SetSystemCall("time", (SYSTEM_CALL_PTR)FixedTime));
    EXPECT_EQ(GetSystemCall("GetTickCount"), (SYSTEM_CALL_PTR)FixedTick);
    EXPECT_EQ(osGetTickCount(), 4242u);
    time_t tOut = 0;
    EXPECT_EQ(osTime(&tOut), 77);
    EXPECT_EQ(tOut, 77);
    EXPECT_EQ(GetSystemCall("Sleep"), g_aSystemCalls[SYSCALL_SLEEP].pfnDefault);
    EXPECT_EQ(GetSystemCall("MoveFileA"), g_aSystemCalls[SYSCALL_MOVE_FILE_A].pfnDefault);
}

TEST_F(SystemCallsTest, NullPutsTheSystemCallBack)
{
    s_nSleeps = 0;
    ASSERT_TRUE(SetSystemCall("Sleep", (SYSTEM_CALL_PTR)CountingSleep));
    osSleep(1000);
    EXPECT_EQ(s_nSleeps, 1);
    EXPECT_TRUE(SetSystemCall("Sleep", NULL));
    EXPECT_EQ(GetSystemCall("Sleep"), g_aSystemCalls[SYSCALL_SLEEP].pfnDefault);
    osSleep(0);
    EXPECT_EQ(s_nSleeps, 1);
}

TEST_F(SystemCallsTest, ResetPutsEveryEntryBack)
{
    for (const CExpectedCall& expected : s_aExpected)
    {
        ASSERT_TRUE(SetSystemCall(expected.szName, (SYSTEM_CALL_PTR)CountingSleep));
    }
    ResetSystemCalls();
    for (const CExpectedCall& expected : s_aExpected)
    {
        const CSystemCall& entry = g_aSystemCalls[expected.eIndex];
        EXPECT_EQ(entry.pfnCurrent, entry.pfnDefault) << expected.szName;
        EXPECT_NE(entry.pfnCurrent, (SYSTEM_CALL_PTR)CountingSleep) << expected.szName;
    }
}

TEST_F(SystemCallsTest, UnknownNamesChangeNothing)
{
    // Names are matched exactly: a call the table does not hold, another case, a prefix.
    for (const char* szName : {"CreateFileA", "sleep", "Sleep ", "Move", "", (const char*)NULL})
    {
        EXPECT_FALSE(SetSystemCall(szName, (SYSTEM_CALL_PTR)CountingSleep)) << szName;
        EXPECT_EQ(GetSystemCall(szName), (SYSTEM_CALL_PTR)NULL) << szName;
    }
    for (const CExpectedCall& expected : s_aExpected)
    {
        const CSystemCall& entry = g_aSystemCalls[expected.eIndex];
        EXPECT_EQ(entry.pfnCurrent, entry.pfnDefault) << expected.szName;
    }
}
