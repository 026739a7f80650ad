// Upload files the program does not take are deleted when their array is freed, and stale ones
// that a killed process left are swept before a request; nothing else in TEMP is ever touched.
#include "kelsio_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include <cstdio>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#define popen_for_writing(command) popen(command, "w")
#else
#define popen_for_writing(command) _popen(command, "wb")
#define pclose _pclose
#endif

namespace fs = std::filesystem;

namespace
{

const std::string s_strType = "multipart/form-data; boundary=Bx";

std::string Body(const std::vector<CPart>& parts)
{
    return MultipartBody("Bx", parts);
}

bool Exists(const std::string& strPath)
{
    std::error_code error;
    return fs::exists(fs::symlink_status(strPath, error));
}

void Touch(const std::string& strPath, const std::string& strContent = "x")
{
    std::ofstream file(strPath, std::ios::binary);
    file << strContent;
}

// Sets the last write time to nMinutes ago.
void MakeOld(const std::string& strPath, int nMinutes)
{
    fs::last_write_time(strPath, fs::file_time_type::clock::now() - std::chrono::minutes(nMinutes));
}

class UploadCleanup : public ::testing::Test
{
protected:
    std::string InTemp(const std::string& strName) const
    {
        return m_home.Temp() + VENDREL_DIR_SEP_STR + strName;
    }
    std::vector<std::string> SortedTempFiles() const
    {
        std::vector<std::string> files = m_home.TempFiles();
        std::sort(files.begin(), files.end());
        return files;
    }

    CTempHome m_home;
};

} // namespace

TEST_F(UploadCleanup, FreeingTheArrayDeletesTheFilesLeftInPlace)
{
    CFakeRequest request =
        PostRequest(m_home.Path(), s_strType,
                    Body({FilePart("TempFileName", "a", "taken"), FilePart("extra", "b", "1"),
                          FieldPart("ComputerName", "PC7"), FilePart("extra", "c", "2"),
                          FilePart("gone", "d", "3")}));
    bool bParsed = false;
    CVarPairs vars = request.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    ASSERT_EQ(vars.size(), 5u);
    ASSERT_EQ(m_home.TempFiles().size(), 4u);

    // The program files the upload away and deletes one part itself.
    std::string strTaken = InTemp("taken.bin");
    ASSERT_TRUE(MoveFileA(vars[0].second.c_str(), strTaken.c_str()));
    ASSERT_TRUE(DeleteFileA(vars[4].second.c_str()));
    request.Free();
    EXPECT_EQ(SortedTempFiles(), std::vector<std::string>{"taken.bin"});
    EXPECT_EQ(ReadWholeFile(strTaken), "taken");
}

TEST_F(UploadCleanup, EachArrayDeletesOnlyItsOwnFiles)
{
    CFakeRequest first = PostRequest(m_home.Path(), s_strType, Body({FilePart("f", "a", "1")}));
    CFakeRequest second = PostRequest(m_home.Path(), s_strType, Body({FilePart("f", "a", "2")}));
    bool bParsed = false;
    CVarPairs firstVars = first.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    CVarPairs secondVars = second.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    first.Free();
    EXPECT_FALSE(Exists(firstVars[0].second));
    EXPECT_EQ(ReadWholeFile(secondVars[0].second), "2");
    second.Free();
    EXPECT_TRUE(m_home.TempFiles().empty());
}

// Freed places are taken again first; a request whose files then lie both before and after
// another request's still finds and deletes all of them, and only them.
TEST_F(UploadCleanup, FilesAroundAnotherArraysAreAllFound)
{
    bool bParsed = false;
    CFakeRequest first = PostRequest(
        m_home.Path(), s_strType,
        Body({FilePart("f", "a", "1"), FilePart("f", "b", "2"), FilePart("f", "c", "3")}));
    first.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    CFakeRequest second = PostRequest(m_home.Path(), s_strType,
                                      Body({FilePart("g", "a", "4"), FilePart("g", "b", "5")}));
    CVarPairs secondVars = second.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    first.Free();
    ASSERT_EQ(m_home.TempFiles().size(), 2u);

    std::vector<CPart> parts(5, FilePart("h", "x", "6"));
    CFakeRequest third = PostRequest(m_home.Path(), s_strType, Body(parts));
    CVarPairs thirdVars = third.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    ASSERT_EQ(m_home.TempFiles().size(), 7u);
    third.Free();
    EXPECT_EQ(m_home.TempFiles().size(), 2u);
    for (const auto& var : thirdVars)
        EXPECT_FALSE(Exists(var.second));
    EXPECT_EQ(ReadWholeFile(secondVars[0].second), "4");
    EXPECT_EQ(ReadWholeFile(secondVars[1].second), "5");
    second.Free();
    EXPECT_TRUE(m_home.TempFiles().empty());
}

// After the program moved the upload away, its name may be taken by something else, even by
// another process's file: none of that is ours any more.
TEST_F(UploadCleanup, NameTakenByAnotherFileOrADirectoryIsLeftAlone)
{
    CFakeRequest request = PostRequest(
        m_home.Path(), s_strType,
        Body({FilePart("a", "a", "1"), FilePart("b", "b", "2"), FilePart("c", "c", "3")}));
    bool bParsed = false;
    CVarPairs vars = request.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    ASSERT_EQ(vars.size(), 3u);
    for (size_t i = 0; i < 2; ++i)
        ASSERT_TRUE(MoveFileA(vars[i].second.c_str(), (vars[i].second + ".moved").c_str()));
    Touch(vars[0].second, "somebody else's");
    fs::create_directory(vars[1].second);
    Touch(vars[1].second + VENDREL_DIR_SEP_STR + "inside");
    request.Free();

    EXPECT_EQ(ReadWholeFile(vars[0].second), "somebody else's");
    EXPECT_TRUE(fs::is_directory(vars[1].second));
    EXPECT_TRUE(Exists(vars[1].second + VENDREL_DIR_SEP_STR + "inside"));
    EXPECT_FALSE(Exists(vars[2].second)) << "the part left in place goes";
    EXPECT_EQ(m_home.TempFiles().size(), 4u);
}

#ifndef _WIN32
TEST_F(UploadCleanup, NameTakenByALinkIsNotFollowedNorRemoved)
{
    std::string strTarget = m_home.Path() + "/target";
    Touch(strTarget, "target");
    CFakeRequest request = PostRequest(m_home.Path(), s_strType,
                                       Body({FilePart("a", "a", "1"), FilePart("b", "b", "2")}));
    bool bParsed = false;
    CVarPairs vars = request.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    // One link to a file elsewhere, one to the other upload: neither is deleted through it.
    ASSERT_TRUE(MoveFileA(vars[0].second.c_str(), (vars[0].second + ".moved").c_str()));
    fs::create_symlink(strTarget, vars[0].second);
    ASSERT_TRUE(MoveFileA(vars[1].second.c_str(), (vars[1].second + ".moved").c_str()));
    fs::create_symlink(vars[0].second + ".moved", vars[1].second);
    request.Free();

    EXPECT_TRUE(fs::is_symlink(vars[0].second));
    EXPECT_TRUE(fs::is_symlink(vars[1].second));
    EXPECT_EQ(ReadWholeFile(strTarget), "target");
    EXPECT_EQ(ReadWholeFile(vars[0].second + ".moved"), "1");
}
#endif

// A request holds at most one file per variable; a file that could not be remembered is never
// made, so a request beyond what the list holds is refused and leaves nothing.
TEST_F(UploadCleanup, ManyFilePartsAreAllDeleted)
{
    std::vector<CPart> parts(KELSIO_MAX_VARIABLES, FilePart("f", "x", "z"));
    CFakeRequest full = PostRequest(m_home.Path(), s_strType, Body(parts));
    bool bParsed = false;
    full.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    ASSERT_EQ(m_home.TempFiles().size(), static_cast<size_t>(KELSIO_MAX_VARIABLES));

    std::vector<CPart> more(100, FilePart("g", "x", "y"));
    CFakeRequest second = PostRequest(m_home.Path(), s_strType, Body(more));
    second.Parse(bParsed);
    EXPECT_FALSE(bParsed);
    EXPECT_EQ(m_home.TempFiles().size(), static_cast<size_t>(KELSIO_MAX_VARIABLES));

    full.Free();
    EXPECT_TRUE(m_home.TempFiles().empty());
    CFakeRequest again = PostRequest(m_home.Path(), s_strType, Body(more));
    again.Parse(bParsed);
    EXPECT_TRUE(bParsed) << "the freed places are used again";
    again.Free();
    EXPECT_TRUE(m_home.TempFiles().empty());
}

TEST_F(UploadCleanup, SweepDeletesOnlyStaleUploadFiles)
{
    const char* const szKept[] = {"upload_123",
                                  "upload_0123456789abcdefX",
                                  "notes.txt",
                                  "upload_0123456789ABCDEF",
                                  "upload_0123456789abcdeg",
                                  "xupload_0123456789abcdef"};
    for (const char* szName : szKept)
    {
        Touch(InTemp(szName));
        MakeOld(InTemp(szName), 600);
    }
    Touch(InTemp("upload_00000000000000aa"));
    MakeOld(InTemp("upload_00000000000000aa"), 61);
    Touch(InTemp("upload_00000000000000bb"));
    MakeOld(InTemp("upload_00000000000000bb"), 50);
    Touch(InTemp("upload_00000000000000cc"));
    fs::create_directory(InTemp("upload_00000000000000dd"));
    // The C runtime under Wine cannot set a directory's time; a directory goes unswept anyway.
    std::error_code error;
    fs::last_write_time(InTemp("upload_00000000000000dd"),
                        fs::file_time_type::clock::now() - std::chrono::minutes(600), error);
    Touch(m_home.Path() + VENDREL_DIR_SEP_STR + "upload_00000000000000ee");
    MakeOld(m_home.Path() + VENDREL_DIR_SEP_STR + "upload_00000000000000ee", 600);

    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), 0), 0);
    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), -5), 0);
    EXPECT_EQ(m_home.TempFiles().size(), 10u) << "0 or less sweeps nothing";

    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), 60), 1);
    EXPECT_FALSE(Exists(InTemp("upload_00000000000000aa")));
    EXPECT_EQ(m_home.TempFiles().size(), 9u);
    EXPECT_TRUE(fs::is_directory(InTemp("upload_00000000000000dd")));
    EXPECT_TRUE(Exists(m_home.Path() + VENDREL_DIR_SEP_STR + "upload_00000000000000ee"))
        << "only the upload directory is swept";

    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), 45), 1);
    EXPECT_FALSE(Exists(InTemp("upload_00000000000000bb")));
    EXPECT_TRUE(Exists(InTemp("upload_00000000000000cc")));
    EXPECT_EQ(KelsioSweepStaleUploads(nullptr, 45), 0);
}

// Files this process still holds for a program are not the leftovers of a killed one, however
// long the program keeps them.
TEST_F(UploadCleanup, SweepSparesTheFilesOfThisProcess)
{
    CFakeRequest request = PostRequest(m_home.Path(), s_strType, Body({FilePart("f", "a", "1")}));
    bool bParsed = false;
    CVarPairs vars = request.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    MakeOld(vars[0].second, 120);
    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), 60), 0);
    EXPECT_EQ(ReadWholeFile(vars[0].second), "1");
}

#ifndef _WIN32
TEST_F(UploadCleanup, SweepLeavesLinksAndOpenFiles)
{
    std::string strTarget = m_home.Path() + "/target";
    Touch(strTarget, "target");
    MakeOld(strTarget, 600);
    std::string strLink = InTemp("upload_00000000000000ab");
    fs::create_symlink(strTarget, strLink);
    const struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, strLink.c_str(), old, AT_SYMLINK_NOFOLLOW), 0);

    // A writer that holds its file open, its last write long ago.
    std::string strOpen = InTemp("upload_00000000000000ac");
    HANDLE hOpen = CreateFileA(strOpen.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(hOpen, INVALID_HANDLE_VALUE);
    MakeOld(strOpen, 600);

    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), 1), 0);
    EXPECT_TRUE(fs::is_symlink(strLink));
    EXPECT_EQ(ReadWholeFile(strTarget), "target");
    EXPECT_TRUE(Exists(strOpen));
    CloseHandle(hOpen);
    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), 1), 1);
    EXPECT_FALSE(Exists(strOpen));
}
#endif

namespace
{

// Dates the file's last write nMinutes back while another process holds it open for writing:
// on Windows through a handle that asks for the attributes only, which no share mode refuses.
bool AgeHeldFile(const std::string& strPath, int nMinutes)
{
#ifdef _WIN32
    HANDLE hFile = CreateFileA(strPath.c_str(), FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    ULARGE_INTEGER nTime;
    nTime.LowPart = ftNow.dwLowDateTime;
    nTime.HighPart = ftNow.dwHighDateTime;
    nTime.QuadPart -= static_cast<unsigned long long>(nMinutes) * 60ull * 10000000ull;
    FILETIME ftOld = {nTime.LowPart, nTime.HighPart};
    BOOL bSet = SetFileTime(hFile, nullptr, nullptr, &ftOld);
    CloseHandle(hFile);
    return bSet != FALSE;
#else
    struct timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= nMinutes * 60;
    times[1] = times[0];
    return utimensat(AT_FDCWD, strPath.c_str(), times, 0) == 0;
#endif
}

} // namespace

// Another request's upload whose writer stalled longer than the stale time, its file still held
// open: the sweep leaves it, and the writer files it whole once its body comes. A truly stale
// file that nobody holds is still swept.
TEST_F(UploadCleanup, SweepSparesTheUploadOfAStalledWriterInAnotherProcess)
{
    std::string strContent(256 * 1024, 's');
    std::string strBody = Body({FilePart("TempFileName", "a", strContent)});
    SetEnvVar("KELSIO_DUMP_MODE", "take");
    SetEnvVar("KELSIO_HOME", m_home.Path().c_str());
    SetEnvVar("REQUEST_METHOD", "POST");
    SetEnvVar("CONTENT_TYPE", s_strType.c_str());
    SetEnvVar("CONTENT_LENGTH", std::to_string(strBody.size()).c_str());
    SetEnvVar("QUERY_STRING", "");
    std::string strOut = m_home.Join("dump.txt");
    std::string strCommand =
        std::string(".") + VENDREL_DIR_SEP_STR + "kelsio_cgi_dump > \"" + strOut + "\"";
    FILE* pWriter = popen_for_writing(strCommand.c_str());
    ASSERT_NE(pWriter, nullptr);
    size_t nHalf = strBody.size() / 2;
    ASSERT_EQ(fwrite(strBody.data(), 1, nHalf, pWriter), nHalf);
    fflush(pWriter);

    // The writer has made its file and written part of it, then waits for the rest.
    std::string strUpload;
    for (int nTry = 0; nTry < 2000 && strUpload.empty(); ++nTry)
    {
        std::vector<std::string> files = m_home.TempFiles();
        if (!files.empty() && fs::file_size(InTemp(files[0])) > 0)
            strUpload = InTemp(files[0]);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(strUpload.empty()) << "the writer never made its upload file";
    ASSERT_TRUE(AgeHeldFile(strUpload, 120));

    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), 60), 0);
    EXPECT_TRUE(Exists(strUpload));

    ASSERT_EQ(fwrite(strBody.data() + nHalf, 1, strBody.size() - nHalf, pWriter),
              strBody.size() - nHalf);
    EXPECT_EQ(pclose(pWriter), 0);
    UnsetEnvVar("KELSIO_DUMP_MODE");
    UnsetEnvVar("CONTENT_TYPE");
    UnsetEnvVar("CONTENT_LENGTH");
    UnsetEnvVar("REQUEST_METHOD");
    UnsetEnvVar("QUERY_STRING");
    UnsetEnvVar("KELSIO_HOME");
    std::string strTaken = ReadWholeFile(strUpload + ".taken");
    EXPECT_EQ(strTaken.size(), strContent.size()) << strTaken.substr(0, 40);
    EXPECT_TRUE(strTaken == strContent) << "filed whole by its writer";

    Touch(InTemp("upload_00000000000000ad"), "abandoned");
    MakeOld(InTemp("upload_00000000000000ad"), 120);
    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), 60), 1);
    EXPECT_FALSE(Exists(InTemp("upload_00000000000000ad")));
    EXPECT_TRUE(Exists(strUpload + ".taken"));
}

// cgiGetVars sweeps with Upload_Stale_Minutes from server.ini before it parses the request.
class StaleSetting : public UploadCleanup
{
protected:
    void SetUp() override
    {
        SetEnvVar("KELSIO_HOME", m_home.Path().c_str());
        SetEnvVar("REQUEST_METHOD", "GET");
        SetEnvVar("QUERY_STRING", "a=1");
    }
    void TearDown() override
    {
        UnsetEnvVar("KELSIO_HOME");
        UnsetEnvVar("REQUEST_METHOD");
        UnsetEnvVar("QUERY_STRING");
    }
    // Files aged 2, 10, 59 and 61 minutes; returns the ages left after one request.
    std::vector<std::string> AgesLeftAfterRequest()
    {
        const int nAges[] = {2, 10, 59, 61};
        for (int nAge : nAges)
        {
            char szName[32];
            snprintf(szName, sizeof(szName), "upload_%016x", nAge);
            Touch(InTemp(szName));
            MakeOld(InTemp(szName), nAge);
        }
        char** ppVars = cgiGetVars(CHARENC_UNKNOWN, true, nullptr, nullptr);
        EXPECT_NE(ppVars, nullptr);
        cgiFreeVars(ppVars, nullptr);
        std::vector<std::string> ages;
        for (const std::string& strName : SortedTempFiles())
            ages.push_back(std::to_string(std::stoi(strName.substr(7), nullptr, 16)));
        for (const std::string& strName : m_home.TempFiles())
            fs::remove(InTemp(strName));
        return ages;
    }
};

TEST_F(StaleSetting, DefaultIsAnHour)
{
    EXPECT_EQ(AgesLeftAfterRequest(), (std::vector<std::string>{"2", "10", "59"}));
    m_home.WriteFile("server.ini", "[INI_SERVER_SECTION]\r\nUpload_Max_Size=5\r\n");
    EXPECT_EQ(AgesLeftAfterRequest(), (std::vector<std::string>{"2", "10", "59"}));
}

TEST_F(StaleSetting, CustomValueIsUsed)
{
    m_home.WriteFile("server.ini", "[INI_SERVER_SECTION]\r\nUpload_Stale_Minutes = 5\r\n");
    EXPECT_EQ(AgesLeftAfterRequest(), (std::vector<std::string>{"2"}));
    m_home.WriteFile("server.ini", "[OTHER]\r\nUpload_Stale_Minutes=5\r\n");
    EXPECT_EQ(AgesLeftAfterRequest(), (std::vector<std::string>{"2", "10", "59"}))
        << "another section's key is not ours";
}

TEST_F(StaleSetting, ZeroOrLessSweepsNothing)
{
    const char* const szValues[] = {"0", "-1", "-2147483648"};
    for (const char* szValue : szValues)
    {
        m_home.WriteFile("server.ini",
                         std::string("[INI_SERVER_SECTION]\r\nUpload_Stale_Minutes=") + szValue +
                             "\r\n");
        EXPECT_EQ(AgesLeftAfterRequest(), (std::vector<std::string>{"2", "10", "59", "61"}))
            << szValue;
    }
}
