// Puts records together from the bytes of one connection: UTF-16LE units up to a NUL unit,
// however the writes that carried them were cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One piece of what a connection delivered: a complete record (its units without the NUL), or
// a fault with the units that belonged to it.
struct CAssembledRecord
{
    bool bComplete = true;
    std::string strFault; // why the units do not form a record, when bComplete is false
    std::u16string strUnits;
};

class CRecordAssembler
{
public:
    // Units a record may hold before it is given up as runaway; the rest up to its NUL unit is
    // dropped.
    static const size_t kMaxRecordUnits = 1 << 20;

    // Takes the next bytes and appends every record they complete to pRecords.
    void Feed(const uint8_t* pBytes, size_t nBytes, std::vector<CAssembledRecord>* pRecords);
    // The connection ended: anything left over is an incomplete record.
    void Finish(std::vector<CAssembledRecord>* pRecords);

private:
    std::u16string m_strUnits;
    bool m_bHaveOddByte = false;
    uint8_t m_bOddByte = 0;
    bool m_bSkipping = false;
};
