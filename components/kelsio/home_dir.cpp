// The home directory: $KELSIO_HOME when set, else two levels above the executable's directory
// (<home>/cgi/bin/vendrel). It never ends in a separator.
#include "kelsio.h"

#include "text_util.h"

#include <cstdlib>
#include <string>

namespace
{

const int HOME_EXE_PATH_BUFFER = 1024;
// The executable's file name, then bin, then cgi.
const int HOME_LEVELS_ABOVE_EXE = 3;

// On Windows both separators name a directory; on POSIX '\' is an ordinary file-name byte.
template <typename TChar> bool IsSeparator(TChar c)
{
    return c == static_cast<TChar>('/') || c == static_cast<TChar>(VENDREL_DIR_SEP);
}

template <typename TChar> void TrimTrailingSeparators(std::basic_string<TChar>& str)
{
    while (!str.empty() && IsSeparator(str.back()))
        str.pop_back();
}

// Drops trailing separators, then nLevels trailing path components. False when the path has
// fewer components than that.
template <typename TChar> bool CutPath(std::basic_string<TChar>& str, int nLevels)
{
    TrimTrailingSeparators(str);
    for (int i = 0; i < nLevels; ++i)
    {
        size_t nPos = str.size();
        while (nPos > 0 && !IsSeparator(str[nPos - 1]))
            --nPos;
        if (nPos == 0)
            return false;
        str.resize(nPos - 1);
        TrimTrailingSeparators(str);
    }
    return true;
}

// The cut is made on UTF-16 text so that a trail byte of a double-byte character that happens to
// equal '\' is never taken for a separator. Text that is not valid in the ANSI code page is cut
// bytewise, which is exact for single-byte pages and for UTF-8.
bool CutAnsiPath(const char* szPath, int nLevels, std::string& strOut)
{
    int nWide = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, szPath, -1, nullptr, 0);
    if (nWide > 0)
    {
        std::basic_string<WCHAR> wstr(static_cast<size_t>(nWide), 0);
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, szPath, -1, &wstr[0], nWide) == nWide)
        {
            wstr.resize(static_cast<size_t>(nWide - 1));
            if (!CutPath(wstr, nLevels))
                return false;
            if (wstr.empty())
            {
                strOut.clear();
                return true;
            }
            int nLength = static_cast<int>(wstr.size());
            int nBytes =
                WideCharToMultiByte(CP_ACP, 0, wstr.c_str(), nLength, nullptr, 0, nullptr, nullptr);
            if (nBytes > 0)
            {
                strOut.assign(static_cast<size_t>(nBytes), '\0');
                if (WideCharToMultiByte(CP_ACP, 0, wstr.c_str(), nLength, &strOut[0], nBytes,
                                        nullptr, nullptr) == nBytes)
                    return true;
            }
        }
    }
    strOut = szPath;
    return CutPath(strOut, nLevels);
}

bool FindHome(std::string& strHome)
{
    const char* szEnv = getenv("KELSIO_HOME");
    if (szEnv != nullptr && szEnv[0] != '\0')
        return CutAnsiPath(szEnv, 0, strHome);

    char szExe[HOME_EXE_PATH_BUFFER] = {0};
    DWORD dwLength = GetModuleFileNameA(nullptr, szExe, HOME_EXE_PATH_BUFFER);
    // A length equal to the buffer means the path was cut.
    if (dwLength == 0 || dwLength >= static_cast<DWORD>(HOME_EXE_PATH_BUFFER))
        return false;
    szExe[dwLength] = '\0';
    return CutAnsiPath(szExe, HOME_LEVELS_ABOVE_EXE, strHome);
}

} // namespace

int getHomeDir(char* szBuffer, int nSize)
{
    if (szBuffer == nullptr || nSize <= 0)
        return 0;
    szBuffer[0] = '\0';
    std::string strHome;
    // A cut home directory would name some other directory: leave the text empty instead.
    if (!FindHome(strHome) || strHome.size() >= static_cast<size_t>(nSize))
        return 0;
    return static_cast<int>(KelsioCopyCut(szBuffer, static_cast<size_t>(nSize), strHome.c_str()));
}
