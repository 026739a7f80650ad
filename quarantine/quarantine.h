// The quarantine store: where the quarantine folder is, how many bytes it holds (cached in the
// size cache file ".store"), whether an upload fits its capacity, and filing an upload into it.
#pragma once

#include <cstdint>

void getQuarantineFolder(char* szFolder, int nCapacity);
int64_t getFolderSize(const char* szFolder);
bool IsFileOutOfDate(const char* szPath);
bool writeFolderSize(const char* szFolder, int64_t nFolderSize);
// The upload's size is the admitted file's own size in bytes.
bool updateFolderSize(int64_t nFileSize);
bool VerifyVirusFolderSize(int64_t nFileSize);

// Moves the upload into the quarantine folder under a fresh name, or deletes it when that
// cannot be done safely. Answers whether the upload was filed.
bool MoveInfectedFile(const char* szComputerName, const char* szTempFileName);
