// What the quarantine tests share: a home directory per test with its server.ini and
// KELSIO_HOME pointing at it, a trace capture, and byte-level helpers.
#pragma once

#include "quarantine.h"
#include "system_calls.h"
#include "temp_home.h"
#include "test_env.h"
#include "test_files.h"
#include "trace_capture.h"
#include "trace_lookup.h"

#include "platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A test with a home directory whose server.ini names the folder "<home>/Q" (created), and a
// trace capture; hooks and trace state are reset around each test.
class CQuarantineTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Rewrites server.ini: the folder "<home>/Q" and the extra lines given.
    void Configure(const std::string& strExtraLines = "") const;
    std::string Folder() const { return m_pHome->Join("Q"); }
    std::string StorePath() const;
    std::vector<TraceRecord> Records() { return m_pCapture->Records(); }

    std::unique_ptr<CTempHome> m_pHome;
    std::unique_ptr<CTraceCapture> m_pCapture;
};

// A file of nSize bytes that takes no room on disk (a hole).
void MakeSparseFile(const std::string& strPath, uint64_t nSize);
// The 8 little-endian bytes of nValue, and the value of the first 8 bytes of a text.
std::string LittleEndian64(int64_t nValue);
int64_t FromLittleEndian64(const std::string& strBytes);
// Moves a file's last-write time by nSeconds (negative: into the past).
void ShiftLastWriteTime(const std::string& strPath, long long nSeconds);
// The last-write time as the file system reports it to CreateFileA/GetFileTime.
FILETIME LastWriteTime(const std::string& strPath);
// The stand-in for "now" that the GetSystemTimeAsFileTime entry answers while installed.
extern uint64_t g_nFakeNow;
void WINAPI FakeSystemTime(LPFILETIME pTime);
