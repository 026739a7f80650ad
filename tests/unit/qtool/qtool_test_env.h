// What the tests of vendrel-quarantine share: an installation per test (home, server.ini, the
// quarantine folder "<home>/Virus"), "now" held still, a trace capture, and the whole command run
// in this process with its output, error output and exit status.
#pragma once

#include "folder_dir.h"
#include "folder_listing.h"
#include "temp_home.h"
#include "test_env.h"
#include "test_files.h"
#include "trace_capture.h"

#include "platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

struct SToolRun
{
    int nStatus = -1;
    std::string strOut;
    std::string strErr;
};

// One entry of a folder as a test compares it before and after a command.
struct SSnapshotEntry
{
    std::string strName;
    std::string strWhat; // "file:<content>", "dir", "link:<target>", "other"
    bool operator==(const SSnapshotEntry& other) const
    {
        return strName == other.strName && strWhat == other.strWhat;
    }
};
std::ostream& operator<<(std::ostream& os, const SSnapshotEntry& entry);

class CQtoolTest : public ::testing::Test
{
protected:
    static const int64_t kDay = 86400;

    void SetUp() override;
    void TearDown() override;

    // Rewrites server.ini: Quarantine_Folder=<home>/Virus and the extra lines.
    void Configure(const std::string& strExtraLines = "") const;
    std::string Home() const { return m_pHome->Path(); }
    std::string Folder() const { return m_pHome->Join("Virus"); }
    std::string InFolder(const std::string& strName) const;

    // A quarantined file of computer filed nAgeSeconds before m_nNow, number n; answers its name.
    std::string File(const std::string& strComputer, int64_t nAgeSeconds,
                     const std::string& strContent, int n = 0) const;
    void Put(const std::string& strName, const std::string& strContent) const;
    // Moves the entry's last write nSeconds into the past.
    void Age(const std::string& strName, int64_t nSeconds) const;
    // The size cache's value, or -1 when it is missing or not 8 bytes.
    int64_t StoreValue() const;
    // The folder's total as the program's own size scan counts it now (getFolderSize with the
    // cache out of the way: its 8 bytes are counted as a later scan counts them).
    int64_t ProgramTotal() const;
    std::vector<SSnapshotEntry> Snapshot() const;

    // Runs "vendrel-quarantine --home <home> <args>".
    SToolRun Run(std::initializer_list<std::string> args);
    // Without --home: the arguments as given.
    SToolRun RunBare(const std::vector<std::string>& args, const char* szKelsioHome,
                     const char* szConfiguredHome = "");
    std::vector<TraceRecord> Records() { return m_pCapture->Records(); }
    // The messages of the records this process sent with the command's source tag, prefix cut.
    std::vector<std::string> ToolMessages();

    // "Now" of the test, held still: the command's clock answers it, and filing times are given
    // relative to it. The clock's own time, so that files' last writes agree with it.
    int64_t m_nNow = 0;
    std::unique_ptr<CTempHome> m_pHome;
    std::unique_ptr<CTraceCapture> m_pCapture;
    CSavedEnvVar m_savedHome;
};

// The lines of a text.
std::vector<std::string> Lines(const std::string& strText);
bool Contains(const std::string& strText, const std::string& strPart);
