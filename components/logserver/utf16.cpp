#include "utf16.h"

static void AppendCodePoint(std::string* pOut, char32_t cp)
{
    if (cp < 0x80)
    {
        pOut->push_back(char(cp));
    }
    else if (cp < 0x800)
    {
        pOut->push_back(char(0xC0 | (cp >> 6)));
        pOut->push_back(char(0x80 | (cp & 0x3F)));
    }
    else if (cp < 0x10000)
    {
        pOut->push_back(char(0xE0 | (cp >> 12)));
        pOut->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        pOut->push_back(char(0x80 | (cp & 0x3F)));
    }
    else
    {
        pOut->push_back(char(0xF0 | (cp >> 18)));
        pOut->push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        pOut->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        pOut->push_back(char(0x80 | (cp & 0x3F)));
    }
}

std::string Utf16ToUtf8(const char16_t* pUnits, size_t nUnits)
{
    static const char32_t kReplacement = 0xFFFD;
    std::string strOut;
    strOut.reserve(nUnits);
    for (size_t i = 0; i < nUnits; i++)
    {
        char32_t cu = pUnits[i];
        if (cu >= 0xD800 && cu <= 0xDBFF)
        {
            bool bPaired = i + 1 < nUnits && pUnits[i + 1] >= 0xDC00 && pUnits[i + 1] <= 0xDFFF;
            if (bPaired)
            {
                char32_t cuLow = pUnits[++i];
                AppendCodePoint(&strOut, 0x10000 + ((cu - 0xD800) << 10) + (cuLow - 0xDC00));
            }
            else
            {
                AppendCodePoint(&strOut, kReplacement);
            }
        }
        else if (cu >= 0xDC00 && cu <= 0xDFFF)
        {
            AppendCodePoint(&strOut, kReplacement);
        }
        else
        {
            AppendCodePoint(&strOut, cu);
        }
    }
    return strOut;
}

std::string Utf16ToUtf8(const std::u16string& strUnits)
{
    return Utf16ToUtf8(strUnits.data(), strUnits.size());
}
