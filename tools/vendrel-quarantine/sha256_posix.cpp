// SHA-256 through libcrypto's EVP interface.
#include "sha256.h"

#include <openssl/evp.h>

CSha256::CSha256() : m_pAlgorithm(nullptr), m_pState(nullptr), m_bReady(false)
{
    EVP_MD_CTX* pContext = EVP_MD_CTX_new();
    if (pContext == nullptr)
    {
        return;
    }
    m_pState = pContext;
    m_bReady = EVP_DigestInit_ex(pContext, EVP_sha256(), nullptr) == 1;
}

CSha256::~CSha256()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_pState));
}

bool CSha256::Update(const void* pData, size_t nBytes)
{
    if (!m_bReady)
    {
        return false;
    }
    m_bReady = EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_pState), pData, nBytes) == 1;
    return m_bReady;
}

bool CSha256::Finish(char* szHex, size_t nHexSize)
{
    unsigned char abDigest[EVP_MAX_MD_SIZE];
    unsigned int nLength = 0;
    bool bOk = m_bReady && nHexSize > kSha256HexChars &&
               EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_pState), abDigest, &nLength) == 1 &&
               nLength == kSha256Bytes;
    m_bReady = false;
    if (!bOk)
    {
        return false;
    }
    BytesToHex(abDigest, kSha256Bytes, szHex);
    return true;
}
