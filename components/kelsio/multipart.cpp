#include "multipart.h"

#include "header_params.h"
#include "kelsio_request.h"
#include "text_util.h"

#include <cstring>
#include <memory>

namespace
{

const size_t MULTIPART_MAX_HEADER_BYTES = 16384;

// Where the content of a part goes: a text in memory, an upload file, or nowhere.
struct CPartSink
{
    std::string* pText;
    CUploadFiles* pFile;
    bool bFailed;
};

bool SinkWrite(CPartSink& sink, const unsigned char* pData, size_t nSize)
{
    if (sink.bFailed || nSize == 0)
        return !sink.bFailed;
    if (sink.pText != nullptr)
    {
        if (sink.pText->size() + nSize > KELSIO_MAX_TEXT_BYTES)
            sink.bFailed = true;
        else
            sink.pText->append(reinterpret_cast<const char*>(pData), nSize);
    }
    else if (sink.pFile != nullptr && !sink.pFile->Write(pData, nSize))
    {
        sink.bFailed = true;
    }
    return !sink.bFailed;
}

// The body seen through one fixed buffer. The delimiter is CRLF "--" boundary; the body is
// read as if it began with CRLF, so a delimiter at its very start is found like any other.
class CMultipartScanner
{
public:
    CMultipartScanner(CBodySource& source, const std::string& strBoundary)
        : m_source(source), m_strDelimiter("\r\n--" + strBoundary), m_nStart(0), m_nEnd(2)
    {
        m_buffer[0] = '\r';
        m_buffer[1] = '\n';
    }

    // Passes everything up to the next delimiter to the sink and steps over the delimiter.
    // False when the body ends first or the sink fails.
    bool CopyToDelimiter(CPartSink& sink)
    {
        const size_t nDelimiter = m_strDelimiter.size();
        for (;;)
        {
            size_t nFound = Find();
            if (nFound != NOT_FOUND)
            {
                bool bOk = SinkWrite(sink, m_buffer + m_nStart, nFound - m_nStart);
                m_nStart = nFound + nDelimiter;
                return bOk;
            }
            // The last nDelimiter - 1 bytes may begin a delimiter that the next read completes.
            size_t nAvailable = m_nEnd - m_nStart;
            if (nAvailable >= nDelimiter)
            {
                size_t nSafe = nAvailable - (nDelimiter - 1);
                if (!SinkWrite(sink, m_buffer + m_nStart, nSafe))
                    return false;
                m_nStart += nSafe;
            }
            if (!Fill())
                return false;
        }
    }

    // True when at least nCount bytes are buffered (reading more as needed).
    bool Ensure(size_t nCount)
    {
        while (m_nEnd - m_nStart < nCount)
        {
            if (!Fill())
                return false;
        }
        return true;
    }

    int Peek() { return Ensure(1) ? m_buffer[m_nStart] : -1; }
    void Skip(size_t nCount) { m_nStart += nCount; }
    bool StartsWith(const char* szText)
    {
        size_t nLength = strlen(szText);
        return Ensure(nLength) && memcmp(m_buffer + m_nStart, szText, nLength) == 0;
    }

    // One header line without its line end (CRLF, or a bare LF). False when it is longer
    // than nMax or the body ends first.
    bool ReadLine(std::string& strLine, size_t nMax)
    {
        strLine.clear();
        for (;;)
        {
            int c = Peek();
            if (c < 0)
                return false;
            Skip(1);
            if (c == '\n')
                break;
            strLine.push_back(static_cast<char>(c));
            if (strLine.size() > nMax)
                return false;
        }
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        return true;
    }

private:
    static const size_t NOT_FOUND = static_cast<size_t>(-1);

    size_t Find() const
    {
        const size_t nDelimiter = m_strDelimiter.size();
        const unsigned char* pBegin = m_buffer + m_nStart;
        const unsigned char* pEnd = m_buffer + m_nEnd;
        for (const unsigned char* p = pBegin; static_cast<size_t>(pEnd - p) >= nDelimiter; ++p)
        {
            p = static_cast<const unsigned char*>(memchr(p, '\r', pEnd - p));
            if (p == nullptr || static_cast<size_t>(pEnd - p) < nDelimiter)
                return NOT_FOUND;
            if (memcmp(p, m_strDelimiter.data(), nDelimiter) == 0)
                return static_cast<size_t>(p - m_buffer);
        }
        return NOT_FOUND;
    }

    // Moves what is left to the front and reads more; false at the end of the body.
    bool Fill()
    {
        if (m_nStart > 0)
        {
            memmove(m_buffer, m_buffer + m_nStart, m_nEnd - m_nStart);
            m_nEnd -= m_nStart;
            m_nStart = 0;
        }
        size_t nRead = m_source.Read(m_buffer + m_nEnd, KELSIO_BODY_BUFFER - m_nEnd);
        m_nEnd += nRead;
        return nRead > 0;
    }

    CBodySource& m_source;
    std::string m_strDelimiter;
    unsigned char m_buffer[KELSIO_BODY_BUFFER];
    size_t m_nStart;
    size_t m_nEnd;
};

struct CPartHead
{
    std::string strName;
    bool bFile;
};

bool ParseDisposition(const std::string& strValue, CPartHead& head)
{
    CHeaderValue value;
    if (!KelsioParseHeaderValue(strValue, value) ||
        !KelsioEqualsNoCase(value.strType.c_str(), "form-data"))
        return false;
    const std::string* pName = KelsioFindParam(value, "name");
    if (pName == nullptr)
        return false;
    head.strName = *pName;
    // The client's file name only marks the part as a file; it is never used.
    head.bFile = KelsioFindParam(value, "filename") != nullptr ||
                 KelsioFindParam(value, "filename*") != nullptr;
    return true;
}

// The header lines of a part, up to the empty line. Only Content-Disposition matters.
bool ReadPartHead(CMultipartScanner& scanner, CPartHead& head)
{
    std::string strLine;
    std::string strDisposition;
    bool bHaveDisposition = false;
    bool bInDisposition = false;
    size_t nTotal = 0;
    for (;;)
    {
        if (!scanner.ReadLine(strLine, MULTIPART_MAX_HEADER_BYTES))
            return false;
        nTotal += strLine.size() + 2;
        if (nTotal > MULTIPART_MAX_HEADER_BYTES)
            return false;
        if (strLine.empty())
            break;
        // A folded line continues the header before it.
        if (strLine[0] == ' ' || strLine[0] == '\t')
        {
            if (bInDisposition)
                strDisposition += strLine;
            continue;
        }
        size_t nColon = strLine.find(':');
        if (nColon == std::string::npos)
            return false;
        bInDisposition = false;
        if (!bHaveDisposition && KelsioEqualsNoCaseN(strLine.data(), nColon, "Content-Disposition"))
        {
            strDisposition = strLine.substr(nColon + 1);
            bHaveDisposition = true;
            bInDisposition = true;
        }
    }
    return bHaveDisposition && ParseDisposition(strDisposition, head);
}

// After a delimiter: "--" closes the body; otherwise blanks, then CRLF, then the next part.
// Returns 1 for another part, 0 for the close, -1 for a malformed body.
int AfterDelimiter(CMultipartScanner& scanner)
{
    if (scanner.StartsWith("--"))
    {
        scanner.Skip(2);
        return 0;
    }
    int c = scanner.Peek();
    while (c == ' ' || c == '\t')
    {
        scanner.Skip(1);
        c = scanner.Peek();
    }
    if (!scanner.StartsWith("\r\n"))
        return -1;
    scanner.Skip(2);
    return 1;
}

bool ReadPart(CMultipartScanner& scanner, CVarTable& table, CUploadFiles& uploads,
              bool bSaveFileParts)
{
    CPartHead head;
    if (!ReadPartHead(scanner, head) || !KelsioIsAcceptableText(head.strName) ||
        table.Count() >= KELSIO_MAX_VARIABLES)
        return false;

    std::string strValue;
    CPartSink sink = {nullptr, nullptr, false};
    if (!head.bFile)
    {
        sink.pText = &strValue;
    }
    else if (bSaveFileParts)
    {
        if (!uploads.Create(strValue))
            return false;
        sink.pFile = &uploads;
    }
    bool bCopied = scanner.CopyToDelimiter(sink);
    if (sink.pFile != nullptr && !uploads.Close())
        return false;
    return bCopied && table.Add(head.strName, strValue);
}

} // namespace

bool KelsioParseMultipart(CBodySource& source, const std::string& strBoundary, CVarTable& table,
                          CUploadFiles& uploads, bool bSaveFileParts)
{
    // The scanner's buffer is large; keep it off the stack.
    std::unique_ptr<CMultipartScanner> pScanner(new CMultipartScanner(source, strBoundary));
    CPartSink preamble = {nullptr, nullptr, false};
    if (!pScanner->CopyToDelimiter(preamble))
        return false;
    for (;;)
    {
        int nNext = AfterDelimiter(*pScanner);
        if (nNext < 0)
            return false;
        if (nNext == 0)
            break;
        if (!ReadPart(*pScanner, table, uploads, bSaveFileParts))
            return false;
    }
    // What follows the close is an epilogue, but the body must still be all there.
    return source.Drain();
}
