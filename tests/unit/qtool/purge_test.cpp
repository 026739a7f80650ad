// purge and rescan: exactly the files asked for are deleted, one trace record each and one for
// the summary; nothing else is touched; ".store" ends equal to the folder's total as the program
// counts it; leftovers of killed writers go once they are an hour old.
#include "qtool_test_env.h"

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace
{

class PurgeTest : public CQtoolTest
{
protected:
    void Plant()
    {
        m_strA = File("PC7", 100 * kDay, std::string(100, 'a'));
        m_strB = File("PC8", 50 * kDay, std::string(200, 'b'));
        m_strC = File("PC7", 20 * kDay, std::string(300, 'c'));
        m_strD = File("PC7", kDay, std::string(400, 'd'));
        Put("notes.txt", "keep me");
        MakeDirectory(InFolder("PC9_1000000000.0"));
        Put(".store", std::string(8, '\x01'));
#ifndef _WIN32
        m_strOutside = Home() + "/outside.bin";
        WriteWholeFile(m_strOutside, "the link's target, never touched");
        fs::create_symlink(m_strOutside, InFolder("PC1_1000000000.0"));
#endif
    }
    // The snapshot less the named entries, and with .store as it is now.
    std::vector<SSnapshotEntry> Without(std::vector<SSnapshotEntry> entries,
                                        const std::vector<std::string>& names) const
    {
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const SSnapshotEntry& entry)
                                     {
                                         return entry.strName == ".store" ||
                                                std::find(names.begin(), names.end(),
                                                          entry.strName) != names.end();
                                     }),
                      entries.end());
        return entries;
    }
    std::vector<SSnapshotEntry> SnapshotWithoutStore() const
    {
        return Without(Snapshot(), {});
    }
    void ExpectStoreIsTheProgramsTotal()
    {
        int64_t nStore = StoreValue();
        EXPECT_EQ(ProgramTotal(), nStore);
    }
    void ExpectLinkTargetUntouched()
    {
#ifndef _WIN32
        EXPECT_EQ("the link's target, never touched", ReadWholeFile(m_strOutside));
        EXPECT_TRUE(fs::is_symlink(InFolder("PC1_1000000000.0")));
#endif
    }
    std::vector<std::string> DeletionMessages()
    {
        std::vector<std::string> deleted;
        for (const std::string& strMessage : ToolMessages())
        {
            std::string strFile = "[vendrel-quarantine:purge] deleted " + Folder();
            if (strMessage.compare(0, strFile.size(), strFile) == 0)
            {
                deleted.push_back(strMessage);
            }
        }
        return deleted;
    }

    std::string m_strA, m_strB, m_strC, m_strD, m_strOutside;
};

TEST_F(PurgeTest, OlderThanDeletesExactlyTheOlderFilesAndTracesEach)
{
    Plant();
    std::vector<SSnapshotEntry> before = Snapshot();
    SToolRun run = Run({"purge", "--older-than", "30d"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    EXPECT_EQ(Without(before, {m_strA, m_strB}), SnapshotWithoutStore());
    ExpectLinkTargetUntouched();
    ExpectStoreIsTheProgramsTotal();

    std::vector<std::string> lines = Lines(run.strOut);
    ASSERT_EQ(3u, lines.size()) << run.strOut;
    EXPECT_TRUE(Contains(lines[0], "  PC7  " + m_strA)) << lines[0];
    EXPECT_TRUE(Contains(lines[1], "  PC8  " + m_strB)) << lines[1];
    EXPECT_EQ(0u, lines[2].find("purge: deleted 2 files, 300 bytes (filed before ")) << lines[2];

    std::vector<std::string> messages = ToolMessages();
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ("[vendrel-quarantine:purge] deleted " + InFolder(m_strA) +
                  " (100 bytes, computer PC7, filed " + Lines(run.strOut)[0].substr(0, 20) + ")",
              messages[0]);
    EXPECT_EQ(0u, messages[1].find("[vendrel-quarantine:purge] deleted " + InFolder(m_strB)));
    EXPECT_EQ(0u, messages[2].find("[vendrel-quarantine:purge] deleted 2 files, 300 bytes"));
    EXPECT_TRUE(Contains(messages[2], ".store " + std::to_string(StoreValue()) + " bytes"));
}

TEST_F(PurgeTest, KeepBytesDeletesTheOldestUntilTheRestFits)
{
    Plant();
    std::vector<SSnapshotEntry> before = Snapshot();
    // 1000 bytes in all: 100 and 200 go, 700 stay.
    SToolRun run = Run({"purge", "--keep-bytes", "700"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    EXPECT_EQ(Without(before, {m_strA, m_strB}), SnapshotWithoutStore());
    ExpectStoreIsTheProgramsTotal();
    EXPECT_EQ(2u, DeletionMessages().size());

    // Within the bound already: nothing goes.
    SToolRun again = Run({"purge", "--keep-bytes", "1K"});
    ASSERT_EQ(0, again.nStatus) << again.strErr;
    EXPECT_EQ(Without(before, {m_strA, m_strB}), SnapshotWithoutStore());
}

TEST_F(PurgeTest, OneComputerAtATime)
{
    Plant();
    std::vector<SSnapshotEntry> before = Snapshot();
    SToolRun run = Run({"purge", "--older-than", "10d", "--computer", "PC7"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    EXPECT_EQ(Without(before, {m_strA, m_strC}), SnapshotWithoutStore());

    // The bound with a computer counts that computer's files: PC7 keeps 400 of its bytes.
    Put(m_strA, std::string(100, 'a'));
    Put(m_strC, std::string(300, 'c'));
    SToolRun keep = Run({"purge", "--keep-bytes", "450", "--computer", "PC7"});
    ASSERT_EQ(0, keep.nStatus) << keep.strErr;
    EXPECT_EQ(Without(before, {m_strA, m_strC}), SnapshotWithoutStore());
    ExpectStoreIsTheProgramsTotal();
}

TEST_F(PurgeTest, DryRunListsTheSameFilesAndChangesNothing)
{
    Plant();
    Put("..store.~abc123", "left by a killed writer");
    Age("..store.~abc123", 7200);
    std::vector<SSnapshotEntry> before = Snapshot();
    SToolRun dry = Run({"purge", "--older-than", "30d", "--dry-run"});
    ASSERT_EQ(0, dry.nStatus) << dry.strErr;
    EXPECT_EQ(before, Snapshot());
    EXPECT_TRUE(ToolMessages().empty());
    std::vector<std::string> lines = Lines(dry.strOut);
    ASSERT_EQ(4u, lines.size()) << dry.strOut;
    EXPECT_EQ(0u, lines[2].find("would remove leftover ..store.~abc123"));
    EXPECT_EQ(0u, lines[3].find("purge (dry run): would delete 2 files, 300 bytes"));

    SToolRun real = Run({"purge", "--older-than", "30d"});
    ASSERT_EQ(0, real.nStatus) << real.strErr;
    EXPECT_EQ(lines[0] + "\n" + lines[1] + "\n",
              real.strOut.substr(0, lines[0].size() + lines[1].size() + 2));
}

TEST_F(PurgeTest, RetentionDecidesWithoutOptionsAndZeroKeepsForever)
{
    Plant();
    std::vector<SSnapshotEntry> before = Snapshot();
    SToolRun unset = Run({"purge"});
    ASSERT_EQ(0, unset.nStatus) << unset.strErr;
    EXPECT_TRUE(Contains(unset.strOut, "Quarantine_Retention_Days is 0 or not set"))
        << unset.strOut;
    EXPECT_TRUE(Contains(unset.strOut, "nothing deleted"));
    EXPECT_EQ(before, Snapshot());

    Configure("Quarantine_Retention_Days=0\n");
    EXPECT_EQ(0, Run({"purge"}).nStatus);
    EXPECT_EQ(before, Snapshot());
    EXPECT_TRUE(ToolMessages().empty());

    Configure("quarantine_retention_days = 30\n");
    SToolRun thirty = Run({"purge"});
    ASSERT_EQ(0, thirty.nStatus) << thirty.strErr;
    EXPECT_EQ(Without(before, {m_strA, m_strB}), SnapshotWithoutStore());
    ExpectStoreIsTheProgramsTotal();
}

TEST_F(PurgeTest, ARetentionThatIsNoWholeNumberDeletesNothing)
{
    Plant();
    std::vector<SSnapshotEntry> before = Snapshot();
    for (const char* szValue : {"30x", "-5", "thirty", "1e3", "99999999999"})
    {
        Configure(std::string("Quarantine_Retention_Days=") + szValue + "\n");
        SToolRun run = Run({"purge"});
        EXPECT_EQ(1, run.nStatus) << szValue;
        EXPECT_TRUE(Contains(run.strErr, std::string("Quarantine_Retention_Days=") + szValue))
            << run.strErr;
        EXPECT_EQ(before, Snapshot()) << szValue;
    }
    EXPECT_TRUE(ToolMessages().empty());
}

TEST_F(PurgeTest, AFileThatCannotBeDeletedFailsThePurgeButNotTheOthers)
{
    Plant();
    HANDLE hHeld = OpenForRead(InFolder(m_strA));
    ASSERT_NE(INVALID_HANDLE_VALUE, hHeld);
    SToolRun run = Run({"purge", "--older-than", "30d"});
    CloseHandle(hHeld);
    EXPECT_EQ(1, run.nStatus);
    EXPECT_TRUE(PathExists(InFolder(m_strA)));
    EXPECT_FALSE(PathExists(InFolder(m_strB)));
    EXPECT_TRUE(Contains(run.strErr, "cannot delete " + InFolder(m_strA))) << run.strErr;
    EXPECT_TRUE(Contains(run.strOut, "deleted 1 files, 200 bytes")) << run.strOut;
    EXPECT_TRUE(Contains(run.strOut, "; 1 not deleted;")) << run.strOut;
    std::vector<std::string> messages = ToolMessages();
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ(0u,
              messages[0].find("[vendrel-quarantine:purge] could not delete " + InFolder(m_strA)));
    ExpectStoreIsTheProgramsTotal();
}

TEST_F(PurgeTest, OldLeftoversGoYoungOnesStay)
{
    Plant();
    Put("..store.~abc123", "old replacement");
    Age("..store.~abc123", 3601 + 60);
    Put(".PC7_1000000000.0.~k3j9x2", "young copy");
    Age(".PC7_1000000000.0.~k3j9x2", 600);
    // Shaped like a leftover but a directory: never deleted.
    MakeDirectory(InFolder(".dir.~zzzzzz"));
    std::vector<SSnapshotEntry> before = Snapshot();

    SToolRun run = Run({"rescan"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    EXPECT_EQ(Without(before, {"..store.~abc123"}), SnapshotWithoutStore());
    EXPECT_TRUE(Contains(run.strOut, "removed leftover ..store.~abc123 (15 bytes")) << run.strOut;
    ExpectStoreIsTheProgramsTotal();
    std::vector<std::string> messages = ToolMessages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("[vendrel-quarantine:rescan] removed leftover " + InFolder("..store.~abc123") +
                  " (15 bytes)",
              messages[0]);

    Age(".PC7_1000000000.0.~k3j9x2", 3600);
    SToolRun purge = Run({"purge", "--older-than", "1000d"});
    ASSERT_EQ(0, purge.nStatus) << purge.strErr;
    EXPECT_FALSE(PathExists(InFolder(".PC7_1000000000.0.~k3j9x2")));
    EXPECT_TRUE(fs::is_directory(fs::u8path(InFolder(".dir.~zzzzzz"))));
    ExpectStoreIsTheProgramsTotal();
}

TEST_F(PurgeTest, RescanPrintsTheOldAndNewValue)
{
    Plant();
    SToolRun run = Run({"rescan"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    ExpectStoreIsTheProgramsTotal();
    EXPECT_EQ((std::vector<std::string>{"old .store: 72340172838076673 bytes",
                                        "new .store: " + std::to_string(StoreValue()) +
                                            " bytes (4 quarantined files)"}),
              Lines(run.strOut));
    std::vector<std::string> messages = ToolMessages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("[vendrel-quarantine:rescan] .store 72340172838076673 bytes -> " +
                  std::to_string(StoreValue()) + " bytes",
              messages[0]);

    // Files deleted by hand: rescan brings the cache back to the folder.
    ASSERT_TRUE(DeleteFileA(InFolder(m_strD).c_str()));
    int64_t nBefore = StoreValue();
    ASSERT_EQ(0, Run({"rescan"}).nStatus);
    EXPECT_EQ(nBefore - 400, StoreValue());

    // A missing cache: the new one counts its own 8 bytes, as the next scan will.
    ASSERT_TRUE(DeleteFileA(InFolder(".store").c_str()));
    SToolRun missing = Run({"rescan"});
    ASSERT_EQ(0, missing.nStatus);
    EXPECT_EQ("old .store: missing", Lines(missing.strOut)[0]);
    ExpectStoreIsTheProgramsTotal();
    EXPECT_EQ(nBefore - 400, StoreValue());
}

TEST_F(PurgeTest, PurgeOfAnEmptySelectionStillRewritesTheCache)
{
    File("PC7", kDay, "fresh");
    Put(".store", std::string(12, '\x7f'));
    SToolRun run = Run({"purge", "--older-than", "30d"});
    ASSERT_EQ(0, run.nStatus) << run.strErr;
    EXPECT_EQ(0u, run.strOut.find("purge: deleted 0 files, 0 bytes"));
    ExpectStoreIsTheProgramsTotal();
}

#ifndef _WIN32
TEST_F(PurgeTest, TheCacheRootWritesStaysTheFolderOwners)
{
    // This test runs as root, as the test command does; the folder belongs to another account.
    ASSERT_EQ(0u, geteuid()) << "the test command runs as root";
    Plant();
    const uid_t kOwner = 65534;
    ASSERT_EQ(0, chown(Folder().c_str(), kOwner, kOwner));
    ASSERT_EQ(0, Run({"rescan"}).nStatus);
    struct stat st;
    ASSERT_EQ(0, lstat(InFolder(".store").c_str(), &st));
    EXPECT_EQ(kOwner, st.st_uid);
    EXPECT_EQ(kOwner, st.st_gid);
    // The link's target keeps its owner: only the cache changed hands.
    ASSERT_EQ(0, stat(m_strOutside.c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
}
#endif

} // namespace
