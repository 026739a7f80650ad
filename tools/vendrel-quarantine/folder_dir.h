// The quarantine folder as the command reads and changes it: one flat listing that opens no
// file, and the two things done to one listed file (deleting it, reading it for its digest),
// each of which first makes sure, without following a link, that the name still names the very
// file that was listed.
#pragma once

#include "sha256.h"

#include <cstdint>
#include <string>
#include <vector>

enum EEntryKind
{
    kEntryFile,
    kEntryDirectory,
    kEntryLink,
    // A FIFO, socket or device.
    kEntrySpecial,
};

// What tells one file from another, whatever its name: device and inode natively, volume
// serial number and file index on Windows. A file number can be given again to a file created
// after one was deleted, so the identity also holds a time stamp that a new file cannot share:
// the inode's change time natively (which a write changes too), the creation time on Windows.
struct SFileIdentity
{
    uint64_t nVolume = 0;
    uint64_t nFile = 0;
    uint64_t nStamp = 0;
};

inline bool operator==(const SFileIdentity& a, const SFileIdentity& b)
{
    return a.nVolume == b.nVolume && a.nFile == b.nFile && a.nStamp == b.nStamp;
}

struct SDirEntry
{
    // In the system's ANSI code page.
    std::string strName;
    EEntryKind eKind = kEntrySpecial;
    // As the folder's listing reports it: 0 for a directory, the link's own size for a link.
    uint64_t nSize = 0;
    // Last write, seconds since 1970 (UTC).
    int64_t nWriteTime = 0;
    SFileIdentity identity;
    // The program's own listing of the folder (its size scan) counts this entry.
    bool bInFolderTotal = true;
    // The name came through the ANSI code page unchanged, so the command can name the file.
    bool bNameExact = true;
};

typedef void (*PFN_DIR_ENTRY)(const SDirEntry& entry, void* pContext);

enum EFileOutcome
{
    kFileDone,
    // The name no longer exists.
    kFileGone,
    // The name now names something else than what was listed (another file, a link, a
    // directory, a different size): left alone.
    kFileChanged,
    kFileFailed,
};

class CFolderDir
{
public:
    CFolderDir();
    ~CFolderDir();
    CFolderDir(const CFolderDir&) = delete;
    CFolderDir& operator=(const CFolderDir&) = delete;

    // Opens the folder (a link to it is followed: the folder is used as configured).
    bool Open(const char* szFolder);
    // Calls pfnEntry for every entry but "." and "..", in one pass over the directory.
    bool ForEachEntry(PFN_DIR_ENTRY pfnEntry, void* pContext);
    // Looks at one entry as the listing would report it, without following a link; false when
    // it is not there.
    bool StatEntry(const std::string& strName, SDirEntry* pEntry);
    // Deletes the listed regular file when its name still names it, unchanged.
    EFileOutcome DeleteListed(const SDirEntry& entry);
    // Reads the listed regular file once into pHash; *pnBytes receives the bytes read.
    EFileOutcome HashListed(const SDirEntry& entry, CSha256* pHash, uint64_t* pnBytes);

    // Natively, when the command runs as root, gives a file it wrote in the folder to the
    // folder's owner, so that the web server's account can still rewrite it; nothing to do on
    // Windows, where the folder's access list is inherited.
    void GiveToFolderOwner(const std::string& strName);

    const std::string& Folder() const { return m_strFolder; }
    // The folder, the system's separator and the name.
    std::string PathOf(const std::string& strName) const;
    // The system's error code and text of the last failure.
    int LastError() const { return m_nError; }
    std::string LastErrorText() const;

private:
    std::string m_strFolder;
    // The open directory: a descriptor natively, a handle on Windows.
    intptr_t m_nDir;
    uint64_t m_nVolume;
    int m_nError;
    std::vector<unsigned char> m_abBuffer;
};

// The system's text for an error code as LastError() gives it.
std::string SystemErrorText(int nError);
