#include "trace_lookup.h"

#include "trace.h"

#include <algorithm>

bool EndsWith(const std::string& str, const std::string& strTail)
{
    return str.size() >= strTail.size() &&
           str.compare(str.size() - strTail.size(), strTail.size(), strTail) == 0;
}

const TraceRecord* FindLine(const std::vector<TraceRecord>& records, int nLine)
{
    for (const TraceRecord& record : records)
    {
        if (record.nLine == nLine)
        {
            return &record;
        }
    }
    return nullptr;
}

int CountLine(const std::vector<TraceRecord>& records, int nLine)
{
    return static_cast<int>(std::count_if(records.begin(), records.end(),
                                          [nLine](const TraceRecord& record)
                                          { return record.nLine == nLine; }));
}

std::vector<int> Lines(const std::vector<TraceRecord>& records)
{
    std::vector<int> lines;
    for (const TraceRecord& record : records)
    {
        lines.push_back(record.nLine);
    }
    return lines;
}

::testing::AssertionResult HasTrace(const std::vector<TraceRecord>& records, int nLine, int nLevel,
                                    const std::string& strTail)
{
    const TraceRecord* pRecord = FindLine(records, nLine);
    if (pRecord == nullptr)
    {
        return ::testing::AssertionFailure() << "no trace at line " << nLine;
    }
    if (pRecord->nLevel != nLevel || pRecord->strSource != VENDREL_TRACE_SOURCE ||
        !EndsWith(pRecord->strMessage, strTail))
    {
        return ::testing::AssertionFailure()
               << "line " << nLine << ": level " << pRecord->nLevel << ", source "
               << pRecord->strSource << ", message \"" << pRecord->strMessage
               << "\"; expected level " << nLevel << " and a message ending \"" << strTail << "\"";
    }
    return ::testing::AssertionSuccess();
}
