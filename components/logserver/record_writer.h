// Writes each record to the output as it is complete, one line a record.
#pragma once

#include "record_assembler.h"

#include <cstdio>
#include <mutex>
#include <string>

enum class ELogFormat
{
    Text,
    Jsonl
};

// The output line for one assembled record: the record itself, or an error with its raw text
// when it is incomplete or does not split into eight well-formed fields.
std::string FormatAssembledRecord(const CAssembledRecord& record, ELogFormat eFormat);

class CRecordWriter
{
public:
    CRecordWriter(FILE* pOut, ELogFormat eFormat) : m_pOut(pOut), m_eFormat(eFormat) {}

    // Safe to call from every connection's thread: lines never interleave.
    void Write(const CAssembledRecord& record);
    // The same, left in the output's buffer until Flush: a server that takes many records in
    // one round writes them with one system call, and flushes before it waits again.
    void WriteBuffered(const CAssembledRecord& record);
    void Flush();
    // Log rotation: opens strPath anew for appending and goes on there. The file in use is
    // closed only once the new one is open, so a failure keeps every record where it went.
    bool Reopen(const std::string& strPath, std::string* pstrError);

private:
    FILE* m_pOut;
    ELogFormat m_eFormat;
    std::mutex m_mutex;
};
