// The quarantine folder through a directory descriptor: every entry is named relative to the
// folder that was opened and listed, and nothing follows a link.
#include "folder_dir.h"

#include "temp_names.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const intptr_t kNoDir = -1;
static const size_t kReadChunk = 256 * 1024;
static const int kOpenFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

static EEntryKind KindOf(mode_t nMode)
{
    if (S_ISREG(nMode))
    {
        return kEntryFile;
    }
    if (S_ISDIR(nMode))
    {
        return kEntryDirectory;
    }
    return S_ISLNK(nMode) ? kEntryLink : kEntrySpecial;
}

static SFileIdentity IdentityOf(const struct stat& st)
{
    SFileIdentity identity;
    identity.nVolume = static_cast<uint64_t>(st.st_dev);
    identity.nFile = static_cast<uint64_t>(st.st_ino);
    identity.nStamp = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
                      static_cast<uint64_t>(st.st_ctim.tv_nsec);
    return identity;
}

// Whether st is the regular file that entry listed.
static bool IsListedFile(const struct stat& st, const SDirEntry& entry)
{
    return S_ISREG(st.st_mode) && IdentityOf(st) == entry.identity &&
           static_cast<uint64_t>(st.st_size) == entry.nSize;
}

CFolderDir::CFolderDir() : m_nDir(kNoDir), m_nVolume(0), m_nError(0) {}

CFolderDir::~CFolderDir()
{
    if (m_nDir != kNoDir)
    {
        close(static_cast<int>(m_nDir));
    }
}

bool CFolderDir::Open(const char* szFolder)
{
    m_strFolder = szFolder;
    int nFd = open(szFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (nFd < 0)
    {
        m_nError = errno;
        return false;
    }
    m_nDir = nFd;
    return true;
}

// Fills pEntry from what fstatat reported for szName.
static void FillEntry(const char* szName, const struct stat& st, SDirEntry* pEntry)
{
    pEntry->strName.assign(szName);
    pEntry->eKind = KindOf(st.st_mode);
    pEntry->nSize = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    pEntry->nWriteTime = static_cast<int64_t>(st.st_mtim.tv_sec);
    pEntry->identity = IdentityOf(st);
    // The program's listing leaves out a file under a hidden temporary name: on Windows such a
    // file has no name yet, and its total counts nothing for it.
    pEntry->bInFolderTotal = !IsReplacementTemporaryName(szName);
    pEntry->bNameExact = true;
}

bool CFolderDir::StatEntry(const std::string& strName, SDirEntry* pEntry)
{
    struct stat st;
    if (fstatat(static_cast<int>(m_nDir), strName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    {
        m_nError = errno;
        return false;
    }
    FillEntry(strName.c_str(), st, pEntry);
    return true;
}

bool CFolderDir::ForEachEntry(PFN_DIR_ENTRY pfnEntry, void* pContext)
{
    // A directory stream of its own, so that the descriptor stays for the operations on files.
    int nListFd = openat(static_cast<int>(m_nDir), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* pDir = nListFd < 0 ? nullptr : fdopendir(nListFd);
    if (pDir == nullptr)
    {
        m_nError = errno;
        if (nListFd >= 0)
        {
            close(nListFd);
        }
        return false;
    }
    SDirEntry entry;
    bool bOk = true;
    for (;;)
    {
        errno = 0;
        struct dirent* pEntry = readdir(pDir);
        if (pEntry == nullptr)
        {
            bOk = errno == 0;
            m_nError = errno;
            break;
        }
        const char* szName = pEntry->d_name;
        if (strcmp(szName, ".") == 0 || strcmp(szName, "..") == 0)
        {
            continue;
        }
        struct stat st;
        if (fstatat(static_cast<int>(m_nDir), szName, &st, AT_SYMLINK_NOFOLLOW) != 0)
        {
            // Gone between the directory read and the look at it: not in the folder any more.
            continue;
        }
        FillEntry(szName, st, &entry);
        pfnEntry(entry, pContext);
    }
    closedir(pDir);
    return bOk;
}

EFileOutcome CFolderDir::DeleteListed(const SDirEntry& entry)
{
    int nDir = static_cast<int>(m_nDir);
    const char* szName = entry.strName.c_str();
    struct stat st;
    if (fstatat(nDir, szName, &st, AT_SYMLINK_NOFOLLOW) != 0)
    {
        m_nError = errno;
        return errno == ENOENT ? kFileGone : kFileFailed;
    }
    if (!IsListedFile(st, entry))
    {
        return kFileChanged;
    }
    // Opened (never through a link, never blocking) to see the very file once more and to take
    // the lock that the program's own opens of it take: a file that another process holds
    // stays, as Windows keeps a file open without delete sharing.
    int nFd = openat(nDir, szName, kOpenFileFlags);
    if (nFd < 0 && errno != EACCES)
    {
        m_nError = errno;
        if (errno == ENOENT)
        {
            return kFileGone;
        }
        return errno == ELOOP ? kFileChanged : kFileFailed;
    }
    // Without read access the look above stands for the open: the file can still be deleted.
    if (nFd >= 0)
    {
        if (fstat(nFd, &st) != 0 || !IsListedFile(st, entry))
        {
            close(nFd);
            return kFileChanged;
        }
        if (flock(nFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        {
            m_nError = EBUSY;
            close(nFd);
            return kFileFailed;
        }
    }
    int nResult = unlinkat(nDir, szName, 0);
    int nErrno = errno;
    if (nFd >= 0)
    {
        close(nFd);
    }
    if (nResult != 0)
    {
        m_nError = nErrno;
        return nErrno == ENOENT ? kFileGone : kFileFailed;
    }
    return kFileDone;
}

EFileOutcome CFolderDir::HashListed(const SDirEntry& entry, CSha256* pHash, uint64_t* pnBytes)
{
    *pnBytes = 0;
    int nFd = openat(static_cast<int>(m_nDir), entry.strName.c_str(), kOpenFileFlags);
    if (nFd < 0)
    {
        m_nError = errno;
        if (errno == ENOENT)
        {
            return kFileGone;
        }
        return errno == ELOOP ? kFileChanged : kFileFailed;
    }
    struct stat st;
    if (fstat(nFd, &st) != 0 || !IsListedFile(st, entry))
    {
        close(nFd);
        return kFileChanged;
    }
    posix_fadvise(nFd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (m_abBuffer.size() < kReadChunk)
    {
        m_abBuffer.resize(kReadChunk);
    }
    EFileOutcome eOutcome = kFileDone;
    for (;;)
    {
        ssize_t nRead = read(nFd, m_abBuffer.data(), m_abBuffer.size());
        if (nRead < 0 && errno == EINTR)
        {
            continue;
        }
        if (nRead < 0)
        {
            m_nError = errno;
            eOutcome = kFileFailed;
            break;
        }
        if (nRead == 0)
        {
            break;
        }
        if (!pHash->Update(m_abBuffer.data(), static_cast<size_t>(nRead)))
        {
            m_nError = ENOMEM;
            eOutcome = kFileFailed;
            break;
        }
        *pnBytes += static_cast<uint64_t>(nRead);
    }
    close(nFd);
    // A file written to while it was read is not the one listed.
    if (eOutcome == kFileDone && *pnBytes != entry.nSize)
    {
        return kFileChanged;
    }
    return eOutcome;
}

void CFolderDir::GiveToFolderOwner(const std::string& strName)
{
    struct stat stFolder;
    if (geteuid() != 0 || fstat(static_cast<int>(m_nDir), &stFolder) != 0 || stFolder.st_uid == 0)
    {
        return;
    }
    // Never through a link: only the entry itself changes hands.
    if (fchownat(static_cast<int>(m_nDir), strName.c_str(), stFolder.st_uid, stFolder.st_gid,
                 AT_SYMLINK_NOFOLLOW) != 0)
    {
        m_nError = errno;
    }
}

std::string CFolderDir::PathOf(const std::string& strName) const
{
    return m_strFolder + "/" + strName;
}

std::string CFolderDir::LastErrorText() const
{
    return SystemErrorText(m_nError);
}

std::string SystemErrorText(int nError)
{
    return std::string(strerror(nError)) + " (errno " + std::to_string(nError) + ")";
}
