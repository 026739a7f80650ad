// Upload files of one request: made exclusively in the upload directory under fresh random
// names, and deleted again unless the request is accepted.
#pragma once

#include "platform.h"

#include <string>
#include <vector>

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
    // Closes the open file; false when its last writes failed.
    bool Close();
    // The request was accepted: the files stay for the program.
    void Keep() { m_bKeep = true; }

private:
    std::string m_strDir;
    std::vector<std::string> m_paths;
    HANDLE m_hFile;
    bool m_bKeep;
};
