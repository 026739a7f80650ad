// The whole-request fuzz harness (POSIX): see request_fuzz.h and the input layout in
// request_seeds.cpp.
#include "request_fuzz.h"

#include "platform.h"
#include "md5.h"
#include "request_handler.h"
#include "scrambler.h"
#include "stub_engine.h"
#include "trace_state.h"
#include "upload_signature.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace
{

const char s_szHeaders[] = "Pragma: no-cache\r\nContent-type: text/html;charset=UTF-8\r\n\r\n";
const char s_szKeep[] = "a file in the home directory that no request may touch\n";
const char s_szVictim[] = "a file outside the installation that no request may touch\n";
const size_t kMaxFieldBytes = 4096;

struct CPaths
{
    std::string strRoot;
    std::string strHome;
    std::string strTemp;
    std::string strVirus;
    std::string strUpload;
    std::string strBody;
    std::string strOut;
};
CPaths g_paths;

// A request as the harness sends it.
struct CRequestPlan
{
    std::string strMethod;
    std::string strContentType; // empty: none
    std::string strQuery;
    std::string strBody;
    std::string strUploadContent;
    bool bStructured = false;
    bool bCapacityZero = false;
    bool bDamagedStore = false;
    bool bDefaultFolder = false;
};

[[noreturn]] void Fail(const char* szWhat, const std::string& strDetail)
{
    fprintf(stderr, "request fuzz: %s: %s\n", szWhat, strDetail.c_str());
    abort();
}

void SaveText(const std::string& strPath, const std::string& strData)
{
    FILE* pFile = fopen(strPath.c_str(), "wb");
    if (pFile == nullptr)
        Fail("cannot write", strPath);
    if (!strData.empty() && fwrite(strData.data(), 1, strData.size(), pFile) != strData.size())
        Fail("cannot write", strPath);
    fclose(pFile);
}

bool LoadText(const std::string& strPath, std::string* pstrData)
{
    FILE* pFile = fopen(strPath.c_str(), "rb");
    if (pFile == nullptr)
        return false;
    pstrData->clear();
    char buf[4096];
    size_t nRead;
    while ((nRead = fread(buf, 1, sizeof(buf), pFile)) > 0)
        pstrData->append(buf, nRead);
    fclose(pFile);
    return true;
}

std::set<std::string> Names(const std::string& strDir)
{
    std::set<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(strDir, error), end; !error && it != end; it.increment(error))
        names.insert(it->path().filename().string());
    return names;
}

void ClearDirectory(const std::string& strDir)
{
    std::error_code error;
    for (const std::string& strName : Names(strDir))
        fs::remove_all(strDir + "/" + strName, error);
}

// The log server: takes every connection and drops what arrives, so that the trace client's
// whole path runs. With REQUEST_FUZZ_TRACE set it shows the records' ASCII on standard error.
void ServeTraces(int nListen)
{
    bool bShow = getenv("REQUEST_FUZZ_TRACE") != nullptr;
    for (;;)
    {
        int nConn = accept(nListen, nullptr, nullptr);
        if (nConn < 0)
        {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        char buf[4096];
        ssize_t nRead;
        while ((nRead = read(nConn, buf, sizeof(buf))) > 0)
        {
            for (ssize_t i = 0; bShow && i < nRead; ++i)
            {
                if (buf[i] != '\0')
                    fputc(buf[i] == '\t' ? ' ' : buf[i], stderr);
            }
        }
        if (bShow)
            fputc('\n', stderr);
        close(nConn);
    }
}

void StartLogServer(const std::string& strPipeDir)
{
    int nListen = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::string strPath = strPipeDir + "/Log_ServerNamePipe";
    if (nListen < 0 || strPath.size() >= sizeof(addr.sun_path))
        Fail("cannot make the log socket", strPath);
    memcpy(addr.sun_path, strPath.c_str(), strPath.size() + 1);
    if (bind(nListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(nListen, 128) != 0)
        Fail("cannot listen on", strPath);
    std::thread(ServeTraces, nListen).detach();
}

void RemoveRoot()
{
    std::error_code error;
    fs::remove_all(g_paths.strRoot, error);
}

std::string Substitute(const std::string& strText)
{
    std::string strOut;
    for (size_t i = 0; i < strText.size(); ++i)
    {
        if (strText[i] == '@' && i + 1 < strText.size() && strText[i + 1] == 'F')
        {
            strOut += g_paths.strUpload;
            ++i;
        }
        else if (strText[i] == '@' && i + 1 < strText.size() && strText[i + 1] == 'T')
        {
            strOut += g_paths.strTemp + "/";
            ++i;
        }
        else
        {
            strOut += strText[i];
        }
    }
    return strOut;
}

std::string UrlEncode(const std::string& strText)
{
    static const char s_szHex[] = "0123456789ABCDEF";
    std::string strOut;
    for (unsigned char c : strText)
    {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        {
            strOut += static_cast<char>(c);
        }
        else
        {
            strOut += '%';
            strOut += s_szHex[c >> 4];
            strOut += s_szHex[c & 15];
        }
    }
    return strOut;
}

// The signature an endpoint would send for the file at strPath from strComputer; empty when the
// file cannot be signed.
std::string TrueSignature(const std::string& strPath, const std::string& strComputer)
{
    UploadSignature signature;
    if (ComputeUploadSignature(StubBackupFileInfo, strPath.c_str(), strComputer.c_str(),
                               &signature) != ESignatureResult::Ok ||
        signature.dwEngineResult != 0)
        return std::string();
    return signature.szMD5Password;
}

// The signature of the computer name alone, which anyone can compute: what a forger sends for
// an upload the engine cannot read.
std::string NameOnlySignature(const std::string& strComputer)
{
    char szScrambledHex[kSignatureTextSize] = "";
    uint32_t nLength = kSignatureTextSize;
    if (ScrambleToHex(szScrambledHex, strComputer.c_str(), &nLength) != kScrambleOk)
        return std::string();
    char szSignature[kSignatureSize] = "";
    CMessageDigest5 digest;
    digest.HexDigest(szScrambledHex, (uint32_t)strlen(szScrambledHex), szSignature, kSignatureSize);
    return szSignature;
}

void PlanStructured(uint8_t nFlags, const std::string& strRest, CRequestPlan* pPlan)
{
    static const char* const s_names[] = {"TempFileName", "NewFileSize", "ComputerName", "Verify"};
    std::vector<std::string> fields;
    size_t nStart = 0;
    while (fields.size() < 4)
    {
        size_t nEnd = strRest.find('\n', nStart);
        if (nEnd == std::string::npos)
            break;
        fields.push_back(strRest.substr(nStart, nEnd - nStart).substr(0, kMaxFieldBytes));
        nStart = nEnd + 1;
    }
    pPlan->strUploadContent = nStart <= strRest.size() ? strRest.substr(nStart) : std::string();
    // The upload exists before it is signed.
    SaveText(g_paths.strUpload, pPlan->strUploadContent);
    bool bMultipart = (nFlags & 0x02) != 0;
    int nLeftOut = (nFlags & 0x20) != 0 ? (nFlags >> 6) & 3 : -1;

    std::string strTempFileName = fields.empty() ? std::string() : Substitute(fields[0]);
    std::vector<std::pair<std::string, std::string>> vars;
    for (size_t i = 0; i < fields.size(); ++i)
    {
        if (static_cast<int>(i) == nLeftOut)
            continue;
        std::string strValue = i == 0 ? strTempFileName : Substitute(fields[i]);
        if (i == 3 && fields[i] == "@V")
        {
            // In a multipart request the file part's copy has the prepared upload's content.
            const std::string& strSigned = bMultipart ? g_paths.strUpload : strTempFileName;
            strValue = TrueSignature(strSigned, fields.size() > 2 ? Substitute(fields[2]) : "");
        }
        if (i == 3 && fields[i] == "@N")
            strValue = NameOnlySignature(fields.size() > 2 ? Substitute(fields[2]) : "");
        vars.emplace_back(s_names[i], strValue);
    }

    pPlan->strMethod = "POST";
    if (!bMultipart)
    {
        pPlan->strContentType = "application/x-www-form-urlencoded";
        for (const auto& var : vars)
        {
            if (!pPlan->strBody.empty())
                pPlan->strBody += '&';
            pPlan->strBody += var.first + "=" + UrlEncode(var.second);
        }
        return;
    }
    pPlan->strContentType = "multipart/form-data; boundary=fz";
    for (const auto& var : vars)
    {
        pPlan->strBody += "--fz\r\nContent-Disposition: form-data; name=\"" + var.first + "\"";
        if (var.first == "TempFileName")
            pPlan->strBody += "; filename=\"x.bin\"\r\n\r\n" + pPlan->strUploadContent + "\r\n";
        else
            pPlan->strBody += "\r\n\r\n" + var.second + "\r\n";
    }
    pPlan->strBody += "--fz--\r\n";
}

void PlanRaw(uint8_t nFlags, const std::string& strRest, CRequestPlan* pPlan)
{
    pPlan->strUploadContent = "fuzz upload\n";
    std::string strText = Substitute(strRest);
    switch (((nFlags >> 1) & 1) | ((nFlags >> 5) & 2))
    {
    case 0:
        pPlan->strMethod = "POST";
        pPlan->strContentType = "application/x-www-form-urlencoded";
        pPlan->strBody = strText;
        break;
    case 1:
        pPlan->strMethod = "POST";
        pPlan->strContentType = "multipart/form-data; boundary=fz";
        pPlan->strBody = strText;
        break;
    case 2:
        pPlan->strMethod = "GET";
        pPlan->strQuery = strText;
        break;
    default:
        pPlan->strMethod = "POST";
        pPlan->strBody = strText;
        break;
    }
}

void Prepare(const CRequestPlan& plan)
{
    std::string strIni = "[INI_SERVER_SECTION]\r\n";
    if (!plan.bDefaultFolder)
        strIni += "Quarantine_Folder=" + g_paths.strVirus + "\r\n";
    if (plan.bCapacityZero)
        strIni += "Quarantine_Folder_Capacity=0\r\n";
    SaveText(g_paths.strHome + "/server.ini", strIni);
    if (plan.bDamagedStore)
        SaveText(g_paths.strVirus + "/.store", plan.strUploadContent.substr(0, 12));
    SaveText(g_paths.strUpload, plan.strUploadContent);
    SaveText(g_paths.strBody, plan.strBody);

    setenv("REQUEST_METHOD", plan.strMethod.c_str(), 1);
    setenv("QUERY_STRING", plan.strQuery.c_str(), 1);
    if (plan.strContentType.empty())
        unsetenv("CONTENT_TYPE");
    else
        setenv("CONTENT_TYPE", plan.strContentType.c_str(), 1);
    if (plan.strMethod == "POST")
        setenv("CONTENT_LENGTH", std::to_string(plan.strBody.size()).c_str(), 1);
    else
        unsetenv("CONTENT_LENGTH");
    if (freopen(g_paths.strBody.c_str(), "rb", stdin) == nullptr)
        Fail("cannot open the body as standard input", g_paths.strBody);
    std::cout.clear();
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
        Fail("cannot reset standard output", g_paths.strOut);
}

EAnswer ReadAnswer()
{
    std::cout.flush();
    std::string strOut;
    if (!LoadText(g_paths.strOut, &strOut))
        Fail("cannot read the answer", g_paths.strOut);
    std::string strHeaders = s_szHeaders;
    if (strOut == strHeaders)
        return EAnswer::Empty;
    if (strOut == strHeaders + "Vendrel_OK\r\r\n")
        return EAnswer::Ok;
    if (strOut == strHeaders + "Vendrel_FAILED\r\r\n")
        return EAnswer::Failed;
    Fail("an answer that is none of the three", strOut);
}

void CheckFile(const std::string& strPath, const char* szContent)
{
    std::string strData;
    if (!LoadText(strPath, &strData) || strData != szContent)
        Fail("a file outside the two directories changed", strPath);
}

void CheckNames(const std::string& strDir, const std::set<std::string>& expected)
{
    if (Names(strDir) != expected)
    {
        std::string strSeen;
        for (const std::string& strName : Names(strDir))
            strSeen += strName + " ";
        Fail(("entries of " + strDir + " changed").c_str(), strSeen);
    }
}

void CheckOutcome(const CRequestPlan& plan, EAnswer eAnswer)
{
    CheckFile(g_paths.strHome + "/keep.bin", s_szKeep);
    CheckFile(g_paths.strRoot + "/outside/victim.bin", s_szVictim);
    CheckNames(g_paths.strRoot, {"home", "outside", "pipes", "body", "out"});
    CheckNames(g_paths.strHome, {"TEMP", "Virus", "server.ini", "keep.bin"});
    CheckNames(g_paths.strRoot + "/outside", {"victim.bin"});

    std::set<std::string> filed = Names(g_paths.strVirus);
    filed.erase(".store");
    if (eAnswer != EAnswer::Ok)
    {
        if (!filed.empty())
            Fail("an upload filed without an OK answer", *filed.begin());
        return;
    }
    if (filed.size() != 1)
        Fail("an OK answer without exactly one filed upload", std::to_string(filed.size()));
    std::string strFiled;
    if (!LoadText(g_paths.strVirus + "/" + *filed.begin(), &strFiled))
        Fail("cannot read the filed upload", *filed.begin());
    // A structured request can only be admitted with the prepared upload's content: the upload
    // itself or its copy in a file part.
    if (plan.bStructured && strFiled != plan.strUploadContent)
        Fail("the filed upload holds other content", strFiled.substr(0, 64));
}

} // namespace

void RequestFuzzInit()
{
    char szRoot[] = "/tmp/vendrel-request-fuzz-XXXXXX";
    if (mkdtemp(szRoot) == nullptr)
        Fail("cannot make a work directory", szRoot);
    g_paths.strRoot = szRoot;
    g_paths.strHome = g_paths.strRoot + "/home";
    g_paths.strTemp = g_paths.strHome + "/TEMP";
    g_paths.strVirus = g_paths.strHome + "/Virus";
    g_paths.strUpload = g_paths.strTemp + "/upload_fuzz";
    g_paths.strBody = g_paths.strRoot + "/body";
    g_paths.strOut = g_paths.strRoot + "/out";
    for (const char* szDir : {"/home/TEMP", "/home/Virus", "/outside", "/pipes"})
        fs::create_directories(g_paths.strRoot + szDir);
    SaveText(g_paths.strHome + "/keep.bin", s_szKeep);
    SaveText(g_paths.strRoot + "/outside/victim.bin", s_szVictim);
    SaveText(g_paths.strBody, "");
    atexit(RemoveRoot);

    StartLogServer(g_paths.strRoot + "/pipes");
    setenv("KELSIO_HOME", g_paths.strHome.c_str(), 1);
    setenv("VENDREL_PIPE_DIR", (g_paths.strRoot + "/pipes").c_str(), 1);
    setenv("GATEWAY_INTERFACE", "CGI/1.1", 1);

    // The answer goes to a file that each run reads back, as a text-mode stream.
    int nOut = open(g_paths.strOut.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (nOut < 0 || dup2(nOut, STDOUT_FILENO) < 0)
        Fail("cannot redirect standard output", g_paths.strOut);
    close(nOut);
    _setmode(_fileno(stdout), _O_TEXT);
}

EAnswer RequestFuzzOne(const uint8_t* pData, size_t nSize)
{
    if (nSize == 0)
        return EAnswer::Any;
    uint8_t nFlags = pData[0];
    std::string strRest(reinterpret_cast<const char*>(pData) + 1, nSize - 1);
    CRequestPlan plan;
    plan.bStructured = (nFlags & 0x01) != 0;
    plan.bCapacityZero = (nFlags & 0x04) != 0;
    plan.bDamagedStore = (nFlags & 0x08) != 0;
    plan.bDefaultFolder = (nFlags & 0x10) != 0;
    if (plan.bStructured)
        PlanStructured(nFlags, strRest, &plan);
    else
        PlanRaw(nFlags, strRest, &plan);

    Prepare(plan);
    // Every run is a fresh process to the trace client.
    ResetTraceState();
    HandleRequest();
    EAnswer eAnswer = ReadAnswer();
    CheckOutcome(plan, eAnswer);
    ClearDirectory(g_paths.strTemp);
    ClearDirectory(g_paths.strVirus);
    return eAnswer;
}
