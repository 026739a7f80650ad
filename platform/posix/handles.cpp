// The objects behind HANDLE values, and CloseHandle.
#include "pal_internal.h"

#include <unistd.h>

HANDLE PalNewHandle(int nKind, int nFd, DIR* pDir)
{
    SPalHandle* pHandle = static_cast<SPalHandle*>(calloc(1, sizeof(SPalHandle)));
    if (pHandle == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    pHandle->m_dwMagic = PAL_HANDLE_MAGIC;
    pHandle->m_nKind = nKind;
    pHandle->m_nFd = nFd;
    pHandle->m_pDir = pDir;
    return pHandle;
}

SPalHandle* PalHandleOf(HANDLE h, int nKind)
{
    SPalHandle* pHandle = static_cast<SPalHandle*>(h);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || pHandle->m_dwMagic != PAL_HANDLE_MAGIC ||
        (nKind != 0 && pHandle->m_nKind != nKind))
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return pHandle;
}

void PalFreeHandle(SPalHandle* pHandle)
{
    if (pHandle->m_pReplacement != nullptr)
    {
        // Not put in place by CloseHandle (never happens today): the old file stays.
        pHandle->m_pReplacement->m_bWriteFailed = true;
        PalFinishReplacement(pHandle->m_pReplacement, pHandle->m_nFd);
        free(pHandle->m_pReplacement);
        pHandle->m_pReplacement = nullptr;
    }
    if (pHandle->m_pDir != nullptr)
    {
        closedir(pHandle->m_pDir);
    }
    else if (pHandle->m_nFd >= 0)
    {
        // The descriptor is gone after close() even when it reports EINTR; never retry.
        close(pHandle->m_nFd);
    }
    pHandle->m_dwMagic = 0;
    free(pHandle);
}

BOOL CloseHandle(HANDLE hObject)
{
    // INVALID_HANDLE_VALUE is also the current process's pseudo handle, which closes fine.
    if (hObject == INVALID_HANDLE_VALUE)
    {
        return TRUE;
    }
    SPalHandle* pHandle = PalHandleOf(hObject, 0);
    if (pHandle == nullptr)
    {
        return FALSE;
    }
    // A replacement goes into place while its file is still open and locked.
    bool bOk = true;
    if (pHandle->m_pReplacement != nullptr)
    {
        bOk = PalFinishReplacement(pHandle->m_pReplacement, pHandle->m_nFd);
        free(pHandle->m_pReplacement);
        pHandle->m_pReplacement = nullptr;
    }
    DWORD dwError = GetLastError();
    PalFreeHandle(pHandle);
    if (!bOk)
    {
        SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}
