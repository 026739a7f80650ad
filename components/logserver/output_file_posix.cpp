#include "output_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FILE* OpenOutputFile(const std::string& strPath, std::string* pstrError)
{
    // The records hold the signatures the program computed: a file made here is for the
    // server's user and group alone, whatever umask the shell that started it had (a stricter
    // umask narrows it further). A file that exists keeps the mode its owner gave it.
    static const mode_t kCreateMode = 0640;
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
