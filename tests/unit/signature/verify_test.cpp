// Signature verification with the real engine library beside the test.
#include "verify.h"

#include "signature_expectations.h"
#include "test_files.h"
#include "trace_capture.h"
#include "trace_lookup.h"
#include "upload_signature.h"

#include "platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace signature_test;

namespace
{

const char kLoaded[] = "[Vendrel:VerifyPassPort] LoadLibrary pelix32.dll success.";
const char kResolved[] =
    "[Vendrel:VerifyPassPort] GetProcAddress \"PelixGetBackupFileInfoW\" success.";
const char kEngineCalled[] = "[Vendrel:VerifyPassPort] call pReadFunc success.";
const char kMatch[] = "[Vendrel:VerifyPassPort] Verify Signature match!";

// A file in the working directory that lives as long as the object.
class CScratchFile
{
public:
    explicit CScratchFile(const std::string& strContent)
    {
        static int s_nNext = 0;
        m_strName = "sigtest_" + std::to_string(GetCurrentProcessId()) + "_" +
                    std::to_string(s_nNext++) + ".bin";
        WriteWholeFile(m_strName, strContent);
    }
    ~CScratchFile() { remove(m_strName.c_str()); }
    const char* Name() const { return m_strName.c_str(); }

private:
    std::string m_strName;
};

std::string NoMatchText(const std::string& strVerify, const std::string& strMD5Password)
{
    return "[Vendrel:VerifyPassPort] signature not match!! strVerifySignature=" + strVerify +
           ", MD5Password=" + strMD5Password;
}

class VerifyPassPortTest : public ::testing::Test
{
protected:
    CTraceCapture m_capture;
};

} // namespace

TEST_F(VerifyPassPortTest, MatchingSignatureVerifiesWithItsTraces)
{
    CScratchFile file("hello");
    EXPECT_TRUE(VerifyPassPort(file.Name(), "PC7", kHelloPc7Signature));

    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(Lines(records), (std::vector<int>{203, 211, 218, 234, 243}));
    for (const TraceRecord& record : records)
    {
        EXPECT_EQ(record.nLevel, 4);
        EXPECT_EQ(record.strSource, ".\\Vendrel");
    }
    EXPECT_TRUE(EndsWith(records[0].strMessage, kLoaded)) << records[0].strMessage;
    EXPECT_TRUE(EndsWith(records[1].strMessage, kResolved)) << records[1].strMessage;
    EXPECT_TRUE(EndsWith(records[2].strMessage, kEngineCalled)) << records[2].strMessage;
    // The hashed text is traced, not the hash.
    EXPECT_TRUE(EndsWith(records[3].strMessage,
                         std::string("[Vendrel:VerifyPassPort] Generate verify hash value "
                                     "success. '") +
                             kHelloPc7ScrambledHex + "'"))
        << records[3].strMessage;
    EXPECT_TRUE(EndsWith(records[4].strMessage, kMatch)) << records[4].strMessage;
}

TEST_F(VerifyPassPortTest, SignatureBindsContentAndComputer)
{
    const std::string strContent = "some \x01\x80\xff bytes\n";
    CScratchFile file(strContent);
    const std::string strSignature = ExpectedSignature(ExpectedBackupInfo(strContent) + "HOST-9");
    EXPECT_TRUE(VerifyPassPort(file.Name(), "HOST-9", strSignature.c_str()));
    EXPECT_FALSE(VerifyPassPort(file.Name(), "HOST-8", strSignature.c_str()));
    CScratchFile other(strContent + "x");
    EXPECT_FALSE(VerifyPassPort(other.Name(), "HOST-9", strSignature.c_str()));
    // Each call loads the library afresh and works the same.
    EXPECT_TRUE(VerifyPassPort(file.Name(), "HOST-9", strSignature.c_str()));
}

TEST_F(VerifyPassPortTest, UpperCaseSignatureFails)
{
    CScratchFile file("hello");
    std::string strUpper = kHelloPc7Signature;
    for (char& c : strUpper)
    {
        c = (char)toupper((unsigned char)c);
    }
    EXPECT_FALSE(VerifyPassPort(file.Name(), "PC7", strUpper.c_str()));
    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(Lines(records), (std::vector<int>{203, 211, 218, 234, 240}));
    EXPECT_TRUE(EndsWith(records[4].strMessage, NoMatchText(strUpper, kHelloPc7Signature)))
        << records[4].strMessage;
}

TEST_F(VerifyPassPortTest, BlanksAndWrongLengthsFail)
{
    CScratchFile file("hello");
    const std::string strGood = kHelloPc7Signature;
    const std::vector<std::string> bad = {" " + strGood,         strGood + " ", strGood + "\t",
                                          strGood.substr(0, 31), strGood + "0", "",
                                          "0" + strGood};
    for (const std::string& strBad : bad)
    {
        EXPECT_FALSE(VerifyPassPort(file.Name(), "PC7", strBad.c_str())) << "'" << strBad << "'";
    }
    EXPECT_TRUE(VerifyPassPort(file.Name(), "PC7", strGood.c_str()));
}

TEST_F(VerifyPassPortTest, EmptyComputerNameSignsTheInfoAlone)
{
    CScratchFile file("hello");
    const std::string strSignature = ExpectedSignature(ExpectedBackupInfo("hello"));
    EXPECT_TRUE(VerifyPassPort(file.Name(), "", strSignature.c_str()));
    EXPECT_FALSE(VerifyPassPort(file.Name(), "", kHelloPc7Signature));
}

TEST_F(VerifyPassPortTest, SignedTextOf511BytesVerifies)
{
    CScratchFile file("hello");
    const std::string strInfo = ExpectedBackupInfo("hello");
    const std::string strComputer(511 - strInfo.size(), 'N');
    const std::string strSignature = ExpectedSignature(strInfo + strComputer);
    EXPECT_TRUE(VerifyPassPort(file.Name(), strComputer.c_str(), strSignature.c_str()));
}

TEST_F(VerifyPassPortTest, SignedTextOf512BytesFailsWithAnEmptyPassword)
{
    CScratchFile file("hello");
    const std::string strInfo = ExpectedBackupInfo("hello");
    const std::string strComputer(512 - strInfo.size(), 'N');
    // Even the signature that the rule would give for the whole text is refused.
    const std::string strSignature = ExpectedSignature(strInfo + strComputer);
    EXPECT_FALSE(VerifyPassPort(file.Name(), strComputer.c_str(), strSignature.c_str()));
    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(Lines(records), (std::vector<int>{203, 211, 218, 240}));
    EXPECT_TRUE(EndsWith(records[3].strMessage, NoMatchText(strSignature, "")))
        << records[3].strMessage;
}

TEST_F(VerifyPassPortTest, SignedTextPastTheCutFails)
{
    CScratchFile file("hello");
    const std::string strComputer(3000, 'N');
    EXPECT_FALSE(VerifyPassPort(file.Name(), strComputer.c_str(), ""));
    std::vector<TraceRecord> records = m_capture.Records();
    EXPECT_EQ(Lines(records), (std::vector<int>{203, 211, 218, 240}));
}

// A file the engine cannot read is never signed by the computer name alone, which anyone can
// compute: neither the signature over the file's would-be content nor the one over the name.
TEST_F(VerifyPassPortTest, UnreadableFileFailsWhateverTheSignature)
{
    const std::string strNameOnly = ExpectedSignature("PC7");
    // A missing file, and the working directory itself.
    const char* const paths[] = {"no_such_upload_file.bin", "."};
    for (const char* szPath : paths)
    {
        for (const std::string& strSignature :
             {ExpectedSignature(ExpectedBackupInfo("hello") + "PC7"), strNameOnly})
        {
            m_capture.Clear();
            EXPECT_FALSE(VerifyPassPort(szPath, "PC7", strSignature.c_str())) << szPath;
            std::vector<TraceRecord> records = m_capture.Records();
            ASSERT_EQ(Lines(records), (std::vector<int>{203, 211, 218, 240})) << szPath;
            EXPECT_TRUE(EndsWith(records[3].strMessage, NoMatchText(strSignature, "")))
                << records[3].strMessage;
        }
    }
}

TEST_F(VerifyPassPortTest, FileNameTooLongToConvertFailsBeforeTheEngine)
{
    const std::string strName(1024, 'a');
    EXPECT_FALSE(VerifyPassPort(strName.c_str(), "PC7", kHelloPc7Signature));
    std::vector<TraceRecord> records = m_capture.Records();
    ASSERT_EQ(Lines(records), (std::vector<int>{203, 211, 240}));
    EXPECT_TRUE(EndsWith(records[2].strMessage, NoMatchText(kHelloPc7Signature, "")))
        << records[2].strMessage;

    // 1,023 units and the NUL still fit: the engine is asked (and finds no such file).
    m_capture.Clear();
    const std::string strLongest(1023, 'a');
    EXPECT_FALSE(VerifyPassPort(strLongest.c_str(), "PC7", kHelloPc7Signature));
    EXPECT_NE(FindLine(m_capture.Records(), 218), nullptr);
}
