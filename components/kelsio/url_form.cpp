#include "url_form.h"

namespace
{

int HexValue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The next decoded byte of a name or value, or -1 when the text is not acceptable.
int DecodeByte(CByteReader& reader, int c)
{
    if (c == '+')
        return ' ';
    if (c != '%')
        return c;
    int nHigh = HexValue(reader.Next());
    if (nHigh < 0)
        return -1;
    int nLow = HexValue(reader.Next());
    if (nLow < 0)
        return -1;
    return nHigh * 16 + nLow;
}

} // namespace

bool KelsioParseUrlEncoded(CBodySource& source, CVarTable& table)
{
    CByteReader reader(source);
    std::string strName;
    std::string strValue;
    bool bInValue = false;
    for (;;)
    {
        int c = reader.Next();
        if (c == -1 || c == '&')
        {
            // "a&&b" and a final '&' hold empty pairs, which name nothing.
            if ((bInValue || !strName.empty()) && !table.Add(strName, strValue))
                return false;
            if (c == -1)
                break;
            strName.clear();
            strValue.clear();
            bInValue = false;
            continue;
        }
        if (c == '=' && !bInValue)
        {
            bInValue = true;
            continue;
        }
        int nByte = DecodeByte(reader, c);
        if (nByte <= 0)
            return false;
        std::string& strText = bInValue ? strValue : strName;
        strText.push_back(static_cast<char>(nByte));
        if (strText.size() > KELSIO_MAX_TEXT_BYTES)
            return false;
    }
    return !source.Failed();
}
