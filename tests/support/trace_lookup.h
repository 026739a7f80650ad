// Look-ups in captured trace records. Messages carry the prefix of the trace client, so they
// are matched by their tail.
#pragma once

#include "trace_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

bool EndsWith(const std::string& str, const std::string& strTail);
const TraceRecord* FindLine(const std::vector<TraceRecord>& records, int nLine);
int CountLine(const std::vector<TraceRecord>& records, int nLine);
std::vector<int> Lines(const std::vector<TraceRecord>& records);
// Asserts a record at nLine with this level whose message ends with strTail.
::testing::AssertionResult HasTrace(const std::vector<TraceRecord>& records, int nLine, int nLevel,
                                    const std::string& strTail);
