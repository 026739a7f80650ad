#include "output_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE* OpenOutputFile(const std::string& strPath, std::string* pstrError)
{
    static const mode_t kCreateMode = 0666; // narrowed by the umask, as fopen would
    int fd = open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kCreateMode);
    if (fd < 0)
    {
        *pstrError = strerror(errno);
        return NULL;
    }
    FILE* pFile = fdopen(fd, "ab");
    if (pFile == NULL)
    {
        *pstrError = strerror(errno);
        close(fd);
    }
    return pFile;
}

uint64_t OutputFileSize(FILE* pFile)
{
    struct stat st;
    if (fstat(fileno(pFile), &st) != 0 || !S_ISREG(st.st_mode))
    {
        return 0;
    }
    return uint64_t(st.st_size);
}

bool OutputPathExists(const std::string& strPath)
{
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

bool RenameOutputFile(const std::string& strFrom, const std::string& strTo, std::string* pstrError)
{
    if (rename(strFrom.c_str(), strTo.c_str()) != 0)
    {
        *pstrError = "cannot rename " + strFrom + " to " + strTo + ": " + strerror(errno);
        return false;
    }
    return true;
}
