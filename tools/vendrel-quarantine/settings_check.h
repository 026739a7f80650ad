// What the command needs to judge server.ini beyond the values the settings code gives: which
// keys the section holds (to name unknown and repeated ones), and whether a number is written
// as one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The settings section that the program reads.
#define QTOOL_SETTINGS_SECTION "INI_SERVER_SECTION"

struct SSettingsKey
{
    std::string strName;
    int nLine = 0;
};

struct SSettingsOutline
{
    bool bReadable = false;
    int nOpenError = 0;
    bool bSectionFound = false;
    // The section's key lines in file order, repeats included.
    std::vector<SSettingsKey> keys;
    // Lines in the section that are neither key=value, a comment nor blank.
    std::vector<int> strayLines;
};

// Outlines the settings file by the rules the settings code reads it with: "[section]" and
// "key=value" lines, names without regard to ASCII case, blanks trimmed, lines starting with ';'
// or '#' ignored.
void OutlineSettings(const std::string& strPath, SSettingsOutline* pOutline);

enum EIntegerText
{
    // An optional sign and decimal digits, nothing else, within 32 bits.
    kIntegerValid,
    // Digits followed by something else: the settings code reads the leading number.
    kIntegerTrailing,
    // No digits: the settings code takes the key's default.
    kIntegerNoDigits,
    // Beyond 32 bits: the settings code clamps it.
    kIntegerOutOfRange,
};

// Judges strText as the settings code's integer reader takes it; *pnValue receives the number
// it reads (when there are digits).
EIntegerText JudgeIntegerText(const std::string& strText, int64_t* pnValue);

bool EqualsNoCase(const std::string& a, const char* b);
