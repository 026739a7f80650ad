// One listing of the quarantine folder: what counts as a quarantined file, the folder's total as
// the program's own scan counts it, the filters, and the operations on one listed file, which
// leave alone whatever the name names once it is no longer the listed file.
#include "qtool_test_env.h"

#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace
{

class ListingTest : public CQtoolTest
{
protected:
    SFolderListing List()
    {
        SFolderListing listing;
        EXPECT_TRUE(m_dir.Open(Folder().c_str())) << m_dir.LastErrorText();
        EXPECT_TRUE(ListQuarantineFolder(&m_dir, &listing)) << m_dir.LastErrorText();
        return listing;
    }
    static std::vector<std::string> Names(const SFolderListing& listing)
    {
        std::vector<std::string> names;
        for (const SQuarantinedFile& file : listing.files)
        {
            names.push_back(file.entry.strName);
        }
        return names;
    }
    const SQuarantinedFile& Listed(const SFolderListing& listing, const std::string& strName)
    {
        for (const SQuarantinedFile& file : listing.files)
        {
            if (file.entry.strName == strName)
            {
                return file;
            }
        }
        ADD_FAILURE() << strName << " is not listed";
        return listing.files.front();
    }

    CFolderDir m_dir;
};

TEST_F(ListingTest, TakesOnlyRegularFilesOfTheFilingFormAndCountsTheRestApart)
{
    std::string strOld = File("PC7", 10 * kDay, "c", 1);
    std::string strMiddle = File("PC7", 3 * kDay, "aaaa");
    std::string strNew = File("HOST_A_B", kDay, "bb");
    // Same second: by name.
    std::string strSameB = File("B", 2 * kDay, "1");
    std::string strSameA = File("A", 2 * kDay, "22");
    Put(".store", std::string(8, '\0'));
    Put("notes.txt", "x");
    Put("PC7_1700000000.0x", "yy");
    Put("PC7_01700000000.0", "zz");
    MakeDirectory(InFolder("PC9_1700000000.0"));
    Put("..store.~abc123", "tmp");
    Put(".PC7_1800000000.0.~k3j9x2", "part");
    uint64_t nOtherEntries = 7;
#ifndef _WIN32
    // A link named like a quarantined file, and a FIFO: neither is a quarantined file.
    std::string strOutside = Home() + "/outside.bin";
    WriteWholeFile(strOutside, "outside, never listed as quarantined");
    fs::create_symlink(strOutside, InFolder("PC1_1600000000.0"));
    ASSERT_EQ(0, mkfifo(InFolder("PC2_1600000000.0").c_str(), 0600));
    nOtherEntries += 2;
#endif

    SFolderListing listing = List();
    EXPECT_EQ((std::vector<std::string>{strOld, strMiddle, strSameA, strSameB, strNew}),
              Names(listing));
    EXPECT_EQ(1u + 4 + 2 + 1 + 2, listing.nQuarantinedBytes);
    EXPECT_EQ("HOST_A_B", Listed(listing, strNew).Computer());
    EXPECT_EQ(m_nNow - kDay, Listed(listing, strNew).nSeconds);
    EXPECT_EQ(nOtherEntries, listing.nOtherEntries);
    ASSERT_EQ(2u, listing.leftovers.size());
    EXPECT_TRUE(listing.bStoreListed);
    EXPECT_EQ(kEntryFile, listing.store.eKind);
    EXPECT_EQ(static_cast<uint64_t>(ProgramTotal()), listing.nFolderTotal);
}

TEST_F(ListingTest, FolderTotalIsTheProgramsScanOfAFolderWithoutCache)
{
    File("PC7", kDay, std::string(1000, 'a'));
    File("PC8", kDay, std::string(234, 'b'));
    MakeDirectory(InFolder("sub"));
    WriteWholeFile(InFolder("sub") + VENDREL_DIR_SEP_STR "deep.bin", std::string(5000, 'd'));
    SFolderListing listing = List();
    EXPECT_FALSE(listing.bStoreListed);
    EXPECT_EQ(1234u, listing.nFolderTotal);
    EXPECT_EQ(1234, ProgramTotal());
}

TEST_F(ListingTest, AMissingFolderIsAFailureToOpen)
{
    CFolderDir dir;
    EXPECT_FALSE(dir.Open(InFolder("nowhere").c_str()));
    EXPECT_NE(0, dir.LastError());
    EXPECT_FALSE(dir.LastErrorText().empty());
}

TEST_F(ListingTest, FiltersTakeComputerAndAgeBounds)
{
    File("PC7", 10 * kDay, "1");
    File("PC7", 2 * kDay, "2");
    File("PC70", 2 * kDay, "3");
    File("PC8", 3600, "4");
    File("", 30 * kDay, "5");
    SFolderListing listing = List();
    const struct
    {
        const char* szName;
        SFileFilter filter;
        std::vector<std::string> expected;
    } kCases[] = {
        {"all",
         SFileFilter(),
         {"_" + std::to_string(m_nNow - 30 * kDay) + ".0",
          "PC7_" + std::to_string(m_nNow - 10 * kDay) + ".0",
          "PC70_" + std::to_string(m_nNow - 2 * kDay) + ".0",
          "PC7_" + std::to_string(m_nNow - 2 * kDay) + ".0",
          "PC8_" + std::to_string(m_nNow - 3600) + ".0"}},
    };
    for (const auto& c : kCases)
    {
        std::vector<std::string> got;
        for (const SQuarantinedFile& file : listing.files)
        {
            if (MatchesFilter(file, c.filter, m_nNow))
            {
                got.push_back(file.entry.strName);
            }
        }
        EXPECT_EQ(c.expected, got) << c.szName;
    }

    auto Count = [&](const SFileFilter& filter)
    {
        size_t n = 0;
        for (const SQuarantinedFile& file : listing.files)
        {
            n += MatchesFilter(file, filter, m_nNow) ? 1 : 0;
        }
        return n;
    };
    SFileFilter computer;
    computer.bComputer = true;
    computer.strComputer = "PC7";
    EXPECT_EQ(2u, Count(computer)) << "PC70 is another computer";
    computer.strComputer = "";
    EXPECT_EQ(1u, Count(computer)) << "the empty computer name";

    SFileFilter older;
    older.bOlderThan = true;
    older.nOlderThan = 2 * kDay;
    EXPECT_EQ(2u, Count(older)) << "filed exactly 2 days ago is not older than 2 days";
    older.nOlderThan = 2 * kDay - 1;
    EXPECT_EQ(4u, Count(older));
    older.nOlderThan = INT64_MAX;
    EXPECT_EQ(0u, Count(older));

    SFileFilter newer;
    newer.bNewerThan = true;
    newer.nNewerThan = 3600;
    EXPECT_EQ(0u, Count(newer)) << "filed exactly an hour ago is not newer than an hour";
    newer.nNewerThan = 3 * kDay;
    EXPECT_EQ(3u, Count(newer));
    newer.nNewerThan = INT64_MAX;
    EXPECT_EQ(5u, Count(newer));

    SFileFilter since;
    since.bSince = true;
    since.nSince = 3600;
    EXPECT_EQ(1u, Count(since)) << "within the age, its bound included";

    SFileFilter both = older;
    both.nOlderThan = kDay;
    both.bComputer = true;
    both.strComputer = "PC7";
    EXPECT_EQ(2u, Count(both));
}

TEST_F(ListingTest, DeletesTheListedFileAndNothingThatTookItsName)
{
    std::string strSame = File("PC1", kDay, "same");
    std::string strReplaced = File("PC2", kDay, "same");
    std::string strGrown = File("PC3", kDay, "grow");
    std::string strGone = File("PC4", kDay, "gone");
    std::string strNowDir = File("PC5", kDay, "dir!");
    SFolderListing listing = List();

    // Another file under the same name and of the same size: another identity.
    ASSERT_TRUE(DeleteFileA(InFolder(strReplaced).c_str()));
    Put(strReplaced, "SAME");
    Put(strGrown, "grown");
    ASSERT_TRUE(DeleteFileA(InFolder(strGone).c_str()));
    ASSERT_TRUE(DeleteFileA(InFolder(strNowDir).c_str()));
    MakeDirectory(InFolder(strNowDir));

    EXPECT_EQ(kFileDone, m_dir.DeleteListed(Listed(listing, strSame).entry));
    EXPECT_FALSE(PathExists(InFolder(strSame)));
    EXPECT_EQ(kFileChanged, m_dir.DeleteListed(Listed(listing, strReplaced).entry));
    EXPECT_EQ("SAME", ReadWholeFile(InFolder(strReplaced)));
    EXPECT_EQ(kFileChanged, m_dir.DeleteListed(Listed(listing, strGrown).entry));
    EXPECT_EQ("grown", ReadWholeFile(InFolder(strGrown)));
    EXPECT_EQ(kFileGone, m_dir.DeleteListed(Listed(listing, strGone).entry));
    EXPECT_EQ(kFileChanged, m_dir.DeleteListed(Listed(listing, strNowDir).entry));
    EXPECT_TRUE(fs::is_directory(fs::u8path(InFolder(strNowDir))));
}

TEST_F(ListingTest, AFileAnotherProcessHoldsIsNotDeletedUnderIt)
{
    std::string strHeld = File("PC1", kDay, "held");
    SFolderListing listing = List();
    // Held as the program's readers hold a file: shared for reading, not for deletion.
    HANDLE hFile = OpenForRead(InFolder(strHeld));
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    EXPECT_EQ(kFileFailed, m_dir.DeleteListed(Listed(listing, strHeld).entry));
    CloseHandle(hFile);
    EXPECT_EQ("held", ReadWholeFile(InFolder(strHeld)));
    EXPECT_EQ(kFileDone, m_dir.DeleteListed(Listed(listing, strHeld).entry));
}

#ifndef _WIN32
TEST_F(ListingTest, ALinkPutInPlaceOfAListedFileIsNeitherFollowedNorDeleted)
{
    std::string strOutside = Home() + "/outside.bin";
    WriteWholeFile(strOutside, "1234");
    std::string strName = File("PC1", kDay, "abcd");
    SFolderListing listing = List();
    ASSERT_TRUE(DeleteFileA(InFolder(strName).c_str()));
    fs::create_symlink(strOutside, InFolder(strName));

    EXPECT_EQ(kFileChanged, m_dir.DeleteListed(Listed(listing, strName).entry));
    CSha256 hash;
    uint64_t nBytes = 0;
    EXPECT_EQ(kFileChanged, m_dir.HashListed(Listed(listing, strName).entry, &hash, &nBytes));
    EXPECT_EQ(0u, nBytes);
    EXPECT_TRUE(fs::is_symlink(InFolder(strName)));
    EXPECT_EQ("1234", ReadWholeFile(strOutside));
}
#endif

TEST_F(ListingTest, ReadsTheListedFileOnceForItsDigest)
{
    std::string strName = File("PC1", kDay, "abc");
    std::string strChanged = File("PC2", kDay, "abc");
    SFolderListing listing = List();
    Put(strChanged, "abcd");

    CSha256 hash;
    uint64_t nBytes = 0;
    ASSERT_EQ(kFileDone, m_dir.HashListed(Listed(listing, strName).entry, &hash, &nBytes));
    EXPECT_EQ(3u, nBytes);
    char szHex[kSha256HexChars + 1];
    ASSERT_TRUE(hash.Finish(szHex, sizeof(szHex)));
    EXPECT_STREQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", szHex);

    CSha256 other;
    EXPECT_EQ(kFileChanged, m_dir.HashListed(Listed(listing, strChanged).entry, &other, &nBytes));
}

} // namespace
