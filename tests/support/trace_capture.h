// Receives this process's trace records in a test: a log server inside the test process,
// on the real log pipe, keeping the records whose process id is this process's.
//
// Usage:
//     CTraceCapture capture;              // listening from here on
//     LogTrace(4, ".\\Vendrel", 58, "[Vendrel] cgiGetVars success");
//     std::vector<TraceRecord> records = capture.Records();
//     // records.back().strMessage == "[Vendrel][<exe>][Vendrel] cgiGetVars success"
//
// - Records() returns every record of trace calls that have returned before it was called,
//   in the order they were sent: it sends a marker through the pipe and waits (up to 10 s)
//   until the server thread has reached it.
// - On POSIX the constructor makes a pipe directory of its own and sets VENDREL_PIPE_DIR to
//   it, so tests may run in parallel; the destructor removes it and restores the variable.
// - On Windows it listens on the one real pipe "Log_ServerNamePipe": tests that use it must not
//   run at the same time as each other or as a vendrel-logd on that pipe. Give their CTest
//   tests the property RESOURCE_LOCK log_pipe (vendrel_trace_capture_tests() in
//   tests/support/CMakeLists.txt does it for a unit-test target).
// - Only one CTraceCapture may exist at a time in a process.
// - The trace gate closes after a failed send; call ResetTraceState() (trace_state.h) when a
//   test starts so that earlier failures do not swallow its records.
#pragma once

#include <cstdint>
#include <memory>
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
    // The message of the only record received, or a note of how many there were instead.
    std::string OnlyMessage();

    // Whether the pipe could be opened; when not, Records() stays empty.
    bool IsListening() const;

    struct CImpl;

private:
    std::unique_ptr<CImpl> m_pImpl;
};
