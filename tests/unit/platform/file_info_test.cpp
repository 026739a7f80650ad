// What an open handle is and holds: handles that only query a name, the kind of file behind a
// handle, its attributes and 64-bit size, and moving the file pointer.
#include "bounded_child.h"
#include "temp_home.h"
#include "test_files.h"

#include <string>

#ifndef _WIN32
#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace
{

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kQueryFlags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
const uint64_t kTwoGiB = 2ull * 1024 * 1024 * 1024;

HANDLE OpenForQuery(const std::string& strPath, DWORD dwFlags = kQueryFlags)
{
    return CreateFileA(strPath.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, dwFlags, nullptr);
}

uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info)
{
    return (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

class FileInfoTest : public CTempDirTest
{
};

} // namespace

TEST_F(FileInfoTest, QueryHandleOfAFileTellsItsKindAndSizeButReadsNothing)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "twelve bytes"));
    HANDLE h = OpenForQuery(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    EXPECT_EQ(FILE_TYPE_DISK, GetFileType(h));
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(0u, info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                           FILE_ATTRIBUTE_DEVICE));
    EXPECT_EQ(12u, SizeOf(info));
    EXPECT_GE(info.nNumberOfLinks, 1u);
    // No access was asked for: the content stays out of reach.
    char szBuf[16];
    DWORD dwRead = 0;
    EXPECT_FALSE(ReadFile(h, szBuf, sizeof(szBuf), &dwRead, nullptr));
    EXPECT_EQ(0u, dwRead);
    CloseHandle(h);
}

TEST_F(FileInfoTest, QueryHandleSharesWithEveryOtherOpen)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "x"));
    // A writer that shares nothing: the query still opens, and keeps no reader or writer out.
    HANDLE hWriter = CreateFileA(Path("f").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hWriter);
    HANDLE hQuery = OpenForQuery(Path("f"));
    EXPECT_NE(INVALID_HANDLE_VALUE, hQuery) << GetLastError();
    CloseHandle(hWriter);
    HANDLE hExclusive = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, hExclusive) << GetLastError();
    CloseHandle(hExclusive);
    CloseHandle(hQuery);
}

TEST_F(FileInfoTest, DirectoryOpensOnlyWithBackupSemantics)
{
    MakeDirectory(Path("d"));
    HANDLE hPlain = OpenForQuery(Path("d"), FILE_FLAG_OPEN_REPARSE_POINT);
    EXPECT_EQ(INVALID_HANDLE_VALUE, hPlain);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    CloseHandle(hPlain);

    HANDLE h = OpenForQuery(Path("d"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    EXPECT_EQ(FILE_TYPE_DISK, GetFileType(h));
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_NE(0u, info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(0u, SizeOf(info));
    CloseHandle(h);
}

TEST_F(FileInfoTest, MissingNameFailsWithItsError)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForQuery(Path("missing")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              OpenForQuery(Path("nodir") + VENDREL_DIR_SEP_STR + std::string("f")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST_F(FileInfoTest, InvalidHandlesAreRefused)
{
    EXPECT_EQ(FILE_TYPE_UNKNOWN, GetFileType(INVALID_HANDLE_VALUE));
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    EXPECT_FALSE(GetFileInformationByHandle(INVALID_HANDLE_VALUE, &info));
    EXPECT_EQ(INVALID_SET_FILE_POINTER,
              SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_BEGIN));
    EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
}

// A file of more than 2 GiB made by writing one byte past a seek: a hole on the file systems
// the tests run on, so it takes no room. Its size comes back whole in both words.
TEST_F(FileInfoTest, SizesBeyondTwoGigabytesComeBackWhole)
{
    HANDLE h = CreateFileA(Path("big").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    const uint64_t nOffset = 2 * kTwoGiB + 5;
    LONG lHigh = static_cast<LONG>(nOffset >> 32);
    DWORD dwLow = SetFilePointer(h, static_cast<LONG>(nOffset & 0xffffffffu), &lHigh, FILE_BEGIN);
    EXPECT_EQ(static_cast<DWORD>(nOffset & 0xffffffffu), dwLow);
    EXPECT_EQ(static_cast<LONG>(nOffset >> 32), lHigh);
    DWORD dwWritten = 0;
    ASSERT_TRUE(WriteFile(h, "z", 1, &dwWritten, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(nOffset + 1, SizeOf(info));
    CloseHandle(h);

    HANDLE hQuery = OpenForQuery(Path("big"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hQuery);
    ASSERT_TRUE(GetFileInformationByHandle(hQuery, &info));
    EXPECT_EQ(nOffset + 1, SizeOf(info));
    CloseHandle(hQuery);
}

TEST_F(FileInfoTest, FilePointerMovesFromEachOriginAndRefusesANegativePosition)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "0123456789"));
    HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    char szBuf[4] = {0};
    DWORD dwRead = 0;
    ASSERT_TRUE(ReadFile(h, szBuf, 3, &dwRead, nullptr));
    EXPECT_EQ(5u, SetFilePointer(h, 2, nullptr, FILE_CURRENT));
    EXPECT_EQ(8u, SetFilePointer(h, -2, nullptr, FILE_END));
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -1, nullptr, FILE_BEGIN));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());
    // Rewritten in place at the start: the file keeps its length and the rest of its bytes.
    LONG lHigh = 0;
    EXPECT_EQ(0u, SetFilePointer(h, 0, &lHigh, FILE_BEGIN));
    EXPECT_EQ(0, lHigh);
    DWORD dwWritten = 0;
    ASSERT_TRUE(WriteFile(h, "ab", 2, &dwWritten, nullptr));
    CloseHandle(h);
    EXPECT_EQ("ab23456789", ReadWholeFile(Path("f")));
}

TEST_F(FileInfoTest, EndOfFileIsSetAtTheFilePointer)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "0123456789"));
    HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(4u, SetFilePointer(h, 4, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(h));
    CloseHandle(h);
    EXPECT_EQ("0123", ReadWholeFile(Path("f")));

    // Not without write access.
    HANDLE hReader = OpenForRead(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hReader);
    EXPECT_EQ(1u, SetFilePointer(hReader, 1, nullptr, FILE_BEGIN));
    EXPECT_FALSE(SetEndOfFile(hReader));
    CloseHandle(hReader);
    EXPECT_EQ("0123", ReadWholeFile(Path("f")));
}

#ifdef _WIN32
// Names that Windows maps to devices are no disk files, in any spelling, and asking what they
// are neither blocks nor reads them.
TEST_F(FileInfoTest, DeviceNamesAreNoDiskFiles)
{
    // The null device opens in every directory, and is a character device.
    HANDLE hNul = OpenForQuery(Path("NUL"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hNul);
    EXPECT_EQ(FILE_TYPE_CHAR, GetFileType(hNul));
    CloseHandle(hNul);
    for (const char* szName : {"NUL", "nul.txt", "NUL.", "NUL ", "CON", "AUX.txt", "PRN", "COM1",
                               "com9.log", "LPT1", "lpt9"})
    {
        HANDLE h = OpenForQuery(Path(szName));
        if (h != INVALID_HANDLE_VALUE)
        {
            EXPECT_NE(FILE_TYPE_DISK, GetFileType(h)) << szName;
            CloseHandle(h);
        }
    }
}
#endif

#ifndef _WIN32
namespace
{

// An open that blocks fails the test instead of hanging it.
const int kBlockedAfterMs = 5000;

int RunBounded(const std::function<int()>& fnChild)
{
    return RunInBoundedChild(fnChild, kBlockedAfterMs);
}

// The type and attributes a query handle reports for szPath, as one number for the child's exit
// status: type * 16 + (1 directory, 2 link, 4 device); 0 when the open failed.
int QueryKind(const std::string& strPath)
{
    HANDLE h = OpenForQuery(strPath);
    if (h == INVALID_HANDLE_VALUE)
    {
        return 0;
    }
    int nKind = static_cast<int>(GetFileType(h)) * 16;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info))
    {
        nKind |= (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
        nKind |= (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? 2 : 0;
        nKind |= (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0 ? 4 : 0;
    }
    CloseHandle(h);
    return nKind;
}

} // namespace

// Every kind of entry opens for a query at once, and says what it is.
TEST_F(FileInfoTest, QueryOfEveryKindOfEntryNeverBlocksAndTellsItsKind)
{
    ASSERT_TRUE(WriteWholeFile(Path("file"), "content"));
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    ASSERT_EQ(0, symlink(Path("file").c_str(), Path("link").c_str()));
    ASSERT_EQ(0, symlink("/dev/null", Path("devlink").c_str()));
    int nSocket = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(nSocket, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string strSocket = Path("sock");
    ASSERT_LT(strSocket.size(), sizeof(addr.sun_path));
    memcpy(addr.sun_path, strSocket.c_str(), strSocket.size() + 1);
    ASSERT_EQ(0, bind(nSocket, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));

    struct SCase
    {
        std::string strPath;
        int nKind;
    } const aCases[] = {
        {Path("file"), FILE_TYPE_DISK * 16},        {Path("fifo"), FILE_TYPE_PIPE * 16 + 4},
        {Path("sock"), FILE_TYPE_PIPE * 16 + 4},    {"/dev/null", FILE_TYPE_CHAR * 16 + 4},
        {"/dev/tty", FILE_TYPE_CHAR * 16 + 4},      {Path("link"), FILE_TYPE_DISK * 16 + 2},
        {Path("devlink"), FILE_TYPE_DISK * 16 + 2}, {m_strDir, FILE_TYPE_DISK * 16 + 1},
    };
    for (const SCase& c : aCases)
    {
        EXPECT_EQ(c.nKind, RunBounded([&] { return QueryKind(c.strPath); })) << c.strPath;
    }
    close(nSocket);
}

TEST_F(FileInfoTest, LinkIsFollowedOnlyWithoutTheReparsePointFlag)
{
    ASSERT_TRUE(WriteWholeFile(Path("target"), "target bytes"));
    ASSERT_EQ(0, symlink(Path("target").c_str(), Path("link").c_str()));
    HANDLE h = OpenForQuery(Path("link"), FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(0u, info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(12u, SizeOf(info));
    CloseHandle(h);

    // Read and write access through the flag: this layer never hands out the link itself for
    // that, and never goes through it.
    HANDLE hWrite = CreateFileA(Path("link").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, hWrite);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ("target bytes", ReadWholeFile(Path("target")));
    // Without the flag an existing file is opened through a link, as before.
    HANDLE hRead = CreateFileA(Path("link").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, hRead);
    CloseHandle(hRead);
}
#endif
