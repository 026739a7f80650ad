// Upload files of one request: made exclusively in the upload directory under fresh random
// names, and remembered in the process-wide upload list. A refused request deletes them at once;
// an accepted one hands them to its variable array, whose release deletes what is left of them.
#pragma once

#include "platform.h"

#include <string>

// An upload file's name: this prefix and 16 lowercase hexadecimal digits.
#define KELSIO_UPLOAD_PREFIX "upload_"
#define KELSIO_UPLOAD_HEX_DIGITS 16

// The upload directory below szHomeDir, with a trailing separator.
std::string KelsioUploadDirectory(const char* szHomeDir);
// True when szName has the form of an upload file's name.
bool KelsioIsUploadName(const char* szName);

class CUploadFiles
{
public:
    explicit CUploadFiles(const char* szHomeDir);
    ~CUploadFiles();
    CUploadFiles(const CUploadFiles&) = delete;
    CUploadFiles& operator=(const CUploadFiles&) = delete;

    // Makes a new, empty file and keeps it open for Write. False when no file could be made.
    bool Create(std::string& strPath);
    bool Write(const unsigned char* pData, size_t nSize);
    // Flushes the open file to the disk and closes it; false when either failed.
    bool Close();
    // The request was accepted: the files stay for the program until pOwner is freed.
    void HandOver(const void* pOwner);

private:
    std::string m_strDir;
    HANDLE m_hFile;
    bool m_bHandedOver;
};
