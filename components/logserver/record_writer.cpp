#include "record_writer.h"

#include "log_record_parse.h"
#include "record_format.h"
#include "utf16.h"

#include <cerrno>
#include <cstring>

std::string FormatAssembledRecord(const CAssembledRecord& record, ELogFormat eFormat)
{
    std::string strError = record.strFault;
    CLogRecord parsed;
    if (record.bComplete && ParseLogRecord(record.strUnits, &parsed, &strError))
    {
        return eFormat == ELogFormat::Jsonl ? FormatRecordJson(parsed) : FormatRecordText(parsed);
    }
    std::string strRaw = Utf16ToUtf8(record.strUnits);
    return eFormat == ELogFormat::Jsonl ? FormatErrorJson(strError, strRaw)
                                        : FormatErrorText(strError, strRaw);
}

void CRecordWriter::Write(const CAssembledRecord& record)
{
    std::string strLine = FormatAssembledRecord(record, m_eFormat);
    std::lock_guard<std::mutex> lock(m_mutex);
    fwrite(strLine.data(), 1, strLine.size(), m_pOut);
    fflush(m_pOut);
}

void CRecordWriter::WriteBuffered(const CAssembledRecord& record)
{
    std::string strLine = FormatAssembledRecord(record, m_eFormat);
    std::lock_guard<std::mutex> lock(m_mutex);
    fwrite(strLine.data(), 1, strLine.size(), m_pOut);
}

void CRecordWriter::Flush()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    fflush(m_pOut);
}

bool CRecordWriter::Reopen(const std::string& strPath, std::string* pstrError)
{
    FILE* pNew = fopen(strPath.c_str(), "ab");
    if (pNew == NULL)
    {
        *pstrError = "cannot reopen " + strPath + ": " + strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pOut != stdout)
    {
        fclose(m_pOut);
    }
    m_pOut = pNew;
    return true;
}
