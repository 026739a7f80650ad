#include "quarantine_test_env.h"

#include "trace.h"
#include "trace_state.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace fs = std::filesystem;

uint64_t g_nFakeNow = 0;

void CQuarantineTest::SetUp()
{
    ResetTraceState();
    ResetSystemCalls();
    m_pHome = std::make_unique<CTempHome>();
    m_pHome->UseAsKelsioHome();
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

void MakeSparseFile(const std::string& strPath, uint64_t nSize)
{
    WriteWholeFile(strPath, "");
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

void WINAPI FakeSystemTime(LPFILETIME pTime)
{
    pTime->dwLowDateTime = static_cast<DWORD>(g_nFakeNow & 0xffffffffu);
    pTime->dwHighDateTime = static_cast<DWORD>(g_nFakeNow >> 32);
}
