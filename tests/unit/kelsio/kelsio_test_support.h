// Helpers of the Kelsio tests: requests fed to the parser from memory.
#pragma once

#include "kelsio_request.h"
#include "temp_home.h"
#include "test_env.h"
#include "test_files.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

typedef std::vector<std::pair<std::string, std::string>> CVarPairs;

// A request: CGI meta-variables and a body, read in chunks of at most nChunk bytes.
struct CFakeRequest
{
    std::map<std::string, std::string> env;
    std::string strBody;
    size_t nChunk = 1u << 20;
    size_t nConsumed = 0;
    std::string strHome;
    unsigned long long nMaxBody = 100ull * 1024 * 1024;
    bool bSaveFileParts = true;

    // The array of the last Parse, freed with cgiFreeVars when the last copy of the request
    // goes: the upload files that it names live until then.
    std::shared_ptr<char*> pVars;

    // Runs the parser; bParsed tells whether it returned an array.
    CVarPairs Parse(bool& bParsed);
    // Frees the array now, as the program does when it is done with the request.
    void Free() { pVars.reset(); }
};

// A POST of the body with that content type; CONTENT_LENGTH is the body's length.
CFakeRequest PostRequest(const std::string& strHome, const std::string& strContentType,
                         const std::string& strBody);

// A multipart body with the given boundary: each part is (head lines, content).
struct CPart
{
    std::string strHead;
    std::string strContent;
};
CPart FieldPart(const std::string& strName, const std::string& strValue);
CPart FilePart(const std::string& strName, const std::string& strFileName,
               const std::string& strContent);
std::string MultipartBody(const std::string& strBoundary, const std::vector<CPart>& parts);
