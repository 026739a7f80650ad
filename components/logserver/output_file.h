// The output file of the log server: opened for appending, measured and rotated by renaming.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Opens strPath for appending, creating it when missing (POSIX: mode 0640, narrowed by the
// umask); null on failure, with the reason (the system's error text) in pstrError. On
// Windows the file is shared for reading, writing and deleting, so that it can be renamed by
// a rotation while it is open, as on POSIX; a new file takes its folder's inherited access.
FILE* OpenOutputFile(const std::string& strPath, std::string* pstrError);
// The size of the file behind pFile in bytes, or 0 when it cannot be had.
uint64_t OutputFileSize(FILE* pFile);
// True when something exists at strPath.
bool OutputPathExists(const std::string& strPath);
// Renames strFrom to strTo, replacing a file at strTo; false with the reason on failure.
bool RenameOutputFile(const std::string& strFrom, const std::string& strTo, std::string* pstrError);
