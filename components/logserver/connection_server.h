// Reads one client's records and writes each as soon as it is complete.
#pragma once

#include "pipe_listener.h"
#include "record_assembler.h"
#include "record_writer.h"

#include <memory>
#include <vector>

class CConnectionServer
{
public:
    CConnectionServer(std::unique_ptr<CPipeConnection> pConnection, CRecordWriter* pWriter);

    // Serves whatever arrives without waiting for more than nWaitMs in all; true once the
    // client has closed. A client normally writes and closes before it is even accepted, so
    // this finishes it at once; one that is still writing when the time is up is not done.
    bool ServeReady(int nWaitMs);
    // Serves until the client closes, however long that takes.
    void ServeToEnd();

private:
    // One read; false once the client has closed and its last records are written.
    bool ServeOneRead();

    std::unique_ptr<CPipeConnection> m_pConnection;
    CRecordWriter* m_pWriter;
    CRecordAssembler m_assembler;
    std::vector<CAssembledRecord> m_records;
};
