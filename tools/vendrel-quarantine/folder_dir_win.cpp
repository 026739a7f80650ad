// The quarantine folder on Windows: the listing reads the directory's own records (names, sizes,
// times, attributes and file indexes) through its handle, opening no file; a listed file is
// opened without following a reparse point, compared, and deleted through that same handle.
#include "folder_dir.h"

#include "platform.h"

static const intptr_t kNoDir = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
static const size_t kListBufferBytes = 64 * 1024;
static const size_t kReadChunk = 256 * 1024;
// 100 ns ticks from 1601-01-01 to 1970-01-01.
static const int64_t kUnixEpochTicks = 116444736000000000LL;
static const int64_t kTicksPerSecond = 10000000LL;

static std::wstring Widen(const std::string& strAnsi)
{
    int nAnsi = static_cast<int>(strAnsi.size());
    int nWide = MultiByteToWideChar(CP_ACP, 0, strAnsi.data(), nAnsi, nullptr, 0);
    if (nWide <= 0)
    {
        return std::wstring();
    }
    std::wstring wstr(static_cast<size_t>(nWide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, strAnsi.data(), nAnsi, &wstr[0], nWide);
    return wstr;
}

// The ANSI form of a wide name; *pbExact is false when some character has none.
static std::string Narrow(const WCHAR* pName, int nUnits, bool* pbExact)
{
    BOOL bUsedDefault = FALSE;
    int nAnsi = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pName, nUnits, nullptr, 0,
                                    nullptr, &bUsedDefault);
    if (nAnsi <= 0)
    {
        *pbExact = false;
        return std::string(static_cast<size_t>(nUnits), '?');
    }
    std::string str(static_cast<size_t>(nAnsi), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pName, nUnits, &str[0], nAnsi, nullptr,
                        &bUsedDefault);
    *pbExact = !bUsedDefault;
    return str;
}

static EEntryKind KindOf(DWORD dwAttributes)
{
    if ((dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    {
        return kEntryLink;
    }
    if ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    {
        return kEntryDirectory;
    }
    return (dwAttributes & FILE_ATTRIBUTE_DEVICE) != 0 ? kEntrySpecial : kEntryFile;
}

static int64_t UnixSeconds(int64_t nTicks)
{
    return (nTicks - kUnixEpochTicks) / kTicksPerSecond;
}

static HANDLE DirHandle(intptr_t nDir)
{
    return reinterpret_cast<HANDLE>(nDir);
}

// Whether the open file behind hFile is the regular file that entry listed.
static bool IsListedFile(HANDLE hFile, const SDirEntry& entry)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(hFile, &info))
    {
        return false;
    }
    uint64_t nIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    uint64_t nSize = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    uint64_t nCreated = (static_cast<uint64_t>(info.ftCreationTime.dwHighDateTime) << 32) |
                        info.ftCreationTime.dwLowDateTime;
    return KindOf(info.dwFileAttributes) == kEntryFile &&
           info.dwVolumeSerialNumber == entry.identity.nVolume && nIndex == entry.identity.nFile &&
           nCreated == entry.identity.nStamp && nSize == entry.nSize;
}

// Why a listed file could not be opened: gone, no longer a file (a directory is refused to a
// file's open), or a failure.
static EFileOutcome OutcomeOfOpenError(const std::wstring& wstrPath, DWORD dwError)
{
    if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
    {
        return kFileGone;
    }
    DWORD dwAttributes = GetFileAttributesW(wstrPath.c_str());
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && KindOf(dwAttributes) != kEntryFile)
    {
        return kFileChanged;
    }
    return kFileFailed;
}

CFolderDir::CFolderDir() : m_nDir(kNoDir), m_nVolume(0), m_nError(0) {}

CFolderDir::~CFolderDir()
{
    if (m_nDir != kNoDir)
    {
        CloseHandle(DirHandle(m_nDir));
    }
}

bool CFolderDir::Open(const char* szFolder)
{
    m_strFolder = szFolder;
    HANDLE hDir =
        CreateFileW(Widen(m_strFolder).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hDir == INVALID_HANDLE_VALUE)
    {
        m_nError = static_cast<int>(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(hDir, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    {
        m_nError = static_cast<int>(ERROR_DIRECTORY);
        CloseHandle(hDir);
        return false;
    }
    m_nVolume = info.dwVolumeSerialNumber;
    m_nDir = reinterpret_cast<intptr_t>(hDir);
    return true;
}

bool CFolderDir::ForEachEntry(PFN_DIR_ENTRY pfnEntry, void* pContext)
{
    // Aligned for the records, which hold 64-bit fields.
    std::vector<LONGLONG> aBuffer(kListBufferBytes / sizeof(LONGLONG));
    FILE_INFO_BY_HANDLE_CLASS eClass = FileIdBothDirectoryRestartInfo;
    SDirEntry entry;
    for (;;)
    {
        if (!GetFileInformationByHandleEx(DirHandle(m_nDir), eClass, aBuffer.data(),
                                          static_cast<DWORD>(kListBufferBytes)))
        {
            DWORD dwError = GetLastError();
            m_nError = static_cast<int>(dwError);
            return dwError == ERROR_NO_MORE_FILES;
        }
        eClass = FileIdBothDirectoryInfo;
        const unsigned char* pRecord = reinterpret_cast<const unsigned char*>(aBuffer.data());
        for (;;)
        {
            const FILE_ID_BOTH_DIR_INFO* pInfo =
                reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(pRecord);
            int nUnits = static_cast<int>(pInfo->FileNameLength / sizeof(WCHAR));
            const WCHAR* pName = pInfo->FileName;
            bool bDots = (nUnits == 1 && pName[0] == L'.') ||
                         (nUnits == 2 && pName[0] == L'.' && pName[1] == L'.');
            if (!bDots)
            {
                entry.strName = Narrow(pName, nUnits, &entry.bNameExact);
                entry.eKind = KindOf(pInfo->FileAttributes);
                entry.nSize = static_cast<uint64_t>(pInfo->EndOfFile.QuadPart);
                entry.nWriteTime = UnixSeconds(pInfo->LastWriteTime.QuadPart);
                entry.identity.nVolume = m_nVolume;
                entry.identity.nFile = static_cast<uint64_t>(pInfo->FileId.QuadPart);
                entry.identity.nStamp = static_cast<uint64_t>(pInfo->CreationTime.QuadPart);
                // The program's listing counts every entry here.
                entry.bInFolderTotal = true;
                pfnEntry(entry, pContext);
            }
            if (pInfo->NextEntryOffset == 0)
            {
                break;
            }
            pRecord += pInfo->NextEntryOffset;
        }
    }
}

bool CFolderDir::StatEntry(const std::string& strName, SDirEntry* pEntry)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Widen(PathOf(strName)).c_str(), GetFileExInfoStandard, &data))
    {
        m_nError = static_cast<int>(GetLastError());
        return false;
    }
    ULARGE_INTEGER nWrite;
    nWrite.LowPart = data.ftLastWriteTime.dwLowDateTime;
    nWrite.HighPart = data.ftLastWriteTime.dwHighDateTime;
    pEntry->strName = strName;
    pEntry->eKind = KindOf(data.dwFileAttributes);
    pEntry->nSize = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    pEntry->nWriteTime = UnixSeconds(static_cast<int64_t>(nWrite.QuadPart));
    // The attributes carry no file index; nothing is deleted on the strength of this look.
    pEntry->identity = SFileIdentity();
    pEntry->bInFolderTotal = true;
    pEntry->bNameExact = true;
    return true;
}

EFileOutcome CFolderDir::DeleteListed(const SDirEntry& entry)
{
    if (!entry.bNameExact)
    {
        return kFileChanged;
    }
    // Opened with delete access and read sharing only: a file that another process writes, or
    // holds without delete sharing, is not deleted under it.
    std::wstring wstrPath = Widen(PathOf(entry.strName));
    HANDLE hFile =
        CreateFileW(wstrPath.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        DWORD dwError = GetLastError();
        m_nError = static_cast<int>(dwError);
        return OutcomeOfOpenError(wstrPath, dwError);
    }
    if (!IsListedFile(hFile, entry))
    {
        CloseHandle(hFile);
        return kFileChanged;
    }
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    BOOL bDeleted =
        SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition, sizeof(disposition));
    m_nError = bDeleted ? 0 : static_cast<int>(GetLastError());
    CloseHandle(hFile);
    return bDeleted ? kFileDone : kFileFailed;
}

EFileOutcome CFolderDir::HashListed(const SDirEntry& entry, CSha256* pHash, uint64_t* pnBytes)
{
    *pnBytes = 0;
    if (!entry.bNameExact)
    {
        return kFileChanged;
    }
    std::wstring wstrPath = Widen(PathOf(entry.strName));
    HANDLE hFile = CreateFileW(wstrPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        DWORD dwError = GetLastError();
        m_nError = static_cast<int>(dwError);
        return OutcomeOfOpenError(wstrPath, dwError);
    }
    if (!IsListedFile(hFile, entry))
    {
        CloseHandle(hFile);
        return kFileChanged;
    }
    if (m_abBuffer.size() < kReadChunk)
    {
        m_abBuffer.resize(kReadChunk);
    }
    EFileOutcome eOutcome = kFileDone;
    for (;;)
    {
        DWORD dwRead = 0;
        if (!ReadFile(hFile, m_abBuffer.data(), static_cast<DWORD>(m_abBuffer.size()), &dwRead,
                      nullptr))
        {
            m_nError = static_cast<int>(GetLastError());
            eOutcome = kFileFailed;
            break;
        }
        if (dwRead == 0)
        {
            break;
        }
        if (!pHash->Update(m_abBuffer.data(), dwRead))
        {
            m_nError = static_cast<int>(ERROR_NOT_ENOUGH_MEMORY);
            eOutcome = kFileFailed;
            break;
        }
        *pnBytes += dwRead;
    }
    CloseHandle(hFile);
    if (eOutcome == kFileDone && *pnBytes != entry.nSize)
    {
        return kFileChanged;
    }
    return eOutcome;
}

void CFolderDir::GiveToFolderOwner(const std::string&) {}

std::string CFolderDir::PathOf(const std::string& strName) const
{
    return m_strFolder + "\\" + strName;
}

std::string CFolderDir::LastErrorText() const
{
    return SystemErrorText(m_nError);
}

std::string SystemErrorText(int nError)
{
    char szText[512] = {0};
    DWORD dwLength =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(nError), 0, szText, sizeof(szText) - 1, nullptr);
    while (dwLength > 0 && (szText[dwLength - 1] == '\r' || szText[dwLength - 1] == '\n' ||
                            szText[dwLength - 1] == ' ' || szText[dwLength - 1] == '.'))
    {
        szText[--dwLength] = '\0';
    }
    std::string strText = dwLength > 0 ? std::string(szText, dwLength) : "system error";
    return strText + " (error " + std::to_string(nError) + ")";
}
