#include "output_file.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

static std::string Win32Error(DWORD dwError)
{
    return "err=" + std::to_string(dwError);
}

FILE* OpenOutputFile(const std::string& strPath, std::string* pstrError)
{
    // FILE_APPEND_DATA alone: every write lands at the end, whoever else appends.
    HANDLE hFile = CreateFileA(strPath.c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        *pstrError = Win32Error(GetLastError());
        return NULL;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(hFile), _O_APPEND | _O_BINARY);
    if (fd < 0)
    {
        *pstrError = "no descriptor left";
        CloseHandle(hFile);
        return NULL;
    }
    FILE* pFile = _fdopen(fd, "ab");
    if (pFile == NULL)
    {
        *pstrError = "no memory for a stream";
        _close(fd); // closes the handle too
    }
    return pFile;
}

uint64_t OutputFileSize(FILE* pFile)
{
    __int64 llSize = _filelengthi64(_fileno(pFile));
    return llSize > 0 ? uint64_t(llSize) : 0;
}

bool OutputPathExists(const std::string& strPath)
{
    return GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RenameOutputFile(const std::string& strFrom, const std::string& strTo, std::string* pstrError)
{
    if (!MoveFileExA(strFrom.c_str(), strTo.c_str(), MOVEFILE_REPLACE_EXISTING))
    {
        *pstrError =
            "cannot rename " + strFrom + " to " + strTo + ": " + Win32Error(GetLastError());
        return false;
    }
    return true;
}
