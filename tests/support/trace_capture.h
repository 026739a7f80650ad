// Receives this process's trace records in a test: a log server inside the test process,
// on the real log pipe, keeping the records whose process id is this process's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TraceRecord
{
    std::string strCommand; // "LOG_WRITE"
    int32_t nTime = 0;
    uint32_t dwProcessId = 0;
    uint32_t dwThreadId = 0;
    int32_t nLevel = 0;
    std::string strSource; // UTF-8
    int32_t nLine = 0;
    std::string strMessage; // UTF-8, prefix included
};

class CTraceCapture
{
public:
    // Starts listening on the log pipe (on POSIX in a pipe directory of its own).
    CTraceCapture();
    ~CTraceCapture();
    CTraceCapture(const CTraceCapture&) = delete;
    CTraceCapture& operator=(const CTraceCapture&) = delete;

    // Every record of this process received so far, in the order sent. Records of trace calls
    // that have returned are all there.
    std::vector<TraceRecord> Records();
    void Clear();
};
