// The signature computation with engines that misbehave, put in place of the real one.
#include "upload_signature.h"

#include "signature_expectations.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace signature_test;

namespace
{

const int kRecordUnits = kBackupFileInfoSize / 2;

bool g_bRecordWasZero = false;
std::u16string g_wstrPathSeen;

void NoteCall(LPCWSTR wszPath, const void* pRecord)
{
    const unsigned char* pBytes = static_cast<const unsigned char*>(pRecord);
    g_bRecordWasZero = true;
    for (int i = 0; i < kBackupFileInfoSize; ++i)
    {
        g_bRecordWasZero = g_bRecordWasZero && pBytes[i] == 0;
    }
    g_wstrPathSeen.clear();
    for (const WCHAR* p = wszPath; *p; ++p)
    {
        g_wstrPathSeen += (char16_t)*p;
    }
}

// Writes nothing, as an engine might that failed without clearing the record.
DWORD WINAPI SilentEngine(LPCWSTR wszPath, void* pRecord)
{
    NoteCall(wszPath, pRecord);
    return ERROR_FILE_NOT_FOUND;
}

// Leaves a text but answers an error.
DWORD WINAPI TextButErrorEngine(LPCWSTR wszPath, void* pRecord)
{
    NoteCall(wszPath, pRecord);
    WCHAR* wszText = static_cast<WCHAR*>(pRecord);
    wszText[0] = '5';
    wszText[1] = ':';
    return ERROR_ACCESS_DENIED;
}

// Answers success and leaves the record empty.
DWORD WINAPI EmptyTextEngine(LPCWSTR wszPath, void* pRecord)
{
    NoteCall(wszPath, pRecord);
    return 0;
}

// Writes nUnits units of c, with a terminator after them when bTerminated.
template <char c, int nUnits, bool bTerminated>
DWORD WINAPI FilledEngine(LPCWSTR wszPath, void* pRecord)
{
    NoteCall(wszPath, pRecord);
    WCHAR* wszText = static_cast<WCHAR*>(pRecord);
    for (int i = 0; i < nUnits; ++i)
    {
        wszText[i] = c;
    }
    if (bTerminated)
    {
        wszText[nUnits] = 0;
    }
    return 0;
}

DWORD WINAPI FixedTextEngine(LPCWSTR wszPath, void* pRecord)
{
    NoteCall(wszPath, pRecord);
    const char* szText = "7:0123456789abcdef0123456789abcdef";
    WCHAR* wszText = static_cast<WCHAR*>(pRecord);
    size_t i = 0;
    for (; szText[i]; ++i)
    {
        wszText[i] = (WCHAR)szText[i];
    }
    wszText[i] = 0;
    // Junk after the text is never read.
    memset(wszText + i + 1, 0x41, 200);
    return 0;
}

} // namespace

TEST(UploadSignature, RecordIsZeroedAndPathConverted)
{
    UploadSignature signature;
    ASSERT_EQ(ComputeUploadSignature(FixedTextEngine, "dir/upload_1a2b", "PC7", &signature),
              ESignatureResult::Ok);
    EXPECT_TRUE(g_bRecordWasZero);
    EXPECT_EQ(g_wstrPathSeen, u"dir/upload_1a2b");
    const std::string strSigned = "7:0123456789abcdef0123456789abcdefPC7";
    EXPECT_EQ(std::string(signature.szScrambledHex), ExpectedScrambledHex(strSigned));
    EXPECT_EQ(std::string(signature.szMD5Password), ExpectedSignature(strSigned));
    EXPECT_EQ(signature.dwEngineResult, 0u);
}

TEST(UploadSignature, EngineFailureOrEmptyTextSignsNothing)
{
    UploadSignature signature;
    EXPECT_EQ(ComputeUploadSignature(SilentEngine, "x", "PC7", &signature),
              ESignatureResult::EngineFailed);
    EXPECT_EQ(signature.dwEngineResult, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(signature.szMD5Password, "");
    EXPECT_STREQ(signature.szScrambledHex, "");

    // An error code with a text, and success with no text, are failures all the same.
    EXPECT_EQ(ComputeUploadSignature(TextButErrorEngine, "x", "PC7", &signature),
              ESignatureResult::EngineFailed);
    EXPECT_STREQ(signature.szMD5Password, "");
    EXPECT_EQ(ComputeUploadSignature(EmptyTextEngine, "x", "PC7", &signature),
              ESignatureResult::EngineFailed);
    EXPECT_EQ(signature.dwEngineResult, 0u);
    EXPECT_STREQ(signature.szMD5Password, "");
}

// Texts the engine leaves that cannot be signed: nothing is signed, nothing half-written.
struct SUnsignable
{
    const char* szName;
    PFN_PelixGetBackupFileInfoW pfnEngine;
    const char* szComputer;
    ESignatureResult eExpected;
};

// Test names show the case by its name, not its bytes.
static void PrintTo(const SUnsignable& param, std::ostream* pOut)
{
    *pOut << param.szName;
}

class UploadSignatureUnsignable : public ::testing::TestWithParam<SUnsignable>
{
};

TEST_P(UploadSignatureUnsignable, SignsNothing)
{
    UploadSignature signature;
    EXPECT_EQ(ComputeUploadSignature(GetParam().pfnEngine, "x", GetParam().szComputer, &signature),
              GetParam().eExpected);
    EXPECT_STREQ(signature.szMD5Password, "");
    EXPECT_STREQ(signature.szScrambledHex, "");
}

INSTANTIATE_TEST_SUITE_P(
    UploadSignature, UploadSignatureUnsignable,
    ::testing::Values(
        // The whole record filled, no terminator: cut at its end, and then too long.
        SUnsignable{"UnterminatedRecordIsCutAtItsEndAndThenTooLong",
                    FilledEngine<'A', kRecordUnits, false>, "PC7",
                    ESignatureResult::InfoUnconvertible},
        // A terminated text of 1,100 units: more than the 1,024 bytes it must fit.
        SUnsignable{"InfoTextThatDoesNotFitFails", FilledEngine<'B', 1100, true>, "PC7",
                    ESignatureResult::InfoUnconvertible},
        // Exactly 1,023 units fit their 1,024 bytes; the signed text is then cut to 1,023 bytes
        // and too long for its hex form.
        SUnsignable{"LongestInfoTextConvertsButCannotBeSigned", FilledEngine<'C', 1023, true>, "",
                    ESignatureResult::TextTooLong}),
    [](const ::testing::TestParamInfo<SUnsignable>& info) { return info.param.szName; });

TEST(UploadSignature, OverlongPathIsRefusedBeforeTheEngine)
{
    g_wstrPathSeen = u"untouched";
    UploadSignature signature;
    const std::string strPath(1024, 'p');
    EXPECT_EQ(ComputeUploadSignature(FixedTextEngine, strPath.c_str(), "PC7", &signature),
              ESignatureResult::PathUnconvertible);
    EXPECT_EQ(g_wstrPathSeen, u"untouched");
    EXPECT_STREQ(signature.szMD5Password, "");
}

TEST(UploadSignature, RealEngineGivesSizeAndDigest)
{
    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    ASSERT_EQ(LoadBackupInfoReader(&pReadFunc), EEngineLoad::Ok);
    ASSERT_NE(pReadFunc, nullptr);

    const std::string strName = "sigtest_engine_" + std::to_string(GetCurrentProcessId());
    std::string strContent;
    for (int i = 0; i < 200000; ++i)
    {
        strContent += (char)(i % 251);
    }
    ASSERT_TRUE(WriteWholeFile(strName, strContent));

    WCHAR wszPath[256];
    ASSERT_NE(MultiByteToWideChar(CP_ACP, 0, strName.c_str(), -1, wszPath, 256), 0);
    WCHAR wszRecord[kRecordUnits];
    memset(wszRecord, 0xFF, sizeof(wszRecord));
    EXPECT_EQ(pReadFunc(wszPath, wszRecord), 0u);
    std::string strText;
    for (int i = 0; i < kRecordUnits && wszRecord[i] != 0; ++i)
    {
        strText += (char)wszRecord[i];
    }
    EXPECT_EQ(strText, ExpectedBackupInfo(strContent));
    remove(strName.c_str());

    // Gone: an empty text and the system's error code.
    memset(wszRecord, 0xFF, sizeof(wszRecord));
    EXPECT_EQ(pReadFunc(wszPath, wszRecord), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(wszRecord[0], 0);
}

TEST(UploadSignature, RealEngineOnAnEmptyFile)
{
    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    ASSERT_EQ(LoadBackupInfoReader(&pReadFunc), EEngineLoad::Ok);
    const std::string strName = "sigtest_empty_" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(WriteWholeFile(strName, ""));
    UploadSignature signature;
    ASSERT_EQ(ComputeUploadSignature(pReadFunc, strName.c_str(), "PC7", &signature),
              ESignatureResult::Ok);
    remove(strName.c_str());
    EXPECT_EQ(signature.dwEngineResult, 0u);
    EXPECT_EQ(std::string(signature.szMD5Password),
              ExpectedSignature("0:d41d8cd98f00b204e9800998ecf8427e" + std::string("PC7")));
}
