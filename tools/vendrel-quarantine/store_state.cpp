// Reading ".store" through the platform layer, as the program's size cache reads it: shared for
// reading, so that a writer at work is waited for rather than read half-written.
#include "store_state.h"

#include "platform.h"
#include "system_calls.h"

static const DWORD kStoreBytes = 8;
// As the program's readers do: a writer holds the file for microseconds; an open refused for
// sharing is tried again this often, for at most this long.
static const DWORD kShareRetryMs = 2;
static const DWORD kShareRetryBudgetMs = 50;
static const int64_t kTicksPerSecond = 10000000LL;

std::string StorePath(const std::string& strFolder)
{
    return strFolder + VENDREL_DIR_SEP_STR ".store";
}

static int64_t TicksOf(const FILETIME& ft)
{
    return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                ft.dwLowDateTime);
}

void ReadStoreState(const std::string& strFolder, SStoreState* pState)
{
    *pState = SStoreState();
    std::string strPath = StorePath(strFolder);
    HANDLE hFile = INVALID_HANDLE_VALUE;
    for (DWORD dwSlept = 0;; dwSlept += kShareRetryMs)
    {
        hFile = CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            dwSlept >= kShareRetryBudgetMs)
        {
            break;
        }
        osSleep(kShareRetryMs);
    }
    if (hFile == INVALID_HANDLE_VALUE)
    {
        pState->nOpenError = static_cast<int>(GetLastError());
        return;
    }
    pState->bPresent = true;
    BYTE abValue[kStoreBytes] = {0};
    DWORD dwRead = 0;
    if (ReadFile(hFile, abValue, kStoreBytes, &dwRead, nullptr) && dwRead == kStoreBytes)
    {
        uint64_t nValue = 0;
        for (int i = static_cast<int>(kStoreBytes) - 1; i >= 0; --i)
        {
            nValue = (nValue << 8) | abValue[i];
        }
        pState->bComplete = true;
        pState->nRawValue = static_cast<int64_t>(nValue);
        pState->nValue = pState->nRawValue > 0 ? pState->nRawValue : 0;
    }
    FILETIME ftWrite = {0, 0};
    if (GetFileTime(hFile, nullptr, nullptr, &ftWrite))
    {
        FILETIME ftNow = {0, 0};
        osGetSystemTimeAsFileTime(&ftNow);
        pState->bHasAge = true;
        pState->nAgeSeconds = (TicksOf(ftNow) - TicksOf(ftWrite)) / kTicksPerSecond;
    }
    CloseHandle(hFile);
}
