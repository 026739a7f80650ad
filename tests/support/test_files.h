// Whole-file helpers of the tests. They go through the platform layer, as the program's own
// file access does, so a file the program holds is seen as the program would see it.
#pragma once

#include "platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

HANDLE OpenForRead(const std::string& strPath, DWORD dwShare = FILE_SHARE_READ);
HANDLE OpenForWrite(const std::string& strPath, DWORD dwDisposition = CREATE_ALWAYS);
// Replaces the file's content; false when it cannot be opened or fully written.
bool WriteWholeFile(const std::string& strPath, const std::string& strData);
// The whole content, or "<error N>" when the file cannot be opened.
std::string ReadWholeFile(const std::string& strPath);
// Success when an open was refused with ERROR_SHARING_VIOLATION; a handle it got is closed.
::testing::AssertionResult RefusedForSharing(HANDLE h);
// A file time as one count of 100 ns ticks.
uint64_t FileTimeValue(const FILETIME& ft);

bool PathExists(const std::string& strPath);
void MakeDirectory(const std::string& strPath);
// The names in a directory, "." and ".." left out, sorted; empty when it cannot be read.
std::vector<std::string> ListNames(const std::string& strDir);
