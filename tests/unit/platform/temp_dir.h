// A fresh directory per test, removed afterwards, and small file helpers over the Win32 calls.
#pragma once

#include "platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

class CTempDirTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static int s_nNext = 0;
        const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string strName = std::string("vendrel_pal_") + std::to_string(GetCurrentProcessId()) +
                              "_" + std::to_string(s_nNext++) + "_" + pInfo->name();
        m_strDir = (std::filesystem::temp_directory_path() / strName).string();
        std::filesystem::remove_all(m_strDir);
        std::filesystem::create_directories(m_strDir);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }
    std::string Path(const std::string& strName) const
    {
        return m_strDir + VENDREL_DIR_SEP_STR + strName;
    }
    std::string m_strDir;
};

inline HANDLE OpenForRead(const std::string& strPath, DWORD dwShare = FILE_SHARE_READ)
{
    return CreateFileA(strPath.c_str(), GENERIC_READ, dwShare, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

inline HANDLE OpenForWrite(const std::string& strPath, DWORD dwDisposition = CREATE_ALWAYS)
{
    return CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, dwDisposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

inline bool WriteWholeFile(const std::string& strPath, const std::string& strData)
{
    HANDLE h = OpenForWrite(strPath);
    if (h == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    DWORD dwWritten = 0;
    BOOL bOk =
        WriteFile(h, strData.data(), static_cast<DWORD>(strData.size()), &dwWritten, nullptr);
    CloseHandle(h);
    return bOk && dwWritten == strData.size();
}

// The whole content, or "<error N>" when the file cannot be opened.
inline std::string ReadWholeFile(const std::string& strPath)
{
    HANDLE h = OpenForRead(strPath);
    if (h == INVALID_HANDLE_VALUE)
    {
        return "<error " + std::to_string(GetLastError()) + ">";
    }
    std::string strData;
    char buf[4096];
    DWORD dwGot = 0;
    while (ReadFile(h, buf, sizeof(buf), &dwGot, nullptr) && dwGot > 0)
    {
        strData.append(buf, dwGot);
    }
    CloseHandle(h);
    return strData;
}
