// Filing an accepted upload: a fresh name "<computer>_<time>.<n>" directly inside the quarantine
// folder, a check that the name really lies there, and a move that never replaces a file.
// Whatever cannot be filed safely is deleted, and the caller is told.
#include "quarantine.h"

#include "platform.h"
#include "system_calls.h"
#include "trace.h"

#include <cstring>

// The source lines that the filing traces carry; log readers know them by these.
enum
{
    kLineNoFreeName = 289,
    kLineNoFreeNameDeletion = 290,
    kLineTargetFull = 293,
    kLineFolderFull = 294,
    kLineOutsideFolder = 304,
    kLineOutsideFolderDeletion = 306,
    kLineUnresolved = 312,
    kLineUnresolvedDeletion = 314,
    kLineTakenMeanwhile = 318,
    kLineMoveFailed = 320,
    kLineMoveFailedDeletion = 322,
    kLineFiled = 325,
};

// Candidates n = 0 .. 999 at most, counted over the search and the moves together, so a folder
// full of names for this computer and second, or a competitor that keeps winning, ends the call.
static const int kMaxTries = 1000;
// Filing paths count up to MAX_PATH characters without the terminator: buffers hold one more.
static const size_t kFilingPathBuffer = MAX_PATH + 1;

static void DeleteUpload(const char* szTempFileName, int nLine)
{
    BOOL bRet = DeleteFileA(szTempFileName);
    DWORD dwError = GetLastError();
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, nLine,
             "[Vendrel:MoveInfectedFile] DeleteFile(%s), bRet = %d, error = %d", szTempFileName,
             bRet ? 1 : 0, static_cast<int>(dwError));
}

// "<folder><sep><computer>_<time>.<n>" cut to its first MAX_PATH characters.
static void FormatCandidate(char* szTarget, const char* szFolder, const char* szComputerName,
                            int32_t nTime, int n)
{
    _snprintf(szTarget, MAX_PATH, "%s" VENDREL_DIR_SEP_STR "%s_%d.%d", szFolder, szComputerName,
              static_cast<int>(nTime), n);
    szTarget[MAX_PATH] = '\0';
}

// Walks the candidates from *pn on and stops at the first whose status query fails. szTarget
// holds the last candidate tried before (empty when none) and receives the one found. False
// when the tries run out, or when the cut has removed the number so that every further
// candidate would be the same name again.
static bool FindFreeTarget(const char* szFolder, const char* szComputerName, int32_t nTime, int* pn,
                           char* szTarget)
{
    for (int n = *pn; n < kMaxTries; ++n)
    {
        char szCandidate[kFilingPathBuffer];
        FormatCandidate(szCandidate, szFolder, szComputerName, nTime, n);
        if (strcmp(szCandidate, szTarget) == 0)
        {
            return false;
        }
        memcpy(szTarget, szCandidate, sizeof(szCandidate));
        *pn = n;
        if (osGetFileAttributesA(szTarget) == INVALID_FILE_ATTRIBUTES)
        {
            return true;
        }
    }
    return false;
}

// Drive and directory of an absolute path. The directory buffer holds 255 characters; a longer
// drive and directory together fail the split here rather than reach the runtime's bounds
// handler, and the target then counts as outside the folder.
static bool SplitDriveAndDir(const char* szPath, char* szDrive, char* szDir)
{
    size_t nDirEnd = 0;
    for (size_t i = 0; szPath[i] != '\0'; ++i)
    {
        if (szPath[i] == VENDREL_DIR_SEP || szPath[i] == '/')
        {
            nDirEnd = i + 1;
        }
    }
    if (nDirEnd > _MAX_DIR - 1)
    {
        return false;
    }
    return _splitpath_s(szPath, szDrive, _MAX_DRIVE, szDir, _MAX_DIR, nullptr, 0, nullptr, 0) == 0;
}

static bool IsDirectlyInFolder(const char* szTargetFull, const char* szFolderFull)
{
    char szTargetDrive[_MAX_DRIVE];
    char szTargetDir[_MAX_DIR];
    char szFolderDrive[_MAX_DRIVE];
    char szFolderDir[_MAX_DIR];
    if (!SplitDriveAndDir(szTargetFull, szTargetDrive, szTargetDir) ||
        !SplitDriveAndDir(szFolderFull, szFolderDrive, szFolderDir))
    {
        return false;
    }
    return _mbsicmp(reinterpret_cast<const unsigned char*>(szTargetDrive),
                    reinterpret_cast<const unsigned char*>(szFolderDrive)) == 0 &&
           _mbsicmp(reinterpret_cast<const unsigned char*>(szTargetDir),
                    reinterpret_cast<const unsigned char*>(szFolderDir)) == 0;
}

bool MoveInfectedFile(const char* szComputerName, const char* szTempFileName)
{
    if (szComputerName == nullptr || szTempFileName == nullptr)
    {
        return false;
    }
    char szFolder[MAX_PATH];
    getQuarantineFolder(szFolder, MAX_PATH);
    // One time stamp for every candidate of this call.
    int32_t nTime = static_cast<int32_t>(osTime(nullptr));

    char szFolderWithSep[kFilingPathBuffer];
    _snprintf(szFolderWithSep, MAX_PATH, "%s" VENDREL_DIR_SEP_STR, szFolder);
    szFolderWithSep[MAX_PATH] = '\0';

    char szTarget[kFilingPathBuffer] = "";
    int n = 0;
    for (;;)
    {
        if (!FindFreeTarget(szFolder, szComputerName, nTime, &n, szTarget))
        {
            LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineNoFreeName,
                     "[Vendrel:MoveInfectedFile] no free target name for %s", szTempFileName);
            DeleteUpload(szTempFileName, kLineNoFreeNameDeletion);
            return false;
        }

        char szTargetFull[kFilingPathBuffer];
        char szFolderFull[kFilingPathBuffer];
        if (_fullpath(szTargetFull, szTarget, kFilingPathBuffer) == nullptr ||
            _fullpath(szFolderFull, szFolderWithSep, kFilingPathBuffer) == nullptr)
        {
            LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineUnresolved,
                     "[Vendrel:MoveInfectedFile] _tfullpath(%s), _tfullpath(%s) error", szTarget,
                     szFolderWithSep);
            DeleteUpload(szTempFileName, kLineUnresolvedDeletion);
            return false;
        }
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineTargetFull,
                 "[Vendrel:MoveInfectedFile] szTempFileFullPathName(%s)", szTargetFull);
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineFolderFull,
                 "[Vendrel:MoveInfectedFile] szDestFullPath(%s)", szFolderFull);

        if (!IsDirectlyInFolder(szTargetFull, szFolderFull))
        {
            LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineOutsideFolder,
                     "[Vendrel:MoveInfectedFile] Invalid target file(%s), abort the process",
                     szTargetFull);
            DeleteUpload(szTempFileName, kLineOutsideFolderDeletion);
            return false;
        }

        // To the name as formatted: the resolved form only served the check.
        if (osMoveFileA(szTempFileName, szTarget))
        {
            LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineFiled,
                     "[Vendrel:MoveInfectedFile] MoveFile(%s, %s) success", szTempFileName,
                     szTarget);
            return true;
        }
        DWORD dwError = GetLastError();
        if (dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_FILE_EXISTS)
        {
            LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineMoveFailed,
                     "[Vendrel:MoveInfectedFile] Move file failed, error = %d, delete %s",
                     static_cast<int>(dwError), szTempFileName);
            DeleteUpload(szTempFileName, kLineMoveFailedDeletion);
            return false;
        }
        // Another process took the name between the search and the move: the upload is still
        // here, so it goes on with the next number instead of being deleted.
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineTakenMeanwhile,
                 "[Vendrel:MoveInfectedFile] target %s was taken meanwhile, trying the next name",
                 szTarget);
        ++n;
    }
}
