// check on a good installation and on broken ones: each fault FAILED or warned with its name,
// the exit status 1 exactly when something FAILED, and the log server's reachability known from
// the record "check" itself.
#include "qtool_test_env.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace
{

class CheckTest : public CQtoolTest
{
protected:
    // A healthy installation: a file filed, the cache written by rescan, directories this
    // account's alone.
    void MakeGood()
    {
        File("PC7", kDay, "payload");
#ifndef _WIN32
        fs::permissions(fs::u8path(Home() + "/TEMP"), fs::perms::owner_all);
        fs::permissions(fs::u8path(Folder()), fs::perms::owner_all);
#endif
        ASSERT_EQ(0, Run({"rescan"}).nStatus);
    }
    // The lines of a check that start with the level.
    static std::vector<std::string> LinesOf(const SToolRun& run, const std::string& strLevel)
    {
        std::vector<std::string> found;
        for (const std::string& strLine : Lines(run.strOut))
        {
            if (strLine.compare(0, strLevel.size() + 1, strLevel + " ") == 0)
            {
                found.push_back(strLine);
            }
        }
        return found;
    }
    static bool HasLine(const SToolRun& run, const std::string& strLevel,
                        const std::string& strPart)
    {
        for (const std::string& strLine : LinesOf(run, strLevel))
        {
            if (Contains(strLine, strPart))
            {
                return true;
            }
        }
        return false;
    }
};

TEST_F(CheckTest, AGoodInstallationPassesAndTheLogServerGetsTheRecord)
{
    MakeGood();
    m_pCapture->Clear();
    SToolRun run = Run({"check"});
    EXPECT_EQ(0, run.nStatus) << run.strOut;
    EXPECT_TRUE(LinesOf(run, "FAILED").empty()) << run.strOut;
    EXPECT_TRUE(LinesOf(run, "warning").empty()) << run.strOut;
    EXPECT_TRUE(HasLine(run, "ok", "Quarantine_Folder=" + Folder())) << run.strOut;
    EXPECT_TRUE(HasLine(run, "ok", "quarantine folder " + Folder() + " is a directory"));
    EXPECT_TRUE(HasLine(run, "ok", "share a file system"));
    EXPECT_TRUE(HasLine(run, "ok", "as the listing counts")) << run.strOut;
    EXPECT_TRUE(HasLine(run, "ok", "capacity: "));
    EXPECT_TRUE(HasLine(run, "ok", "log server reachable")) << run.strOut;
    EXPECT_EQ((std::vector<std::string>{"[vendrel-quarantine:check] check of " + Home()}),
              ToolMessages());
    EXPECT_EQ(0u, Lines(run.strOut).back().find("check: "));
}

TEST_F(CheckTest, AFolderPointingNowhereFailsNamingIt)
{
    MakeGood();
    std::string strNowhere = Home() + VENDREL_DIR_SEP_STR "nowhere";
    m_pHome->WriteSettings("Quarantine_Folder=" + strNowhere + "\n");
    SToolRun run = Run({"check"});
    EXPECT_EQ(1, run.nStatus);
    EXPECT_TRUE(HasLine(run, "FAILED", "quarantine folder " + strNowhere + " does not exist"))
        << run.strOut;
    EXPECT_FALSE(PathExists(strNowhere));
}

TEST_F(CheckTest, BadNumbersUnknownAndRepeatedKeysAreNamed)
{
    MakeGood();
    Configure("Quarantine_Folder_Capacity=12abc\n"
              "Quarantine_Folder_Cache_Life=soon\n"
              "Upload_Max_Size=99999999999\n"
              "Upload_Stale_Minutes=0\n"
              "Quarantine_Retention_Days=-3\n"
              "Quarantine_Folder_Capacty=100\n"
              "Upload_Max_Size=5\n"
              "this line has no equals sign\n");
    SToolRun run = Run({"check"});
    EXPECT_EQ(1, run.nStatus);
    EXPECT_TRUE(HasLine(run, "FAILED",
                        "Quarantine_Folder_Capacity=12abc is not a whole number "
                        "(it is read as 12)"))
        << run.strOut;
    EXPECT_TRUE(HasLine(run, "FAILED", "Quarantine_Folder_Cache_Life=soon is not a number"));
    EXPECT_TRUE(HasLine(run, "FAILED", "Upload_Max_Size=99999999999 is out of range"));
    EXPECT_TRUE(HasLine(run, "warning", "Upload_Stale_Minutes=0"));
    EXPECT_TRUE(HasLine(run, "FAILED", "Quarantine_Retention_Days=-3"));
    EXPECT_TRUE(HasLine(run, "warning", "unknown key Quarantine_Folder_Capacty (line 8)"))
        << run.strOut;
    EXPECT_TRUE(HasLine(run, "warning", "Upload_Max_Size is set again on line 9: only line 5"))
        << run.strOut;
    EXPECT_TRUE(HasLine(run, "warning", "line 10 of server.ini is not key=value")) << run.strOut;
    EXPECT_EQ(4u, LinesOf(run, "FAILED").size()) << run.strOut;
}

TEST_F(CheckTest, MissingSettingsAndDirectoriesFail)
{
    MakeGood();
    fs::remove(fs::u8path(Home() + VENDREL_DIR_SEP_STR "server.ini"));
    fs::remove_all(fs::u8path(Home() + VENDREL_DIR_SEP_STR "TEMP"));
    WriteWholeFile(Home() + VENDREL_DIR_SEP_STR "TEMP", "a file where the upload directory goes");
    SToolRun run = Run({"check"});
    EXPECT_EQ(1, run.nStatus);
    EXPECT_TRUE(HasLine(run, "FAILED", "server.ini cannot be read")) << run.strOut;
    EXPECT_TRUE(
        HasLine(run, "FAILED",
                "upload directory " + Home() + VENDREL_DIR_SEP_STR "TEMP is not a directory"))
        << run.strOut;
    // Without server.ini the folder is the home directory followed by "Virus".
    EXPECT_TRUE(HasLine(run, "FAILED", "quarantine folder " + Home() + "Virus does not exist"))
        << run.strOut;
}

TEST_F(CheckTest, ACacheThatIsNoFileFailsAndADriftWarns)
{
    MakeGood();
    Put("PC8_" + std::to_string(m_nNow) + ".0", "arrived after the cache was written");
    SToolRun drift = Run({"check"});
    EXPECT_EQ(0, drift.nStatus) << drift.strOut;
    EXPECT_TRUE(HasLine(drift, "warning", "(drift -35")) << drift.strOut;

    fs::remove(fs::u8path(InFolder(".store")));
    MakeDirectory(InFolder(".store"));
    SToolRun dir = Run({"check"});
    EXPECT_EQ(1, dir.nStatus);
    EXPECT_TRUE(HasLine(dir, "FAILED", ".store is a directory")) << dir.strOut;
}

TEST_F(CheckTest, AFullFolderFails)
{
    MakeGood();
    Configure("Quarantine_Folder_Capacity=1\n");
    File("PC9", kDay, std::string(1048576, 'z'));
    SToolRun run = Run({"check"});
    EXPECT_EQ(1, run.nStatus);
    EXPECT_TRUE(HasLine(run, "FAILED", "full, uploads are refused")) << run.strOut;

    Configure("Quarantine_Folder_Capacity=0\n");
    SToolRun zero = Run({"check"});
    EXPECT_TRUE(HasLine(zero, "FAILED", "Quarantine_Folder_Capacity=0: no upload fits"))
        << zero.strOut;
}

TEST_F(CheckTest, ANoLogServerIsAWarningOnly)
{
    MakeGood();
    m_pCapture.reset();
    // A pipe directory with no log server in it (natively; Windows has none listening now).
    CSavedEnvVar savedPipeDir = SaveEnvVar("VENDREL_PIPE_DIR");
    SetEnvVar("VENDREL_PIPE_DIR", Home().c_str());
    SToolRun run = Run({"check"});
    RestoreEnvVar(savedPipeDir);
    EXPECT_EQ(0, run.nStatus) << run.strOut;
    EXPECT_TRUE(HasLine(run, "warning", "log server not reachable")) << run.strOut;
}

#ifndef _WIN32
TEST_F(CheckTest, DirectoriesOthersCanWriteFail)
{
    MakeGood();
    fs::permissions(fs::u8path(Folder()), fs::perms::all);
    fs::permissions(fs::u8path(Home() + "/TEMP"), fs::perms::owner_all | fs::perms::group_all);
    SToolRun run = Run({"check"});
    EXPECT_EQ(1, run.nStatus);
    EXPECT_TRUE(HasLine(run, "FAILED",
                        "quarantine folder " + Folder() + " is writable by every user (mode 0777)"))
        << run.strOut;
    EXPECT_TRUE(HasLine(run, "FAILED", "TEMP is writable by the group")) << run.strOut;
}
#endif

} // namespace
