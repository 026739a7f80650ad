// Shared libraries: LoadLibraryA("name.dll") loads libname.so, first beside the executable.
#include "pal_internal.h"

#include <dlfcn.h>
#include <strings.h>

static bool EndsWithDll(const char* szName, size_t nLen)
{
    return nLen > 4 && strcasecmp(szName + nLen - 4, ".dll") == 0;
}

static void* OpenLibrary(const char* szPath)
{
    return dlopen(szPath, RTLD_NOW | RTLD_LOCAL);
}

HMODULE LoadLibraryA(LPCSTR lpLibFileName)
{
    if (lpLibFileName == nullptr || lpLibFileName[0] == '\0')
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t nLen = strlen(lpLibFileName);
    void* pLib = nullptr;
    if (!EndsWithDll(lpLibFileName, nLen))
    {
        pLib = OpenLibrary(lpLibFileName);
    }
    else
    {
        const char* pSlash = strrchr(lpLibFileName, '/');
        size_t nDir = pSlash == nullptr ? 0 : static_cast<size_t>(pSlash - lpLibFileName + 1);
        const char* szBase = lpLibFileName + nDir;
        int nBase = static_cast<int>(nLen - nDir - 4);
        char szPath[4096];
        int nPath = -1;
        if (nDir > 0)
        {
            nPath = snprintf(szPath, sizeof(szPath), "%.*slib%.*s.so", static_cast<int>(nDir),
                             lpLibFileName, nBase, szBase);
        }
        else
        {
            // The executable's directory first, as the Windows DLL search order has it.
            char szExe[4096];
            DWORD dwExe = GetModuleFileNameA(nullptr, szExe, sizeof(szExe));
            char* pExeSlash = dwExe > 0 && dwExe < sizeof(szExe) ? strrchr(szExe, '/') : nullptr;
            if (pExeSlash != nullptr)
            {
                pExeSlash[1] = '\0';
                nPath = snprintf(szPath, sizeof(szPath), "%slib%.*s.so", szExe, nBase, szBase);
                if (nPath > 0 && static_cast<size_t>(nPath) < sizeof(szPath))
                {
                    pLib = OpenLibrary(szPath);
                }
            }
            if (pLib == nullptr)
            {
                nPath = snprintf(szPath, sizeof(szPath), "lib%.*s.so", nBase, szBase);
            }
        }
        if (pLib == nullptr && nPath > 0 && static_cast<size_t>(nPath) < sizeof(szPath))
        {
            pLib = OpenLibrary(szPath);
        }
    }
    if (pLib == nullptr)
    {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return pLib;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (hModule == nullptr || lpProcName == nullptr)
    {
        SetLastError(hModule == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    dlerror();
    void* pSymbol = dlsym(hModule, lpProcName);
    if (pSymbol == nullptr)
    {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(pSymbol);
}

BOOL FreeLibrary(HMODULE hLibModule)
{
    if (hLibModule == nullptr || dlclose(hLibModule) != 0)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
