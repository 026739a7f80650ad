#include "charset.h"

#include "text_util.h"

#include <cstdio>

namespace
{

struct CCharsetName
{
    UINT nCodePage;
    const char* szName;
};

const CCharsetName s_charsets[] = {
    {65001, "UTF-8"},       {1250, "windows-1250"}, {1251, "windows-1251"}, {1252, "windows-1252"},
    {1253, "windows-1253"}, {1254, "windows-1254"}, {1255, "windows-1255"}, {1256, "windows-1256"},
    {1257, "windows-1257"}, {1258, "windows-1258"}, {874, "windows-874"},   {932, "Shift_JIS"},
    {936, "GBK"},           {949, "EUC-KR"},        {950, "Big5"},          {20127, "US-ASCII"},
    {28591, "ISO-8859-1"},  {28592, "ISO-8859-2"},  {28605, "ISO-8859-15"}, {20866, "KOI8-R"},
    {54936, "GB18030"},
};

} // namespace

const char* KelsioCharsetOfCodePage(UINT nCodePage, char* szBuffer, size_t nSize)
{
    for (const CCharsetName& charset : s_charsets)
    {
        if (charset.nCodePage == nCodePage)
            return charset.szName;
    }
    snprintf(szBuffer, nSize, "windows-%u", static_cast<unsigned>(nCodePage));
    return szBuffer;
}

UINT KelsioCodePageOfCharset(const char* szCharset)
{
    if (szCharset == nullptr)
        return 0;
    for (const CCharsetName& charset : s_charsets)
    {
        if (KelsioEqualsNoCase(szCharset, charset.szName))
            return charset.nCodePage;
    }
    if (KelsioEqualsNoCase(szCharset, "utf8"))
        return CP_UTF8;
    return 0;
}
