// Writes ANSI text to a stream in the converter's charset: a copy when the charset is that of
// the ANSI code page, else a conversion through UTF-16.
#include "kelsio.h"

#include "charset.h"

#include <cstring>
#include <string>

namespace
{

CharEncoding EncodingOfCharset(const char* szCharset)
{
    UINT nCodePage = KelsioCodePageOfCharset(szCharset);
    if (nCodePage == 0)
        return CHARENC_UNKNOWN;
    if (nCodePage == CP_UTF8)
        return CHARENC_UTF8;
    if (nCodePage == GetACP())
        return CHARENC_ANSI;
    return CHARENC_UNKNOWN;
}

// ANSI to UTF-8; false when the text is not valid in the ANSI code page.
bool AnsiToUtf8(const char* szText, size_t nLength, std::string& strOut)
{
    int nIn = static_cast<int>(nLength);
    int nWide = MultiByteToWideChar(CP_ACP, 0, szText, nIn, nullptr, 0);
    if (nWide <= 0)
        return false;
    std::basic_string<WCHAR> wstr(static_cast<size_t>(nWide), 0);
    if (MultiByteToWideChar(CP_ACP, 0, szText, nIn, &wstr[0], nWide) != nWide)
        return false;
    int nBytes = WideCharToMultiByte(CP_UTF8, 0, wstr.c_str(), nWide, nullptr, 0, nullptr, nullptr);
    if (nBytes <= 0)
        return false;
    strOut.assign(static_cast<size_t>(nBytes), '\0');
    return WideCharToMultiByte(CP_UTF8, 0, wstr.c_str(), nWide, &strOut[0], nBytes, nullptr,
                               nullptr) == nBytes;
}

} // namespace

OutputStreamConverter::OutputStreamConverter(const char* szCharset, std::ostream* pStream)
    : m_encoding(EncodingOfCharset(szCharset)), m_pStream(pStream)
{
}

OutputStreamConverter& OutputStreamConverter::operator<<(const char* szText)
{
    if (m_pStream == nullptr || szText == nullptr)
        return *this;
    size_t nLength = strlen(szText);
    std::string strConverted;
    // An unknown charset, or text the conversion refuses, goes out unchanged rather than lost.
    bool bConvert = m_encoding == CHARENC_UTF8 && GetACP() != CP_UTF8 && nLength > 0;
    if (bConvert && AnsiToUtf8(szText, nLength, strConverted))
        m_pStream->write(strConverted.data(), static_cast<std::streamsize>(strConverted.size()));
    else
        m_pStream->write(szText, static_cast<std::streamsize>(nLength));
    return *this;
}

void OutputStreamConverter::flush()
{
    if (m_pStream != nullptr)
        m_pStream->flush();
}

CharEncoding OutputStreamConverter::getCharEncoding() const
{
    return m_encoding;
}
