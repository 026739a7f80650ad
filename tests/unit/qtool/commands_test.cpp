// list, stats and samples on a folder of known files and of entries that are no quarantined
// files; the home the command finds; usage errors, which change nothing.
#include "qtool_test_env.h"

#include "qtool_units.h"

#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace
{

class CommandTest : public CQtoolTest
{
protected:
    // Four quarantined files of three computers, two with the same content, and entries that
    // are not quarantined files.
    void Plant()
    {
        m_strOld = File("PC7", 40 * kDay, "same sample");
        m_strMiddle = File("HOST_A", 5 * kDay, "other");
        m_strNew = File("PC8", 3600, "same sample");
        m_strNewest = File("PC7", 60, "x", 2);
        Put("notes.txt", "not quarantined");
        Put("PC7_1700000000.0.bak", "also not");
        MakeDirectory(InFolder("PC9_1700000000.0"));
        Put("..store.~abc123", "left");
#ifndef _WIN32
        m_strOutside = Home() + "/outside.bin";
        WriteWholeFile(m_strOutside, "outside");
        fs::create_symlink(m_strOutside, InFolder("PC1_1600000000.0"));
#endif
    }
    std::string TimeOf(int64_t nAge) const
    {
        return FormatIsoTime(m_nNow - nAge);
    }

    std::string m_strOld, m_strMiddle, m_strNew, m_strNewest, m_strOutside;
};

TEST_F(CommandTest, ListShowsTheQuarantinedFilesOldestFirstInEachFormat)
{
    Plant();
    std::vector<SSnapshotEntry> before = Snapshot();
    SToolRun text = Run({"list"});
    ASSERT_EQ(0, text.nStatus) << text.strErr;
    EXPECT_EQ((std::vector<std::string>{
                  TimeOf(40 * kDay) + "            11  PC7  " + m_strOld,
                  TimeOf(5 * kDay) + "             5  HOST_A  " + m_strMiddle,
                  TimeOf(3600) + "            11  PC8  " + m_strNew,
                  TimeOf(60) + "             1  PC7  " + m_strNewest,
              }),
              Lines(text.strOut));

    SToolRun json = Run({"list", "--format", "json", "--computer", "PC7"});
    ASSERT_EQ(0, json.nStatus) << json.strErr;
    std::string strEscapedPath;
    for (char c : InFolder(m_strOld))
    {
        strEscapedPath += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    std::vector<std::string> objects = Lines(json.strOut);
    ASSERT_EQ(4u, objects.size()) << json.strOut;
    EXPECT_EQ("[", objects[0]);
    EXPECT_EQ("  {\"name\": \"" + m_strOld + "\", \"computer\": \"PC7\", \"time\": \"" +
                  TimeOf(40 * kDay) + "\", \"seconds\": " + std::to_string(m_nNow - 40 * kDay) +
                  ", \"size\": 11, \"path\": \"" + strEscapedPath + "\"},",
              objects[1]);
    EXPECT_EQ(0u, objects[2].find("  {\"name\": \"" + m_strNewest + "\""));
    EXPECT_EQ("]", objects[3]);

    SToolRun csv = Run({"list", "--format", "csv", "--older-than", "1d", "--sha256"});
    ASSERT_EQ(0, csv.nStatus) << csv.strErr;
    std::vector<std::string> lines = Lines(csv.strOut);
    ASSERT_EQ(3u, lines.size()) << csv.strOut;
    EXPECT_EQ("name,computer,time,seconds,size,path,sha256\r", lines[0]);
    EXPECT_EQ("\"" + m_strMiddle + "\",\"HOST_A\"," + TimeOf(5 * kDay) + "," +
                  std::to_string(m_nNow - 5 * kDay) + ",5,\"" + InFolder(m_strMiddle) +
                  "\",d9298a10d1b0735837dc4bd85dac641b0f3cef27a47e5d53a54f2f3f5b2fcffa\r",
              lines[2]);
    EXPECT_EQ(before, Snapshot());
}

TEST_F(CommandTest, ListTakesAgeBoundsAndDigestsEachFileOnce)
{
    Plant();
    SToolRun run = Run({"list", "--newer-than", "2h", "--older-than", "30m", "--sha256"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    // sha256("same sample")
    EXPECT_EQ(TimeOf(3600) +
                  "            11  "
                  "6efded3f7d9eef985637a8cabba6fb63e16a023e9f777a4fc6158f5a13f7cf2c  PC8  " +
                  m_strNew + "\n",
              run.strOut);
}

TEST_F(CommandTest, StatsCountsFilesOthersComputersAndTheCachesDrift)
{
    Plant();
    Put(".store", std::string("\x20\x00\x00\x00\x00\x00\x00\x00", 8));
    SToolRun run = Run({"stats", "--format", "json"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    int64_t nTotal = ProgramTotal();
    uint64_t nOthers = 5;
    uint64_t nOtherBytes = 15 + 8 + 0 + 4 + 8;
#ifndef _WIN32
    nOthers += 1;
    nOtherBytes += m_strOutside.size();
#endif
    const std::string& s = run.strOut;
    EXPECT_TRUE(Contains(s, "\"files\": 4,\n  \"bytes\": 28,\n")) << s;
    EXPECT_TRUE(Contains(s, "\"capacity_bytes\": 10737418240,")) << s;
    EXPECT_TRUE(Contains(s, "\"folder_bytes\": " + std::to_string(nTotal) + ",")) << s;
    EXPECT_TRUE(Contains(s, "\"store_bytes\": 32,")) << s;
    EXPECT_TRUE(Contains(s, "\"store_drift_bytes\": " + std::to_string(32 - nTotal) + ",")) << s;
    EXPECT_TRUE(Contains(s, "\"oldest\": \"" + TimeOf(40 * kDay) + "\",")) << s;
    EXPECT_TRUE(Contains(s, "\"newest_seconds\": " + std::to_string(m_nNow - 60) + ",")) << s;
    EXPECT_TRUE(Contains(s, "\"other_entries\": " + std::to_string(nOthers) + ",")) << s;
    EXPECT_TRUE(Contains(s, "\"other_bytes\": " + std::to_string(nOtherBytes) + ",")) << s;
    EXPECT_TRUE(Contains(s,
                         "\"computers\": [\n    {\"computer\": \"PC7\", \"files\": 2, "
                         "\"bytes\": 12},\n    {\"computer\": \"PC8\", \"files\": 1, \"bytes\": "
                         "11},\n    {\"computer\": \"HOST_A\", \"files\": 1, \"bytes\": 5}\n  ]"))
        << s;
}

TEST_F(CommandTest, StatsTextShowsTheTwentyLargestComputers)
{
    for (int i = 0; i < 21; ++i)
    {
        File("C" + std::to_string(i), kDay, std::string(static_cast<size_t>(100 + i), 'x'));
    }
    SToolRun run = Run({"stats"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    EXPECT_TRUE(Contains(run.strOut, "quarantined files:   21\n")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, ".store:              missing")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "computers (top 20 of 21, the largest first):")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "       120  C20\n")) << run.strOut;
    EXPECT_FALSE(Contains(run.strOut, "  C0\n")) << "the smallest is past the top 20";
}

TEST_F(CommandTest, PrometheusWritesTheExpositionFormatWithoutPerComputerSeries)
{
    Plant();
    SToolRun run = Run({"stats", "--format", "prometheus"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    std::vector<std::string> samples;
    for (const std::string& strLine : Lines(run.strOut))
    {
        if (strLine.compare(0, 1, "#") != 0)
        {
            samples.push_back(strLine);
        }
        else
        {
            EXPECT_TRUE(strLine.compare(0, 7, "# HELP ") == 0 ||
                        (strLine.compare(0, 7, "# TYPE ") == 0 &&
                         strLine.substr(strLine.size() - 6) == " gauge"))
                << strLine;
        }
    }
    int nOthers = 4;
#ifndef _WIN32
    nOthers += 1;
#endif
    // No .store: its sample is left out, not made up.
    EXPECT_EQ((std::vector<std::string>{
                  "vendrel_quarantine_files 4",
                  "vendrel_quarantine_bytes 28",
                  "vendrel_quarantine_capacity_bytes 10737418240",
                  "vendrel_quarantine_oldest_file_timestamp_seconds " +
                      std::to_string(m_nNow - 40 * kDay),
                  "vendrel_quarantine_newest_file_timestamp_seconds " + std::to_string(m_nNow - 60),
                  "vendrel_quarantine_other_entries " + std::to_string(nOthers),
              }),
              samples);
    EXPECT_TRUE(Contains(run.strOut, "# TYPE vendrel_quarantine_store_bytes gauge\n"));
    EXPECT_FALSE(Contains(run.strOut, "\r"));
}

TEST_F(CommandTest, SamplesGroupByContentMostComputersFirst)
{
    File("A", 9 * kDay, "wide");
    File("B", 8 * kDay, "wide");
    File("C", 7 * kDay, "wide");
    File("A", 6 * kDay, "busy");
    File("A", 5 * kDay, "busy", 1);
    File("A", 4 * kDay, "busy", 2);
    File("A", 3 * kDay, "busy", 3);
    File("D", 2 * kDay, "lone-old");
    File("E", kDay, "lone-new");
    SToolRun run = Run({"samples", "--format", "csv"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    std::vector<std::string> lines = Lines(run.strOut);
    ASSERT_EQ(5u, lines.size()) << run.strOut;
    EXPECT_EQ("sha256,files,computers,size,first,last\r", lines[0]);
    // Most computers, then most files, then the newest.
    EXPECT_EQ(",3,3,4," + TimeOf(9 * kDay) + "," + TimeOf(7 * kDay) + "\r", lines[1].substr(64));
    EXPECT_EQ(",4,1,4," + TimeOf(6 * kDay) + "," + TimeOf(3 * kDay) + "\r", lines[2].substr(64));
    EXPECT_EQ(",1,1,8," + TimeOf(kDay) + "," + TimeOf(kDay) + "\r", lines[3].substr(64));
    EXPECT_EQ(",1,1,8," + TimeOf(2 * kDay) + "," + TimeOf(2 * kDay) + "\r", lines[4].substr(64));

    SToolRun since = Run({"samples", "--since", "5d", "--computer", "A", "--format", "json"});
    ASSERT_EQ(0, since.nStatus) << since.strErr;
    EXPECT_TRUE(Contains(since.strOut,
                         "\"files\": 3, \"computers\": 1, \"size\": 4, \"first\": \"" +
                             TimeOf(5 * kDay) + "\", \"last\": \"" + TimeOf(3 * kDay) + "\"}\n]\n"))
        << since.strOut;
    EXPECT_EQ(1u, Lines(since.strOut).size() - 2);
}

TEST_F(CommandTest, HomeComesFromTheOptionTheEnvironmentOrTheBuild)
{
    File("PC7", kDay, "x");
    std::string strHome = Home();
    SToolRun fromEnvironment = RunBare({"list"}, strHome.c_str());
    EXPECT_EQ(0, fromEnvironment.nStatus) << fromEnvironment.strErr;
    EXPECT_EQ(1u, Lines(fromEnvironment.strOut).size());

    SToolRun fromBuild = RunBare({"list"}, nullptr, strHome.c_str());
    EXPECT_EQ(0, fromBuild.nStatus) << fromBuild.strErr;
    EXPECT_EQ(fromEnvironment.strOut, fromBuild.strOut);

    // The option wins over the environment, which wins over the build.
    SToolRun wins = RunBare({"list", "--home", strHome}, "/nonexistent-a", "/nonexistent-b");
    EXPECT_EQ(0, wins.nStatus) << wins.strErr;
    SToolRun envWins = RunBare({"list"}, "/nonexistent-a", strHome.c_str());
    EXPECT_EQ(2, envWins.nStatus);
    EXPECT_TRUE(Contains(envWins.strErr, "/nonexistent-a")) << envWins.strErr;

    SToolRun none = RunBare({"list"}, nullptr, "");
    EXPECT_EQ(2, none.nStatus);
    EXPECT_TRUE(Contains(none.strErr, "--home")) << none.strErr;
}

struct SBadRunCase
{
    const char* szName;
    std::vector<std::string> args;
    const char* szNamed;
};

class BadRunTest : public CommandTest, public ::testing::WithParamInterface<SBadRunCase>
{
};

TEST_P(BadRunTest, IsAUsageErrorNamingTheValueAndChangesNothing)
{
    Plant();
    File("PC7", 400 * kDay, "ancient");
    Age("..store.~abc123", 7200);
    std::vector<SSnapshotEntry> before = Snapshot();
    std::vector<std::string> args = GetParam().args;
    for (std::string& strArg : args)
    {
        if (strArg == "HOME")
        {
            strArg = Home();
        }
    }
    SToolRun run = RunBare(args, nullptr);
    EXPECT_EQ(2, run.nStatus);
    EXPECT_TRUE(Contains(run.strErr, GetParam().szNamed)) << run.strErr;
    EXPECT_TRUE(run.strOut.empty()) << run.strOut;
    EXPECT_EQ(before, Snapshot());
    EXPECT_TRUE(ToolMessages().empty());
}

const SBadRunCase kBadRuns[] = {
    {"BadAge", {"--home", "HOME", "purge", "--older-than", "12x"}, "'12x'"},
    {"BadSize", {"--home", "HOME", "purge", "--keep-bytes", "1.5G"}, "'1.5G'"},
    {"UnknownOption", {"--home", "HOME", "purge", "--force"}, "'--force'"},
    {"UnknownCommand", {"--home", "HOME", "delete"}, "'delete'"},
    {"BothBounds",
     {"--home", "HOME", "purge", "--older-than", "1d", "--keep-bytes", "0"},
     "--keep-bytes"},
    {"MissingHome", {"--home", "HOME/missing", "purge", "--older-than", "1d"}, "missing"},
    {"HomeIsAFile", {"--home", "HOME/server.ini", "rescan"}, "server.ini"},
};

INSTANTIATE_TEST_SUITE_P(Runs, BadRunTest, ::testing::ValuesIn(kBadRuns),
                         [](const ::testing::TestParamInfo<SBadRunCase>& info)
                         { return std::string(info.param.szName); });

TEST_F(CommandTest, HelpAndVersionGoToStandardOutput)
{
    SToolRun help = RunBare({"--help"}, nullptr);
    EXPECT_EQ(0, help.nStatus);
    EXPECT_EQ(0u, help.strOut.find("usage: vendrel-quarantine"));
    EXPECT_TRUE(help.strErr.empty());
    SToolRun version = RunBare({"--version"}, nullptr);
    EXPECT_EQ(0, version.nStatus);
    EXPECT_EQ("vendrel-quarantine 1.0.0\n", version.strOut);
}

TEST_F(CommandTest, AFolderThatCannotBeListedFailsTheCommand)
{
    Configure();
    m_pHome->WriteSettings("Quarantine_Folder=" + InFolder("nowhere") + "\n");
    for (const char* szCommand : {"list", "stats", "samples", "rescan"})
    {
        SToolRun run = Run({szCommand});
        EXPECT_EQ(1, run.nStatus) << szCommand;
        EXPECT_TRUE(Contains(run.strErr, InFolder("nowhere"))) << run.strErr;
    }
    EXPECT_FALSE(PathExists(InFolder("nowhere")));
}

} // namespace
