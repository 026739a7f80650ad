// What the upload signature of a text must be, worked out in the tests apart from the code
// under test: the key stream comes from the fixed key's expansion table, computed separately.
#pragma once

#include "md5.h"

#include <cstdio>
#include <string>

namespace signature_test
{

// The 72-byte expansion of the fixed key "407316525": an 8-bit accumulator gains 17 * (c + i),
// and byte i is c * accumulator + the next key byte.
const unsigned char kFixedKeyExpansion[72] = {
    0xc0, 0x27, 0x45, 0x2d, 0x7f, 0x0d, 0x2d, 0x25, 0x7d, 0xd8, 0x77, 0xb5, 0xd8, 0x21, 0x3f,
    0x31, 0xaf, 0xdb, 0xa4, 0xf7, 0xfc, 0xd6, 0x54, 0xe7, 0x4a, 0x2b, 0x4e, 0x24, 0xa7, 0x1a,
    0x27, 0x18, 0x05, 0x78, 0x99, 0xd6, 0x58, 0x87, 0x0f, 0xcb, 0x6d, 0x99, 0xbb, 0xf9, 0x73,
    0x40, 0x97, 0xdb, 0xc2, 0x53, 0xa3, 0x13, 0x4b, 0x25, 0xdc, 0xd7, 0x7e, 0x0c, 0xca, 0x23,
    0x80, 0x8f, 0xec, 0x2c, 0x47, 0xf8, 0xa9, 0xd2, 0x19, 0x02, 0xc5, 0xc8};

// The 5-byte file "hello" sent by "PC7": its backup information text is
// "5:5d41402abc4b2a76b9719d911017c592"; computed apart from this code.
const char kHelloPc7Signature[] = "1bc4d6717a72f27cb6ddffcd0ea385ed";
const char kHelloPc7ScrambledHex[] =
    "C99508A47CD026EE80C26185199B05B37FC7A7DCE08D2FF631E5F552BBAE174A2597E30E0A";

// Key-stream byte k of a freshly keyed scrambler, from the three ring slices.
inline unsigned char StreamByte(size_t k)
{
    return kFixedKeyExpansion[k % 23] ^ kFixedKeyExpansion[23 + k % 24] ^
           kFixedKeyExpansion[47 + k % 25];
}

inline std::string ExpectedScrambledHex(const std::string& strSigned)
{
    std::string strHex;
    for (size_t k = 0; k < strSigned.size(); ++k)
    {
        char szByte[3];
        snprintf(szByte, sizeof(szByte), "%02X", (unsigned char)strSigned[k] ^ StreamByte(k));
        strHex += szByte;
    }
    return strHex;
}

inline std::string Md5Hex(const std::string& strInput)
{
    CMessageDigest5 digest;
    char szHex[33] = "";
    digest.HexDigest(strInput.data(), (uint32_t)strInput.size(), szHex, 33);
    return szHex;
}

// The backup information text that the engine gives for a file holding strContent.
inline std::string ExpectedBackupInfo(const std::string& strContent)
{
    return std::to_string(strContent.size()) + ":" + Md5Hex(strContent);
}

inline std::string ExpectedSignature(const std::string& strSigned)
{
    return Md5Hex(ExpectedScrambledHex(strSigned));
}

} // namespace signature_test
