// SHA-256 through CNG (BCrypt).
#include "sha256.h"

#include "platform.h"

#include <bcrypt.h>

static bool Succeeded(NTSTATUS nStatus)
{
    return nStatus >= 0;
}

CSha256::CSha256() : m_pAlgorithm(nullptr), m_pState(nullptr), m_bReady(false)
{
    BCRYPT_ALG_HANDLE hAlgorithm = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&hAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    {
        return;
    }
    m_pAlgorithm = hAlgorithm;
    BCRYPT_HASH_HANDLE hHash = nullptr;
    // With no object buffer given, the system keeps the hash object itself.
    if (!Succeeded(BCryptCreateHash(hAlgorithm, &hHash, nullptr, 0, nullptr, 0, 0)))
    {
        return;
    }
    m_pState = hHash;
    m_bReady = true;
}

CSha256::~CSha256()
{
    if (m_pState != nullptr)
    {
        BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(m_pState));
    }
    if (m_pAlgorithm != nullptr)
    {
        BCryptCloseAlgorithmProvider(static_cast<BCRYPT_ALG_HANDLE>(m_pAlgorithm), 0);
    }
}

bool CSha256::Update(const void* pData, size_t nBytes)
{
    // BCryptHashData takes a 32-bit length: larger blocks go in pieces.
    static const size_t kMaxPiece = 1u << 30;
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    while (m_bReady && nBytes > 0)
    {
        size_t nPiece = nBytes < kMaxPiece ? nBytes : kMaxPiece;
        m_bReady = Succeeded(BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(m_pState),
                                            const_cast<PUCHAR>(p), static_cast<ULONG>(nPiece), 0));
        p += nPiece;
        nBytes -= nPiece;
    }
    return m_bReady;
}

bool CSha256::Finish(char* szHex, size_t nHexSize)
{
    unsigned char abDigest[kSha256Bytes];
    bool bOk = m_bReady && nHexSize > kSha256HexChars &&
               Succeeded(BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(m_pState), abDigest,
                                          sizeof(abDigest), 0));
    m_bReady = false;
    if (!bOk)
    {
        return false;
    }
    BytesToHex(abDigest, kSha256Bytes, szHex);
    return true;
}
