#include "record_assembler.h"

void CRecordAssembler::Feed(const uint8_t* pBytes, size_t nBytes,
                            std::vector<CAssembledRecord>* pRecords)
{
    for (size_t i = 0; i < nBytes; i++)
    {
        if (!m_bHaveOddByte)
        {
            m_bOddByte = pBytes[i];
            m_bHaveOddByte = true;
            continue;
        }
        m_bHaveOddByte = false;
        char16_t cu = char16_t(m_bOddByte | (char16_t(pBytes[i]) << 8));
        if (cu == 0)
        {
            if (!m_bSkipping)
            {
                CAssembledRecord record;
                record.strUnits.swap(m_strUnits);
                pRecords->push_back(std::move(record));
            }
            m_strUnits.clear();
            m_bSkipping = false;
            continue;
        }
        if (m_bSkipping)
        {
            continue;
        }
        if (m_strUnits.size() >= kMaxRecordUnits)
        {
            CAssembledRecord record;
            record.bComplete = false;
            record.strFault = "record longer than 1048576 units";
            record.strUnits = m_strUnits.substr(0, 256);
            pRecords->push_back(std::move(record));
            m_strUnits.clear();
            m_bSkipping = true;
            continue;
        }
        m_strUnits.push_back(cu);
    }
}

void CRecordAssembler::Finish(std::vector<CAssembledRecord>* pRecords)
{
    if (!m_bSkipping && (!m_strUnits.empty() || m_bHaveOddByte))
    {
        CAssembledRecord record;
        record.bComplete = false;
        record.strFault = m_bHaveOddByte ? "connection ended inside a UTF-16 unit"
                                         : "connection ended before the record's NUL unit";
        record.strUnits.swap(m_strUnits);
        pRecords->push_back(std::move(record));
    }
    m_strUnits.clear();
    m_bHaveOddByte = false;
    m_bSkipping = false;
}
