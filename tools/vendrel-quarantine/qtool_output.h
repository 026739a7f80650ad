// Where the command writes, and the escaping each format needs. Names of quarantined files come
// from the endpoints that sent them, so every format writes them so that they cannot end a
// field, a line or a JSON string, nor reach a terminal as control characters.
#pragma once

#include <cstdio>
#include <string>

// Standard output or error, or a string (tests). Remembers whether a write failed, so that a
// full disk under a redirection ends the command with a failure instead of a cut file.
class COutput
{
public:
    explicit COutput(FILE* pFile) : m_pFile(pFile), m_pText(nullptr), m_bFailed(false) {}
    explicit COutput(std::string* pText) : m_pFile(nullptr), m_pText(pText), m_bFailed(false) {}
    COutput(const COutput&) = delete;
    COutput& operator=(const COutput&) = delete;

    void Write(const std::string& strText);
    // Flushes a file; answers whether every write so far succeeded.
    bool Finish();

private:
    FILE* m_pFile;
    std::string* m_pText;
    bool m_bFailed;
};

// Text in the system's ANSI code page as UTF-8; bytes that are not valid text become U+FFFD.
std::string AnsiToUtf8(const std::string& strAnsi);

// A JSON string literal, quotes included, of ANSI text.
std::string JsonString(const std::string& strAnsi);
// A CSV field (RFC 4180): quoted, quotes doubled.
std::string CsvField(const std::string& strText);
// Text for a terminal: control characters (C0 and DEL) as \xHH, backslashes left alone.
std::string TextField(const std::string& strText);
// strText padded with blanks on the left (numbers) or right (texts) to nWidth characters.
std::string PadLeft(const std::string& strText, size_t nWidth);
std::string PadRight(const std::string& strText, size_t nWidth);
