#include "quarantine_test_env.h"

#include "trace.h"
#include "trace_state.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

uint64_t g_nFakeNow = 0;

void SetEnvVar(const char* szName, const char* szValue)
{
#ifdef _WIN32
    _putenv_s(szName, szValue);
#else
    setenv(szName, szValue, 1);
#endif
}

CTestHome::CTestHome()
{
    static std::atomic<unsigned> s_nCounter(0);
    auto nNow = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path dir = fs::temp_directory_path() /
                   ("vq-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(nNow % 1000000007) + "-" + std::to_string(++s_nCounter));
    fs::create_directories(dir / "TEMP");
    m_strPath = dir.string();
    SetEnvVar("KELSIO_HOME", m_strPath.c_str());
}

CTestHome::~CTestHome()
{
    std::error_code error;
    fs::remove_all(m_strPath, error);
}

std::string CTestHome::Join(const std::string& strName) const
{
    return m_strPath + VENDREL_DIR_SEP_STR + strName;
}

void CTestHome::WriteSettings(const std::string& strLines) const
{
    WriteBytes(Join("server.ini"), "[INI_SERVER_SECTION]\n" + strLines);
}

void CQuarantineTest::SetUp()
{
    ResetTraceState();
    ResetSystemCalls();
    m_pHome = std::make_unique<CTestHome>();
    MakeDirectory(Folder());
    Configure();
    m_pCapture = std::make_unique<CTraceCapture>();
    ASSERT_TRUE(m_pCapture->IsListening());
}

void CQuarantineTest::TearDown()
{
    ResetSystemCalls();
    m_pCapture.reset();
    m_pHome.reset();
}

void CQuarantineTest::Configure(const std::string& strExtraLines) const
{
    m_pHome->WriteSettings("Quarantine_Folder=" + Folder() + "\n" + strExtraLines);
}

std::string CQuarantineTest::StorePath() const
{
    return Folder() + VENDREL_DIR_SEP_STR ".store";
}

void WriteBytes(const std::string& strPath, const std::string& strBytes)
{
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file.write(strBytes.data(), static_cast<std::streamsize>(strBytes.size()));
}

std::string ReadBytes(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool PathExists(const std::string& strPath)
{
    std::error_code error;
    return fs::exists(strPath, error);
}

void MakeDirectory(const std::string& strPath)
{
    fs::create_directories(strPath);
}

void MakeSparseFile(const std::string& strPath, uint64_t nSize)
{
    WriteBytes(strPath, "");
    fs::resize_file(strPath, nSize);
}

std::string LittleEndian64(int64_t nValue)
{
    std::string strBytes;
    uint64_t nBits = static_cast<uint64_t>(nValue);
    for (int i = 0; i < 8; ++i)
    {
        strBytes.push_back(static_cast<char>((nBits >> (8 * i)) & 0xff));
    }
    return strBytes;
}

int64_t FromLittleEndian64(const std::string& strBytes)
{
    uint64_t nBits = 0;
    for (int i = 7; i >= 0; --i)
    {
        nBits = (nBits << 8) | static_cast<unsigned char>(strBytes.at(static_cast<size_t>(i)));
    }
    return static_cast<int64_t>(nBits);
}

void ShiftLastWriteTime(const std::string& strPath, long long nSeconds)
{
    fs::last_write_time(strPath, fs::last_write_time(strPath) + std::chrono::seconds(nSeconds));
}

FILETIME LastWriteTime(const std::string& strPath)
{
    FILETIME ft = {0, 0};
    HANDLE hFile = CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile != INVALID_HANDLE_VALUE)
    {
        GetFileTime(hFile, nullptr, nullptr, &ft);
        CloseHandle(hFile);
    }
    return ft;
}

std::vector<std::string> ListNames(const std::string& strDir)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(strDir, error))
    {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void WINAPI FakeSystemTime(LPFILETIME pTime)
{
    pTime->dwLowDateTime = static_cast<DWORD>(g_nFakeNow & 0xffffffffu);
    pTime->dwHighDateTime = static_cast<DWORD>(g_nFakeNow >> 32);
}

uint64_t FileTimeValue(const FILETIME& ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

bool EndsWith(const std::string& str, const std::string& strTail)
{
    return str.size() >= strTail.size() &&
           str.compare(str.size() - strTail.size(), strTail.size(), strTail) == 0;
}

const TraceRecord* FindLine(const std::vector<TraceRecord>& records, int nLine)
{
    for (const TraceRecord& record : records)
    {
        if (record.nLine == nLine)
        {
            return &record;
        }
    }
    return nullptr;
}

int CountLine(const std::vector<TraceRecord>& records, int nLine)
{
    return static_cast<int>(std::count_if(records.begin(), records.end(),
                                          [nLine](const TraceRecord& record)
                                          { return record.nLine == nLine; }));
}

std::vector<int> Lines(const std::vector<TraceRecord>& records)
{
    std::vector<int> lines;
    for (const TraceRecord& record : records)
    {
        lines.push_back(record.nLine);
    }
    return lines;
}

::testing::AssertionResult HasTrace(const std::vector<TraceRecord>& records, int nLine, int nLevel,
                                    const std::string& strTail)
{
    const TraceRecord* pRecord = FindLine(records, nLine);
    if (pRecord == nullptr)
    {
        return ::testing::AssertionFailure() << "no trace at line " << nLine;
    }
    if (pRecord->nLevel != nLevel || pRecord->strSource != VENDREL_TRACE_SOURCE ||
        !EndsWith(pRecord->strMessage, strTail))
    {
        return ::testing::AssertionFailure()
               << "line " << nLine << ": level " << pRecord->nLevel << ", source "
               << pRecord->strSource << ", message \"" << pRecord->strMessage
               << "\"; expected level " << nLevel << " and a message ending \"" << strTail << "\"";
    }
    return ::testing::AssertionSuccess();
}
