// Several processes filing uploads from one computer into one folder within the same seconds:
// every upload ends in the folder exactly once, none is overwritten or deleted.
#include "quarantine_test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace
{

const int kProcesses = 8;
const int kUploadsEach = 200;
const int kRatePerProcess = 100;

std::string HelperPath()
{
    char szExe[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    std::string strExe = szExe;
    size_t nSep = strExe.find_last_of(VENDREL_DIR_SEP_STR "/");
    std::string strName = std::string("quarantine_filer") + QUARANTINE_EXE_SUFFIX;
    return nSep == std::string::npos ? strName : strExe.substr(0, nSep + 1) + strName;
}

// A started helper process; Wait() gives its exit status, or -1 when it could not be had.
class CChild
{
public:
    bool Start(const std::vector<std::string>& args)
    {
#ifdef _WIN32
        std::string strCommand;
        for (const std::string& strArg : args)
        {
            strCommand += (strCommand.empty() ? "\"" : " \"") + strArg + "\"";
        }
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        std::vector<char> command(strCommand.begin(), strCommand.end());
        command.push_back('\0');
        return CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &m_process) != FALSE;
#else
        std::vector<char*> argv;
        for (const std::string& strArg : args)
        {
            argv.push_back(const_cast<char*>(strArg.c_str()));
        }
        argv.push_back(nullptr);
        return posix_spawn(&m_pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0;
#endif
    }

    int Wait()
    {
#ifdef _WIN32
        WaitForSingleObject(m_process.hProcess, INFINITE);
        DWORD dwCode = 0;
        BOOL bOk = GetExitCodeProcess(m_process.hProcess, &dwCode);
        CloseHandle(m_process.hProcess);
        CloseHandle(m_process.hThread);
        return bOk ? static_cast<int>(dwCode) : -1;
#else
        int nStatus = 0;
        if (waitpid(m_pid, &nStatus, 0) != m_pid || !WIFEXITED(nStatus))
        {
            return -1;
        }
        return WEXITSTATUS(nStatus);
#endif
    }

private:
#ifdef _WIN32
    PROCESS_INFORMATION m_process = {};
#else
    pid_t m_pid = 0;
#endif
};

TEST(QuarantineConcurrencyTest, EveryUploadIsFiledExactlyOnce)
{
    CTempHome home;
    home.UseAsKelsioHome();
    std::string strFolder = home.Join("Q");
    MakeDirectory(strFolder);
    home.WriteSettings("Quarantine_Folder=" + strFolder + "\n");

    CChild children[kProcesses];
    for (int i = 0; i < kProcesses; ++i)
    {
        ASSERT_TRUE(
            children[i].Start({HelperPath(), "PC7", "p" + std::to_string(i),
                               std::to_string(kUploadsEach), std::to_string(kRatePerProcess)}))
            << HelperPath();
    }
    // All start at once, once every one of them is ready.
    for (int nWait = 0; nWait < 30000; ++nWait)
    {
        int nReady = 0;
        for (int i = 0; i < kProcesses; ++i)
        {
            nReady += PathExists(home.Join("ready_p" + std::to_string(i))) ? 1 : 0;
        }
        if (nReady == kProcesses)
        {
            break;
        }
        Sleep(1);
    }
    WriteWholeFile(home.Join("go"), "");
    for (int i = 0; i < kProcesses; ++i)
    {
        EXPECT_EQ(0, children[i].Wait()) << "process " << i;
    }

    // Every upload once, under a name of this computer, with its own content.
    std::set<std::string> contents;
    std::map<std::string, std::set<char>> writersOfSecond;
    std::vector<std::string> names = ListNames(strFolder);
    for (const std::string& strName : names)
    {
        ASSERT_EQ(0u, strName.rfind("PC7_", 0)) << strName;
        size_t nDot = strName.find('.');
        ASSERT_NE(std::string::npos, nDot) << strName;
        std::string strContent = ReadWholeFile(strFolder + VENDREL_DIR_SEP_STR + strName);
        EXPECT_TRUE(contents.insert(strContent).second) << "twice: " << strContent;
        writersOfSecond[strName.substr(4, nDot - 4)].insert(strContent.at(1));
    }
    EXPECT_EQ(static_cast<size_t>(kProcesses * kUploadsEach), names.size());
    for (int i = 0; i < kProcesses; ++i)
    {
        for (int j = 0; j < kUploadsEach; ++j)
        {
            std::string strExpected = "p" + std::to_string(i) + ":" + std::to_string(j);
            EXPECT_EQ(1u, contents.count(strExpected)) << strExpected;
        }
    }
    EXPECT_TRUE(ListNames(home.Join("TEMP")).empty());

    // The processes did share seconds, so their names did compete.
    size_t nMostWriters = 0;
    for (const auto& second : writersOfSecond)
    {
        nMostWriters = std::max(nMostWriters, second.second.size());
    }
    EXPECT_GE(nMostWriters, 2u);
}

} // namespace
