// The scrambler and the upload signature against the reference vectors of a second
// implementation: every row, in both builds. A signed text longer than the 511 bytes whose hex
// form fits the verification's buffer is refused, whatever signature comes with it.
#include "vector_file.h"

#include "scrambler.h"
#include "signature_expectations.h"
#include "temp_home.h"
#include "test_files.h"
#include "trace_capture.h"
#include "upload_signature.h"
#include "verify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace signature_test;

namespace
{

// The longest signed text whose hex form and NUL fit the verification's buffer.
const size_t kLongestSignedText = (kSignatureTextSize - 1) / 2;
const char kTooLong[] = "-";
const char kFiller = '#';

std::string Where(const char* szFile, const CVectorRow& row)
{
    return std::string(szFile) + " line " + std::to_string(row.nLine);
}

} // namespace

TEST(ScrambleVectors, EveryRowScramblesToItsHexInExactlyTheRoomItNeeds)
{
    std::vector<CVectorRow> rows;
    ASSERT_TRUE(ReadVectorRows("scramble_to_hex.tsv", 2, &rows));
    for (const CVectorRow& row : rows)
    {
        SCOPED_TRACE(Where("scramble_to_hex.tsv", row));
        std::string strInput;
        ASSERT_TRUE(DecodeHex(row.fields[0], &strInput));
        ASSERT_EQ(strInput.find('\0'), std::string::npos) << "the input is a text";
        const std::string& strExpected = row.fields[1];
        const size_t nNeeded = 2 * strInput.size() + 1;
        ASSERT_EQ(strExpected.size() + 1, nNeeded);

        // Exactly the room: the hex text and its NUL, and not a byte beyond.
        std::vector<char> output(nNeeded + 1, kFiller);
        uint32_t nLength = static_cast<uint32_t>(nNeeded);
        EXPECT_EQ(ScrambleToHex(output.data(), strInput.c_str(), &nLength), kScrambleOk);
        EXPECT_EQ(nLength, nNeeded);
        EXPECT_EQ(std::string(output.data()), strExpected);
        EXPECT_EQ(output[nNeeded], kFiller);

        // One byte less is refused, and nothing is written.
        std::vector<char> small(nNeeded, kFiller);
        uint32_t nSmall = static_cast<uint32_t>(nNeeded - 1);
        EXPECT_EQ(ScrambleToHex(small.data(), strInput.c_str(), &nSmall), kScrambleBufferTooSmall);
        EXPECT_EQ(nSmall, nNeeded - 1);
        EXPECT_EQ(std::string(small.begin(), small.end()), std::string(nNeeded, kFiller));

        // The verification's buffer takes every input of up to 511 bytes.
        char szVerify[kSignatureTextSize];
        uint32_t nVerify = kSignatureTextSize;
        EXPECT_EQ(ScrambleToHex(szVerify, strInput.c_str(), &nVerify),
                  strInput.size() <= kLongestSignedText ? kScrambleOk : kScrambleBufferTooSmall);
    }
}

class SignatureVectors : public ::testing::Test
{
protected:
    CTempHome m_dir{CTempHome::kPlainDirectory};
    // VerifyPassPort traces every step.
    CTraceCapture m_capture;
};

TEST_F(SignatureVectors, EveryRowSignsToItsVerifyValueOrIsRefusedAsTooLong)
{
    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    ASSERT_EQ(LoadBackupInfoReader(&pReadFunc), EEngineLoad::Ok);
    std::vector<CVectorRow> rows;
    ASSERT_TRUE(ReadVectorRows("signature.tsv", 3, &rows));
    for (const CVectorRow& row : rows)
    {
        SCOPED_TRACE(Where("signature.tsv", row));
        std::string strContent;
        ASSERT_TRUE(DecodeHex(row.fields[0], &strContent));
        // The computer name as the request carries it: its bytes, unconverted.
        const std::string& strComputer = row.fields[1];
        const std::string& strVerify = row.fields[2];
        const std::string strFile = m_dir.Join("upload_" + std::to_string(row.nLine));
        ASSERT_TRUE(WriteWholeFile(strFile, strContent));

        UploadSignature signature;
        ESignatureResult eResult =
            ComputeUploadSignature(pReadFunc, strFile.c_str(), strComputer.c_str(), &signature);
        EXPECT_EQ(signature.dwEngineResult, 0u);
        if (strVerify != kTooLong)
        {
            EXPECT_EQ(eResult, ESignatureResult::Ok);
            EXPECT_EQ(std::string(signature.szMD5Password), strVerify);
            EXPECT_TRUE(VerifyPassPort(strFile.c_str(), strComputer.c_str(), strVerify.c_str()));
            continue;
        }
        EXPECT_EQ(eResult, ESignatureResult::TextTooLong);
        EXPECT_STREQ(signature.szMD5Password, "");
        EXPECT_STREQ(signature.szScrambledHex, "");
        // Neither the whole text's signature nor that of the part that would fit passes.
        const std::string strSigned = ExpectedBackupInfo(strContent) + strComputer;
        ASSERT_GT(strSigned.size(), kLongestSignedText);
        for (const std::string& strText : {strSigned, strSigned.substr(0, kLongestSignedText)})
        {
            EXPECT_FALSE(VerifyPassPort(strFile.c_str(), strComputer.c_str(),
                                        ExpectedSignature(strText).c_str()));
        }
        EXPECT_FALSE(VerifyPassPort(strFile.c_str(), strComputer.c_str(), ""));
    }
}
