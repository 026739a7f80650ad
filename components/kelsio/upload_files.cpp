#include "upload_files.h"

#include "upload_registry.h"

#include "system_calls.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

namespace
{

// A collision of 64 random bits means the generator is broken; give up after a few.
const int UPLOAD_CREATE_TRIES = 16;
// The file may be deleted while it is still being written: a console event that ends the
// process removes it from another thread.
const DWORD UPLOAD_SHARE_MODE = FILE_SHARE_DELETE;

std::string RandomName()
{
    std::random_device device(VENDREL_RANDOM_SOURCE);
    uint64_t nBits = (static_cast<uint64_t>(device()) << 32) ^ device();
    char szName[32];
    snprintf(szName, sizeof(szName), KELSIO_UPLOAD_PREFIX "%0*llx", KELSIO_UPLOAD_HEX_DIGITS,
             static_cast<unsigned long long>(nBits));
    return szName;
}

} // namespace

std::string KelsioUploadDirectory(const char* szHomeDir)
{
    return std::string(szHomeDir != nullptr ? szHomeDir : "") + VENDREL_DIR_SEP_STR + "TEMP" +
           VENDREL_DIR_SEP_STR;
}

bool KelsioIsUploadName(const char* szName)
{
    const size_t nPrefix = sizeof(KELSIO_UPLOAD_PREFIX) - 1;
    if (strncmp(szName, KELSIO_UPLOAD_PREFIX, nPrefix) != 0 ||
        strlen(szName) != nPrefix + KELSIO_UPLOAD_HEX_DIGITS)
        return false;
    for (const char* p = szName + nPrefix; *p != '\0'; ++p)
    {
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')))
            return false;
    }
    return true;
}

CUploadFiles::CUploadFiles(const char* szHomeDir)
    : m_strDir(KelsioUploadDirectory(szHomeDir)), m_hFile(INVALID_HANDLE_VALUE),
      m_bHandedOver(false)
{
}

CUploadFiles::~CUploadFiles()
{
    if (m_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_hFile);
    if (!m_bHandedOver)
        KelsioUploadRemove(this);
}

void CUploadFiles::HandOver(const void* pOwner)
{
    KelsioUploadHandOver(this, pOwner);
    m_bHandedOver = true;
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
        // The path is recorded before the file exists, so that nothing made is ever missed; a
        // file that cannot be recorded is not made.
        int nSlot = KelsioUploadReserve(this, strPath.c_str());
        if (nSlot < 0)
            return false;
        m_hFile = CreateFileA(strPath.c_str(), GENERIC_WRITE, UPLOAD_SHARE_MODE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_hFile != INVALID_HANDLE_VALUE)
        {
            KelsioUploadCreated(nSlot);
            return true;
        }
        DWORD dwError = GetLastError();
        KelsioUploadRelease(nSlot);
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
    // On the disk before anybody is told of it: the program may answer that the upload is
    // stored, and a crash must not then take its data back or leave it empty.
    BOOL bFlushed = osFlushFileBuffers(m_hFile);
    BOOL bClosed = CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    return bFlushed != FALSE && bClosed != FALSE;
}
