// What the installation check asks of a directory (the upload directory, the quarantine
// folder): is it there, is it one, can this account write in it, can anybody else, and on
// which file system does it lie.
#pragma once

#include <cstdint>
#include <string>

struct SDirStatus
{
    bool bExists = false;
    bool bDirectory = false;
    // A system error code when it could not be looked at.
    int nError = 0;
    // A file could be created in it and removed again.
    bool bWritable = false;
    int nWriteError = 0;
    // Who else may create or delete files in it ("every user (mode 0777)"); empty: nobody.
    std::string strOtherWriters;
    // Natively: the directory belongs to another account than the one running the check (which
    // then is root and cannot judge the owner's access); its owner's name.
    std::string strForeignOwner;
    bool bHasVolume = false;
    uint64_t nVolume = 0;
};

void GetDirStatus(const std::string& strPath, SDirStatus* pStatus);
