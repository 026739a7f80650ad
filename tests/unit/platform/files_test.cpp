// Opening files with share modes and dispositions, reading, writing, times, attributes, deletion.
#include "temp_home.h"
#include "test_files.h"

#include <algorithm>
#include <thread>

#include <atomic>
#include <filesystem>
#include <vector>

// Enough rounds for the reader to meet the writer many times, few enough for Wine.
static const int kReplaceRounds = 200;

class FilesTest : public CTempDirTest
{
};

TEST_F(FilesTest, TwoReadersSharingReadsBothOpen)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "data"));
    HANDLE h1 = OpenForRead(Path("f"));
    HANDLE h2 = OpenForRead(Path("f"));
    EXPECT_NE(INVALID_HANDLE_VALUE, h1);
    EXPECT_NE(INVALID_HANDLE_VALUE, h2);
    CloseHandle(h1);
    CloseHandle(h2);
}

TEST_F(FilesTest, WriterKeepsReadersOut)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "old"));
    HANDLE hWriter = OpenForWrite(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hWriter);
    EXPECT_TRUE(RefusedForSharing(OpenForRead(Path("f"))));
    CloseHandle(hWriter);
    HANDLE hReader = OpenForRead(Path("f"));
    EXPECT_NE(INVALID_HANDLE_VALUE, hReader);
    CloseHandle(hReader);
}

TEST_F(FilesTest, ReaderKeepsWriterOutAndContentIntact)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "12345678"));
    HANDLE hReader = OpenForRead(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hReader);
    EXPECT_TRUE(RefusedForSharing(OpenForWrite(Path("f"))));
    // The refused CREATE_ALWAYS must not have truncated what the reader reads.
    char buf[16] = {0};
    DWORD dwGot = 0;
    EXPECT_TRUE(ReadFile(hReader, buf, sizeof(buf), &dwGot, nullptr));
    EXPECT_EQ(8u, dwGot);
    EXPECT_EQ(std::string("12345678"), std::string(buf, dwGot));
    CloseHandle(hReader);
    EXPECT_EQ(std::vector<std::string>{"f"}, ListNames(m_strDir));
}

TEST_F(FilesTest, ReaderNotSharingKeepsOtherReadersOut)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "x"));
    HANDLE h1 = OpenForRead(Path("f"), 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, h1);
    EXPECT_TRUE(RefusedForSharing(OpenForRead(Path("f"))));
    CloseHandle(h1);
}

TEST_F(FilesTest, ConflictAcrossThreads)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "old"));
    HANDLE hWriter = OpenForWrite(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hWriter);
    DWORD dwError = 0;
    std::thread reader(
        [&]
        {
            HANDLE h = OpenForRead(Path("f"));
            dwError = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
            if (h != INVALID_HANDLE_VALUE)
            {
                CloseHandle(h);
            }
        });
    reader.join();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), dwError);
    CloseHandle(hWriter);
}

TEST_F(FilesTest, CreateAlwaysTruncatesAndTellsTheFileExisted)
{
    HANDLE h = OpenForWrite(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    DWORD dwWritten = 0;
    EXPECT_TRUE(WriteFile(h, "0123456789", 10, &dwWritten, nullptr));
    EXPECT_EQ(10u, dwWritten);
    CloseHandle(h);
    h = OpenForWrite(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_TRUE(WriteFile(h, "ab", 2, &dwWritten, nullptr));
    CloseHandle(h);
    EXPECT_EQ("ab", ReadWholeFile(Path("f")));
}

// A file being created is never read empty: a reader meets the writer's lock or no file at all.
TEST_F(FilesTest, FileBeingCreatedIsNeverReadEmpty)
{
    HANDLE hWriter = OpenForWrite(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, hWriter);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForRead(Path("f")));
    DWORD dwError = GetLastError();
    EXPECT_TRUE(dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_FILE_NOT_FOUND) << dwError;
    EXPECT_TRUE(WriteFile(hWriter, "12345678", 8, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(hWriter));
    EXPECT_EQ("12345678", ReadWholeFile(Path("f")));
}

TEST_F(FilesTest, CreatedNewFileIsLockedFromTheStart)
{
    HANDLE hWriter = OpenForWrite(Path("f"), CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, hWriter);
    EXPECT_TRUE(RefusedForSharing(OpenForRead(Path("f"))));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForWrite(Path("f"), CREATE_NEW));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
    EXPECT_TRUE(WriteFile(hWriter, "abc", 3, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(hWriter));
    EXPECT_EQ("abc", ReadWholeFile(Path("f")));
    EXPECT_EQ(std::vector<std::string>{"f"}, ListNames(m_strDir));
}

// Readers racing a writer that keeps replacing the file see a whole old or new content, or the
// writer's lock; never an empty or short file, and nothing is left behind.
TEST_F(FilesTest, ReplacedFileIsReadWholeOrNotAtAll)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "00000000"));
    std::atomic<bool> bDone{false};
    std::atomic<int> nBad{0};
    std::atomic<int> nWhole{0};
    std::thread reader(
        [&]
        {
            while (!bDone)
            {
                HANDLE h = OpenForRead(Path("f"));
                if (h == INVALID_HANDLE_VALUE)
                {
                    nBad += GetLastError() == ERROR_SHARING_VIOLATION ? 0 : 1;
                    continue;
                }
                char buf[16];
                DWORD dwGot = 0;
                ReadFile(h, buf, sizeof(buf), &dwGot, nullptr);
                CloseHandle(h);
                nBad += dwGot == 8 ? 0 : 1;
                ++nWhole;
            }
        });
    for (int i = 0; i < kReplaceRounds; ++i)
    {
        char szValue[16];
        snprintf(szValue, sizeof(szValue), "%08d", i);
        HANDLE h = OpenForWrite(Path("f"));
        if (h == INVALID_HANDLE_VALUE)
        {
            // The reader holds the file this moment, as it may on Windows.
            EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
            continue;
        }
        // Two writes, so that a reader could meet the file half-written.
        EXPECT_TRUE(WriteFile(h, szValue, 4, nullptr, nullptr));
        EXPECT_TRUE(WriteFile(h, szValue + 4, 4, nullptr, nullptr));
        EXPECT_TRUE(CloseHandle(h));
    }
    bDone = true;
    reader.join();
    EXPECT_EQ(0, nBad.load());
    EXPECT_GT(nWhole.load(), 0);
    EXPECT_EQ(std::vector<std::string>{"f"}, ListNames(m_strDir));
}

TEST_F(FilesTest, CreateNewRefusesAnExistingFile)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "keep"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForWrite(Path("f"), CREATE_NEW));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
    EXPECT_EQ("keep", ReadWholeFile(Path("f")));
    HANDLE h = OpenForWrite(Path("g"), CREATE_NEW);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
}

TEST_F(FilesTest, OpenAlwaysKeepsContent)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "keep"));
    HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    CloseHandle(h);
    EXPECT_EQ("keep", ReadWholeFile(Path("f")));
}

TEST_F(FilesTest, MissingFileAndMissingDirectoryAreToldApart)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForRead(Path("none")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForWrite(Path("nodir" VENDREL_DIR_SEP_STR "f")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    ASSERT_TRUE(WriteWholeFile(Path("file"), "x"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForRead(Path("file" VENDREL_DIR_SEP_STR "x")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForRead(""));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST_F(FilesTest, DirectoryIsNotOpenedAsFile)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForRead(m_strDir));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenForWrite(m_strDir));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(FilesTest, AccessModeIsEnforced)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "abc"));
    HANDLE h = OpenForRead(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD dwWritten = 99;
    EXPECT_FALSE(WriteFile(h, "x", 1, &dwWritten, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(0u, dwWritten);
    CloseHandle(h);
    h = OpenForWrite(Path("f"), OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    char buf[4];
    DWORD dwGot = 99;
    EXPECT_FALSE(ReadFile(h, buf, sizeof(buf), &dwGot, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(0u, dwGot);
    CloseHandle(h);
}

TEST_F(FilesTest, LargeWriteReadsBackAndEndOfFileReadsZero)
{
    std::string strData;
    for (int i = 0; i < 300000; ++i)
    {
        strData.push_back(static_cast<char>('a' + i % 26));
    }
    ASSERT_TRUE(WriteWholeFile(Path("big"), strData));
    EXPECT_EQ(strData, ReadWholeFile(Path("big")));
    HANDLE h = OpenForRead(Path("big"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::string strBuf(strData.size() + 10, '\0');
    DWORD dwGot = 0;
    EXPECT_TRUE(ReadFile(h, &strBuf[0], static_cast<DWORD>(strBuf.size()), &dwGot, nullptr));
    EXPECT_EQ(strData.size(), dwGot);
    EXPECT_TRUE(ReadFile(h, &strBuf[0], 10, &dwGot, nullptr));
    EXPECT_EQ(0u, dwGot);
    CloseHandle(h);
}

TEST_F(FilesTest, LastWriteTimeMatchesSystemTime)
{
    FILETIME ftBefore;
    GetSystemTimeAsFileTime(&ftBefore);
    ASSERT_TRUE(WriteWholeFile(Path("f"), "x"));
    FILETIME ftAfter;
    GetSystemTimeAsFileTime(&ftAfter);
    HANDLE h = OpenForRead(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    FILETIME ftWrite = {0, 0};
    ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &ftWrite));
    CloseHandle(h);
    // File systems keep coarser times than the clock; two seconds cover every one in use.
    const ULONGLONG nSlack = 2ULL * 10000000ULL;
    EXPECT_GE(FileTimeValue(ftWrite) + nSlack, FileTimeValue(ftBefore));
    EXPECT_LE(FileTimeValue(ftWrite), FileTimeValue(ftAfter) + nSlack);
}

TEST_F(FilesTest, FileTimeOfInvalidHandleFails)
{
    FILETIME ft;
    EXPECT_FALSE(GetFileTime(nullptr, nullptr, nullptr, &ft));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(FilesTest, AttributesOfFilesDirectoriesAndHiddenNames)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "x"));
    ASSERT_TRUE(WriteWholeFile(Path(".store"), "12345678"));
    DWORD dwFile = GetFileAttributesA(Path("f").c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, dwFile);
    EXPECT_EQ(0u, dwFile & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
    DWORD dwDir = GetFileAttributesA(m_strDir.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, dwDir);
    EXPECT_NE(0u, dwDir & FILE_ATTRIBUTE_DIRECTORY);
    DWORD dwHidden = GetFileAttributesA(Path(".store").c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, dwHidden);
    EXPECT_NE(0u, dwHidden & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(Path("none").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
              GetFileAttributesA(Path("nodir" VENDREL_DIR_SEP_STR "x").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST_F(FilesTest, DeleteFileErrors)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "x"));
    EXPECT_TRUE(DeleteFileA(Path("f").c_str()));
    EXPECT_FALSE(DeleteFileA(Path("f").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(DeleteFileA(Path("nodir" VENDREL_DIR_SEP_STR "f").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_FALSE(DeleteFileA(m_strDir.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(FilesTest, OpenFileIsNotDeleted)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "x"));
    HANDLE h = OpenForRead(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_FALSE(DeleteFileA(Path("f").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    CloseHandle(h);
    EXPECT_TRUE(DeleteFileA(Path("f").c_str()));
}
