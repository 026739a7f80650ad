#include "connection_server.h"

#include <cstdint>
#include <vector>

void ServeConnection(CPipeConnection* pConnection, CRecordWriter* pWriter)
{
    CRecordAssembler assembler;
    std::vector<CAssembledRecord> records;
    uint8_t abBuffer[4096];
    for (;;)
    {
        size_t nRead = pConnection->Read(abBuffer, sizeof(abBuffer));
        if (nRead == 0)
        {
            break;
        }
        assembler.Feed(abBuffer, nRead, &records);
        for (const CAssembledRecord& record : records)
        {
            pWriter->Write(record);
        }
        records.clear();
    }
    assembler.Finish(&records);
    for (const CAssembledRecord& record : records)
    {
        pWriter->Write(record);
    }
}
