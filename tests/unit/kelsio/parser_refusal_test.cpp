// Every request that cannot be decoded is refused, and leaves no upload file behind.
#include "kelsio_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

const std::string s_strB = "XyZ";
const std::string s_strType = "multipart/form-data; boundary=XyZ";

class Refusal : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Somebody else's upload: never touched by a refused request.
        WriteWholeFile(m_home.Temp() + VENDREL_DIR_SEP_STR + "upload_0000000000000000", "keep");
    }

    void ExpectRefused(CFakeRequest& request, const char* szWhat)
    {
        bool bParsed = true;
        request.Parse(bParsed);
        EXPECT_FALSE(bParsed) << szWhat;
        std::vector<std::string> files = m_home.TempFiles();
        ASSERT_EQ(files.size(), 1u) << szWhat << ": an upload file was left behind";
        EXPECT_EQ(files[0], "upload_0000000000000000");
    }
    void ExpectRefused(const std::string& strBody, const char* szWhat,
                       const std::string& strType = s_strType)
    {
        CFakeRequest request = PostRequest(m_home.Path(), strType, strBody);
        ExpectRefused(request, szWhat);
    }
    // The body is refused with the meta-variable szName at each of these values, and without it.
    void ExpectRefusedForEach(const std::string& strBody, const char* szName,
                              std::initializer_list<const char*> values)
    {
        for (const char* szValue : values)
        {
            CFakeRequest request = PostRequest(m_home.Path(), s_strType, strBody);
            request.env[szName] = szValue;
            ExpectRefused(request, szValue);
        }
        CFakeRequest missing = PostRequest(m_home.Path(), s_strType, strBody);
        missing.env.erase(szName);
        ExpectRefused(missing, (std::string("no ") + szName).c_str());
    }
    // A body that is fine up to and including a file part.
    std::string FileFirst() const
    {
        return "--" + s_strB + "\r\n" + FilePart("TempFileName", "x.bin", "").strHead + "\r\n" +
               std::string(5000, 'f') + "\r\n";
    }

    CTempHome m_home;
};

} // namespace

TEST_F(Refusal, ControlRequestIsAccepted)
{
    CFakeRequest request = PostRequest(m_home.Path(), s_strType, FileFirst() + "--XyZ--");
    bool bParsed = false;
    CVarPairs vars = request.Parse(bParsed);
    ASSERT_TRUE(bParsed) << "the refusals below differ from this request in one point each";
    ASSERT_EQ(vars.size(), 1u);
    EXPECT_EQ(m_home.TempFiles().size(), 2u);
}

TEST_F(Refusal, MissingClosingDelimiter)
{
    ExpectRefused(FileFirst(), "body ends after the part");
    ExpectRefused(FileFirst().substr(0, FileFirst().size() - 2), "body ends inside the content");
    ExpectRefused(FileFirst() + "--XyZ", "delimiter without close or line end");
    ExpectRefused(FileFirst() + "--XyZ-", "half a close");
    ExpectRefused("no delimiter at all", "no part");
    ExpectRefused("", "empty body");
}

TEST_F(Refusal, MalformedParts)
{
    ExpectRefused(FileFirst() + "--XyZjunk\r\n\r\n\r\n--XyZ--", "text after a delimiter");
    ExpectRefused(FileFirst() + "--XyZ\r\nno colon\r\n\r\nv\r\n--XyZ--", "bad header line");
    ExpectRefused(FileFirst() + "--XyZ\r\nContent-Type: text/plain\r\n\r\nv\r\n--XyZ--",
                  "no Content-Disposition");
    ExpectRefused(FileFirst() + "--XyZ\r\nContent-Disposition: form-data\r\n\r\nv\r\n--XyZ--",
                  "no name");
    ExpectRefused(FileFirst() +
                      "--XyZ\r\nContent-Disposition: attachment; name=\"a\"\r\n\r\nv\r\n--XyZ--",
                  "not form-data");
    ExpectRefused(FileFirst() +
                      "--XyZ\r\nContent-Disposition: form-data; name=\"a\r\n\r\nv\r\n--XyZ--",
                  "unclosed quote");
    ExpectRefused(FileFirst() + "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n" +
                      std::string(20000, 'h') + ": v\r\n\r\nv\r\n--XyZ--",
                  "oversized head");
    ExpectRefused(FileFirst() + "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n" +
                      std::string("x\0y", 3) + "\r\n--XyZ--",
                  "NUL in a field value");
}

TEST_F(Refusal, LimitsAfterAFilePart)
{
    ExpectRefused(FileFirst() + "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n" +
                      std::string(KELSIO_MAX_TEXT_BYTES + 1, 'v') + "\r\n--XyZ--",
                  "value over the limit");
    ExpectRefused(FileFirst() + "--XyZ\r\nContent-Disposition: form-data; name=\"" +
                      std::string(KELSIO_MAX_TEXT_BYTES + 1, 'n') + "\"\r\n\r\nv\r\n--XyZ--",
                  "name over the limit");
    std::string strMany = FileFirst();
    for (int i = 0; i < KELSIO_MAX_VARIABLES; ++i)
        strMany += "--XyZ\r\nContent-Disposition: form-data; name=\"v\"\r\n\r\n1\r\n";
    ExpectRefused(strMany + "--XyZ--", "one variable too many");
}

TEST_F(Refusal, ContentLength)
{
    std::string strBody = FileFirst() + "--XyZ--";
    ExpectRefusedForEach(strBody, "CONTENT_LENGTH",
                         {"", "-1", "+5", " 5", "5 ", "0x10", "abc", "99999999999999999999999"});

    CFakeRequest longer = PostRequest(m_home.Path(), s_strType, strBody);
    longer.env["CONTENT_LENGTH"] = std::to_string(strBody.size() + 1);
    longer.nChunk = 1000;
    ExpectRefused(longer, "input ends before CONTENT_LENGTH bytes");

    CFakeRequest shorter = PostRequest(m_home.Path(), s_strType, strBody);
    shorter.env["CONTENT_LENGTH"] = std::to_string(strBody.size() - 3);
    ExpectRefused(shorter, "CONTENT_LENGTH cuts the closing delimiter");

    CFakeRequest urlShort = PostRequest(m_home.Path(), "application/x-www-form-urlencoded", "a=1");
    urlShort.env["CONTENT_LENGTH"] = "4";
    ExpectRefused(urlShort, "urlencoded body shorter than announced");
}

TEST_F(Refusal, BodyOverTheLimit)
{
    std::string strBody = FileFirst() + "--XyZ--";
    CFakeRequest request = PostRequest(m_home.Path(), s_strType, strBody);
    request.nMaxBody = strBody.size() - 1;
    ExpectRefused(request, "over the limit");
    EXPECT_EQ(request.nConsumed, 0u) << "refused before anything is read";

    CFakeRequest exact = PostRequest(m_home.Path(), s_strType, strBody);
    exact.nMaxBody = strBody.size();
    bool bParsed = false;
    exact.Parse(bParsed);
    EXPECT_TRUE(bParsed) << "a body of exactly the limit is accepted";
}

TEST_F(Refusal, MethodAndContentType)
{
    std::string strBody = FileFirst() + "--XyZ--";
    ExpectRefusedForEach(strBody, "REQUEST_METHOD", {"PUT", "get", "post", "HEAD", ""});

    for (const char* szType :
         {"text/plain", "multipart/form-data",
          "multipart/form-data; boundary=", "multipart/mixed; boundary=XyZ",
          "multipart/form-data; boundary=\"XyZ", "multipart/form-data; boundary"})
        ExpectRefused(strBody, szType, szType);
    ExpectRefused(strBody, "boundary of 71 characters",
                  "multipart/form-data; boundary=" + std::string(71, 'b'));
    CFakeRequest noType = PostRequest(m_home.Path(), s_strType, strBody);
    noType.env.erase("CONTENT_TYPE");
    ExpectRefused(noType, "no CONTENT_TYPE");
}

TEST_F(Refusal, BadQueryStringAfterAGoodBody)
{
    CFakeRequest request = PostRequest(m_home.Path(), s_strType, FileFirst() + "--XyZ--");
    request.env["QUERY_STRING"] = "a=%zz";
    ExpectRefused(request, "bad escape in the query string");
}

TEST_F(Refusal, NoUploadDirectory)
{
    CTempHome bare;
    std::string strMissing = bare.Path() + VENDREL_DIR_SEP_STR + "missing";
    CFakeRequest request = PostRequest(strMissing, s_strType, FileFirst() + "--XyZ--");
    bool bParsed = true;
    request.Parse(bParsed);
    EXPECT_FALSE(bParsed) << "a file part that cannot be saved";
}

TEST_F(Refusal, ReadErrorOfTheInput)
{
    // A reader that fails: the request is refused like a truncated one.
    struct CFailing
    {
        static long Read(void*, unsigned char*, unsigned long) { return -1; }
        static const char* Env(void*, const char* szName)
        {
            if (strcmp(szName, "REQUEST_METHOD") == 0)
                return "POST";
            if (strcmp(szName, "CONTENT_TYPE") == 0)
                return "application/x-www-form-urlencoded";
            return strcmp(szName, "CONTENT_LENGTH") == 0 ? "10" : nullptr;
        }
    };
    CKelsioRequestSource source = {CFailing::Read,        nullptr, CFailing::Env, nullptr,
                                   m_home.Path().c_str(), 1000,    true};
    EXPECT_EQ(KelsioParseRequest(&source), nullptr);
    EXPECT_EQ(KelsioParseRequest(nullptr), nullptr);
}
