// The trace set-up: install directory and paths, the module tag, and loading the trace library.
#include "qv_journal.h"
#include "trace_capture.h"
#include "trace_setup.h"
#include "trace_test_env.h"

#include <algorithm>
#include <string.h>

static const std::string kSep = VENDREL_DIR_SEP_STR;

static std::string ExePath()
{
    char szPath[MAX_PATH] = {0};
    GetModuleFileNameA(NULL, szPath, MAX_PATH);
    return szPath;
}

// The leading part of strPath up to and including its nth separator from the end.
static std::string UpTo(const std::string& strPath, int nFromEnd)
{
    size_t nPos = strPath.size();
    for (int i = 0; i < nFromEnd; i++)
    {
        nPos = strPath.rfind(VENDREL_DIR_SEP, nPos - 1);
    }
    return strPath.substr(0, nPos + 1);
}

class SetupPathTest : public CTraceTest
{
};

TEST_F(SetupPathTest, LevelsUpZeroIsTheExecutablesDirectory)
{
    char szSettings[MAX_PATH];
    char szLibrary[MAX_PATH];
    std::string strExe = ExePath();
    ASSERT_TRUE(FormTracePaths(strExe.c_str(), 0, "zeldebug.ini", "qvdbg20.dll", FALSE, szSettings,
                               szLibrary));
    EXPECT_EQ(std::string(szSettings), UpTo(strExe, 1) + "zeldebug.ini");
    EXPECT_EQ(std::string(szLibrary), "qvdbg20.dll");
}

TEST_F(SetupPathTest, LevelsUpTwoIsTwoDirectoriesHigher)
{
    char szSettings[MAX_PATH];
    char szLibrary[MAX_PATH];
    std::string strExe = "root" + kSep + "home" + kSep + "cgi" + kSep + "bin" + kSep + "v.exe";
    ASSERT_TRUE(FormTracePaths(strExe.c_str(), 2, "zeldebug.ini", "qvdbg20.dll", FALSE, szSettings,
                               szLibrary));
    EXPECT_EQ(std::string(szSettings), "root" + kSep + "home" + kSep + "zeldebug.ini");
    EXPECT_EQ(std::string(szLibrary), "qvdbg20.dll");
    ASSERT_TRUE(FormTracePaths(strExe.c_str(), 2, "zeldebug.ini", "qvdbg20.dll", TRUE, szSettings,
                               szLibrary));
    EXPECT_EQ(std::string(szLibrary), "root" + kSep + "home" + kSep + "qvdbg20.dll");
}

TEST_F(SetupPathTest, ExactlyEnoughSeparatorsLeavesTheFirstPart)
{
    char szDir[MAX_PATH];
    std::string strExe = "C:" + kSep + "a" + kSep + "v.exe";
    ASSERT_TRUE(GetInstallDirectory(strExe.c_str(), 1, szDir, sizeof(szDir)));
    EXPECT_EQ(std::string(szDir), "C:" + kSep);
    ASSERT_TRUE(GetInstallDirectory(strExe.c_str(), 0, szDir, sizeof(szDir)));
    EXPECT_EQ(std::string(szDir), "C:" + kSep + "a" + kSep);
}

TEST_F(SetupPathTest, TooFewSeparatorsFails)
{
    char szSettings[MAX_PATH] = "junk";
    char szLibrary[MAX_PATH] = "junk";
    std::string strExe = "C:" + kSep + "a" + kSep + "v.exe";
    EXPECT_FALSE(FormTracePaths(strExe.c_str(), 2, "zeldebug.ini", "qvdbg20.dll", FALSE, szSettings,
                                szLibrary));
    EXPECT_STREQ(szSettings, "");
    EXPECT_STREQ(szLibrary, "");
    char szDir[MAX_PATH];
    EXPECT_FALSE(GetInstallDirectory("v.exe", 0, szDir, sizeof(szDir)));
    EXPECT_FALSE(GetInstallDirectory(strExe.c_str(), -1, szDir, sizeof(szDir)));
}

TEST_F(SetupPathTest, PathThatWouldNotFitIsLeftEmptyNotCut)
{
    char szSettings[MAX_PATH];
    char szLibrary[MAX_PATH];
    std::string strExe = std::string(200, 'd') + kSep + "v.exe";
    std::string strLongName(70, 'n');
    ASSERT_TRUE(FormTracePaths(strExe.c_str(), 0, strLongName.c_str(), "qvdbg20.dll", TRUE,
                               szSettings, szLibrary));
    EXPECT_STREQ(szSettings, "");
    EXPECT_EQ(std::string(szLibrary), std::string(200, 'd') + kSep + "qvdbg20.dll");
    // 259 characters still fit.
    std::string strFits(259 - 201, 'f');
    ASSERT_TRUE(
        FormTracePaths(strExe.c_str(), 0, strFits.c_str(), "q", FALSE, szSettings, szLibrary));
    EXPECT_EQ(strlen(szSettings), 259u);
}

class SetupTest : public CTraceTest
{
protected:
    void SetUp() override
    {
        CTraceTest::SetUp();
        QvResetJournal();
        QvResetJournal("qvdbg20_noinit.dll");
    }
    // Every trace entry point of the library was looked up.
    static void ExpectTraceEntryPoints()
    {
        EXPECT_NE(g_pfnTraceW0200, (PFN_SD_UNUSED)NULL);
        EXPECT_NE(g_pfnTraceA0200, (PFN_SD_TRACEA_0200)NULL);
        EXPECT_NE(g_pfnTraceW, (PFN_SD_TRACEW)NULL);
        EXPECT_NE(g_pfnSetDebugMsg, (PFN_SD_UNUSED)NULL);
        EXPECT_NE(g_pfnDbLogTrace, (PFN_SD_UNUSED)NULL);
    }
};

TEST_F(SetupTest, InitDebugTraceStoresTheTagInPipeMode)
{
    EXPECT_EQ(InitDebugTrace("zeldebug.ini", "qvdbg20.dll", 0, "Vendrel", FALSE), 1);
    EXPECT_STREQ(g_szModuleTag, "Vendrel");
    EXPECT_EQ(std::basic_string<WCHAR>(g_wszModuleTag), Wide("Vendrel"));
    EXPECT_EQ(std::string(g_szExeName), ExeBaseName());
    EXPECT_EQ(g_hTraceLib, (HMODULE)NULL);
    EXPECT_EQ(g_pfnInitDebugWithIni, (PFN_SD_INITDEBUG_WITH_INI_0200)NULL);
    // The stand-in lies beside the tests and would have been found: pipe mode did not look.
    EXPECT_TRUE(QvJournal().empty());
}

TEST_F(SetupTest, InitDebugTraceWithTooFewSeparatorsSetsNothing)
{
    EXPECT_EQ(InitDebugTrace("zeldebug.ini", "qvdbg20.dll", 200, "Vendrel", FALSE), 0);
    EXPECT_STREQ(g_szModuleTag, "");
    EXPECT_STREQ(g_szExeName, "");
    CTraceCapture capture;
    LogTrace(4, ".\\Vendrel", 1, "still traced");
    EXPECT_EQ(capture.OnlyMessage(), "[][" + ExeBaseName() + "]still traced");
}

// The executable's path as GetModuleFileNameA answers it for a path longer than the buffer: cut
// to the buffer with its terminator, the buffer's size as the count. Or no path at all.
std::string g_strModulePath;

DWORD WINAPI StandInModuleFileName(HMODULE, LPSTR lpFilename, DWORD nSize)
{
    if (g_strModulePath.empty() || nSize == 0)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    size_t nCopy = std::min(g_strModulePath.size(), static_cast<size_t>(nSize - 1));
    memcpy(lpFilename, g_strModulePath.data(), nCopy);
    lpFilename[nCopy] = '\0';
    SetLastError(nCopy < g_strModulePath.size() ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
    return nCopy < g_strModulePath.size() ? nSize : static_cast<DWORD>(nCopy);
}

class SetupModulePathTest : public SetupTest
{
protected:
    void SetUp() override
    {
        SetupTest::SetUp();
        SetSystemCall("GetModuleFileNameA", (SYSTEM_CALL_PTR)StandInModuleFileName);
    }
    void TearDown() override
    {
        ResetSystemCalls();
        SetupTest::TearDown();
    }
};

// A path of 260 bytes and more is cut, not refused: the tag and the (cut) name are set, and the
// install directory comes from the separators the cut path still holds.
TEST_F(SetupModulePathTest, CutPathStillSetsTheTagAndTheCutName)
{
    const std::string strDirs = kSep + "srv" + kSep + "home" + kSep + "cgi" + kSep + "bin" + kSep;
    // A path of 259 characters fits whole; one of 260 is cut by one; a long one by many.
    const size_t nExt = 4;
    for (size_t nName : {259 - strDirs.size() - nExt, 260 - strDirs.size() - nExt, size_t(400)})
    {
        g_strModulePath = strDirs + std::string(nName, 'v') + ".exe";
        const std::string strCut = g_strModulePath.substr(0, MAX_PATH - 1);
        ResetTraceState();
        EXPECT_EQ(InitDebugTrace("zeldebug.ini", "qvdbg20.dll", 2, "Vendrel", FALSE), 1) << nName;
        EXPECT_STREQ(g_szModuleTag, "Vendrel");
        EXPECT_EQ(std::string(g_szExeName), strCut.substr(strDirs.size())) << nName;
        CTraceCapture capture;
        LogTrace(4, ".\\Vendrel", 1, "traced");
        EXPECT_EQ(capture.OnlyMessage(), "[Vendrel][" + strCut.substr(strDirs.size()) + "]traced");
    }
}

TEST_F(SetupModulePathTest, NoPathSetsNothing)
{
    g_strModulePath.clear();
    EXPECT_EQ(InitDebugTrace("zeldebug.ini", "qvdbg20.dll", 0, "Vendrel", FALSE), 0);
    EXPECT_STREQ(g_szModuleTag, "");
    EXPECT_STREQ(g_szExeName, "");
}

// A cut path whose separators were all in the part cut away sets nothing, as any path with too
// few separators does.
TEST_F(SetupModulePathTest, CutPathWithTooFewSeparatorsLeftSetsNothing)
{
    g_strModulePath = kSep + "srv" + kSep + std::string(300, 'd') + kSep + "bin" + kSep + "v.exe";
    EXPECT_EQ(InitDebugTrace("zeldebug.ini", "qvdbg20.dll", 2, "Vendrel", FALSE), 0);
    EXPECT_STREQ(g_szModuleTag, "");
    EXPECT_STREQ(g_szExeName, "");
}

TEST_F(SetupTest, PipeModeLoadsNothingAndAnswersFalse)
{
    EXPECT_FALSE(LoadTraceLibrary("a.ini", "qvdbg20.dll", "Vendrel", TRUE));
    EXPECT_EQ(g_hTraceLib, (HMODULE)NULL);
    EXPECT_EQ(g_pfnTraceA0200, (PFN_SD_TRACEA_0200)NULL);
    EXPECT_STREQ(g_szModuleTag, "Vendrel");
    EXPECT_EQ(std::string(g_szExeName), ExeBaseName());
    EXPECT_TRUE(QvJournal().empty());
}

TEST_F(SetupTest, LongTagIsCutTo1023Characters)
{
    std::string strTag(1100, 'k');
    strTag[1022] = 'E';
    LoadTraceLibrary("a.ini", "b.dll", strTag.c_str(), TRUE);
    EXPECT_EQ(std::string(g_szModuleTag), strTag.substr(0, 1023));
    EXPECT_EQ(std::basic_string<WCHAR>(g_wszModuleTag), Wide(strTag.substr(0, 1023).c_str()));
}

TEST_F(SetupTest, NullTagEmptiesTheAnsiTagOnly)
{
    LoadTraceLibrary("a.ini", "b.dll", "First", TRUE);
    LoadTraceLibrary("a.ini", "b.dll", NULL, TRUE);
    EXPECT_STREQ(g_szModuleTag, "");
    EXPECT_EQ(std::basic_string<WCHAR>(g_wszModuleTag), Wide("First"));
}

TEST_F(SetupTest, LibraryModeCallsTheInitEntryPointOnce)
{
    EXPECT_TRUE(LoadTraceLibrary("C:\\inst\\zeldebug.ini", "qvdbg20.dll", "Vendrel", FALSE));
    EXPECT_NE(g_hTraceLib, (HMODULE)NULL);
    std::vector<std::string> journal = QvJournal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0], "SD_InitDebug_with_Ini_0200|C:\\inst\\zeldebug.ini|Mar 27 2019|00:57:56");
    EXPECT_NE(g_pfnInitDebugWithIni, (PFN_SD_INITDEBUG_WITH_INI_0200)NULL);
    ExpectTraceEntryPoints();
    EXPECT_STREQ(g_szModuleTag, "Vendrel");
    EXPECT_EQ(std::string(g_szExeName), ExeBaseName());
}

TEST_F(SetupTest, LibraryWithoutInitIsKeptAndLookedUpButAnswersFalse)
{
    EXPECT_FALSE(LoadTraceLibrary("x.ini", "qvdbg20_noinit.dll", "Vendrel", FALSE));
    EXPECT_NE(g_hTraceLib, (HMODULE)NULL);
    EXPECT_EQ(g_pfnInitDebugWithIni, (PFN_SD_INITDEBUG_WITH_INI_0200)NULL);
    ExpectTraceEntryPoints();
    EXPECT_TRUE(QvJournal("qvdbg20_noinit.dll").empty());
}

TEST_F(SetupTest, MissingLibraryLeavesEverythingNull)
{
    EXPECT_FALSE(LoadTraceLibrary("x.ini", "no_such_trace_library.dll", "Vendrel", FALSE));
    EXPECT_EQ(g_hTraceLib, (HMODULE)NULL);
    EXPECT_EQ(g_pfnTraceW, (PFN_SD_TRACEW)NULL);
    EXPECT_STREQ(g_szModuleTag, "Vendrel");
}

class LibraryRouteTest : public SetupTest
{
protected:
    std::string Prefix() { return "[Vendrel][" + ExeBaseName() + "]"; }
    // Loads the stand-in in library mode and empties its journal.
    static bool LoadStandIn()
    {
        BOOL bLoaded = LoadTraceLibrary("x.ini", "qvdbg20.dll", "Vendrel", FALSE);
        QvResetJournal();
        return bLoaded;
    }
    // The journal's only entry, or how many entries there were instead.
    static std::string OnlyEntry()
    {
        std::vector<std::string> journal = QvJournal();
        return journal.size() == 1 ? journal[0] : std::to_string(journal.size()) + " entries";
    }
};

TEST_F(LibraryRouteTest, DispatchTraceOffThePipeGoesToTraceA)
{
    ASSERT_TRUE(LoadStandIn());
    CallDispatchTrace(3, ".\\src", 12, FALSE, "hello %d", 5);
    EXPECT_EQ(OnlyEntry(), "SD_TraceA_0200|.\\src|12|3|%s|" + Prefix() + "hello 5");
}

TEST_F(LibraryRouteTest, DispatchTraceWOffThePipeGoesToTraceWWithThreeZeros)
{
    ASSERT_TRUE(LoadStandIn());
    std::basic_string<WCHAR> strSource = Wide(".\\src");
    std::basic_string<WCHAR> strFormat = Wide("hello %d");
    CallDispatchTraceW(-3, strSource.c_str(), -12, FALSE, strFormat.c_str(), 6);
    EXPECT_EQ(OnlyEntry(), "SD_TraceW|0|0|0|.\\src|-12|-3|" + Prefix() + "hello 6");
}

TEST_F(LibraryRouteTest, LogTraceWUsesTheLibraryAndLeavesTheGateAlone)
{
    ASSERT_TRUE(LoadStandIn());
    g_bTraceEnabled = FALSE;
    g_nDropCount = 4;
    CTraceCapture capture;
    std::basic_string<WCHAR> strSource = Wide(".\\logcl_Command");
    std::basic_string<WCHAR> strFormat = Wide("err=%d");
    LogTraceW(5, strSource.c_str(), 98, strFormat.c_str(), 2);
    EXPECT_FALSE(g_bTraceEnabled);
    EXPECT_EQ(g_nDropCount, 4);
    EXPECT_EQ(OnlyEntry(), "SD_TraceW|0|0|0|.\\logcl_Command|98|5|" + Prefix() + "err=2");
    EXPECT_TRUE(capture.Records().empty());
}

TEST_F(LibraryRouteTest, LogTraceWithTheLibraryStillGoesOverThePipe)
{
    ASSERT_TRUE(LoadStandIn());
    CTraceCapture capture;
    LogTrace(4, ".\\Vendrel", 1, "to the pipe");
    EXPECT_EQ(capture.Records().size(), 1u);
    EXPECT_TRUE(QvJournal().empty());
}

TEST_F(LibraryRouteTest, LogTraceWWithoutLibraryFormatsNothing)
{
    CTraceCapture capture;
    std::basic_string<WCHAR> strSource = Wide(".\\logcl_Command");
    std::basic_string<WCHAR> strFormat = Wide("%s");
    // Formatting this argument would read from an address that holds no text.
    const WCHAR* wszBogus = reinterpret_cast<const WCHAR*>(uintptr_t(16));
    LogTraceW(5, strSource.c_str(), 93, strFormat.c_str(), wszBogus);
    EXPECT_FALSE(g_bExeNameReadyW);
    EXPECT_TRUE(capture.Records().empty());
    EXPECT_TRUE(QvJournal().empty());
}

TEST_F(LibraryRouteTest, LibraryWithoutInitTakesNoRoute)
{
    EXPECT_FALSE(LoadTraceLibrary("x.ini", "qvdbg20_noinit.dll", "Vendrel", FALSE));
    std::basic_string<WCHAR> strSource = Wide(".\\src");
    std::basic_string<WCHAR> strFormat = Wide("x");
    LogTraceW(5, strSource.c_str(), 1, strFormat.c_str());
    CallDispatchTrace(5, ".\\src", 1, FALSE, "x");
    CallDispatchTraceW(5, strSource.c_str(), 1, FALSE, strFormat.c_str());
    EXPECT_TRUE(QvJournal("qvdbg20_noinit.dll").empty());
}
