// What a hostile or broken file system entry does to the POSIX layer: FIFOs, sockets and devices
// are refused at once and never block; links are never written through; a replacement that cannot
// be finished leaves the old file whole; attributes tell what an entry is; a reader that went
// away does not end the program.
#include "bounded_child.h"
#include "temp_home.h"
#include "test_files.h"
#include "posix/pal_internal.h"
#include "posix/stdstreams.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

// How long an open may take before the test calls it blocked.
static const int kBlockedAfterMs = 5000;

static std::string ReadRaw(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

static void WriteRaw(const std::string& strPath, const std::string& strData)
{
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out << strData;
}

// A regression that blocks fails instead of hanging.
static int RunInChild(const std::function<int()>& fnChild)
{
    return RunInBoundedChild(fnChild, kBlockedAfterMs);
}

// 0 when the open is refused with ERROR_ACCESS_DENIED, 1 when it is refused otherwise, 2 when it
// succeeds.
static int OpenRefusedCode(const std::string& strPath, DWORD dwAccess, DWORD dwDisposition)
{
    HANDLE h =
        CreateFileA(strPath.c_str(), dwAccess, dwAccess == GENERIC_READ ? FILE_SHARE_READ : 0,
                    nullptr, dwDisposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE)
    {
        CloseHandle(h);
        return 2;
    }
    return GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1;
}

static int ListenOnUnixSocket(const std::string& strPath)
{
    int nFd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", strPath.c_str());
    if (nFd < 0 || bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(nFd, 1) != 0)
    {
        return -1;
    }
    return nFd;
}

// The names in the test directory, so that a left-over temporary file shows.
static std::set<std::string> Names(const std::string& strDir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(strDir))
    {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class PosixHostileFilesTest : public CTempDirTest
{
};

// New files start unnamed (O_TMPFILE) where the file system allows it, else under a temporary
// name: every case runs both ways.
class PosixCreateRoutesTest : public CTempDirTest, public ::testing::WithParamInterface<bool>
{
protected:
    void SetUp() override
    {
        CTempDirTest::SetUp();
        PalUseUnnamedFiles(GetParam());
    }
    void TearDown() override
    {
        PalUseUnnamedFiles(true);
        CTempDirTest::TearDown();
    }
};

INSTANTIATE_TEST_SUITE_P(Routes, PosixCreateRoutesTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info)
                         { return info.param ? "Unnamed" : "TemporaryName"; });

TEST_F(PosixHostileFilesTest, FifosSocketsAndDevicesAreRefusedAtOnce)
{
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    int nSocket = ListenOnUnixSocket(Path("sock"));
    ASSERT_GE(nSocket, 0);
    ASSERT_EQ(0, symlink("/dev/null", Path("null-link").c_str()));
    ASSERT_EQ(0, symlink(Path("fifo").c_str(), Path("fifo-link").c_str()));
    const std::string paths[] = {Path("fifo"), Path("sock"),      "/dev/null",
                                 "/dev/zero",  Path("null-link"), Path("fifo-link")};
    for (const std::string& strPath : paths)
    {
        for (DWORD dwAccess : {GENERIC_READ, GENERIC_WRITE})
        {
            for (DWORD dwDisposition : {OPEN_EXISTING, OPEN_ALWAYS})
            {
                int nCode =
                    RunInChild([&] { return OpenRefusedCode(strPath, dwAccess, dwDisposition); });
                EXPECT_EQ(0, nCode)
                    << strPath << " access " << std::hex << dwAccess << " disposition "
                    << dwDisposition << " (-1: blocked, 1: other error, 2: opened)";
            }
        }
    }
    close(nSocket);
}

TEST_F(PosixHostileFilesTest, FifoWithAReaderIsRefusedForWriting)
{
    // A reader present: the open itself would succeed; the type alone refuses it.
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    int nReader = open(Path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(nReader, 0);
    EXPECT_EQ(
        0, RunInChild([&] { return OpenRefusedCode(Path("fifo"), GENERIC_WRITE, OPEN_EXISTING); }));
    close(nReader);
}

TEST_F(PosixHostileFilesTest, CreatingOverAFifoOrSocketLeavesItInPlace)
{
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    int nSocket = ListenOnUnixSocket(Path("sock"));
    ASSERT_GE(nSocket, 0);
    for (const char* szName : {"fifo", "sock"})
    {
        for (DWORD dwDisposition : {CREATE_ALWAYS, CREATE_NEW})
        {
            int nCode = RunInChild(
                [&] { return OpenRefusedCode(Path(szName), GENERIC_WRITE, dwDisposition); });
            EXPECT_NE(-1, nCode) << szName << " blocked";
            EXPECT_NE(2, nCode) << szName << " opened";
        }
    }
    struct stat st;
    ASSERT_EQ(0, lstat(Path("fifo").c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(0, lstat(Path("sock").c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ((std::set<std::string>{"fifo", "sock"}), Names(m_strDir));
    close(nSocket);
}

TEST_P(PosixCreateRoutesTest, CreatingNeverWritesThroughALink)
{
    std::string strOutside = m_strDir + "_outside";
    WriteRaw(strOutside, "a file outside\n");
    ASSERT_EQ(0, symlink(strOutside.c_str(), Path(".store").c_str()));
    ASSERT_EQ(0, symlink((m_strDir + "_never").c_str(), Path("dangling").c_str()));
    for (DWORD dwDisposition : {CREATE_ALWAYS, CREATE_NEW})
    {
        for (const char* szName : {".store", "dangling"})
        {
            HANDLE h = OpenForWrite(Path(szName), dwDisposition);
            EXPECT_EQ(INVALID_HANDLE_VALUE, h) << szName << " " << dwDisposition;
            EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError()) << szName;
            if (h != INVALID_HANDLE_VALUE)
            {
                WriteFile(h, "12345678", 8, nullptr, nullptr);
                CloseHandle(h);
            }
        }
    }
    EXPECT_EQ("a file outside\n", ReadRaw(strOutside));
    EXPECT_FALSE(std::filesystem::exists(m_strDir + "_never"));
    EXPECT_TRUE(std::filesystem::is_symlink(Path(".store")));
    EXPECT_EQ((std::set<std::string>{".store", "dangling"}), Names(m_strDir));
    // Readers still follow a link to a regular file, as Windows opens through one.
    EXPECT_EQ("a file outside\n", ReadWholeFile(Path(".store")));
    std::filesystem::remove(strOutside);
}

TEST_P(PosixCreateRoutesTest, FailedWriteLeavesTheOldFileWhole)
{
    const std::string strOld = "the old content, longer than the limit";
    WriteRaw(Path("f"), strOld);
    // A file-size limit of 4 bytes: the replacement's write stops short with EFBIG.
    int nCode = RunInChild(
        [&]
        {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit lim = {4, 4};
            setrlimit(RLIMIT_FSIZE, &lim);
            HANDLE h = OpenForWrite(Path("f"));
            if (h == INVALID_HANDLE_VALUE)
            {
                return 10;
            }
            DWORD dwWritten = 0;
            BOOL bWrote = WriteFile(h, "0123456789", 10, &dwWritten, nullptr);
            CloseHandle(h);
            return bWrote ? 11 : 0;
        });
    EXPECT_EQ(0, nCode) << "10: not opened, 11: the write did not fail";
    EXPECT_EQ(strOld, ReadRaw(Path("f")));
    EXPECT_EQ((std::set<std::string>{"f"}), Names(m_strDir));
}

TEST_P(PosixCreateRoutesTest, KilledWriterLeavesTheOldFileWhole)
{
    WriteRaw(Path("f"), "12345678");
    int nCode = RunInChild(
        [&]
        {
            HANDLE h = OpenForWrite(Path("f"));
            DWORD dwWritten = 0;
            // Ends without CloseHandle, as a killed request does.
            return h != INVALID_HANDLE_VALUE && WriteFile(h, "ab", 2, &dwWritten, nullptr) ? 0 : 1;
        });
    EXPECT_EQ(0, nCode);
    EXPECT_EQ("12345678", ReadRaw(Path("f")));
    if (GetParam())
    {
        // An unnamed file went with its process.
        EXPECT_EQ((std::set<std::string>{"f"}), Names(m_strDir));
    }
}

// Readers and a replacing writer in two processes: every read is the whole old or new value.
TEST_P(PosixCreateRoutesTest, ReaderInAnotherProcessNeverSeesAShortFile)
{
    WriteRaw(Path("f"), "00000000");
    pid_t nWriter = fork();
    if (nWriter == 0)
    {
        for (int i = 0; i < 300; ++i)
        {
            char szValue[16];
            snprintf(szValue, sizeof(szValue), "%08d", i);
            // The reader holds the file most of the time: try each value until it lands.
            HANDLE h = INVALID_HANDLE_VALUE;
            for (int nTry = 0; nTry < 10000 && h == INVALID_HANDLE_VALUE; ++nTry)
            {
                h = OpenForWrite(Path("f"));
                if (h == INVALID_HANDLE_VALUE)
                {
                    usleep(50);
                }
            }
            if (h == INVALID_HANDLE_VALUE)
            {
                _exit(1);
            }
            WriteFile(h, szValue, 4, nullptr, nullptr);
            WriteFile(h, szValue + 4, 4, nullptr, nullptr);
            CloseHandle(h);
        }
        _exit(0);
    }
    int nShort = 0;
    int nWhole = 0;
    int nStatus = 0;
    while (waitpid(nWriter, &nStatus, WNOHANG) == 0)
    {
        std::string strData = ReadWholeFile(Path("f"));
        if (strData == "<error 32>")
        {
            continue;
        }
        nShort += strData.size() == 8 ? 0 : 1;
        ++nWhole;
    }
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "the writer never got in";
    EXPECT_EQ(0, nShort);
    EXPECT_GT(nWhole, 0);
    EXPECT_EQ("00000299", ReadRaw(Path("f")));
    EXPECT_EQ((std::set<std::string>{"f"}), Names(m_strDir));
}

TEST_P(PosixCreateRoutesTest, ReplacementThatCannotTakeItsPlaceIsReportedAndRemoved)
{
    HANDLE h = OpenForWrite(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(WriteFile(h, "new", 3, nullptr, nullptr));
    // Something else took the name meanwhile, and a file cannot replace it.
    ASSERT_EQ(0, mkdir(Path("f").c_str(), 0700));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(std::filesystem::is_directory(Path("f")));
    EXPECT_EQ((std::set<std::string>{"f"}), Names(m_strDir));
}

// A folder's listing during a replacement is the one Windows gives: the old file, its old size.
TEST_P(PosixCreateRoutesTest, ListingDuringAReplacementShowsTheOldFileOnly)
{
    WriteRaw(Path("f"), "12345678");
    HANDLE h = OpenForWrite(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(WriteFile(h, "0123456789abcdef", 16, nullptr, nullptr));
    std::map<std::string, DWORD> listed;
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA(Path("*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFind);
    do
    {
        listed[data.cFileName] = data.nFileSizeLow;
    } while (FindNextFileA(hFind, &data));
    FindClose(hFind);
    EXPECT_EQ((std::map<std::string, DWORD>{{".", 0}, {"..", 0}, {"f", 8}}), listed);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ("0123456789abcdef", ReadRaw(Path("f")));
}

TEST_P(PosixCreateRoutesTest, ReplacementKeepsPermissionsAndTellsItsTimes)
{
    WriteRaw(Path("f"), "old");
    ASSERT_EQ(0, chmod(Path("f").c_str(), 0640));
    FILETIME ftBefore;
    GetSystemTimeAsFileTime(&ftBefore);
    HANDLE h = OpenForWrite(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    FILETIME ftWrite = {0, 0};
    EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &ftWrite));
    uint64_t nBefore = FileTimeValue(ftBefore);
    uint64_t nWrite = FileTimeValue(ftWrite);
    // The new file's own time (within the file system's granularity), not the old file's.
    EXPECT_GE(nWrite + 20000000u, nBefore);
    EXPECT_TRUE(WriteFile(h, "new", 3, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(h));
    struct stat st;
    ASSERT_EQ(0, stat(Path("f").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    EXPECT_EQ("new", ReadRaw(Path("f")));
}

TEST_P(PosixCreateRoutesTest, LongNamesAreReplacedToo)
{
    std::string strName(250, 'n');
    WriteRaw(Path(strName), "old");
    ASSERT_TRUE(WriteWholeFile(Path(strName), "new"));
    EXPECT_EQ("new", ReadRaw(Path(strName)));
    EXPECT_EQ((std::set<std::string>{strName}), Names(m_strDir));
}

TEST_F(PosixHostileFilesTest, AttributesTellWhatAnEntryIs)
{
    ASSERT_TRUE(WriteWholeFile(Path("file"), "x"));
    ASSERT_EQ(0, symlink(Path("file").c_str(), Path("link").c_str()));
    ASSERT_EQ(0, symlink(m_strDir.c_str(), Path("dirlink").c_str()));
    ASSERT_EQ(0, symlink(Path("none").c_str(), Path("dangling").c_str()));
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    int nSocket = ListenOnUnixSocket(Path("sock"));
    ASSERT_GE(nSocket, 0);
    const DWORD dwKinds =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    EXPECT_EQ(0u, GetFileAttributesA(Path("file").c_str()) & dwKinds);
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA(m_strDir.c_str()) & dwKinds);
    EXPECT_EQ(FILE_ATTRIBUTE_REPARSE_POINT, GetFileAttributesA(Path("link").c_str()) & dwKinds);
    EXPECT_EQ(FILE_ATTRIBUTE_REPARSE_POINT, GetFileAttributesA(Path("dirlink").c_str()) & dwKinds);
    EXPECT_EQ(FILE_ATTRIBUTE_REPARSE_POINT, GetFileAttributesA(Path("dangling").c_str()) & dwKinds);
    for (const std::string& strPath : {Path("fifo"), Path("sock"), std::string("/dev/null")})
    {
        DWORD dw = GetFileAttributesA(strPath.c_str());
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, dw) << strPath;
        EXPECT_EQ(FILE_ATTRIBUTE_DEVICE, dw & dwKinds) << strPath;
    }
    EXPECT_EQ(0x400u, static_cast<unsigned>(FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_EQ(0x40u, static_cast<unsigned>(FILE_ATTRIBUTE_DEVICE));
    close(nSocket);
}

TEST(PosixBrokenPipe, WritingToAGoneReaderFailsAndTheProgramGoesOn)
{
    struct sigaction sa;
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &sa));
    EXPECT_EQ(SIG_IGN, sa.sa_handler);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[0]);
    CTextModeStreamBuf buf(fds[1]);
    std::ostream out(&buf);
    out << "Vendrel_OK\n";
    EXPECT_TRUE(out.fail());
    close(fds[1]);
}
