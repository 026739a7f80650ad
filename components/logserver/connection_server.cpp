#include "connection_server.h"

#include <chrono>
#include <cstdint>

CConnectionServer::CConnectionServer(std::unique_ptr<CPipeConnection> pConnection,
                                     CRecordWriter* pWriter)
    : m_pConnection(std::move(pConnection)), m_pWriter(pWriter)
{
}

bool CConnectionServer::ServeOneRead()
{
    uint8_t abBuffer[4096];
    size_t nRead = m_pConnection->Read(abBuffer, sizeof(abBuffer));
    if (nRead == 0)
    {
        m_assembler.Finish(&m_records);
    }
    else
    {
        m_assembler.Feed(abBuffer, nRead, &m_records);
    }
    for (const CAssembledRecord& record : m_records)
    {
        m_pWriter->Write(record);
    }
    m_records.clear();
    return nRead != 0;
}

bool CConnectionServer::ServeReady(int nWaitMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nWaitMs);
    for (;;)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (!m_pConnection->WaitReadable(left.count() > 0 ? int(left.count()) : 0))
        {
            return false;
        }
        if (!ServeOneRead())
        {
            return true;
        }
    }
}

void CConnectionServer::ServeToEnd()
{
    while (ServeOneRead())
    {
    }
}
