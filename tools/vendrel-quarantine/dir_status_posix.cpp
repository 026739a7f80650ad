// A directory's status natively: stat, a probe file, and the mode bits and owner.
#include "dir_status.h"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static const int kProbeTries = 16;

static std::string UserName(uid_t nUid)
{
    struct passwd* pEntry = getpwuid(nUid);
    return pEntry != nullptr ? std::string(pEntry->pw_name) : "uid " + std::to_string(nUid);
}

static std::string GroupName(gid_t nGid)
{
    struct group* pEntry = getgrgid(nGid);
    return pEntry != nullptr ? std::string(pEntry->gr_name) : "gid " + std::to_string(nGid);
}

static std::string ModeText(mode_t nMode)
{
    char szMode[8];
    snprintf(szMode, sizeof(szMode), "%04o", static_cast<unsigned>(nMode & 07777));
    return szMode;
}

// Creates and removes a hidden file of the temporary-name shape, which the program's listings
// pass over: whether this account can file into the directory, as the system itself decides
// (modes, access lists, read-only mounts, quotas aside).
static bool ProbeWritable(const std::string& strPath, int* pnError)
{
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    unsigned long long nBits = static_cast<unsigned long long>(ts.tv_nsec) ^
                               (static_cast<unsigned long long>(getpid()) << 20);
    for (int nTry = 0; nTry < kProbeTries; ++nTry)
    {
        std::string strName = ".vendrel-check.~";
        for (int i = 0; i < 6; ++i)
        {
            strName += kAlphabet[nBits % (sizeof(kAlphabet) - 1)];
            nBits = nBits / (sizeof(kAlphabet) - 1) + 0x9e3779b97f4a7c15ULL * (nTry + 1);
        }
        std::string strProbe = strPath + "/" + strName;
        int nFd =
            open(strProbe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (nFd < 0 && errno == EEXIST)
        {
            continue;
        }
        if (nFd < 0)
        {
            *pnError = errno;
            return false;
        }
        close(nFd);
        unlink(strProbe.c_str());
        return true;
    }
    *pnError = EEXIST;
    return false;
}

void GetDirStatus(const std::string& strPath, SDirStatus* pStatus)
{
    *pStatus = SDirStatus();
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0)
    {
        pStatus->nError = errno;
        return;
    }
    pStatus->bExists = true;
    pStatus->bDirectory = S_ISDIR(st.st_mode);
    if (!pStatus->bDirectory)
    {
        return;
    }
    pStatus->bHasVolume = true;
    pStatus->nVolume = static_cast<uint64_t>(st.st_dev);
    pStatus->bWritable = ProbeWritable(strPath, &pStatus->nWriteError);

    std::string strMode = " (mode " + ModeText(st.st_mode) + ")";
    if ((st.st_mode & S_IWOTH) != 0)
    {
        pStatus->strOtherWriters = "every user" + strMode;
    }
    else if ((st.st_mode & S_IWGRP) != 0)
    {
        pStatus->strOtherWriters = "the group " + GroupName(st.st_gid) + strMode;
    }
    uid_t nMe = geteuid();
    if (st.st_uid != nMe)
    {
        if (nMe == 0)
        {
            pStatus->strForeignOwner = UserName(st.st_uid);
        }
        else if ((st.st_mode & S_IWUSR) != 0 && pStatus->strOtherWriters.empty())
        {
            pStatus->strOtherWriters = "its owner " + UserName(st.st_uid) + strMode;
        }
    }
}
