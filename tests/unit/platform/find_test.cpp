// Directory listings: every entry with ".", "..", 64-bit sizes, and the errors of a bad pattern.
#include "temp_home.h"
#include "test_files.h"
#include "test_requirements.h"

#include <filesystem>
#include <map>

class FindTest : public CTempDirTest
{
};

struct SEntry
{
    DWORD m_dwAttributes;
    ULONGLONG m_nSize;
};

// name -> entry, or an empty map with *pdwError set when the listing does not start.
static std::map<std::string, SEntry> List(const std::string& strPattern, DWORD* pdwError)
{
    std::map<std::string, SEntry> entries;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(strPattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE)
    {
        *pdwError = GetLastError();
        return entries;
    }
    do
    {
        ULONGLONG nSize = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        entries[data.cFileName] = SEntry{data.dwFileAttributes, nSize};
    } while (FindNextFileA(h, &data));
    *pdwError = GetLastError();
    EXPECT_TRUE(FindClose(h));
    return entries;
}

TEST_F(FindTest, ListsDotEntriesFilesAndDirectories)
{
    ASSERT_TRUE(WriteWholeFile(Path("a"), "abc"));
    ASSERT_TRUE(WriteWholeFile(Path("empty"), ""));
    ASSERT_TRUE(WriteWholeFile(Path(".store"), "12345678"));
    std::filesystem::create_directory(Path("sub"));
    ASSERT_TRUE(WriteWholeFile(Path("sub" VENDREL_DIR_SEP_STR "inner"), "not counted"));
    DWORD dwError = 0;
    auto entries = List(Path("*"), &dwError);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), dwError);
    ASSERT_EQ(6u, entries.size());
    for (const char* szDir : {".", "..", "sub"})
    {
        ASSERT_EQ(1u, entries.count(szDir)) << szDir;
        EXPECT_NE(0u, entries[szDir].m_dwAttributes & FILE_ATTRIBUTE_DIRECTORY) << szDir;
        EXPECT_EQ(0u, entries[szDir].m_nSize) << szDir;
    }
    EXPECT_EQ(0u, entries["."].m_dwAttributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(3u, entries["a"].m_nSize);
    EXPECT_EQ(0u, entries["a"].m_dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(0u, entries["empty"].m_nSize);
    EXPECT_EQ(8u, entries[".store"].m_nSize);
    EXPECT_NE(0u, entries[".store"].m_dwAttributes & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(FindTest, EmptyDirectoryListsOnlyDotEntries)
{
    DWORD dwError = 0;
    auto entries = List(Path("*"), &dwError);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), dwError);
    EXPECT_EQ(2u, entries.size());
    EXPECT_EQ(1u, entries.count("."));
    EXPECT_EQ(1u, entries.count(".."));
}

TEST_F(FindTest, OpenFilesAreListedWithTheirSize)
{
    // As an upload is written: created new and held open.
    HANDLE h = OpenForWrite(Path("busy"), CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD dwWritten = 0;
    ASSERT_TRUE(WriteFile(h, "12345", 5, &dwWritten, nullptr));
    DWORD dwError = 0;
    auto entries = List(Path("*"), &dwError);
    CloseHandle(h);
    ASSERT_EQ(1u, entries.count("busy"));
    EXPECT_EQ(5u, entries["busy"].m_nSize);
}

TEST_F(FindTest, MissingDirectoryFailsWithPathNotFound)
{
    DWORD dwError = 0;
    EXPECT_TRUE(List(Path("none" VENDREL_DIR_SEP_STR "*"), &dwError).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), dwError);
    EXPECT_TRUE(
        List(Path("none" VENDREL_DIR_SEP_STR "deeper" VENDREL_DIR_SEP_STR "*"), &dwError).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), dwError);
}

TEST_F(FindTest, FileInPlaceOfDirectoryIsAnInvalidName)
{
    ASSERT_TRUE(WriteWholeFile(Path("file"), "x"));
    DWORD dwError = 0;
    EXPECT_TRUE(List(Path("file" VENDREL_DIR_SEP_STR "*"), &dwError).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), dwError);
}

TEST_F(FindTest, PatternMatchingNothingFailsWithFileNotFound)
{
    DWORD dwError = 0;
    EXPECT_TRUE(List(Path("nothing*"), &dwError).empty());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), dwError);
}

TEST_F(FindTest, BareStarListsTheCurrentDirectory)
{
    ASSERT_TRUE(WriteWholeFile(Path("here"), "1"));
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(m_strDir);
    DWORD dwError = 0;
    auto entries = List("*", &dwError);
    std::filesystem::current_path(previous);
    EXPECT_EQ(3u, entries.size());
    EXPECT_EQ(1u, entries.count("here"));
}

// Makes an existing file nSize bytes long without writing its bytes, so that a file of gigabytes
// costs no time: the system's own call on Windows (the C runtime's resize writes every zero,
// which takes minutes under Wine), a truncation natively. Empty on success, else the error.
static std::string ExtendWithoutWriting(const std::string& strPath, ULONGLONG nSize)
{
#ifdef _WIN32
    HANDLE h = CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
    {
        return "CreateFileA: error " + std::to_string(GetLastError());
    }
    LARGE_INTEGER size;
    size.QuadPart = static_cast<LONGLONG>(nSize);
    bool bExtended = SetFilePointerEx(h, size, NULL, FILE_BEGIN) && SetEndOfFile(h);
    std::string strError = bExtended ? "" : "SetEndOfFile: error " + std::to_string(GetLastError());
    CloseHandle(h);
    return strError;
#else
    std::error_code ec;
    std::filesystem::resize_file(strPath, nSize, ec);
    return ec ? ec.message() : "";
#endif
}

TEST_F(FindTest, SizesAbove4GiBSplitIntoHighAndLowWords)
{
    const ULONGLONG nSize = 5ULL * 1024 * 1024 * 1024 + 7;
    ASSERT_TRUE(WriteWholeFile(Path("huge"), ""));
    std::string strError = ExtendWithoutWriting(Path("huge"), nSize);
    if (!strError.empty())
    {
        VENDREL_CANNOT_RUN("the file system of " << m_strDir
                                                 << " makes no sparse file of 5 GiB: " << strError);
    }
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(Path("huge*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_STREQ("huge", data.cFileName);
    EXPECT_EQ(1u, data.nFileSizeHigh);
    EXPECT_EQ(static_cast<DWORD>(1024u * 1024 * 1024 + 7), data.nFileSizeLow);
    EXPECT_FALSE(FindNextFileA(h, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
    FindClose(h);
}

TEST_F(FindTest, FindCloseRejectsOtherHandles)
{
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}
