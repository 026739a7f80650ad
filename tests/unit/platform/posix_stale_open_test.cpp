// CreateFileA on POSIX when the file behind a name is replaced while it is being opened: by a
// writer whose rename lands between the open and the lock (the lock then comes on a file with
// no name left), or by another server of a network file system (its client hands out the file
// it looked up before, and the lock answers ESTALE). Either way the handle must end on the file
// that the name holds now, or the open must fail; never on a file that nobody reads again.
#include "temp_home.h"
#include "test_files.h"
#include "posix/pal_internal.h"
#include "system_calls.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/file.h>

namespace
{

struct CLockScript
{
    // The file whose locks the stand-in acts on; other files are locked as usual.
    std::string strPath;
    // Locks that answer ESTALE before real ones are taken; -1: every one.
    int nStaleLocks = 0;
    // A file renamed over strPath at the first lock: another writer's replacement landing.
    std::string strReplacement;
    int nLocks = 0;
    ino_t nFirstInode = 0;
};

CLockScript s_script;

ino_t InodeOf(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? st.st_ino : 0;
}

// What the name holds, read past the layer and its locks.
std::string ContentOf(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file first under the name, or the one that the name holds now.
bool IsScriptedFile(int nFd)
{
    struct stat st;
    return fstat(nFd, &st) == 0 &&
           (st.st_ino == s_script.nFirstInode || st.st_ino == InodeOf(s_script.strPath));
}

int ScriptedFlock(int nFd, int nOperation)
{
    if (!IsScriptedFile(nFd))
    {
        return flock(nFd, nOperation);
    }
    ++s_script.nLocks;
    if (s_script.nStaleLocks < 0 || s_script.nLocks <= s_script.nStaleLocks)
    {
        errno = ESTALE;
        return -1;
    }
    if (s_script.nLocks == 1 && !s_script.strReplacement.empty())
    {
        if (rename(s_script.strReplacement.c_str(), s_script.strPath.c_str()) != 0)
        {
            return -1;
        }
    }
    return flock(nFd, nOperation);
}

class StaleOpenTest : public CTempDirTest
{
protected:
    void SetUp() override
    {
        CTempDirTest::SetUp();
        s_script = CLockScript();
        s_script.strPath = Path(".store");
        ASSERT_TRUE(WriteWholeFile(s_script.strPath, "old"));
        s_script.nFirstInode = InodeOf(s_script.strPath);
        SetSystemCall("flock", (SYSTEM_CALL_PTR)ScriptedFlock);
    }
    void TearDown() override
    {
        ResetSystemCalls();
        CTempDirTest::TearDown();
    }
    HANDLE Open(DWORD dwDisposition)
    {
        return CreateFileA(s_script.strPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           dwDisposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    static std::string ReadAll(HANDLE hFile)
    {
        char acBuffer[64];
        DWORD dwRead = 0;
        EXPECT_TRUE(ReadFile(hFile, acBuffer, sizeof(acBuffer), &dwRead, nullptr));
        return std::string(acBuffer, dwRead);
    }
    static void Write(HANDLE hFile, const std::string& strData)
    {
        DWORD dwWritten = 0;
        EXPECT_TRUE(WriteFile(hFile, strData.data(), static_cast<DWORD>(strData.size()), &dwWritten,
                              nullptr));
        EXPECT_EQ(dwWritten, strData.size());
    }
};

} // namespace

TEST_F(StaleOpenTest, FileReplacedBeforeTheLockCameIsOpenedAgainUnderItsName)
{
    s_script.strReplacement = Path("replacement");
    ASSERT_TRUE(WriteWholeFile(s_script.strReplacement, "new"));
    HANDLE hFile = Open(OPEN_EXISTING);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadAll(hFile), "new");
    Write(hFile, "+held");
    CloseHandle(hFile);
    // What was written under the lock is what the name holds: nothing went to the old file.
    EXPECT_EQ(ContentOf(s_script.strPath), "new+held");
    EXPECT_EQ(ListNames(m_pDir->Path()), std::vector<std::string>{".store"});
}

TEST_F(StaleOpenTest, FileReplacedWhileItsReplacementWaitedIsReplacedAgain)
{
    s_script.strReplacement = Path("replacement");
    ASSERT_TRUE(WriteWholeFile(s_script.strReplacement, "new"));
    HANDLE hFile = Open(CREATE_ALWAYS);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    Write(hFile, "mine");
    // Until the handle is closed the name keeps the file that replaced the old one.
    EXPECT_EQ(ContentOf(s_script.strPath), "new");
    CloseHandle(hFile);
    EXPECT_EQ(ContentOf(s_script.strPath), "mine");
    EXPECT_EQ(ListNames(m_pDir->Path()), std::vector<std::string>{".store"});
}

TEST_F(StaleOpenTest, StaleFileIsLookedUpAgainAndOpened)
{
    s_script.nStaleLocks = kPalStaleReopens;
    HANDLE hFile = Open(OPEN_EXISTING);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(s_script.nLocks, kPalStaleReopens + 1);
    EXPECT_EQ(ReadAll(hFile), "old");
    CloseHandle(hFile);

    s_script.nLocks = 0;
    s_script.nStaleLocks = 1;
    hFile = CreateFileA(s_script.strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(s_script.nLocks, 2);
    CloseHandle(hFile);
}

TEST_F(StaleOpenTest, FileThatStaysStaleFailsAsANetworkErrorAndIsLeftAsItWas)
{
    s_script.nStaleLocks = -1;
    for (DWORD dwDisposition : {OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING, CREATE_ALWAYS})
    {
        SCOPED_TRACE(dwDisposition);
        s_script.nLocks = 0;
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(Open(dwDisposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNEXP_NET_ERR));
        // Bounded: the name is looked up again a few times, then the open gives up.
        EXPECT_EQ(s_script.nLocks, kPalStaleReopens + 1);
        EXPECT_EQ(ContentOf(s_script.strPath), "old");
        EXPECT_EQ(ListNames(m_pDir->Path()), std::vector<std::string>{".store"});
    }
}
