#include "trace_capture.h"

#include "capture_pipe_dir.h"
#include "log_record_parse.h"
#include "pipe_listener.h"
#include "platform.h"
#include "record_assembler.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// The marker that Records() sends through the pipe to learn that all before it has arrived.
static const char16_t kSyncPrefix[] = u"VENDREL_CAPTURE_SYNC\t";
static const char kPipeName[] = "Log_ServerNamePipe";
static const int kSyncWaitSeconds = 10;

struct CTraceCapture::CImpl
{
    CPipeListener m_listener;
    bool m_bListening = false;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_synced;
    std::vector<TraceRecord> m_records;
    unsigned long m_nSyncSent = 0;
    unsigned long m_nSyncSeen = 0;
    CPipeDirectoryScope m_pipeDir;

    void Serve();
    void Take(const CAssembledRecord& record);
    bool SendSync(unsigned long nSync);
};

void CTraceCapture::CImpl::Take(const CAssembledRecord& record)
{
    const std::u16string strPrefix = kSyncPrefix;
    if (record.bComplete && record.strUnits.compare(0, strPrefix.size(), strPrefix) == 0)
    {
        unsigned long nSync = 0;
        for (size_t i = strPrefix.size(); i < record.strUnits.size(); i++)
        {
            nSync = nSync * 10 + unsigned(record.strUnits[i] - u'0');
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (nSync > m_nSyncSeen)
        {
            m_nSyncSeen = nSync;
        }
        m_synced.notify_all();
        return;
    }
    CLogRecord parsed;
    std::string strError;
    if (!record.bComplete || !ParseLogRecord(record.strUnits, &parsed, &strError) ||
        parsed.dwProcessId != GetCurrentProcessId())
    {
        return;
    }
    TraceRecord traced;
    traced.strCommand = parsed.strCommand;
    traced.nTime = parsed.nTime;
    traced.dwProcessId = parsed.dwProcessId;
    traced.dwThreadId = parsed.dwThreadId;
    traced.nLevel = parsed.nLevel;
    traced.strSource = parsed.strSource;
    traced.nLine = parsed.nLine;
    traced.strMessage = parsed.strMessage;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(std::move(traced));
}

// One connection at a time, in the order the clients connected: every client writes its
// record and closes before its trace call returns, so that order is the order of the calls.
void CTraceCapture::CImpl::Serve()
{
    for (;;)
    {
        std::unique_ptr<CPipeConnection> pConnection = m_listener.Accept();
        if (!pConnection)
        {
            return;
        }
        CRecordAssembler assembler;
        std::vector<CAssembledRecord> records;
        uint8_t abBuffer[4096];
        size_t nRead = 0;
        while ((nRead = pConnection->Read(abBuffer, sizeof(abBuffer))) > 0)
        {
            assembler.Feed(abBuffer, nRead, &records);
        }
        assembler.Finish(&records);
        for (const CAssembledRecord& record : records)
        {
            Take(record);
        }
    }
}

bool CTraceCapture::CImpl::SendSync(unsigned long nSync)
{
    std::u16string strSync = kSyncPrefix;
    for (char c : std::to_string(nSync))
    {
        strSync.push_back(char16_t(c));
    }
    std::vector<WCHAR> wszPipe;
    for (const char* p = "\\\\.\\pipe\\"; *p; p++)
    {
        wszPipe.push_back(WCHAR(*p));
    }
    for (const char* p = kPipeName; *p; p++)
    {
        wszPipe.push_back(WCHAR(*p));
    }
    wszPipe.push_back(0);
    HANDLE hPipe = INVALID_HANDLE_VALUE;
    for (int nTry = 0; nTry < 50 && hPipe == INVALID_HANDLE_VALUE; nTry++)
    {
        hPipe = CreateFileW(wszPipe.data(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (hPipe == INVALID_HANDLE_VALUE)
        {
            if (GetLastError() != ERROR_PIPE_BUSY)
            {
                return false;
            }
            WaitNamedPipeW(wszPipe.data(), 200);
        }
    }
    if (hPipe == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    // Little-endian UTF-16 with its NUL unit, whatever the width of WCHAR's host.
    std::vector<BYTE> abRecord;
    for (char16_t cu : strSync)
    {
        abRecord.push_back(BYTE(cu & 0xFF));
        abRecord.push_back(BYTE(cu >> 8));
    }
    abRecord.push_back(0);
    abRecord.push_back(0);
    DWORD dwWritten = 0;
    BOOL bOk = WriteFile(hPipe, abRecord.data(), DWORD(abRecord.size()), &dwWritten, NULL);
    CloseHandle(hPipe);
    return bOk && dwWritten == abRecord.size();
}

CTraceCapture::CTraceCapture() : m_pImpl(new CImpl)
{
    EnterPipeDirectory(&m_pImpl->m_pipeDir);
    std::string strError;
    m_pImpl->m_bListening = m_pImpl->m_listener.Open(kPipeName, &strError);
    if (!m_pImpl->m_bListening)
    {
        fprintf(stderr, "CTraceCapture: %s\n", strError.c_str());
        return;
    }
    CImpl* pImpl = m_pImpl.get();
    m_pImpl->m_thread = std::thread([pImpl]() { pImpl->Serve(); });
}

CTraceCapture::~CTraceCapture()
{
    if (m_pImpl->m_bListening)
    {
        m_pImpl->m_listener.Stop();
        m_pImpl->m_thread.join();
    }
    LeavePipeDirectory(&m_pImpl->m_pipeDir);
}

bool CTraceCapture::IsListening() const
{
    return m_pImpl->m_bListening;
}

std::vector<TraceRecord> CTraceCapture::Records()
{
    if (m_pImpl->m_bListening)
    {
        unsigned long nSync = 0;
        {
            std::lock_guard<std::mutex> lock(m_pImpl->m_mutex);
            nSync = ++m_pImpl->m_nSyncSent;
        }
        if (m_pImpl->SendSync(nSync))
        {
            std::unique_lock<std::mutex> lock(m_pImpl->m_mutex);
            m_pImpl->m_synced.wait_for(lock, std::chrono::seconds(kSyncWaitSeconds),
                                       [this, nSync]() { return m_pImpl->m_nSyncSeen >= nSync; });
        }
    }
    std::lock_guard<std::mutex> lock(m_pImpl->m_mutex);
    return m_pImpl->m_records;
}

void CTraceCapture::Clear()
{
    // Records still on their way belong before the clearing.
    Records();
    std::lock_guard<std::mutex> lock(m_pImpl->m_mutex);
    m_pImpl->m_records.clear();
}

std::string CTraceCapture::OnlyMessage()
{
    std::vector<TraceRecord> records = Records();
    if (records.size() != 1)
    {
        return "<" + std::to_string(records.size()) + " records>";
    }
    return records[0].strMessage;
}
