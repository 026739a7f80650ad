// The whole request under fuzzing: one installation in a temporary directory, a log server
// thread that reads and drops every record, and the request handler run once per input with
// that input as its CGI request. Every run is checked against what must hold whatever the
// request: one of the three answers, nothing outside the upload directory and the quarantine
// folder touched, an upload filed only when answered OK.
#pragma once

#include <cstddef>
#include <cstdint>

enum class EAnswer
{
    Empty,  // the headers alone
    Ok,     // "Vendrel_OK"
    Failed, // "Vendrel_FAILED"
    Any,    // (seeds only) whatever the answer
};

void RequestFuzzInit();
// Runs one input; aborts with a report on standard error when something that must hold did not.
EAnswer RequestFuzzOne(const uint8_t* pData, size_t nSize);

struct CRequestSeed
{
    const char* szName;
    const char* pData;
    size_t nSize;
    EAnswer eExpected;
};
extern const CRequestSeed g_requestSeeds[];
extern const size_t g_nRequestSeeds;
