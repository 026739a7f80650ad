#include "upload_files.h"

#include <cstdint>
#include <cstdio>
#include <random>

namespace
{

// A collision of 64 random bits means the generator is broken; give up after a few.
const int UPLOAD_CREATE_TRIES = 16;

std::string RandomName()
{
    std::random_device device;
    uint64_t nBits = (static_cast<uint64_t>(device()) << 32) ^ device();
    char szName[32];
    snprintf(szName, sizeof(szName), "upload_%016llx", static_cast<unsigned long long>(nBits));
    return szName;
}

} // namespace

CUploadFiles::CUploadFiles(const char* szHomeDir)
    : m_strDir(std::string(szHomeDir != nullptr ? szHomeDir : "") + VENDREL_DIR_SEP_STR + "TEMP" +
               VENDREL_DIR_SEP_STR),
      m_hFile(INVALID_HANDLE_VALUE), m_bKeep(false)
{
}

CUploadFiles::~CUploadFiles()
{
    if (m_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_hFile);
    if (m_bKeep)
        return;
    for (const std::string& strPath : m_paths)
        DeleteFileA(strPath.c_str());
}

bool CUploadFiles::Create(std::string& strPath)
{
    if (m_hFile != INVALID_HANDLE_VALUE)
        return false;
    for (int i = 0; i < UPLOAD_CREATE_TRIES; ++i)
    {
        strPath = m_strDir + RandomName();
        // The program keeps paths in MAX_PATH buffers.
        if (strPath.size() >= MAX_PATH)
            return false;
        // The path is recorded before the file exists, so that nothing made is ever missed.
        m_paths.push_back(strPath);
        m_hFile = CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_hFile != INVALID_HANDLE_VALUE)
            return true;
        DWORD dwError = GetLastError();
        m_paths.pop_back();
        if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

bool CUploadFiles::Write(const unsigned char* pData, size_t nSize)
{
    while (nSize > 0)
    {
        DWORD dwChunk = nSize > 0x10000000u ? 0x10000000u : static_cast<DWORD>(nSize);
        DWORD dwWritten = 0;
        if (!WriteFile(m_hFile, pData, dwChunk, &dwWritten, nullptr) || dwWritten == 0)
            return false;
        pData += dwWritten;
        nSize -= dwWritten;
    }
    return true;
}

bool CUploadFiles::Close()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return false;
    BOOL bClosed = CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    return bClosed != FALSE;
}
