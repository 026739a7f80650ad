// Writes each record to the output as it is complete, one line a record.
#pragma once

#include "record_assembler.h"

#include <chrono>
#include <cstdint>
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
    // pOut stays the caller's until Reopen or a rotation replaces it, which closes it unless
    // it is standard output.
    CRecordWriter(FILE* pOut, ELogFormat eFormat) : m_pOut(pOut), m_eFormat(eFormat) {}
    CRecordWriter(const CRecordWriter&) = delete;
    CRecordWriter& operator=(const CRecordWriter&) = delete;

    // Rotation by size of the output, which was opened from strPath: before a line would take
    // the file past nMaxBytes, the file becomes strPath.1 (strPath.1 becomes strPath.2, and so
    // on up to strPath.nKeep; the one beyond is dropped) and a new file is begun at strPath.
    // Only whole lines move, so no record is split between files; a line longer than
    // nMaxBytes fills a file of its own. When a rotation fails, every line goes on to the file
    // in use, with a line on standard error, and the rotation is tried again later.
    void EnableRotation(const std::string& strPath, uint64_t nMaxBytes, unsigned nKeep);

    // Safe to call from every connection's thread: lines never interleave.
    void Write(const CAssembledRecord& record);
    // The same, left in the output's buffer until Flush: a server that takes many records in
    // one round writes them with one system call, and flushes before it waits again.
    void WriteBuffered(const CAssembledRecord& record);
    void Flush();
    // Log rotation: opens strPath anew for appending and goes on there. The file in use is
    // closed only once the new one is open, so a failure keeps every record where it went.
    bool Reopen(const std::string& strPath, std::string* pstrError);
    // The end: flushes the output and closes it unless it is standard output. Nothing may be
    // written after.
    void Close();

private:
    using Clock = std::chrono::steady_clock;

    void WriteLineLocked(const std::string& strLine);
    void RotateLocked();
    // Moves strPath.(nKeep-1) ... strPath.1 one generation up and strPath to strPath.1.
    bool ShiftGenerationsLocked(std::string* pstrError);
    std::string GenerationPath(unsigned nGeneration) const;

    FILE* m_pOut;
    ELogFormat m_eFormat;
    std::mutex m_mutex;
    std::string m_strPath;    // the output's path when rotation is on
    uint64_t m_nMaxBytes = 0; // 0: no rotation by size
    unsigned m_nKeep = 0;
    uint64_t m_nOutBytes = 0;   // the size of the output file, with what is buffered
    bool m_bOutRenamed = false; // the file in use became strPath.1, no new file yet
    Clock::time_point m_nextRotationTry;
};
