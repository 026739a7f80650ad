// The log server's command line: every option, the answers to --help and --version, usage
// errors, and the command line its Windows service is registered with.
#include "logd_options.h"
#include "logd_service.h"
#include "service_command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
bool Parse(std::vector<const char*> args, CLogdOptions* pOptions, std::string* pstrError)
{
    args.insert(args.begin(), "vendrel-logd");
    return ParseLogdOptions(int(args.size()), const_cast<char**>(args.data()), pOptions, pstrError);
}

struct CRefusal
{
    std::vector<const char*> args;
    const char* szNamed; // what the message must name
};
} // namespace

TEST(LogdOptionsTest, DefaultsAndEveryOption)
{
    CLogdOptions options;
    std::string strError;
    ASSERT_TRUE(Parse({}, &options, &strError));
    EXPECT_EQ(options.eAction, ELogdAction::Serve);
    EXPECT_EQ(options.strPipe, "Log_ServerNamePipe");
    EXPECT_EQ(options.strOutput, "");
    EXPECT_EQ(options.eFormat, ELogFormat::Text);
    EXPECT_EQ(options.strGroup, "");
    EXPECT_EQ(options.nMaxSizeBytes, 0u);
    EXPECT_EQ(options.nKeep, 0u);
    ASSERT_TRUE(Parse({"--pipe", "P2", "--output", "o.jsonl", "--format", "jsonl", "--group", "www",
                       "--max-size", "100", "--keep", "3"},
                      &options, &strError))
        << strError;
    EXPECT_EQ(options.eAction, ELogdAction::Serve);
    EXPECT_EQ(options.strPipe, "P2");
    EXPECT_EQ(options.strOutput, "o.jsonl");
    EXPECT_EQ(options.eFormat, ELogFormat::Jsonl);
    EXPECT_EQ(options.strGroup, "www");
    EXPECT_EQ(options.nMaxSizeBytes, 100u * 1024 * 1024);
    EXPECT_EQ(options.nKeep, 3u);
}

TEST(LogdOptionsTest, SizeRotationBoundsAndDefault)
{
    CLogdOptions options;
    std::string strError;
    ASSERT_TRUE(Parse({"--output", "o", "--max-size", "1"}, &options, &strError));
    EXPECT_EQ(options.nMaxSizeBytes, 1024u * 1024);
    EXPECT_EQ(options.nKeep, kDefaultKeptGenerations);
    options = CLogdOptions();
    ASSERT_TRUE(
        Parse({"--keep", "1000", "--max-size", "1048576", "--output", "o"}, &options, &strError));
    EXPECT_EQ(options.nMaxSizeBytes, uint64_t(1024) * 1024 * 1024 * 1024);
    EXPECT_EQ(options.nKeep, 1000u);
}

TEST(LogdOptionsTest, HelpAndVersionAnswerWhereverTheyStand)
{
    const std::vector<std::vector<const char*>> cases = {
        {"--help"}, {"--output", "o", "--help"}, {"--help", "--bogus"}};
    for (const auto& args : cases)
    {
        CLogdOptions options;
        std::string strError;
        ASSERT_TRUE(Parse(args, &options, &strError)) << strError;
        EXPECT_EQ(options.eAction, ELogdAction::Help);
    }
    CLogdOptions options;
    std::string strError;
    ASSERT_TRUE(Parse({"--format", "text", "--version", "--keep"}, &options, &strError));
    EXPECT_EQ(options.eAction, ELogdAction::Version);
    // Read from the left: a wrong argument before them is a usage error.
    EXPECT_FALSE(Parse({"--bogus", "--help"}, &options, &strError));
    EXPECT_EQ(strError, "unknown option: --bogus");
    EXPECT_NE(std::string(kLogdUsage).find("--max-size MB"), std::string::npos);
    EXPECT_EQ(std::string(kLogdUsage).rfind("usage: vendrel-logd", 0), 0u);
}

TEST(LogdOptionsTest, BadArgumentsAreRefusedNamingWhatIsWrong)
{
    const std::vector<CRefusal> cases = {
        {{"--format", "xml"}, "'xml'"},
        {{"--pipe"}, "--pipe needs a value"},
        {{"--pipe", "../etc"}, "'../etc'"},
        {{"--pipe", "a\\b"}, "--pipe"},
        {{"--verbose"}, "unknown option: --verbose"},
        {{"-h"}, "unknown option: -h"},
        {{"--group"}, "--group needs a value"},
        {{"--group", ""}, "--group"},
        {{"--output", ""}, "--output"},
        {{"--output", "o", "--max-size", "0"}, "'0'"},
        {{"--output", "o", "--max-size", "1048577"}, "'1048577'"},
        {{"--output", "o", "--max-size", "-5"}, "'-5'"},
        {{"--output", "o", "--max-size", "+5"}, "'+5'"},
        {{"--output", "o", "--max-size", "10M"}, "'10M'"},
        {{"--output", "o", "--max-size", " 10"}, "' 10'"},
        {{"--output", "o", "--max-size", ""}, "--max-size"},
        {{"--output", "o", "--max-size", "99999999999999999999"}, "--max-size"},
        {{"--output", "o", "--max-size", "1", "--keep", "0"}, "'0'"},
        {{"--output", "o", "--max-size", "1", "--keep", "1001"}, "'1001'"},
        {{"--output", "o", "--max-size", "1", "--keep", "two"}, "'two'"},
        {{"--output", "o", "--keep", "3"}, "--keep needs --max-size"},
        {{"--max-size", "5"}, "--max-size needs --output"},
    };
    for (const CRefusal& c : cases)
    {
        CLogdOptions options;
        std::string strError;
        std::string strArgs;
        for (const char* szArg : c.args)
        {
            strArgs += std::string(" [") + szArg + "]";
        }
        EXPECT_FALSE(Parse(c.args, &options, &strError)) << strArgs;
        EXPECT_NE(strError.find(c.szNamed), std::string::npos) << strArgs << ": " << strError;
    }
}

// The service options work where there is a service manager (Windows); elsewhere they are a
// usage error that says what to do instead.
TEST(LogdOptionsTest, ServiceOptionsWhereThereAreServices)
{
    CLogdOptions options;
    std::string strError;
    bool bInstall = Parse({"--install-service", "--output", "C:\\v\\t.jsonl", "--format", "jsonl",
                           "--max-size", "100", "--keep", "8"},
                          &options, &strError);
    if (!LogdServicesSupported())
    {
        EXPECT_FALSE(bInstall);
        EXPECT_NE(strError.find("--install-service registers a Windows service"), std::string::npos)
            << strError;
        EXPECT_FALSE(Parse({"--remove-service"}, &options, &strError));
        EXPECT_NE(strError.find("--remove-service"), std::string::npos);
        EXPECT_FALSE(Parse({"--service", "--output", "o"}, &options, &strError));
        return;
    }
    ASSERT_TRUE(bInstall) << strError;
    EXPECT_EQ(options.eAction, ELogdAction::InstallService);
    EXPECT_EQ(options.nKeep, 8u);
    options = CLogdOptions();
    ASSERT_TRUE(Parse({"--remove-service"}, &options, &strError));
    EXPECT_EQ(options.eAction, ELogdAction::RemoveService);
    options = CLogdOptions();
    ASSERT_TRUE(Parse({"--output", "o", "--service"}, &options, &strError));
    EXPECT_EQ(options.eAction, ELogdAction::RunService);

    const std::vector<CRefusal> cases = {
        // A service has no standard output to write to.
        {{"--install-service"}, "a service needs --output FILE"},
        {{"--service", "--format", "jsonl"}, "a service needs --output FILE"},
        {{"--remove-service", "--output", "o"}, "--remove-service takes no other options"},
        {{"--install-service", "--remove-service"}, "cannot be combined"},
        {{"--service", "--install-service", "--output", "o"}, "cannot be combined"},
    };
    for (const CRefusal& c : cases)
    {
        options = CLogdOptions();
        EXPECT_FALSE(Parse(c.args, &options, &strError)) << c.szNamed;
        EXPECT_NE(strError.find(c.szNamed), std::string::npos) << strError;
    }
}

TEST(ServiceCommandLineTest, ArgumentsComeBackUnchangedFromTheirQuoting)
{
    struct CQuote
    {
        const char* szArg;
        const char* szQuoted;
    };
    const CQuote cases[] = {
        {"plain", "plain"},
        {"C:\\Vendrel\\trace.jsonl", "C:\\Vendrel\\trace.jsonl"},
        {"", "\"\""},
        {"C:\\Program Files\\Vendrel\\trace.jsonl", "\"C:\\Program Files\\Vendrel\\trace.jsonl\""},
        {"tab\there", "\"tab\there\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},               // a backslash before a quote doubles
        {"C:\\a dir\\", "\"C:\\a dir\\\\\""},       // and before the closing quote
        {"C:\\a dir\\\\", "\"C:\\a dir\\\\\\\\\""}, // every one of them
        {"a\\\\b c", "\"a\\\\b c\""},               // elsewhere backslashes stay as they are
    };
    for (const CQuote& c : cases)
    {
        EXPECT_EQ(QuoteWindowsArgument(c.szArg), c.szQuoted) << c.szArg;
    }
}

TEST(ServiceCommandLineTest, TheServiceServesWithTheOptionsOfTheInstall)
{
    CLogdOptions options;
    options.strOutput = "C:\\Vendrel Logs\\trace.jsonl";
    options.eFormat = ELogFormat::Jsonl;
    options.nMaxSizeBytes = 100 * kBytesPerMegabyte;
    options.nKeep = 8;
    EXPECT_EQ(ServiceCommandLine("C:\\Program Files\\Vendrel\\cgi\\bin\\vendrel-logd.exe", options),
              "\"C:\\Program Files\\Vendrel\\cgi\\bin\\vendrel-logd.exe\" --service --pipe "
              "Log_ServerNamePipe --output \"C:\\Vendrel Logs\\trace.jsonl\" --format jsonl "
              "--max-size 100 --keep 8");
    options = CLogdOptions();
    options.strPipe = "Other";
    options.strOutput = "C:\\t.log";
    options.strGroup = "web users";
    EXPECT_EQ(ServiceCommandLine("C:\\bin\\vendrel-logd.exe", options),
              "C:\\bin\\vendrel-logd.exe --service --pipe Other --output C:\\t.log --format text "
              "--group \"web users\"");
}

// What the service's command line holds is what the service, started with it, serves with.
TEST(ServiceCommandLineTest, TheStoredLineParsesBackToTheSameOptions)
{
    CLogdOptions options;
    options.strOutput = "C:\\Vendrel\\trace.jsonl";
    options.eFormat = ELogFormat::Jsonl;
    options.nMaxSizeBytes = 7 * kBytesPerMegabyte;
    options.nKeep = 2;
    std::string strLine = ServiceCommandLine("vendrel-logd.exe", options);
    // Split at the blanks: none of these values holds one.
    std::vector<std::string> words;
    for (size_t nStart = 0; nStart <= strLine.size();)
    {
        size_t nEnd = strLine.find(' ', nStart);
        nEnd = nEnd == std::string::npos ? strLine.size() : nEnd;
        words.push_back(strLine.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    std::vector<char*> argv;
    for (std::string& strWord : words)
    {
        argv.push_back(&strWord[0]);
    }
    CLogdOptions parsed;
    std::string strError;
    bool bParsed = ParseLogdOptions(int(argv.size()), argv.data(), &parsed, &strError);
    if (!LogdServicesSupported())
    {
        EXPECT_FALSE(bParsed);
        return;
    }
    ASSERT_TRUE(bParsed) << strError;
    EXPECT_EQ(parsed.eAction, ELogdAction::RunService);
    EXPECT_EQ(parsed.strPipe, options.strPipe);
    EXPECT_EQ(parsed.strOutput, options.strOutput);
    EXPECT_EQ(parsed.eFormat, options.eFormat);
    EXPECT_EQ(parsed.nMaxSizeBytes, options.nMaxSizeBytes);
    EXPECT_EQ(parsed.nKeep, options.nKeep);
}
