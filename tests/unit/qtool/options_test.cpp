// The command line: what each command takes, and a usage error naming every value it refuses.
#include "qtool_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

EParseResult Parse(const std::vector<const char*>& args, SToolOptions* pOptions,
                   std::string* pstrError)
{
    std::vector<const char*> argv = {"vendrel-quarantine"};
    argv.insert(argv.end(), args.begin(), args.end());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), pOptions, pstrError);
}

struct SUsageErrorCase
{
    const char* szName;
    std::vector<const char*> args;
    // What the message must name.
    const char* szNamed;
};

const SUsageErrorCase kUsageErrors[] = {
    {"NoCommand", {}, "no command"},
    {"UnknownCommand", {"lsit"}, "'lsit'"},
    {"SecondCommand", {"list", "stats"}, "'stats'"},
    {"UnknownOption", {"list", "--oldr-than", "3d"}, "'--oldr-than'"},
    {"UnknownOptionWithValue", {"list", "--colour=red"}, "'--colour'"},
    {"BadAge", {"list", "--older-than", "12x"}, "'12x'"},
    {"BadAgeInline", {"purge", "--older-than=3w"}, "'3w'"},
    {"NegativeAge", {"list", "--newer-than", "-1d"}, "'-1d'"},
    {"BadSince", {"samples", "--since", "yesterday"}, "'yesterday'"},
    {"BadSize", {"purge", "--keep-bytes", "2Q"}, "'2Q'"},
    {"HugeSize", {"purge", "--keep-bytes", "99999999999T"}, "'99999999999T'"},
    {"EmptyAge", {"list", "--older-than="}, "''"},
    {"MissingValue", {"list", "--older-than"}, "--older-than"},
    {"BadFormat", {"list", "--format", "xml"}, "'xml'"},
    {"FormatOfOtherCommand", {"list", "--format", "prometheus"}, "'prometheus'"},
    {"CsvStats", {"stats", "--format=csv"}, "'csv'"},
    {"OptionOfOtherCommand", {"stats", "--sha256"}, "--sha256"},
    {"DryRunOutsidePurge", {"list", "--dry-run"}, "--dry-run"},
    {"KeepBytesOutsidePurge", {"list", "--keep-bytes", "1G"}, "--keep-bytes"},
    {"OlderAndKeep", {"purge", "--older-than", "3d", "--keep-bytes", "1G"}, "--keep-bytes"},
    {"Twice", {"list", "--computer", "A", "--computer", "B"}, "--computer"},
    {"FlagWithValue", {"list", "--sha256=yes"}, "--sha256"},
    {"EmptyHome", {"--home", "", "list"}, "--home"},
    {"RescanWithComputer", {"rescan", "--computer", "PC7"}, "--computer"},
};

class UsageErrorTest : public ::testing::TestWithParam<SUsageErrorCase>
{
};

TEST_P(UsageErrorTest, IsRefusedNamingTheValue)
{
    SToolOptions options;
    std::string strError;
    EXPECT_EQ(kParseUsageError, Parse(GetParam().args, &options, &strError));
    EXPECT_NE(std::string::npos, strError.find(GetParam().szNamed)) << strError;
}

INSTANTIATE_TEST_SUITE_P(CommandLines, UsageErrorTest, ::testing::ValuesIn(kUsageErrors),
                         [](const ::testing::TestParamInfo<SUsageErrorCase>& info)
                         { return std::string(info.param.szName); });

TEST(CommandLineTest, ReadsEveryOptionOfItsCommandInEitherForm)
{
    SToolOptions options;
    std::string strError;
    ASSERT_EQ(kParseRun, Parse({"--home", "/srv/h", "list", "--computer=PC_7", "--older-than", "2h",
                                "--newer-than=30m", "--sha256", "--format", "csv"},
                               &options, &strError))
        << strError;
    EXPECT_EQ(kCommandList, options.eCommand);
    EXPECT_TRUE(options.bHome);
    EXPECT_EQ("/srv/h", options.strHome);
    EXPECT_TRUE(options.bComputer);
    EXPECT_EQ("PC_7", options.strComputer);
    EXPECT_TRUE(options.bOlderThan);
    EXPECT_EQ(7200, options.nOlderThanSeconds);
    EXPECT_TRUE(options.bNewerThan);
    EXPECT_EQ(1800, options.nNewerThanSeconds);
    EXPECT_TRUE(options.bSha256);
    EXPECT_EQ(kFormatCsv, options.eFormat);

    ASSERT_EQ(kParseRun, Parse({"purge", "--keep-bytes", "1G", "--dry-run", "--home", "/h"},
                               &options, &strError));
    EXPECT_EQ(kCommandPurge, options.eCommand);
    EXPECT_TRUE(options.bKeepBytes);
    EXPECT_EQ(1ull << 30, options.nKeepBytes);
    EXPECT_TRUE(options.bDryRun);
    EXPECT_FALSE(options.bOlderThan);
    EXPECT_EQ("/h", options.strHome);

    ASSERT_EQ(kParseRun,
              Parse({"samples", "--since", "7", "--format", "json"}, &options, &strError));
    EXPECT_EQ(7 * 86400, options.nSinceSeconds);
    EXPECT_EQ(kFormatJson, options.eFormat);

    ASSERT_EQ(kParseRun, Parse({"stats", "--format", "prometheus"}, &options, &strError));
    EXPECT_EQ(kFormatPrometheus, options.eFormat);
    EXPECT_FALSE(options.bHome);

    // A computer name may be empty (filing keeps an empty one) or look like a value.
    ASSERT_EQ(kParseRun, Parse({"list", "--computer", ""}, &options, &strError));
    EXPECT_TRUE(options.bComputer);
    EXPECT_EQ("", options.strComputer);
}

TEST(CommandLineTest, HelpAndVersionAnswerWhateverElseIsGiven)
{
    SToolOptions options;
    std::string strError;
    EXPECT_EQ(kParseHelp, Parse({"--help"}, &options, &strError));
    EXPECT_EQ(kParseHelp, Parse({"purge", "--older-than", "bad", "--help"}, &options, &strError));
    EXPECT_EQ(kParseVersion, Parse({"--version"}, &options, &strError));
    EXPECT_EQ(kParseVersion, Parse({"bogus", "--version"}, &options, &strError));
}

TEST(CommandLineTest, UsageNamesEveryCommandAndTheConfiguredHome)
{
    std::string strUsage = UsageText("/var/lib/vendrel");
    for (const char* szWord : {"list", "stats", "samples", "purge", "rescan", "check",
                               "--keep-bytes", "--sha256", "prometheus", "/var/lib/vendrel"})
    {
        EXPECT_NE(std::string::npos, strUsage.find(szWord)) << szWord;
    }
    EXPECT_EQ(std::string::npos, UsageText("").find("else ,"));
}

} // namespace
