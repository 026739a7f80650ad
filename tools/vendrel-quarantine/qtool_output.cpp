// Writing the command's output, and escaping texts for each format.
#include "qtool_output.h"

#include "platform.h"

static const char kHexDigits[] = "0123456789abcdef";

void COutput::Write(const std::string& strText)
{
    if (m_pText != nullptr)
    {
        m_pText->append(strText);
        return;
    }
    if (!strText.empty() && fwrite(strText.data(), 1, strText.size(), m_pFile) != strText.size())
    {
        m_bFailed = true;
    }
}

bool COutput::Finish()
{
    if (m_pFile != nullptr && (fflush(m_pFile) != 0 || ferror(m_pFile) != 0))
    {
        m_bFailed = true;
    }
    return !m_bFailed;
}

static bool IsAscii(const std::string& strText)
{
    for (unsigned char c : strText)
    {
        if (c >= 0x80)
        {
            return false;
        }
    }
    return true;
}

std::string AnsiToUtf8(const std::string& strAnsi)
{
    // Most names are ASCII, which every ANSI code page and UTF-8 share.
    if (IsAscii(strAnsi))
    {
        return strAnsi;
    }
    int nAnsi = static_cast<int>(strAnsi.size());
    int nWide = MultiByteToWideChar(CP_ACP, 0, strAnsi.data(), nAnsi, nullptr, 0);
    if (nWide <= 0)
    {
        return std::string(strAnsi.size(), '?');
    }
    std::basic_string<WCHAR> wstr(static_cast<size_t>(nWide), 0);
    MultiByteToWideChar(CP_ACP, 0, strAnsi.data(), nAnsi, &wstr[0], nWide);
    int nUtf8 = WideCharToMultiByte(CP_UTF8, 0, wstr.data(), nWide, nullptr, 0, nullptr, nullptr);
    if (nUtf8 <= 0)
    {
        return std::string(strAnsi.size(), '?');
    }
    std::string strUtf8(static_cast<size_t>(nUtf8), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wstr.data(), nWide, &strUtf8[0], nUtf8, nullptr, nullptr);
    return strUtf8;
}

std::string JsonString(const std::string& strAnsi)
{
    std::string strUtf8 = AnsiToUtf8(strAnsi);
    std::string strOut = "\"";
    for (unsigned char c : strUtf8)
    {
        if (c == '"' || c == '\\')
        {
            strOut += '\\';
            strOut += static_cast<char>(c);
        }
        else if (c < 0x20 || c == 0x7f)
        {
            strOut += "\\u00";
            strOut += kHexDigits[c >> 4];
            strOut += kHexDigits[c & 0xf];
        }
        else
        {
            strOut += static_cast<char>(c);
        }
    }
    return strOut + "\"";
}

std::string CsvField(const std::string& strText)
{
    std::string strOut = "\"";
    for (char c : strText)
    {
        strOut += c;
        if (c == '"')
        {
            strOut += '"';
        }
    }
    return strOut + "\"";
}

std::string TextField(const std::string& strText)
{
    std::string strOut;
    strOut.reserve(strText.size());
    for (unsigned char c : strText)
    {
        if (c < 0x20 || c == 0x7f)
        {
            strOut += "\\x";
            strOut += kHexDigits[c >> 4];
            strOut += kHexDigits[c & 0xf];
        }
        else
        {
            strOut += static_cast<char>(c);
        }
    }
    return strOut;
}

std::string PadLeft(const std::string& strText, size_t nWidth)
{
    return strText.size() >= nWidth ? strText : std::string(nWidth - strText.size(), ' ') + strText;
}

std::string PadRight(const std::string& strText, size_t nWidth)
{
    return strText.size() >= nWidth ? strText : strText + std::string(nWidth - strText.size(), ' ');
}
