// The reference vectors of the upload signature, worked out by a second implementation from the
// signature rules alone. The build copies them into bin/vectors/ when it is configured; the
// tests run in bin/ and read them from there. A file holds rows of tab-separated fields; lines
// that start with '#' are comments.
#pragma once

#include <string>
#include <vector>

struct CVectorRow
{
    int nLine;
    std::vector<std::string> fields;
};

// The rows of bin/vectors/szName, each with exactly nFields fields. A missing file, a file
// without rows or a row of another shape fails the running test and answers false.
bool ReadVectorRows(const char* szName, size_t nFields, std::vector<CVectorRow>* pRows);

// The bytes that strHex spells; false for an odd length or a character that is no hex digit.
bool DecodeHex(const std::string& strHex, std::string* pBytes);
