// The hidden temporary names under which the POSIX platform layer builds a file before it gives
// the file its real name: ".<name>.~xxxxxx", the leading dot hiding it, "<name>" the real name
// (cut to its first 200 bytes), and six characters from a-z and 0-9 drawn at random. Listings
// leave such names out; a process killed outright (SIGKILL, a power cut) can leave one behind,
// which the operator's sweep removes once it is old. Both builds answer by the same rule, so a
// tool that runs on either removes exactly what the layer makes.
#pragma once

// Bytes of the real name that a temporary name keeps.
#define PAL_TEMP_NAME_KEEP 200
// What stands between the real name and the random characters.
#define PAL_TEMP_NAME_SUFFIX ".~"
#define PAL_TEMP_NAME_RANDOM_CHARS 6

// True when szName (a last path component, not a path) has the shape of such a temporary name.
bool IsReplacementTemporaryName(const char* szName);
