// What both builds share: the shape of the hidden temporary names, the file names Windows cannot
// hold (refused by CreateFileA and MoveFileA with ERROR_INVALID_NAME, the POSIX layer as the
// system), and FlushFileBuffers through the system-call table.
#include "temp_home.h"
#include "test_files.h"
#include "system_calls.h"
#include "temp_names.h"

#include <string>
#include <vector>

namespace
{

struct CNameCase
{
    std::string strName;
    bool bTemporary;
};

} // namespace

TEST(TemporaryNameShape, TellsTheLayersHiddenNamesFromEverythingElse)
{
    const std::string strLong(PAL_TEMP_NAME_KEEP, 'n');
    const CNameCase cases[] = {
        {".PC7_1765200000.0.~a1b2c3", true},
        {".store.~zzzzzz", true},
        {".x.~000000", true},
        {"." + strLong + ".~abcdef", true},
        {"." + strLong + "n.~abcdef", false},  // longer than the layer ever makes
        {"PC7_1765200000.0.~a1b2c3", false},   // not hidden
        {".PC7_1765200000.0.~A1B2C3", false},  // capitals are never drawn
        {".PC7_1765200000.0.~a1b2c", false},   // five characters
        {".PC7_1765200000.0.~a1b2c34", false}, // seven
        {".PC7_1765200000.0~a1b2c3", false},   // no dot before the tilde
        {".PC7_1765200000.0.-a1b2c3", false},
        {".PC7.~a1b2c-", false},
        {"..~abcdef", false}, // no name of its own
        {".store", false},
        {".store.~", false},
        {"upload_0123456789abcdef", false},
        {"", false},
    };
    for (const CNameCase& c : cases)
    {
        EXPECT_EQ(IsReplacementTemporaryName(c.strName.c_str()), c.bTemporary) << c.strName;
    }
    EXPECT_FALSE(IsReplacementTemporaryName(nullptr));
}

class WindowsNamesTest : public CTempDirTest
{
};

// A last component with a control byte or one of < > : " | ? * is refused as Windows refuses
// it, and nothing is made or moved; everything else, a leading '-' included, is a file name.
TEST_F(WindowsNamesTest, CreateAndMoveRefuseNamesWindowsCannotHold)
{
    std::vector<std::string> invalid = {"PC\n7", "PC*7",  "PC?7",    "PC<7",    "PC>7", "PC\"7",
                                        "PC|7",  "PC\t7", "\x01PC7", "PC7\x1f", "*",    "PC7_1.0?"};
#ifndef _WIN32
    // Windows reads a ':' in a last component as the start of a stream name, and Wine keeps it
    // as a byte of the Unix name: only the POSIX layer's own answer can be checked here.
    invalid.push_back("PC:7");
#endif
    ASSERT_TRUE(WriteWholeFile(Path("upload"), "data"));
    for (const std::string& strName : invalid)
    {
        const char* szName = strName.c_str();
        SCOPED_TRACE(::testing::PrintToString(strName));
        for (DWORD dwDisposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS})
        {
            HANDLE h = CreateFileA(Path(szName).c_str(), GENERIC_WRITE, 0, nullptr, dwDisposition,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            EXPECT_EQ(h, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
            CloseHandle(h);
        }
        EXPECT_FALSE(MoveFileA(Path("upload").c_str(), Path(szName).c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    }
    EXPECT_EQ(ListNames(m_pDir->Path()), std::vector<std::string>{"upload"});
    EXPECT_EQ(ReadWholeFile(Path("upload")), "data");

    const char* const szValid[] = {"-PC7_1.0", "PC 7", "PC#7", "PC%7", "PC'7", "PC;7", "~PC7"};
    std::string strFrom = Path("upload");
    for (const char* szName : szValid)
    {
        SCOPED_TRACE(szName);
        EXPECT_TRUE(MoveFileA(strFrom.c_str(), Path(szName).c_str())) << GetLastError();
        strFrom = Path(szName);
        EXPECT_EQ(ReadWholeFile(strFrom), "data");
    }
}

namespace
{

int s_nFlushes = 0;
BOOL s_bFlushAnswer = TRUE;

BOOL WINAPI CountingFlush(HANDLE hFile)
{
    ++s_nFlushes;
    if (!s_bFlushAnswer)
    {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return FlushFileBuffers(hFile);
}

} // namespace

TEST_F(WindowsNamesTest, FlushWritesThroughAnOpenFileAndGoesThroughTheTable)
{
    HANDLE h = OpenForWrite(Path("f"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD dwWritten = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &dwWritten, nullptr));
    EXPECT_TRUE(osFlushFileBuffers(h));
    SetSystemCall("FlushFileBuffers", (SYSTEM_CALL_PTR)CountingFlush);
    EXPECT_TRUE(osFlushFileBuffers(h));
    s_bFlushAnswer = FALSE;
    EXPECT_FALSE(osFlushFileBuffers(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(s_nFlushes, 2);
    ResetSystemCalls();
    CloseHandle(h);
    EXPECT_EQ(ReadWholeFile(Path("f")), "abc");
    EXPECT_FALSE(FlushFileBuffers(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
