// cgiGetVars in a real CGI process: the request comes from the environment and a redirected
// standard input, which must be read as bytes (no CR LF or end-of-file translation).
#include "kelsio_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace
{

const char* const s_szVars[] = {"REQUEST_METHOD", "CONTENT_TYPE", "CONTENT_LENGTH",
                                "QUERY_STRING",   "KELSIO_HOME",  "KELSIO_DUMP_MODE"};

class CgiProcess : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Test cases may run at once in the same directory.
        std::string strTest = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_strIn = "kelsio_" + strTest + "_in.bin";
        m_strOut = "kelsio_" + strTest + "_out.txt";
    }
    void TearDown() override
    {
        for (const char* szName : s_szVars)
            UnsetEnvVar(szName);
        remove(m_strIn.c_str());
        remove(m_strOut.c_str());
    }

    // Runs the dump program (beside this test) on the body; returns its output lines.
    std::vector<std::string> Run(const std::string& strType, const std::string& strBody,
                                 const char* szMode = "take")
    {
        SetEnvVar("KELSIO_DUMP_MODE", szMode);
        SetEnvVar("KELSIO_HOME", m_home.Path().c_str());
        SetEnvVar("REQUEST_METHOD", "POST");
        SetEnvVar("CONTENT_TYPE", strType.c_str());
        SetEnvVar("CONTENT_LENGTH", std::to_string(strBody.size()).c_str());
        SetEnvVar("QUERY_STRING", "q=1");
        WriteWholeFile(m_strIn, strBody);
        std::string strCommand = std::string(".") + VENDREL_DIR_SEP_STR + "kelsio_cgi_dump < " +
                                 m_strIn + " > " + m_strOut;
        EXPECT_EQ(system(strCommand.c_str()), 0);
        std::istringstream out(ReadWholeFile(m_strOut));
        std::vector<std::string> lines;
        std::string strLine;
        while (std::getline(out, strLine))
        {
            if (!strLine.empty() && strLine.back() == '\r')
                strLine.pop_back();
            lines.push_back(strLine);
        }
        return lines;
    }

    CTempHome m_home;
    // Relative names in the working directory keep the command free of quoting.
    std::string m_strIn;
    std::string m_strOut;
};

} // namespace

TEST_F(CgiProcess, FilePartFromStandardInputKeepsEveryByte)
{
    std::string strFile = "line\r\nnext\n\x1A after ctrl-z\r\n\r";
    strFile.push_back('\0');
    strFile += "\xFF end";
    std::string strBody = MultipartBody(
        "b0und", {FieldPart("ComputerName", "PC7"), FilePart("TempFileName", "x", strFile)});
    std::vector<std::string> lines = Run("multipart/form-data; boundary=b0und", strBody);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "ComputerName=PC7");
    std::string strPrefix = "TempFileName=" + m_home.Path() + VENDREL_DIR_SEP_STR + "TEMP" +
                            VENDREL_DIR_SEP_STR + "upload_";
    ASSERT_EQ(lines[1].compare(0, strPrefix.size(), strPrefix), 0) << lines[1];
    EXPECT_EQ(ReadWholeFile(lines[1].substr(13) + ".taken"), strFile);
    EXPECT_EQ(lines[2], "q=1") << "the query string follows the body";
}

TEST_F(CgiProcess, UploadMaxSizeComesFromServerIni)
{
    m_home.WriteFile("server.ini", "[INI_SERVER_SECTION]\r\nUpload_Max_Size=1\r\n");
    std::string strFits =
        MultipartBody("b", {FilePart("TempFileName", "x", std::string(1000000, 'a'))});
    std::vector<std::string> lines = Run("multipart/form-data; boundary=b", strFits);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(m_home.TempFiles().size(), 1u);
    remove((lines[0].substr(13) + ".taken").c_str());

    std::string strOver = MultipartBody("b", {FilePart("f", "x", std::string(1048576, 'a'))});
    lines = Run("multipart/form-data; boundary=b", strOver);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "REFUSED");
    EXPECT_TRUE(m_home.TempFiles().empty());
}

// The program took the first file part; the others, whether it frees the array or simply
// returns from main, are gone with the process.
TEST_F(CgiProcess, FilePartsTheProgramDoesNotTakeAreDeleted)
{
    std::string strBody = MultipartBody(
        "b", {FilePart("TempFileName", "x", "taken"), FilePart("extra", "y", "extra 1"),
              FieldPart("ComputerName", "PC7"), FilePart("extra", "z", "extra 2")});
    std::vector<std::string> lines = Run("multipart/form-data; boundary=b", strBody, "take");
    ASSERT_EQ(lines.size(), 5u);
    std::string strTaken = lines[0].substr(13) + ".taken";
    EXPECT_EQ(ReadWholeFile(strTaken), "taken") << "a file the program moved stays where it is";
    std::vector<std::string> files = m_home.TempFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(m_home.Temp() + VENDREL_DIR_SEP_STR + files[0], strTaken);
    remove(strTaken.c_str());

    const char* const szModes[] = {"free", "abandon"};
    for (const char* szMode : szModes)
    {
        lines = Run("multipart/form-data; boundary=b", strBody, szMode);
        ASSERT_EQ(lines.size(), 5u) << szMode;
        EXPECT_TRUE(m_home.TempFiles().empty()) << szMode;
    }
}
