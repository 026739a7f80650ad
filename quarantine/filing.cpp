// Filing an accepted upload: a fresh name "<computer>_<time>.<n>" directly inside the quarantine
// folder, a check that the name really lies there, and a move that never replaces a file.
// Whatever cannot be filed safely is deleted, and the caller is told.
//
// Source lines of the traces: 293/294 the resolved paths, 304 a target outside the folder,
// 312 a path that cannot be resolved, 318 a target taken by another process after the search,
// 320 a failed move, 325 the filed upload, 289 no free name left; the deletion after each
// failure carries 306, 314, 322 and 290 in that order.
#include "quarantine.h"

#include "platform.h"
#include "system_calls.h"
#include "trace.h"

#include <cstring>

// Candidates n = 0 .. 999 at most, counted over the search and the moves together, so a folder
// full of names for this computer and second, or a competitor that keeps winning, ends the call.
static const int kMaxTries = 1000;

static void DeleteUpload(const char* szTempFileName, int nLine)
{
    BOOL bRet = DeleteFileA(szTempFileName);
    DWORD dwError = GetLastError();
    LogTrace(4, VENDREL_TRACE_SOURCE, nLine,
             "[Vendrel:MoveInfectedFile] DeleteFile(%s), bRet = %d, error = %d", szTempFileName,
             bRet ? 1 : 0, static_cast<int>(dwError));
}

// "<folder><sep><computer>_<time>.<n>" cut to its first 260 characters.
static void FormatCandidate(char* szTarget, const char* szFolder, const char* szComputerName,
                            int32_t nTime, int n)
{
    _snprintf(szTarget, 260, "%s" VENDREL_DIR_SEP_STR "%s_%d.%d", szFolder, szComputerName,
              static_cast<int>(nTime), n);
    szTarget[260] = '\0';
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
        char szCandidate[261];
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
    char szFolder[260];
    getQuarantineFolder(szFolder, 260);
    // One time stamp for every candidate of this call.
    int32_t nTime = static_cast<int32_t>(osTime(nullptr));

    char szFolderWithSep[261];
    _snprintf(szFolderWithSep, 260, "%s" VENDREL_DIR_SEP_STR, szFolder);
    szFolderWithSep[260] = '\0';

    char szTarget[261] = "";
    int n = 0;
    for (;;)
    {
        if (!FindFreeTarget(szFolder, szComputerName, nTime, &n, szTarget))
        {
            LogTrace(4, VENDREL_TRACE_SOURCE, 289,
                     "[Vendrel:MoveInfectedFile] no free target name for %s", szTempFileName);
            DeleteUpload(szTempFileName, 290);
            return false;
        }

        char szTargetFull[261];
        char szFolderFull[261];
        if (_fullpath(szTargetFull, szTarget, 261) == nullptr ||
            _fullpath(szFolderFull, szFolderWithSep, 261) == nullptr)
        {
            LogTrace(4, VENDREL_TRACE_SOURCE, 312,
                     "[Vendrel:MoveInfectedFile] _tfullpath(%s), _tfullpath(%s) error", szTarget,
                     szFolderWithSep);
            DeleteUpload(szTempFileName, 314);
            return false;
        }
        LogTrace(4, VENDREL_TRACE_SOURCE, 293,
                 "[Vendrel:MoveInfectedFile] szTempFileFullPathName(%s)", szTargetFull);
        LogTrace(4, VENDREL_TRACE_SOURCE, 294, "[Vendrel:MoveInfectedFile] szDestFullPath(%s)",
                 szFolderFull);

        if (!IsDirectlyInFolder(szTargetFull, szFolderFull))
        {
            LogTrace(4, VENDREL_TRACE_SOURCE, 304,
                     "[Vendrel:MoveInfectedFile] Invalid target file(%s), abort the process",
                     szTargetFull);
            DeleteUpload(szTempFileName, 306);
            return false;
        }

        // To the name as formatted: the resolved form only served the check.
        if (osMoveFileA(szTempFileName, szTarget))
        {
            LogTrace(4, VENDREL_TRACE_SOURCE, 325,
                     "[Vendrel:MoveInfectedFile] MoveFile(%s, %s) success", szTempFileName,
                     szTarget);
            return true;
        }
        DWORD dwError = GetLastError();
        if (dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_FILE_EXISTS)
        {
            LogTrace(4, VENDREL_TRACE_SOURCE, 320,
                     "[Vendrel:MoveInfectedFile] Move file failed, error = %d, delete %s",
                     static_cast<int>(dwError), szTempFileName);
            DeleteUpload(szTempFileName, 322);
            return false;
        }
        // Another process took the name between the search and the move: the upload is still
        // here, so it goes on with the next number instead of being deleted.
        LogTrace(4, VENDREL_TRACE_SOURCE, 318,
                 "[Vendrel:MoveInfectedFile] target %s was taken meanwhile, trying the next name",
                 szTarget);
        ++n;
    }
}
