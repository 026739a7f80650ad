// Path services of the C runtime: splitting, resolving and comparing. UTF-8 has no trail byte
// equal to '/' or '.', so working bytewise respects multibyte characters.
#include "pal_internal.h"

#include <cerrno>
#include <unistd.h>

struct SPathPart
{
    char* m_pBuf;
    size_t m_nBuf;
    const char* m_pFrom;
    size_t m_nLen;
};

static void ClearParts(SPathPart* pParts, size_t nParts)
{
    for (size_t i = 0; i < nParts; ++i)
    {
        if (pParts[i].m_pBuf != nullptr && pParts[i].m_nBuf > 0)
        {
            pParts[i].m_pBuf[0] = '\0';
        }
    }
}

errno_t _splitpath_s(const char* path, char* drive, size_t driveNumberOfElements, char* dir,
                     size_t dirNumberOfElements, char* fname, size_t nameNumberOfElements,
                     char* ext, size_t extNumberOfElements)
{
    SPathPart parts[4] = {{drive, driveNumberOfElements, nullptr, 0},
                          {dir, dirNumberOfElements, nullptr, 0},
                          {fname, nameNumberOfElements, nullptr, 0},
                          {ext, extNumberOfElements, nullptr, 0}};
    bool bValid = path != nullptr;
    for (const SPathPart& part : parts)
    {
        // A part is skipped only when both its buffer and its size are zero.
        bValid = bValid && ((part.m_pBuf == nullptr) == (part.m_nBuf == 0));
    }
    if (!bValid)
    {
        ClearParts(parts, 4);
        errno = EINVAL;
        return EINVAL;
    }
    const char* pRest = path;
    if (path[0] != '\0' && path[1] == ':')
    {
        parts[0].m_pFrom = path;
        parts[0].m_nLen = 2;
        pRest = path + 2;
    }
    const char* pSlash = strrchr(pRest, '/');
    const char* pName = pSlash == nullptr ? pRest : pSlash + 1;
    parts[1].m_pFrom = pRest;
    parts[1].m_nLen = static_cast<size_t>(pName - pRest);
    const char* pDot = strrchr(pName, '.');
    const char* pEnd = pName + strlen(pName);
    const char* pExt = pDot == nullptr ? pEnd : pDot;
    parts[2].m_pFrom = pName;
    parts[2].m_nLen = static_cast<size_t>(pExt - pName);
    parts[3].m_pFrom = pExt;
    parts[3].m_nLen = static_cast<size_t>(pEnd - pExt);
    for (const SPathPart& part : parts)
    {
        if (part.m_pBuf != nullptr && part.m_nLen + 1 > part.m_nBuf)
        {
            // One part too long leaves every part empty, so no half-split path is used.
            ClearParts(parts, 4);
            errno = ERANGE;
            return ERANGE;
        }
    }
    for (const SPathPart& part : parts)
    {
        if (part.m_pBuf != nullptr)
        {
            if (part.m_nLen > 0)
            {
                memcpy(part.m_pBuf, part.m_pFrom, part.m_nLen);
            }
            part.m_pBuf[part.m_nLen] = '\0';
        }
    }
    return 0;
}

// Appends n bytes to szOut (length *pnLen, capacity nCap); false when they do not fit.
static bool Append(char* szOut, size_t* pnLen, size_t nCap, const char* pFrom, size_t n)
{
    if (*pnLen + n + 1 > nCap)
    {
        return false;
    }
    memcpy(szOut + *pnLen, pFrom, n);
    *pnLen += n;
    szOut[*pnLen] = '\0';
    return true;
}

// Lexical normalisation of an absolute path: "." and empty components go, ".." removes the
// component before it (never above the root). No link is resolved, nothing is looked up.
static bool Normalise(const char* szRaw, bool bTrailingSep, char* szOut, size_t nCap)
{
    size_t nLen = 0;
    if (!Append(szOut, &nLen, nCap, "/", 1))
    {
        return false;
    }
    const char* p = szRaw;
    while (*p != '\0')
    {
        while (*p == '/')
        {
            ++p;
        }
        const char* pStart = p;
        while (*p != '\0' && *p != '/')
        {
            ++p;
        }
        size_t nPart = static_cast<size_t>(p - pStart);
        if (nPart == 0 || (nPart == 1 && pStart[0] == '.'))
        {
            continue;
        }
        if (nPart == 2 && pStart[0] == '.' && pStart[1] == '.')
        {
            while (nLen > 1 && szOut[nLen - 1] != '/')
            {
                --nLen;
            }
            if (nLen > 1)
            {
                --nLen;
            }
            szOut[nLen] = '\0';
            continue;
        }
        if ((nLen > 1 && !Append(szOut, &nLen, nCap, "/", 1)) ||
            !Append(szOut, &nLen, nCap, pStart, nPart))
        {
            return false;
        }
    }
    if (bTrailingSep && nLen > 1 && !Append(szOut, &nLen, nCap, "/", 1))
    {
        return false;
    }
    return true;
}

char* _fullpath(char* absPath, const char* relPath, size_t maxLength)
{
    char szRaw[8192];
    size_t nRaw = 0;
    szRaw[0] = '\0';
    bool bEmpty = relPath == nullptr || relPath[0] == '\0';
    if (bEmpty || relPath[0] != '/')
    {
        if (getcwd(szRaw, sizeof(szRaw)) == nullptr)
        {
            return nullptr;
        }
        nRaw = strlen(szRaw);
    }
    if (!bEmpty && (!Append(szRaw, &nRaw, sizeof(szRaw), "/", 1) ||
                    !Append(szRaw, &nRaw, sizeof(szRaw), relPath, strlen(relPath))))
    {
        errno = ERANGE;
        return nullptr;
    }
    // As on Windows, a path that names a directory with a final separator keeps it.
    bool bTrailingSep = !bEmpty && relPath[strlen(relPath) - 1] == '/';
    char szOut[8192];
    if (!Normalise(szRaw, bTrailingSep, szOut, sizeof(szOut)))
    {
        errno = ERANGE;
        return nullptr;
    }
    size_t nOut = strlen(szOut);
    if (absPath == nullptr)
    {
        char* pResult = static_cast<char*>(malloc(nOut + 1));
        if (pResult == nullptr)
        {
            errno = ENOMEM;
            return nullptr;
        }
        memcpy(pResult, szOut, nOut + 1);
        return pResult;
    }
    if (nOut + 1 > maxLength)
    {
        errno = ERANGE;
        return nullptr;
    }
    memcpy(absPath, szOut, nOut + 1);
    return absPath;
}

static int CompareBytes(const unsigned char* string1, const unsigned char* string2)
{
    if (string1 == nullptr || string2 == nullptr)
    {
        errno = EINVAL;
        return _NLSCMPERROR;
    }
    int nCmp =
        strcmp(reinterpret_cast<const char*>(string1), reinterpret_cast<const char*>(string2));
    return nCmp < 0 ? -1 : (nCmp > 0 ? 1 : 0);
}

// Case-sensitive on purpose: the file systems here are, and a case-insensitive path check would
// admit a directory that differs from the intended one only in case.
int _mbsicmp(const unsigned char* string1, const unsigned char* string2)
{
    return CompareBytes(string1, string2);
}

int _mbscmp(const unsigned char* string1, const unsigned char* string2)
{
    return CompareBytes(string1, string2);
}
