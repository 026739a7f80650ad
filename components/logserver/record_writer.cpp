#include "record_writer.h"

#include "log_record_parse.h"
#include "output_file.h"
#include "record_format.h"
#include "utf16.h"

namespace
{
// How long a failed rotation waits before it is tried again: a file held open by a reader
// elsewhere must not cost every record a try and a line on standard error.
const std::chrono::seconds kRotationRetryDelay(10);

void ReportRotationFault(const std::string& strError)
{
    fprintf(stderr, "vendrel-logd: rotation: %s; records go on to the file in use\n",
            strError.c_str());
    fflush(stderr);
}
} // namespace

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

void CRecordWriter::EnableRotation(const std::string& strPath, uint64_t nMaxBytes, unsigned nKeep)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strPath = strPath;
    m_nMaxBytes = nMaxBytes;
    m_nKeep = nKeep;
    m_nOutBytes = OutputFileSize(m_pOut);
}

void CRecordWriter::Write(const CAssembledRecord& record)
{
    std::string strLine = FormatAssembledRecord(record, m_eFormat);
    std::lock_guard<std::mutex> lock(m_mutex);
    WriteLineLocked(strLine);
    fflush(m_pOut);
}

void CRecordWriter::WriteBuffered(const CAssembledRecord& record)
{
    std::string strLine = FormatAssembledRecord(record, m_eFormat);
    std::lock_guard<std::mutex> lock(m_mutex);
    WriteLineLocked(strLine);
}

void CRecordWriter::Flush()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    fflush(m_pOut);
}

void CRecordWriter::WriteLineLocked(const std::string& strLine)
{
    // A file with nothing in it is never rotated: a line larger than the limit still goes
    // somewhere, whole.
    if (m_nMaxBytes != 0 && m_nOutBytes != 0 && m_nOutBytes + strLine.size() > m_nMaxBytes)
    {
        RotateLocked();
    }
    m_nOutBytes += fwrite(strLine.data(), 1, strLine.size(), m_pOut);
}

std::string CRecordWriter::GenerationPath(unsigned nGeneration) const
{
    return m_strPath + "." + std::to_string(nGeneration);
}

bool CRecordWriter::ShiftGenerationsLocked(std::string* pstrError)
{
    // From the oldest down, so that no generation is overwritten before it has moved on; the
    // rename onto strPath.nKeep drops the oldest.
    for (unsigned nGeneration = m_nKeep - 1; nGeneration >= 1; nGeneration--)
    {
        std::string strFrom = GenerationPath(nGeneration);
        if (OutputPathExists(strFrom) &&
            !RenameOutputFile(strFrom, GenerationPath(nGeneration + 1), pstrError))
        {
            return false;
        }
    }
    return RenameOutputFile(m_strPath, GenerationPath(1), pstrError);
}

void CRecordWriter::RotateLocked()
{
    Clock::time_point now = Clock::now();
    if (now < m_nextRotationTry)
    {
        return;
    }
    // Everything written so far belongs to the file that becomes strPath.1. The file stays
    // open under its new name until the next one is open, so a failure loses nothing.
    fflush(m_pOut);
    std::string strError;
    if (!m_bOutRenamed && !ShiftGenerationsLocked(&strError))
    {
        m_nextRotationTry = now + kRotationRetryDelay;
        ReportRotationFault(strError);
        return;
    }
    // Until the new file is open, the file in use is strPath.1: a retry must not move the
    // generations on again.
    m_bOutRenamed = true;
    FILE* pNew = OpenOutputFile(m_strPath, &strError);
    if (pNew == NULL)
    {
        // The lines go on to the renamed file until a new one can be made.
        m_nextRotationTry = now + kRotationRetryDelay;
        ReportRotationFault("cannot open " + m_strPath + ": " + strError);
        return;
    }
    if (m_pOut != stdout)
    {
        fclose(m_pOut);
    }
    m_pOut = pNew;
    m_bOutRenamed = false;
    m_nOutBytes = OutputFileSize(pNew);
}

bool CRecordWriter::Reopen(const std::string& strPath, std::string* pstrError)
{
    FILE* pNew = OpenOutputFile(strPath, pstrError);
    if (pNew == NULL)
    {
        *pstrError = "cannot reopen " + strPath + ": " + *pstrError;
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pOut != stdout)
    {
        fclose(m_pOut);
    }
    m_pOut = pNew;
    // What an outside rotation left at the path counts toward the next rotation by size.
    m_nOutBytes = OutputFileSize(pNew);
    m_bOutRenamed = false;
    m_nextRotationTry = Clock::time_point();
    return true;
}

void CRecordWriter::Close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pOut != stdout)
    {
        fclose(m_pOut);
    }
    else
    {
        fflush(m_pOut);
    }
    m_pOut = NULL;
}
