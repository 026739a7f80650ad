#include "qtool_test_env.h"

#include "quarantine.h"
#include "system_calls.h"
#include "tool.h"
#include "trace_state.h"

#include <chrono>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

static time_t s_nFakeNow = 0;

static time_t FakeTime(time_t* pTime)
{
    if (pTime != nullptr)
    {
        *pTime = s_nFakeNow;
    }
    return s_nFakeNow;
}

std::ostream& operator<<(std::ostream& os, const SSnapshotEntry& entry)
{
    return os << entry.strName << "=" << entry.strWhat;
}

void CQtoolTest::SetUp()
{
    ResetTraceState();
    ResetSystemCalls();
    s_nFakeNow = time(nullptr);
    m_nNow = static_cast<int64_t>(s_nFakeNow);
    SetSystemCall("time", reinterpret_cast<SYSTEM_CALL_PTR>(FakeTime));
    m_savedHome = SaveEnvVar("KELSIO_HOME");
    m_pHome = std::make_unique<CTempHome>();
    MakeDirectory(Folder());
    Configure();
    m_pCapture = std::make_unique<CTraceCapture>();
    ASSERT_TRUE(m_pCapture->IsListening());
}

void CQtoolTest::TearDown()
{
    ResetSystemCalls();
    m_pCapture.reset();
    m_pHome.reset();
    RestoreEnvVar(m_savedHome);
}

void CQtoolTest::Configure(const std::string& strExtraLines) const
{
    m_pHome->WriteSettings("Quarantine_Folder=" + Folder() + "\n" + strExtraLines);
}

std::string CQtoolTest::InFolder(const std::string& strName) const
{
    return Folder() + VENDREL_DIR_SEP_STR + strName;
}

std::string CQtoolTest::File(const std::string& strComputer, int64_t nAgeSeconds,
                             const std::string& strContent, int n) const
{
    std::string strName =
        strComputer + "_" + std::to_string(m_nNow - nAgeSeconds) + "." + std::to_string(n);
    Put(strName, strContent);
    return strName;
}

void CQtoolTest::Put(const std::string& strName, const std::string& strContent) const
{
    std::ofstream file(fs::u8path(InFolder(strName)), std::ios::binary);
    file << strContent;
}

void CQtoolTest::Age(const std::string& strName, int64_t nSeconds) const
{
    fs::path path = fs::u8path(InFolder(strName));
    fs::last_write_time(path, fs::last_write_time(path) - std::chrono::seconds(nSeconds));
}

int64_t CQtoolTest::StoreValue() const
{
    std::string strBytes = ReadWholeFile(InFolder(".store"));
    if (strBytes.size() != 8)
    {
        return -1;
    }
    uint64_t nBits = 0;
    for (int i = 7; i >= 0; --i)
    {
        nBits = (nBits << 8) | static_cast<unsigned char>(strBytes[static_cast<size_t>(i)]);
    }
    return static_cast<int64_t>(nBits);
}

int64_t CQtoolTest::ProgramTotal() const
{
    // The cache's bytes are read aside and put back, so the scan sees the folder as it is.
    std::string strStore = ReadWholeFile(InFolder(".store"));
    bool bHadStore = PathExists(InFolder(".store"));
    if (bHadStore)
    {
        DeleteFileA(InFolder(".store").c_str());
    }
    m_pHome->UseAsKelsioHome();
    int64_t nTotal = getFolderSize(Folder().c_str());
    // The scan wrote a fresh cache, which it did not count; a folder that had one counts it.
    if (bHadStore)
    {
        WriteWholeFile(InFolder(".store"), strStore);
        nTotal += static_cast<int64_t>(strStore.size());
    }
    else
    {
        DeleteFileA(InFolder(".store").c_str());
    }
    return nTotal;
}

std::vector<SSnapshotEntry> CQtoolTest::Snapshot() const
{
    std::vector<SSnapshotEntry> entries;
    for (const auto& item : fs::directory_iterator(fs::u8path(Folder())))
    {
        SSnapshotEntry entry;
        entry.strName = item.path().filename().u8string();
        fs::file_status status = fs::symlink_status(item.path());
        if (fs::is_symlink(status))
        {
            entry.strWhat = "link:" + fs::read_symlink(item.path()).u8string();
        }
        else if (fs::is_directory(status))
        {
            entry.strWhat = "dir";
        }
        else if (fs::is_regular_file(status))
        {
            std::ifstream file(item.path(), std::ios::binary);
            entry.strWhat = "file:" + std::string(std::istreambuf_iterator<char>(file),
                                                  std::istreambuf_iterator<char>());
        }
        else
        {
            entry.strWhat = "other";
        }
        entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end(),
              [](const SSnapshotEntry& a, const SSnapshotEntry& b)
              { return a.strName < b.strName; });
    return entries;
}

SToolRun CQtoolTest::Run(std::initializer_list<std::string> args)
{
    std::vector<std::string> all = {"--home", Home()};
    all.insert(all.end(), args.begin(), args.end());
    return RunBare(all, nullptr);
}

SToolRun CQtoolTest::RunBare(const std::vector<std::string>& args, const char* szKelsioHome,
                             const char* szConfiguredHome)
{
    std::vector<const char*> argv = {"vendrel-quarantine"};
    for (const std::string& strArg : args)
    {
        argv.push_back(strArg.c_str());
    }
    SToolEnvironment environment;
    environment.szKelsioHome = szKelsioHome;
    environment.szConfiguredHome = szConfiguredHome;
    environment.szExePath = "";
    SToolRun run;
    COutput out(&run.strOut);
    COutput err(&run.strErr);
    run.nStatus = RunTool(static_cast<int>(argv.size()), argv.data(), environment, &out, &err);
    return run;
}

std::vector<std::string> CQtoolTest::ToolMessages()
{
    std::vector<std::string> messages;
    for (const TraceRecord& record : Records())
    {
        if (record.strSource != ".\\vendrel-quarantine")
        {
            continue;
        }
        // "[vendrel-quarantine][<exe>]text": both brackets go.
        std::string strMessage = record.strMessage;
        for (int i = 0; i < 2 && !strMessage.empty() && strMessage[0] == '['; ++i)
        {
            strMessage = strMessage.substr(strMessage.find(']') + 1);
        }
        messages.push_back(strMessage);
    }
    return messages;
}

std::vector<std::string> Lines(const std::string& strText)
{
    std::vector<std::string> lines;
    size_t nPos = 0;
    while (nPos < strText.size())
    {
        size_t nEnd = strText.find('\n', nPos);
        if (nEnd == std::string::npos)
        {
            nEnd = strText.size();
        }
        lines.push_back(strText.substr(nPos, nEnd - nPos));
        nPos = nEnd + 1;
    }
    return lines;
}

bool Contains(const std::string& strText, const std::string& strPart)
{
    return strText.find(strPart) != std::string::npos;
}
