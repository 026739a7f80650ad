#include "test_files.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

HANDLE OpenForRead(const std::string& strPath, DWORD dwShare)
{
    return CreateFileA(strPath.c_str(), GENERIC_READ, dwShare, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenForWrite(const std::string& strPath, DWORD dwDisposition)
{
    return CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, dwDisposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool WriteWholeFile(const std::string& strPath, const std::string& strData)
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

std::string ReadWholeFile(const std::string& strPath)
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

::testing::AssertionResult RefusedForSharing(HANDLE h)
{
    DWORD dwError = GetLastError();
    if (h != INVALID_HANDLE_VALUE)
    {
        CloseHandle(h);
        return ::testing::AssertionFailure() << "the open succeeded";
    }
    if (dwError != ERROR_SHARING_VIOLATION)
    {
        return ::testing::AssertionFailure() << "refused with error " << dwError;
    }
    return ::testing::AssertionSuccess();
}

uint64_t FileTimeValue(const FILETIME& ft)
{
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
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
