// MoveFileA: moves and renames that never replace, and their errors.
#include "temp_home.h"
#include "test_files.h"

#include <filesystem>

class MoveTest : public CTempDirTest
{
};

TEST_F(MoveTest, MovesFileIntoAnotherDirectory)
{
    std::filesystem::create_directory(Path("to"));
    ASSERT_TRUE(WriteWholeFile(Path("from"), "payload"));
    ASSERT_TRUE(MoveFileA(Path("from").c_str(), Path("to" VENDREL_DIR_SEP_STR "moved").c_str()));
    EXPECT_EQ("payload", ReadWholeFile(Path("to" VENDREL_DIR_SEP_STR "moved")));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(Path("from").c_str()));
}

TEST_F(MoveTest, NeverReplacesAnExistingTarget)
{
    ASSERT_TRUE(WriteWholeFile(Path("from"), "new"));
    ASSERT_TRUE(WriteWholeFile(Path("to"), "old"));
    EXPECT_FALSE(MoveFileA(Path("from").c_str(), Path("to").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ("new", ReadWholeFile(Path("from")));
    EXPECT_EQ("old", ReadWholeFile(Path("to")));
}

TEST_F(MoveTest, MissingSourceFailsWithFileNotFound)
{
    EXPECT_FALSE(MoveFileA(Path("none").c_str(), Path("to").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(MoveFileA(Path("nodir" VENDREL_DIR_SEP_STR "none").c_str(), Path("to").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST_F(MoveTest, MissingTargetDirectoryFailsAndKeepsTheSource)
{
    ASSERT_TRUE(WriteWholeFile(Path("from"), "x"));
    EXPECT_FALSE(MoveFileA(Path("from").c_str(), Path("nodir" VENDREL_DIR_SEP_STR "to").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ("x", ReadWholeFile(Path("from")));
}

TEST_F(MoveTest, MovingOntoItsOwnNameChangesNothing)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "same"));
    EXPECT_TRUE(MoveFileA(Path("f").c_str(), Path("f").c_str()));
    EXPECT_EQ("same", ReadWholeFile(Path("f")));
}

TEST_F(MoveTest, OpenFileIsNotMoved)
{
    ASSERT_TRUE(WriteWholeFile(Path("from"), "x"));
    HANDLE h = OpenForRead(Path("from"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_FALSE(MoveFileA(Path("from").c_str(), Path("to").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    CloseHandle(h);
    EXPECT_TRUE(MoveFileA(Path("from").c_str(), Path("to").c_str()));
}

TEST_F(MoveTest, RenamesDirectories)
{
    std::filesystem::create_directory(Path("d"));
    ASSERT_TRUE(WriteWholeFile(Path("d" VENDREL_DIR_SEP_STR "f"), "in"));
    ASSERT_TRUE(MoveFileA(Path("d").c_str(), Path("e").c_str()));
    EXPECT_EQ("in", ReadWholeFile(Path("e" VENDREL_DIR_SEP_STR "f")));
}
